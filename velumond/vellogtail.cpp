// vellogtail: follow veld's shared-memory log and print every new record,
// across restarts of veld, until interrupted.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "vdaemon.h"
#include "vsl.h"
#include "vsm.h"

static volatile sig_atomic_t stop_requested;

static void on_signal(int)
{
    stop_requested = 1;
}

static const vdaemon_option options[] = {
    {"-n dir", "Instance name or directory of _.vsm"},
};

static int print_record(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec,
                        const char *ptr, uint64_t bitmap)
{
    VSL_H_Print(priv, tag, id, len, spec, ptr, bitmap);
    return stop_requested ? 1 : 0;
}

int main(int argc, char **argv)
{
    VSM_data *vd = VSM_New();
    VSL_Setup(vd);

    int ch;
    while ((ch = getopt(argc, argv, "n:")) != -1) {
        switch (ch) {
        case 'n':
            if (VSM_n_Arg(vd, optarg) < 0)
                return 1;
            break;
        default:
            VDAEMON_Usage("vellogtail", options);
        }
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        VDAEMON_Usage("vellogtail", options);
    }

    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    (void)sigaction(SIGINT, &sa, nullptr);
    (void)sigaction(SIGTERM, &sa, nullptr);

    if (VSL_Open(vd, 1) != 0)
        return 1;

    // Non-blocking, so that an interrupt is noticed within one poll and the
    // output is flushed whenever the log runs dry.
    VSL_NonBlocking(vd, 1);
    unsigned idle = 0;
    while (!stop_requested) {
        int r = VSL_Dispatch(vd, print_record, stdout);
        if (r == 1)
            break;
        fflush(stdout);
        (void)usleep(VSL_POLL_USEC);
        idle += VSL_POLL_USEC;
        if (idle >= VSL_IDLE_USEC) {
            // veld makes a new file at every start: follow it from its start.
            if (VSM_ReOpen(vd, 1) < 0)
                fprintf(stderr, "Waiting for a usable log file\n");
            idle = 0;
        }
    }
    fflush(stdout);
    return 0;
}
