#include "velumond_split.h"

#include <cstring>

int umon_split(char *s, const char *delims, char **out, int max)
{
    int n = 0;
    char *p;

    while (n < max && (p = strsep(&s, delims)) != nullptr) {
        if (*p == '\0')
            continue;
        out[n++] = p;
    }
    return n;
}
