// Growable byte-string buffer with a latched error.
#include "vsb.h"

#include "vas.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

// Growth doubles up to one page, then goes in whole pages.
constexpr int VSB_MINEXTEND = 16;
constexpr int VSB_MAXEXTEND = 4096;

// Largest size VSB_extendsize can round up without leaving int range.
constexpr ssize_t VSB_MAXSIZE = INT_MAX - (VSB_MAXEXTEND - 1);

// The checks report the caller's name, which is what a reader of the abort
// message needs.
#define assert_VSB_integrity(s) vsb_assert_integrity(__func__, __LINE__, (s))
#define assert_VSB_state(s, state) vsb_assert_state(__func__, __LINE__, (s), (state))

void vsb_assert_integrity(const char *fun, int line, const struct vsb *s)
{
    if (s == nullptr)
        VAS_Fail(fun, __FILE__, line, "s != ((void *)0)");
    if (s->s_magic != VSB_MAGIC)
        VAS_Fail(fun, __FILE__, line, "s->s_magic == 0x4a82dd8a");
    if (s->s_buf == nullptr)
        VAS_Fail(fun, __FILE__, line, "s->s_buf != ((void *)0)");
    if (!(s->s_len < s->s_size))
        VAS_Fail(fun, __FILE__, line, "s->s_len < s->s_size");
}

void vsb_assert_state(const char *fun, int line, const struct vsb *s, int state)
{
    if ((s->s_flags & VSB_SEALED) != state)
        VAS_Fail(fun, __FILE__, line, "(s->s_flags & 0x00020000) == state");
}

inline ssize_t vsb_free(const struct vsb *s)
{
    return s->s_size - s->s_len - 1;
}

inline bool vsb_graphic(unsigned char c)
{
    return c >= 0x21 && c <= 0x7e;
}

inline bool vsb_odigit(unsigned char c)
{
    return c >= '0' && c <= '7';
}

inline bool vsb_space(unsigned char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

} // namespace

int VSB_extendsize(int size)
{
    // Computed wide so that an absurd request trips the assertion instead of
    // wrapping around.
    int64_t newsize;

    if (size < VSB_MAXEXTEND) {
        newsize = VSB_MINEXTEND;
        while (newsize < size)
            newsize *= 2;
    } else {
        newsize = ((int64_t)size + VSB_MAXEXTEND - 1) & ~(int64_t)(VSB_MAXEXTEND - 1);
    }
    VAS_ASSERT_TEXT(newsize <= INT_MAX && newsize >= size, "newsize >= size");
    return (int)newsize;
}

int VSB_grow(struct vsb *s, ssize_t addlen)
{
    if (!(s->s_flags & VSB_GROW))
        return -1;
    // A size past int range cannot be described; it is out of memory for us.
    if (addlen < 0 || addlen > VSB_MAXSIZE - s->s_size)
        return -1;
    int newsize = VSB_extendsize((int)(s->s_size + addlen));
    char *newbuf = static_cast<char *>(std::malloc(newsize));
    if (newbuf == nullptr)
        return -1;
    std::memcpy(newbuf, s->s_buf, s->s_size);
    // Caller storage is never freed, but from here on the storage is ours.
    if (s->s_flags & VSB_OWN_STORAGE)
        std::free(s->s_buf);
    else
        s->s_flags |= VSB_OWN_STORAGE;
    s->s_buf = newbuf;
    s->s_size = newsize;
    return 0;
}

struct vsb *VSB_newbuf(struct vsb *s, char *buf, ssize_t length, int flags)
{
    std::memset(s, 0, sizeof *s);
    s->s_magic = VSB_MAGIC;
    s->s_flags = flags;
    s->s_size = length;
    s->s_buf = buf;

    if (!(s->s_flags & VSB_GROW))
        VAS_ASSERT_TEXT(s->s_size > 1, "s->s_size > 1");
    if (s->s_buf != nullptr)
        return s;
    if (s->s_flags & VSB_GROW) {
        if (s->s_size > VSB_MAXSIZE) {
            std::memset(s, 0, sizeof *s);
            errno = ENOMEM;
            return nullptr;
        }
        s->s_size = VSB_extendsize((int)s->s_size);
    }
    s->s_buf = static_cast<char *>(std::malloc(s->s_size));
    if (s->s_buf == nullptr) {
        std::memset(s, 0, sizeof *s);
        errno = ENOMEM;
        return nullptr;
    }
    s->s_flags |= VSB_OWN_STORAGE;
    return s;
}

