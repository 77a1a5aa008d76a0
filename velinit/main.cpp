// velinit: checks the host, posts the node's description to the master server
// and writes the settings it answers with into the configuration directory.
#include "report_client.h"
#include "vdaemon.h"
#include "velinit_check.h"
#include "velinit_info.h"

#include <cstdio>
#include <cstdlib>
#include <openssl/err.h>
#include <unistd.h>

namespace
{

constexpr vdaemon_option velinit_options[] = {
    {"-k", "Skip the system checking"},
    {"-S", "Don't use default hostname"},
};

// Each occurrence of an option flips its flag.
struct velinit_flags {
    bool skip_checks = false;
    bool alternate = false;
} flags;

} // namespace

int main(int argc, char **argv)
{
    int ch;
    while ((ch = getopt(argc, argv, "kS")) != -1) {
        switch (ch) {
        case 'k':
            flags.skip_checks = !flags.skip_checks;
            break;
        case 'S':
            flags.alternate = !flags.alternate;
            break;
        default:
            VDAEMON_Usage("velinit", velinit_options);
        }
    }
    // Words after the options are ignored.

    if (RC_Init() != 0) {
        std::puts("Can't initialize SSLv23 context.");
        std::fflush(stdout);
        ERR_print_errors_fp(stderr);
        return 1;
    }
    if (!flags.skip_checks)
        VELINIT_Checks();
    int r = getInfo(RC_Endpoint(flags.alternate));
    RC_Fini();
    return r == 0 ? 0 : 1;
}
