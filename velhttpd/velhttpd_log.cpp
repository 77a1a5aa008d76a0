#include "velhttpd_log.h"

httpd_limiters httpd_rl;

namespace
{
vrate *const httpd_all[] = {&httpd_rl.select,       &httpd_rl.recv,     &httpd_rl.rx,
                            &httpd_rl.too_large,    &httpd_rl.format,   &httpd_rl.spec,
                            &httpd_rl.write,        &httpd_rl.accept,   &httpd_rl.refused,
                            &httpd_rl.refused_addr, &httpd_rl.resources};
} // namespace

void httpd_log_flush()
{
    for (vrate *rl : httpd_all)
        VRATE_Flush(rl);
}

void httpd_log_reset()
{
    for (vrate *rl : httpd_all)
        VRATE_Reset(rl);
}
