#include "vas.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

void VAS_Fail(const char *func, const char *file, int line, const char *cond)
{
    // Callers may still pass a path; only its last component is the file.
    const char *base = std::strrchr(file, '/');
    if (base != nullptr)
        file = base + 1;
    std::fprintf(stderr, "Assert error in %s(), %s line %d:\n  Condition(%s) not true.\n", func,
                 file, line, cond);
    std::fflush(stderr);
    std::abort();
}
