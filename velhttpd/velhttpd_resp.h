// The response a request asks for: its "content-filter" header holds a
// response description, tokens in three groups (status line; headers;
// body), from which velhttpd builds exactly that response.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "velhttpd_synth.h"

struct vsb;
struct http_peer;

// Most tokens a description may hold.
constexpr size_t HTTP_TOKENS_MAX = 199;

// Splits text into tokens: white space separates them, "#" first on a line
// starts a comment, "..." is one token with backslash escapes decoded, {...}
// one token taken as it is (braces nest). Gives the count, or -1 with *err
// saying why (too many tokens, an unmatched "{", a token holding "${").
int parse_string(const char *text, std::vector<std::string> *tokens, const char **err);

// Appends the response that tokens describe to out: 0, or -1 with *err when
// the description is refused (nothing must then be sent). With synthlen
// given, a generated body is not appended: its length goes to *synthlen (0
// when there is none) for the sender to make it piece by piece.
int httpd_txresp_build(const std::vector<std::string> &tokens, struct vsb *out, const char **err,
                       size_t *synthlen = nullptr);
// Builds the response into the connection's buffer and sends it.
void httpd_txresp_main(http_peer *conn, const std::vector<std::string> &tokens);
// Answers a request that was read completely.
void httpd_answer(http_peer *conn);