struct vsb *VSB_new(struct vsb *s, char *buf, ssize_t length, int flags)
{
    VAS_ASSERT_TEXT(length >= 0, "length >= 0");
    VAS_ASSERT_TEXT((flags & ~VSB_CALLER_FLAGS) == 0, "(flags & ~0x0000ffff) == 0");
    flags &= VSB_CALLER_FLAGS;
    if (s != nullptr)
        return VSB_newbuf(s, buf, length, flags);

    s = static_cast<struct vsb *>(std::calloc(1, sizeof *s));
    if (s == nullptr) {
        errno = ENOMEM;
        return nullptr;
    }
    if (VSB_newbuf(s, buf, length, flags) == nullptr) {
        std::free(s);
        errno = ENOMEM;
        return nullptr;
    }
    s->s_flags |= VSB_OWN_RECORD;
    return s;
}

void VSB_clear(struct vsb *s)
{
    assert_VSB_integrity(s);
    s->s_flags &= ~VSB_SEALED;
    s->s_fault = 0;
    s->s_len = 0;
}

int VSB_setpos(struct vsb *s, ssize_t pos)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    VAS_ASSERT_TEXT(pos >= 0, "pos >= 0");
    VAS_ASSERT_TEXT(pos < s->s_size, "pos < s->s_size");
    if (pos > s->s_len)
        return -1;
    s->s_len = pos;
    return 0;
}

void VSB_put_byte(struct vsb *s, int c)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    if (s->s_fault)
        return;
    if (vsb_free(s) <= 0 && VSB_grow(s, 1) < 0) {
        s->s_fault = ENOMEM;
        return;
    }
    s->s_buf[s->s_len++] = (char)c;
}

int VSB_put_char(struct vsb *s, int c)
{
    VSB_put_byte(s, c);
    return s->s_fault ? -1 : 0;
}

int VSB_bcat(struct vsb *s, const void *p, ssize_t n)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    if (s->s_fault)
        return -1;
    if (n > 0)
        AN(p);
    const unsigned char *b = static_cast<const unsigned char *>(p);
    for (ssize_t i = 0; i < n; i++) {
        VSB_put_byte(s, b[i]);
        if (s->s_fault)
            return -1;
    }
    return 0;
}

int VSB_bcpy(struct vsb *s, const void *p, ssize_t n)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    VSB_clear(s);
    return VSB_bcat(s, p, n);
}

int VSB_cat(struct vsb *s, const char *str)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    AN(str);
    if (s->s_fault)
        return -1;
    for (; *str != '\0'; str++) {
        VSB_put_byte(s, (unsigned char)*str);
        if (s->s_fault)
            return -1;
    }
    return 0;
}

int VSB_cpy(struct vsb *s, const char *str)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    VSB_clear(s);
    return VSB_cat(s, str);
}

int VSB_vprintf(struct vsb *s, const char *fmt, va_list ap)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    VAS_ASSERT_TEXT(fmt != nullptr, "fmt != ((void *)0)");
    if (s->s_fault)
        return -1;

    // Format in place first; only a growth makes us format again.
    ssize_t len;
    for (;;) {
        va_list ap_copy;
        va_copy(ap_copy, ap);
        len = std::vsnprintf(s->s_buf + s->s_len, s->s_size - s->s_len, fmt, ap_copy);
        va_end(ap_copy);
        if (len < 0) {
            // An encoding error or an output past int range: nothing was
            // added, and the caller must not be told it was.
            s->s_fault = errno != 0 ? errno : EINVAL;
            return -1;
        }
        if (vsb_free(s) >= len || VSB_grow(s, len - vsb_free(s)) < 0)
            break;
    }
    // Output cut short is lost data, also when a growing buffer could not
    // grow; a fixed buffer that merely reached its end latches as well.
    if (vsb_free(s) < len) {
        len = vsb_free(s);
        s->s_fault = ENOMEM;
    }
    s->s_len += len;
    if (!(s->s_flags & VSB_GROW) && s->s_len >= s->s_size - 1)
        s->s_fault = ENOMEM;
    VAS_ASSERT_TEXT(s->s_len < s->s_size, "s->s_len < s->s_size");
    return s->s_fault ? -1 : 0;
}

int VSB_format(struct vsb *s, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int r = VSB_vprintf(s, fmt, ap);
    va_end(ap);
    return r;
}

int VSB_trim(struct vsb *s)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    if (s->s_fault)
        return -1;
    while (s->s_len > 0 && vsb_space((unsigned char)s->s_buf[s->s_len - 1]))
        s->s_len--;
    return 0;
}

