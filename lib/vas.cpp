#include "vas.h"

#include <cstdio>
#include <cstdlib>

void VAS_Fail(const char *func, const char *file, int line, const char *cond)
{
    std::fprintf(stderr, "Assert error in %s(), %s line %d:\n  Condition(%s) not true.\n", func,
                 file, line, cond);
    std::fflush(stderr);
    std::abort();
}
