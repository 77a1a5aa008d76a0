#include "vnode.h"

#include <arpa/inet.h>
#include <cstring>

#include "vas.h"

bool VNODE_IsDotted(const char *text, size_t len)
{
    AN(text);
    if (len == 0)
        return false;
    for (size_t i = 0; i < len; i++)
        if ((text[i] < '0' || text[i] > '9') && text[i] != '.')
            return false;
    return true;
}

bool VNODE_ParseIPv4(const char *text, uint32_t *addr)
{
    AN(text);
    if (!VNODE_IsDotted(text, std::strlen(text)))
        return false;
    in_addr_t a = inet_addr(text);
    if (a == INADDR_NONE)
        return false;
    if (addr != nullptr)
        *addr = a;
    return true;
}
