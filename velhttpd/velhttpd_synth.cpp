#include "velhttpd_synth.h"

#include <cerrno>
#include <cstdlib>

#include "vas.h"

namespace
{
constexpr unsigned char SYNTH_FIRST = '!';
constexpr unsigned char SYNTH_LAST = '}';
constexpr size_t SYNTH_LINE = 64; // 63 characters and a line feed
constexpr size_t SYNTH_CHARS = SYNTH_LAST - SYNTH_FIRST + 1;

unsigned char synth_next(unsigned char c)
{
    return c == SYNTH_LAST ? SYNTH_FIRST : static_cast<unsigned char>(c + 1);
}
} // namespace

int synth_len(const char *lentext, size_t *len, const char **err)
{
    char *end;
    errno = 0;
    unsigned long l = std::strtoul(lentext, &end, 0);
    if (end == lentext || *end != '\0' || errno != 0 || *lentext == '-' || l < 1 ||
        l > HTTP_BODYLEN_MAX) {
        *err = "-bodylen must be a number from 1 to 16777216";
        return -1;
    }
    *len = l;
    return 0;
}

void synth_fill(char *buf, size_t off, size_t n, size_t total)
{
    // Line k starts at character k (from "!", wrapping after "}"), and each
    // character of a line is one later than the one before it.
    for (size_t i = 0; i < n; i++) {
        size_t pos = off + i, line = pos / SYNTH_LINE, col = pos % SYNTH_LINE;
        if (col == SYNTH_LINE - 1 || pos == total - 1)
            buf[i] = '\n';
        else
            buf[i] = static_cast<char>(SYNTH_FIRST + (line + col) % SYNTH_CHARS);
    }
}

char *synth_body(const char *lentext, size_t *len, const char **err)
{
    size_t l;
    if (synth_len(lentext, &l, err) != 0)
        return nullptr;
    auto *body = static_cast<char *>(std::malloc(l));
    AN(body);
    unsigned char start = SYNTH_FIRST, c = SYNTH_FIRST;
    for (unsigned long i = 0; i < l; i++) {
        if (i % SYNTH_LINE == SYNTH_LINE - 1) {
            body[i] = '\n';
            start = synth_next(start);
            c = start;
        } else {
            body[i] = static_cast<char>(c);
            c = synth_next(c);
        }
    }
    body[l - 1] = '\n';
    *len = l;
    return body;
}
