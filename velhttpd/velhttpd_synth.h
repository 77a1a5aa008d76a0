// The generated bodies of "-bodylen": lines of printable characters that a
// client can check byte for byte, made whole or piece by piece while sent.
#pragma once

#include <cstddef>

// Largest "-bodylen". Bodies are generated while they are sent, so this
// bounds the time a response takes, not memory.
constexpr unsigned long HTTP_BODYLEN_MAX = 16777216;

// A generated body of the length lentext gives (any base, 1 to
// HTTP_BODYLEN_MAX): lines of 63 printable characters and a line feed, each
// line starting one character later, the last byte a line feed. Null with
// *err for a bad length; the caller frees the body.
char *synth_body(const char *lentext, size_t *len, const char **err);
// The length alone: 0 with *len, or -1 with *err.
int synth_len(const char *lentext, size_t *len, const char **err);
// Bytes off to off + n of the generated body of total bytes, into buf: the
// same bytes synth_body gives there, made without the rest of the body.
void synth_fill(char *buf, size_t off, size_t n, size_t total);
