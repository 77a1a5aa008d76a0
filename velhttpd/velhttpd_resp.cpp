#include "velhttpd_resp.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "vas.h"
#include "vav.h"
#include "velhttpd_http.h"
#include "velhttpd_log.h"
#include "vlog.h"
#include "vsb.h"

namespace
{
bool spec_white(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool spec_line_end(char c)
{
    return c == '\r' || c == '\n';
}

// "-body" text: a backslash followed by the digit 0 stands for a NUL byte.
std::string body_text(const std::string &t)
{
    std::string out;
    for (size_t i = 0; i < t.size(); i++) {
        if (t[i] == '\\' && i + 1 < t.size() && t[i + 1] == '0') {
            out += '\0';
            i++;
        } else {
            out += t[i];
        }
    }
    return out;
}
} // namespace

int parse_string(const char *text, std::vector<std::string> *tokens, const char **err)
{
    tokens->clear();
    const char *p = text;
    bool line_start = true;
    while (*p != '\0') {
        if (spec_white(*p)) {
            if (spec_line_end(*p))
                line_start = true;
            p++;
            continue;
        }
        if (*p == '#' && line_start) {
            while (*p != '\0' && !spec_line_end(*p))
                p++;
            continue;
        }
        line_start = false;
        if (tokens->size() >= HTTP_TOKENS_MAX) {
            *err = "more than 199 tokens";
            return -1;
        }
        std::string tok;
        if (*p == '"') {
            p++;
            while (*p != '\0' && *p != '"') {
                char c;
                int n = *p == '\\' ? VAV_BackSlash(p, &c) : 0;
                if (n > 0) {
                    tok += c;
                    p += n;
                } else {
                    tok += *p++;
                }
            }
            if (*p == '"')
                p++;
        } else if (*p == '{') {
            const char *s = ++p;
            int depth = 1;
            for (; *p != '\0'; p++) {
                if (*p == '{')
                    depth++;
                else if (*p == '}' && --depth == 0)
                    break;
            }
            if (depth != 0) {
                *err = "unmatched '{'";
                return -1;
            }
            tok.assign(s, static_cast<size_t>(p - s));
            p++;
        } else {
            const char *s = p;
            while (*p != '\0' && !spec_white(*p))
                p++;
            tok.assign(s, static_cast<size_t>(p - s));
        }
        if (tok.find("${") != std::string::npos) {
            *err = "'${' in a token";
            return -1;
        }
        tokens->push_back(std::move(tok));
    }
    return static_cast<int>(tokens->size());
}

int httpd_txresp_build(const std::vector<std::string> &tokens, struct vsb *out, const char **err,
                       size_t *synthlen)
{
    const size_t n = tokens.size();
    size_t i = 0;
    // An option that takes a value must have one.
    auto has_value = [&]() {
        if (i + 1 < n)
            return true;
        *err = "option without its value";
        return false;
    };

    std::string proto = "HTTP/1.1", status = "200", msg = "Ok";
    while (i < n) {
        std::string *dst = tokens[i] == "-proto"    ? &proto
                           : tokens[i] == "-status" ? &status
                           : tokens[i] == "-msg"    ? &msg
                                                    : nullptr;
        if (dst == nullptr)
            break;
        if (!has_value())
            return -1;
        *dst = tokens[i + 1];
        i += 2;
    }

    bool nolen = false;
    std::vector<const std::string *> hdrs;
    while (i < n) {
        if (tokens[i] == "-nolen") {
            nolen = true;
            i++;
        } else if (tokens[i] == "-hdr") {
            if (!has_value())
                return -1;
            hdrs.push_back(&tokens[i + 1]);
            i += 2;
        } else {
            break;
        }
    }

    // The body: "-body" text, or a generated one that is handed over as it is.
    std::string text;
    char *synth = nullptr;
    size_t genlen = 0; // generated body: in synth, or made while sending
    bool have_body = false;
    while (i < n && (tokens[i] == "-body" || tokens[i] == "-bodylen")) {
        if (have_body) {
            *err = "more than one -body or -bodylen";
            std::free(synth);
            return -1;
        }
        if (!has_value())
            return -1;
        if (tokens[i] == "-body") {
            text = body_text(tokens[i + 1]);
        } else if (synthlen != nullptr) {
            if (synth_len(tokens[i + 1].c_str(), &genlen, err) != 0)
                return -1;
        } else {
            synth = synth_body(tokens[i + 1].c_str(), &genlen, err);
            if (synth == nullptr)
                return -1;
        }
        have_body = true;
        i += 2;
    }
    const char *body = synth != nullptr ? synth : text.data();
    const size_t bodylen = genlen != 0 ? genlen : text.size();
    // Appended here: the whole body, unless it is generated while sending.
    const size_t inline_len = genlen != 0 && synth == nullptr ? 0 : bodylen;
    if (synthlen != nullptr)
        *synthlen = bodylen - inline_len;
    if (i < n)
        VRATE_LogAt(&httpd_rl.spec, LOG_ERR, "Unknown http txresp spec: %s\n", tokens[i].c_str());

    VSB_bcat(out, proto.data(), static_cast<ssize_t>(proto.size()));
    VSB_cat(out, " ");
    VSB_bcat(out, status.data(), static_cast<ssize_t>(status.size()));
    VSB_cat(out, " ");
    VSB_bcat(out, msg.data(), static_cast<ssize_t>(msg.size()));
    VSB_cat(out, "\r\n");
    for (const std::string *h : hdrs) {
        VSB_bcat(out, h->data(), static_cast<ssize_t>(h->size()));
        VSB_cat(out, "\r\n");
    }
    if (!nolen)
        VSB_format(out, "Content-Length: %d%s", static_cast<int>(bodylen), "\r\n");
    VSB_cat(out, "\r\n");
    // One growth for a large body instead of a page at a time; should it
    // fail, the append below latches the error and nothing is sent.
    if (static_cast<size_t>(out->s_size - out->s_len) <= inline_len)
        (void)VSB_grow(out, static_cast<ssize_t>(inline_len));
    VSB_bcat(out, body, static_cast<ssize_t>(inline_len));
    std::free(synth);
    return 0;
}

void httpd_txresp_main(http_peer *conn, const std::vector<std::string> &tokens)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    const char *err = nullptr;
    if (httpd_txresp_build(tokens, conn->vsb, &err, &conn->synthlen) != 0) {
        VRATE_LogAt(&httpd_rl.spec, LOG_ERR, "Bad http txresp spec: %s", err);
        return;
    }
    (void)http_write(conn);
}

void httpd_answer(http_peer *conn)
{
    CHECK_OBJ_NOTNULL(conn, HTTP_PEER_MAGIC);
    std::vector<std::string> tokens;
    const char *filter = http_header_value(conn, "content-filter");
    if (filter != nullptr) {
        const char *err = nullptr;
        if (parse_string(filter, &tokens, &err) < 0) {
            VRATE_LogAt(&httpd_rl.spec, LOG_ERR, "Bad http txresp spec: %s", err);
            return;
        }
    }
    httpd_txresp_main(conn, tokens);
}
