#include "vaccept.h"

#include <cerrno>
#include <cstring>

#include "vlog.h"

bool VACCEPT_Shortage(int err)
{
    return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM;
}

int VACCEPT_Accept(vaccept *va, int lfd, struct sockaddr *addr, socklen_t *addrlen, int flags)
{
    int fd = accept4(lfd, addr, addrlen, flags);
    if (fd < 0) {
        int err = errno;
        if (VACCEPT_Shortage(err)) {
            va->resume = va->clock() + va->pause;
            va->failed++;
            if (!va->starved)
                VLOG("[WARN] accept(2) error: %d %s; new %s connections wait until descriptors "
                     "are free",
                     err, std::strerror(err), va->what);
            va->starved = true;
        }
        errno = err;
        return -1;
    }
    if (va->starved) {
        VLOG("[INFO] %s connections are accepted again (%ju accept(2) calls failed)", va->what,
             static_cast<uintmax_t>(va->failed));
        va->starved = false;
        va->failed = 0;
    }
    return fd;
}

double VACCEPT_Wait(vaccept *va)
{
    if (va->resume == 0)
        return 0;
    double left = va->resume - va->clock();
    if (left > 0 && left <= va->pause)
        return left;
    va->resume = 0;
    return 0;
}
