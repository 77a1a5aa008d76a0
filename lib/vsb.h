// Growable byte-string buffer with a latched error.
//
// Appends never fail loudly: the first failure (a fixed buffer running full,
// or memory running out while growing) is latched in s_fault, every later
// append is a no-op, and VSB_finish / VSB_len report it once. Misuse (a
// damaged structure, appending after VSB_finish, reading before it) aborts.
//
// Usage: VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND), appends, VSB_finish,
// VSB_data / VSB_len, VSB_delete.
#pragma once

#include <cstdarg>
#include <cstdint>
#include <sys/types.h>

struct vsb {
    uint32_t s_magic; // VSB_MAGIC while valid, 0 after VSB_delete
    char *s_buf;      // storage, never null in a valid buffer
    int s_fault;      // 0 or the latched errno (ENOMEM)
    ssize_t s_size;   // capacity of s_buf
    ssize_t s_len;    // bytes used; always < s_size (room for the NUL)
    int s_flags;      // VSB_* flags below
};

constexpr uint32_t VSB_MAGIC = 0x4a82dd8a;

constexpr int VSB_FIXEDLEN = 0x00000000;     // no growth
constexpr int VSB_GROW = 0x00000001;         // storage grows on demand
constexpr int VSB_AUTOEXTEND = VSB_GROW;     // alias callers may find clearer
constexpr int VSB_CALLER_FLAGS = 0x0000ffff; // bits a caller may pass to VSB_new
constexpr int VSB_OWN_STORAGE = 0x00010000;  // s_buf is ours to free
constexpr int VSB_SEALED = 0x00020000;       // finished: NUL-terminated, no appends
constexpr int VSB_OWN_RECORD = 0x00080000;   // the struct itself is ours to free

// Create a buffer. With s null the structure is allocated too; with buf null
// the storage is. An auto-extending buffer of length 0 starts at 16 bytes.
// Gives null when memory runs out (nothing is leaked).
struct vsb *VSB_new(struct vsb *s, char *buf, ssize_t length, int flags);
// As VSB_new on a caller's structure, without the argument checks.
struct vsb *VSB_newbuf(struct vsb *s, char *buf, ssize_t length, int flags);

// Capacity chosen for a request of size bytes: powers of two from 16 up to
// 4096, then whole 4096-byte pages.
int VSB_extendsize(int size);
// Make room for addlen more bytes; 0, or -1 (buffer unchanged) when the
// buffer is fixed or memory runs out.
int VSB_grow(struct vsb *s, ssize_t addlen);

// Back to empty and unfinished; also drops a latched error.
void VSB_clear(struct vsb *s);
// Truncate to pos bytes; -1 when pos is beyond the current length.
int VSB_setpos(struct vsb *s, ssize_t pos);

void VSB_put_byte(struct vsb *s, int c);
int VSB_put_char(struct vsb *s, int c);
int VSB_bcat(struct vsb *s, const void *p, ssize_t n);
int VSB_bcpy(struct vsb *s, const void *p, ssize_t n);
int VSB_cat(struct vsb *s, const char *str);
int VSB_cpy(struct vsb *s, const char *str);
int VSB_vprintf(struct vsb *s, const char *fmt, va_list ap) __attribute__((format(printf, 2, 0)));
int VSB_format(struct vsb *s, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// Drop trailing white space.
int VSB_trim(struct vsb *s);
// NUL-terminate and seal; sets errno to the latched error (0 if none).
int VSB_finish(struct vsb *s);
// Content of a finished buffer, NUL-terminated.
char *VSB_data(const struct vsb *s);
// Bytes used, or -1 when an error is latched.
ssize_t VSB_len(const struct vsb *s);
int VSB_fault(const struct vsb *s);
int VSB_sealed(const struct vsb *s);
void VSB_delete(struct vsb *s);

// Append p (len bytes, or up to its NUL when len is -1) as is when it is all
// graphic characters without '"' or '\\', else double-quoted with C escapes
// (\n \r \t \" \\ and \ooo). style is ignored.
void VSB_add_quoted(struct vsb *s, const void *p, ssize_t len, int style);
// Decode the escapes VSB_add_quoted makes (no surrounding quotes expected).
// Gives null on success or a static error text; bytes decoded before an
// error stay in the buffer. style is ignored.
const char *VSB_add_unquoted(struct vsb *s, const void *p, ssize_t len, int style);
