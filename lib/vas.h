// Assertions that are always on, whatever NDEBUG says, and the object checks
// for structures that carry a magic number.
#pragma once

[[noreturn]] void VAS_Fail(const char *func, const char *file, int line, const char *cond);

// The source file's own name: a message names the file, not the folder the
// build happened to run in.
#ifdef __FILE_NAME__
#define VAS_FILE __FILE_NAME__
#else
#define VAS_FILE __FILE__
#endif

// VAS_ASSERT(cond): aborts with the condition text when cond is false.
#define VAS_ASSERT(cond) ((cond) ? (void)0 : VAS_Fail(__func__, VAS_FILE, __LINE__, #cond))

// VAS_ASSERT_TEXT(cond, text): as VAS_ASSERT, with the documented condition text.
#define VAS_ASSERT_TEXT(cond, text)                                                                \
    ((cond) ? (void)0 : VAS_Fail(__func__, VAS_FILE, __LINE__, text))

// AN(ptr): the pointer is not null; prints "ptr != ((void *)0)".
#define AN(ptr) VAS_ASSERT_TEXT((ptr) != nullptr, #ptr " != ((void *)0)")
// AZ(expr): the expression is zero; prints "expr == 0".
#define AZ(expr) VAS_ASSERT_TEXT((expr) == 0, #expr " == 0")

// Object checks: the pointer is valid and the record carries its magic.
#define CHECK_OBJ(ptr, type_magic)                                                                 \
    VAS_ASSERT_TEXT((ptr)->magic == (type_magic), "(" #ptr ")->magic == " #type_magic)
#define CHECK_OBJ_NOTNULL(ptr, type_magic)                                                         \
    do {                                                                                           \
        VAS_ASSERT_TEXT((ptr) != nullptr, "(" #ptr ") != ((void *)0)");                            \
        CHECK_OBJ(ptr, type_magic);                                                                \
    } while (0)
