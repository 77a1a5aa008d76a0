// velmeshd: measures the round trip from this node to every other node of
// the service and reports it to the master server. Options, start-up and the
// loop that drives the callout wheel.
#include <unistd.h>

#include "callout.h"
#include "report_client.h"
#include "vdaemon.h"
#include "velmeshd.h"

namespace
{

constexpr unsigned MESH_LOOP_SLEEP = 5; // seconds: jobs run up to this late

constexpr vdaemon_option usage_options[] = {
    {"-F", "Run in foreground"},
    {"-m", "Check extra processes"},
    {"-P file", "PID file"},
    {"-S", "Don't use default hostname"},
};

[[noreturn]] void usage()
{
    VDAEMON_Usage("velmeshd", usage_options);
}

} // namespace

int main(int argc, char **argv)
{
    vdaemon_opts opts = VDAEMON_Opts("velmeshd");
    bool extra = false; // -m: accepted, has no effect here
    int ch;
    while ((ch = getopt(argc, argv, "FmP:S")) != -1) {
        if (ch == 'm')
            extra = !extra;
        else if (!VDAEMON_StdOption(&opts, ch, optarg))
            usage();
    }
    (void)extra;
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        usage();
    }

    (void)VDAEMON_Start(opts.pid_path.c_str(), opts.foreground);
    RC_InitOrExit();
    VDAEMON_OpenLog("velmeshd");

    static cot_wheel wheel;
    cot_wheel_init(&wheel);
    mesh_start(&wheel, opts.alt_endpoint);
    for (;;) {
        cot_now(&wheel);
        cot_run_due(&wheel);
        sleep(MESH_LOOP_SLEEP);
    }
}
