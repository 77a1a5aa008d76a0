#include "vdaemon.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "vas.h"
#include "vstat.h"

void VDAEMON_PrintUsage(std::FILE *fp, const char *prog, std::span<const vdaemon_option> options)
{
    std::fprintf(fp, "usage: %s [options]\n", prog);
    for (const auto &o : options)
        std::fprintf(fp, "    %-28s # %s\n", o.option, o.description);
}

void VDAEMON_Usage(const char *prog, std::span<const vdaemon_option> options)
{
    VDAEMON_PrintUsage(stderr, prog, options);
    std::exit(1);
}

void VDAEMON_UsageLine(const char *prog, const char *synopsis)
{
    std::fprintf(stderr, "%s%s", prog, synopsis);
    std::exit(1);
}

void VDAEMON_TooMany(const char *first)
{
    std::fprintf(stderr, "Too many arguments (%s...)\n", first);
}

void VDAEMON_OnlyOneDF()
{
    std::fprintf(stderr, "Only one of -d or -F can be specified\n");
}

vdaemon_opts VDAEMON_Opts(const char *prog)
{
    vdaemon_opts o;
    o.pid_path = std::string("/var/run/") + prog + ".pid";
    return o;
}

bool VDAEMON_StdOption(vdaemon_opts *opts, int ch, const char *arg)
{
    switch (ch) {
    case 'F':
        opts->foreground = !opts->foreground;
        return true;
    case 'S':
        opts->alt_endpoint = !opts->alt_endpoint;
        return true;
    case 'P':
        AN(arg);
        opts->pid_path = arg;
        return true;
    default:
        return false;
    }
}

vpf_file *VDAEMON_PidOpen(const char *path)
{
    vpf_file *pfh = VPF_Open(path, 0644, nullptr);
    if (pfh == nullptr) {
        std::perror(path);
        std::exit(1);
    }
    return pfh;
}

void VDAEMON_Detach(bool keep_cwd)
{
    VAS_ASSERT_TEXT(daemon(keep_cwd ? 1 : 0, 1) == 0, "daemon(0, 1) == 0");
}

int VDAEMON_PidWrite(vpf_file *pfh)
{
    int r = VPF_Write(pfh);
    if (r != 0)
        std::fprintf(stderr, "NOTE: Could not write PID file\n");
    return r;
}

void VDAEMON_OpenLog(const char *ident, int options, int facility)
{
    openlog(ident, options, facility);
    // Every daemon opens its log once, with its own name: it publishes its
    // status file from here on (starts, and what it adds itself).
    (void)VSTAT_Init(ident);
}

vpf_file *VDAEMON_Start(const char *pid_path, bool foreground)
{
    vpf_file *pfh = VDAEMON_PidOpen(pid_path);
    if (!foreground)
        VDAEMON_Detach();
    (void)VDAEMON_PidWrite(pfh);
    return pfh;
}

void VDAEMON_ServerStart(const char *prog, int argc, char **argv)
{
    static const char synopsis[] = " [-d] [-F] [-P pid]\n";
    vdaemon_opts opts = VDAEMON_Opts(prog);
    int debug = 0;
    int ch;
    while ((ch = getopt(argc, argv, "dFP:")) != -1) {
        if (ch == 'd')
            debug++;
        else if (ch == '?' || !VDAEMON_StdOption(&opts, ch, optarg))
            VDAEMON_UsageLine(prog, synopsis);
    }
    if (optind < argc) {
        VDAEMON_TooMany(argv[optind]);
        VDAEMON_UsageLine(prog, synopsis);
    }
    if (debug > 0 && opts.foreground) {
        VDAEMON_OnlyOneDF();
        VDAEMON_UsageLine(prog, synopsis);
    }
    (void)VDAEMON_Start(opts.pid_path.c_str(), opts.foreground || debug > 0);
    VDAEMON_OpenLog(prog);
}
