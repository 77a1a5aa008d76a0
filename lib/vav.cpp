#include "vav.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

#include "vas.h"

namespace
{

constexpr int VAV_INITIAL_ENTRIES = 16;

// Error texts stored in entry 0; the vector holds char *, callers never write them.
char vav_err_backslash[] = "Invalid backslash sequence";
char vav_err_quote[] = "Missing '\"'";

bool vav_space(char c)
{
    return std::isspace(static_cast<unsigned char>(c)) != 0;
}

int vav_hexval(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The escape at s, reading nothing at or beyond e (null: the NUL bounds it).
int vav_backslash(const char *s, const char *e, char *res)
{
    VAS_ASSERT_TEXT(*s == '\\', "*s == '\\\\'");
    auto avail = [&](int i) { return (e == nullptr || s + i < e) && s[i] != '\0'; };
    if (!avail(1))
        return 0;

    char c;
    int r;
    switch (s[1]) {
    case 'n':
        c = '\n';
        r = 2;
        break;
    case 'r':
        c = '\r';
        r = 2;
        break;
    case 't':
        c = '\t';
        r = 2;
        break;
    case '"':
        c = '"';
        r = 2;
        break;
    case '\\':
        c = '\\';
        r = 2;
        break;
    case 'x': {
        // One or two hex digits; the escape ends after the last digit, so a
        // lone digit swallows nothing and never runs past the end.
        unsigned u = 0;
        int digits = 0;
        while (digits < 2 && avail(2 + digits) && vav_hexval(s[2 + digits]) >= 0) {
            u = u * 16 + static_cast<unsigned>(vav_hexval(s[2 + digits]));
            digits++;
        }
        if (digits == 0)
            return 0;
        VAS_ASSERT_TEXT(!(u & ~0xffU), "!(u & ~0xff)");
        c = static_cast<char>(u);
        r = 2 + digits;
        break;
    }
    case '0':
    case '1':
    case '2':
    case '3':
    case '4':
    case '5':
    case '6':
    case '7': {
        unsigned u = 0;
        int digits = 0;
        while (digits < 3 && avail(1 + digits) && s[1 + digits] >= '0' && s[1 + digits] <= '7') {
            u = u * 8 + static_cast<unsigned>(s[1 + digits] - '0');
            digits++;
        }
        c = static_cast<char>(u & 0xff);
        r = 1 + digits;
        break;
    }
    default:
        return 0;
    }
    if (res != nullptr)
        *res = c;
    return r;
}

} // namespace

int VAV_BackSlash(const char *s, char *res)
{
    return vav_backslash(s, nullptr, res);
}

char *VAV_BackSlashDecode(const char *s, const char *e)
{
    if (e == nullptr)
        e = s + std::strlen(s);
    auto *p = static_cast<char *>(std::calloc(static_cast<std::size_t>(e - s) + 1, 1));
    if (p == nullptr)
        return nullptr;
    char *q = p;
    while (s < e) {
        if (*s != '\\') {
            *q++ = *s++;
            continue;
        }
        int i = vav_backslash(s, e, q);
        if (i == 0) {
            // Not an escape: keep the backslash as it is and go on.
            *q++ = *s++;
            continue;
        }
        s += i;
        q++;
    }
    *q = '\0';
    return p;
}

char **VAV_Parse(const char *s, int *argc, int flag)
{
    AN(s);
    int largv = VAV_INITIAL_ENTRIES;
    auto **argv =
        static_cast<char **>(std::calloc(static_cast<std::size_t>(largv), sizeof(char *)));
    if (argv == nullptr)
        return nullptr;
    int nargv = 1;
    const bool raw = (flag & VAV_RAW) != 0;

    for (;;) {
        if (*s == '\0')
            break;
        if (vav_space(*s)) {
            s++;
            continue;
        }
        if ((flag & VAV_HASH_COMMENT) && *s == '#')
            break;
        bool quote = false;
        if (*s == '"' && !raw) {
            quote = true;
            s++;
        }
        const char *p = s;
        for (;;) {
            if (*s == '\\' && !raw) {
                int i = VAV_BackSlash(s, nullptr);
                if (i == 0) {
                    argv[0] = vav_err_backslash;
                    if (argc != nullptr)
                        *argc = nargv;
                    return argv;
                }
                s += i;
                continue;
            }
            if (!quote) {
                if (*s == '\0' || vav_space(*s))
                    break;
                if ((flag & VAV_SPLIT_COMMA) && *s == ',')
                    break;
                s++;
                continue;
            }
            if (*s == '"')
                break;
            if (*s == '\0') {
                argv[0] = vav_err_quote;
                if (argc != nullptr)
                    *argc = nargv;
                return argv;
            }
            s++;
        }
        if (nargv + 1 >= largv) {
            largv *= 2;
            argv = static_cast<char **>(
                std::realloc(argv, static_cast<std::size_t>(largv) * sizeof(char *)));
            VAS_ASSERT_TEXT(argv != nullptr, "argv != ((void *)0)");
        }
        if (raw) {
            const std::size_t len = static_cast<std::size_t>(s - p);
            argv[nargv] = static_cast<char *>(std::malloc(len + 1));
            VAS_ASSERT_TEXT(argv[nargv] != nullptr, "argv[nargv] != ((void *)0)");
            std::memcpy(argv[nargv], p, len);
            argv[nargv][len] = '\0';
        } else {
            argv[nargv] = VAV_BackSlashDecode(p, s);
            VAS_ASSERT_TEXT(argv[nargv] != nullptr, "argv[nargv] != ((void *)0)");
        }
        nargv++;
        // Keep the vector terminated, so an early error return frees cleanly.
        argv[nargv] = nullptr;
        if (*s != '\0')
            s++;
    }
    argv[nargv] = nullptr;
    if (argc != nullptr)
        *argc = nargv;
    return argv;
}

void VAV_Release(char **argv)
{
    for (int i = 1; argv[i] != nullptr; i++)
        std::free(argv[i]);
    std::free(argv);
}