int VSB_finish(struct vsb *s)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, 0);
    s->s_buf[s->s_len] = '\0';
    s->s_flags |= VSB_SEALED;
    errno = s->s_fault;
    return s->s_fault ? -1 : 0;
}

char *VSB_data(const struct vsb *s)
{
    assert_VSB_integrity(s);
    assert_VSB_state(s, VSB_SEALED);
    return s->s_buf;
}

ssize_t VSB_len(const struct vsb *s)
{
    assert_VSB_integrity(s);
    if (s->s_fault)
        return -1;
    return s->s_len;
}

int VSB_fault(const struct vsb *s)
{
    return s->s_fault;
}

int VSB_sealed(const struct vsb *s)
{
    return (s->s_flags & VSB_SEALED) != 0;
}

void VSB_delete(struct vsb *s)
{
    assert_VSB_integrity(s);
    if (s->s_flags & VSB_OWN_STORAGE)
        std::free(s->s_buf);
    bool own_record = (s->s_flags & VSB_OWN_RECORD) != 0;
    // Zeroed so that any later use trips the magic check.
    std::memset(s, 0, sizeof *s);
    if (own_record)
        std::free(s);
}

void VSB_add_quoted(struct vsb *s, const void *v, ssize_t len, int style)
{
    (void)style;
    const unsigned char *p = static_cast<const unsigned char *>(v);
    AN(p);
    VAS_ASSERT(len >= -1);
    if (len == -1)
        len = (ssize_t)std::strlen(reinterpret_cast<const char *>(p));

    bool plain = true;
    for (ssize_t i = 0; i < len && plain; i++)
        plain = vsb_graphic(p[i]) && p[i] != '"' && p[i] != '\\';
    if (plain) {
        (void)VSB_bcat(s, p, len);
        return;
    }

    VSB_put_byte(s, '"');
    // An octal escape takes every octal digit after it when decoded, so a
    // digit 0-7 right after one is escaped as well to keep the two apart.
    bool after_octal = false;
    for (ssize_t i = 0; i < len; i++) {
        unsigned char c = p[i];
        bool octal = false;
        if (c == ' ') {
            VSB_put_byte(s, c);
        } else if (c == '\\' || c == '"') {
            VSB_put_byte(s, '\\');
            VSB_put_byte(s, c);
        } else if (c == '\n') {
            (void)VSB_cat(s, "\\n");
        } else if (c == '\r') {
            (void)VSB_cat(s, "\\r");
        } else if (c == '\t') {
            (void)VSB_cat(s, "\\t");
        } else if (vsb_graphic(c) && !(after_octal && vsb_odigit(c))) {
            VSB_put_byte(s, c);
        } else {
            (void)VSB_format(s, "\\%o", (unsigned)c);
            octal = true;
        }
        after_octal = octal;
    }
    VSB_put_byte(s, '"');
}

const char *VSB_add_unquoted(struct vsb *s, const void *v, ssize_t len, int style)
{
    (void)style;
    const unsigned char *p = static_cast<const unsigned char *>(v);
    AN(p);
    VAS_ASSERT(len >= -1);
    if (len == -1)
        len = (ssize_t)std::strlen(reinterpret_cast<const char *>(p));

    for (ssize_t i = 0; i < len; i++) {
        if (p[i] != '\\') {
            VSB_put_byte(s, p[i]);
            continue;
        }
        if (++i >= len)
            return "Incomplete '\\'-sequence at end of string";
        switch (p[i]) {
        case 'n':
            VSB_put_byte(s, '\n');
            break;
        case 'r':
            VSB_put_byte(s, '\r');
            break;
        case 't':
            VSB_put_byte(s, '\t');
            break;
        case '0':
        case '1':
        case '2':
        case '3':
        case '4':
        case '5':
        case '6':
        case '7': {
            // strtoul on a copy of the digit run: the input need not be
            // NUL-terminated, and the conversion must not read past len.
            ssize_t j = i;
            while (j < len && vsb_odigit(p[j]))
                j++;
            std::string digits(reinterpret_cast<const char *>(p + i), j - i);
            errno = 0;
            unsigned long u = std::strtoul(digits.c_str(), nullptr, 8);
            if (errno != 0 || u >= 256)
                return "\\ooo sequence out of range";
            VSB_put_byte(s, (int)u);
            i = j - 1;
            break;
        }
        default:
            VSB_put_byte(s, p[i]);
            break;
        }
    }
    return nullptr;
}
