#include "velcrond_cron.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "callout.h"
#include "report_client.h"
#include "vas.h"
#include "vlog.h"
#include "vpf.h"
#include "vsb.h"

namespace
{

constexpr uint32_t CRON_MAGIC = 0x6372306e;

// Scanned in this order.
const std::vector<std::string> CMON_DIRS = {
    "/",
    "/opt/velkarn-server/1.6.3/var/",
    "/opt/velkarn-server/1.6.3/var/varnish/wow/",
};

// Callout tags.
enum { CRON_TAG_CMON = 0, CRON_TAG_PMON = 1, CRON_TAG_SMON = 2 };

std::array<cron_daemon, CRON_NDAEMONS> cron_default_daemons()
{
    return {{
        {"velauthd", "/var/run/velauthd.pid", true, false},
        {"veld", "/var/run/veld.pid", false, false},
        {"velechod", "/var/run/velechod.pid", false, false},
        {"vellmond", "/var/run/vellmond.pid", false, false},
        {"velmeshd", "/var/run/velmeshd.pid", false, false},
        {"velrttd", "/var/run/velrttd.pid", false, false},
        {"veltalkd", "/var/run/veltalkd.pid", true, false},
        {"velumond", "/var/run/velumond.pid", false, false},
        {"velurd", "/var/run/velurd.pid", false, false},
        {"velwatchdog", "/var/run/velwatchdog.pid", false, false},
    }};
}

int cron_send_master(const char *path, const char *body, ssize_t len);
void cron_realtime_coarse(struct timespec *ts);

struct cron_state {
    uint32_t magic = 0;
    cot_wheel wheel{};
    cot_entry co[3]{};
    bool check_extra = false;
    bool alt = false;
    // The core scan reports files modified in the whole seconds from
    // last_scan's up to (not including) this_scan's: one clock, the coarse
    // one the file systems stamp with, and no file twice.
    timespec last_scan = {};
    timespec this_scan = {};
    std::array<cron_daemon, CRON_NDAEMONS> daemons = cron_default_daemons();
    std::vector<std::string> coredirs = CMON_DIRS;
    smon_sample prev{};
    bool have_prev = false;
    cron_send_f send = cron_send_master;
    cron_capture_f capture = smon_capture;
    cron_realtime_f realtime = cron_realtime_coarse;
};
cron_state cron;

int cron_send_master(const char *path, const char *body, ssize_t len)
{
    static const rc_caller caller = {rc_voice::LOG_TAGGED, nullptr};
    return RC_Send(&caller, RC_Endpoint(cron.alt), path, body, len);
}

void cron_realtime_coarse(struct timespec *ts)
{
    AZ(clock_gettime(CLOCK_REALTIME_COARSE, ts));
}

// A growing buffer; cond is the assertion text should memory run out.
struct vsb *cron_new_vsb(const char *cond)
{
    struct vsb *s = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    VAS_ASSERT_TEXT(s != nullptr, cond);
    return s;
}

// Finish body, send it to path and delete it; the sender's result.
int cron_send_vsb(const char *path, struct vsb *body)
{
    AZ(VSB_finish(body));
    int r = cron.send(path, VSB_data(body), VSB_len(body));
    VSB_delete(body);
    return r;
}

void cron_reschedule(int tag, cot_func_t func)
{
    (void)COT_SCHEDULE(&cron.wheel, &cron.co[tag], CRON_PERIOD_TICKS, func, nullptr);
}

void cmon_scan_dir(struct vsb *list, const char *dir)
{
    DIR *dirp = opendir(dir);
    if (dirp == nullptr)
        return;
    int err;
    for (;;) {
        errno = 0;
        struct dirent *de = readdir(dirp);
        err = errno;
        if (de == nullptr)
            break;
        (void)cmon_checkname(list, dir, de->d_name);
    }
    if (err != 0)
        VLOG_At(LOG_ERR, "readdir(3) failed: %d %s", err, std::strerror(err));
    VAS_ASSERT_TEXT(closedir(dirp) == 0, "(closedir(dirp)) == 0");
}

} // namespace

bool cmon_corename(const char *name)
{
    AN(name);
    if (std::strncmp(name, "core.", 5) != 0)
        return false;
    for (const char *p = name + 5; *p != '\0'; p++)
        if (*p < '0' || *p > '9')
            return false;
    return true;
}

int cmon_checkname(struct vsb *list, const char *dir, const char *name)
{
    CHECK_OBJ(&cron, CRON_MAGIC);
    if (!cmon_corename(name))
        return 0;
    char fullpath[CMON_PATH_MAX];
    int l = std::snprintf(fullpath, sizeof fullpath, "%s%s", dir, name);
    VAS_ASSERT_TEXT(l >= 0 && (size_t)l < sizeof(fullpath), "l < sizeof(fullpath)");
    struct stat st;
    if (stat(fullpath, &st) != 0) {
        int err = errno;
        VLOG_At(LOG_WARNING, "stat(2) for %s failed: %d %s", fullpath, err, std::strerror(err));
        return 0;
    }
    if (!S_ISREG(st.st_mode))
        return 0;
    // Whole seconds: many file systems (ext4 with small inodes, FAT, some
    // network ones) keep no fraction, so a core written in the rest of the
    // second after this scan began is stamped before its start. A file of
    // the second this scan began in is left for the next scan, whose window
    // starts with that second: each second belongs to exactly one scan.
    if (st.st_mtim.tv_sec < cron.last_scan.tv_sec || st.st_mtim.tv_sec >= cron.this_scan.tv_sec)
        return 0;
    VSB_format(list, "%s,", fullpath);
    return 1;
}

int cmon_report(const char *list, ssize_t len)
{
    char hostname[CMON_HOSTNAME_MAX];
    if (gethostname(hostname, sizeof hostname) != 0) {
        int err = errno;
        VLOG_At(LOG_WARNING, "gethostname(3) failed: %d %s", err, std::strerror(err));
        std::strcpy(hostname, "unknown");
    }
    hostname[sizeof hostname - 1] = '\0';
    struct vsb *body = cron_new_vsb("(body) != 0");
    VSB_format(body, "%s=%s&", "mode", "update");
    VSB_format(body, "%s=%s&", "hostname", hostname);
    VSB_format(body, "%s=%.*s", "list", (int)len, list);
    return cron_send_vsb(CMON_REPORT_PATH, body);
}

void cron_cmon(void *arg)
{
    (void)arg;
    CHECK_OBJ(&cron, CRON_MAGIC);
    struct vsb *list = cron_new_vsb("(list) != 0");
    cron.realtime(&cron.this_scan);
    for (const std::string &dir : cron.coredirs)
        cmon_scan_dir(list, dir.c_str());
    AZ(VSB_finish(list));
    if (VSB_len(list) > 0)
        (void)cmon_report(VSB_data(list), VSB_len(list));
    VSB_delete(list);
    cron.last_scan = cron.this_scan;
    cron_reschedule(CRON_TAG_CMON, cron_cmon);
}

void cron_pmon(void *arg)
{
    (void)arg;
    CHECK_OBJ(&cron, CRON_MAGIC);
    for (cron_daemon &d : cron.daemons) {
        d.alive = false;
        if (d.extra && !cron.check_extra)
            continue;
        pid_t pid;
        if (vpf_read_pid(d.pidfile.c_str(), &pid) != 0) {
            VLOG("[WARN] Failed to read PID file %s", d.pidfile.c_str());
            continue;
        }
        // EPERM: the process exists but belongs to someone else.
        d.alive = kill(pid, 0) == 0 || errno == EPERM;
    }
    struct vsb *body = cron_new_vsb("(body) != 0");
    VSB_format(body, "%s=%s&", "mode", "update");
    for (const cron_daemon &d : cron.daemons)
        VSB_format(body, "%s=%s&", d.name, d.alive ? "True" : "False");
    (void)cron_send_vsb(PMON_REPORT_PATH, body);
    cron_reschedule(CRON_TAG_PMON, cron_pmon);
}

void cron_smon(void *arg)
{
    (void)arg;
    CHECK_OBJ(&cron, CRON_MAGIC);
    smon_sample cur;
    cron.capture(&cur);
    if (cron.have_prev) {
        smon_report r;
        smon_compute(&cron.prev, &cur, &r);
        struct vsb *body = cron_new_vsb("(body) != 0");
        smon_format(body, &r);
        (void)cron_send_vsb(SMON_REPORT_PATH, body);
    }
    // The first capture only gives the next one something to compare with.
    cron.prev = cur;
    cron.have_prev = true;
    cron_reschedule(CRON_TAG_SMON, cron_smon);
}

void cron_init(const cron_opts &o)
{
    cron.magic = CRON_MAGIC;
    cron.check_extra = o.check_extra;
    cron.alt = o.alt;
    cron.have_prev = false;
    for (cron_daemon &d : cron.daemons)
        d.alive = false;
    cron.realtime(&cron.last_scan);
    cron.this_scan = cron.last_scan;
    cot_wheel_init(&cron.wheel);
    for (int tag = 0; tag < 3; tag++)
        cot_entry_init(&cron.co[tag], tag);
    if (o.cmon)
        (void)COT_SCHEDULE(&cron.wheel, &cron.co[CRON_TAG_CMON], CRON_FIRST_TICKS, cron_cmon,
                           nullptr);
    if (o.pmon)
        (void)COT_SCHEDULE(&cron.wheel, &cron.co[CRON_TAG_PMON], CRON_FIRST_TICKS, cron_pmon,
                           nullptr);
    if (o.smon)
        (void)COT_SCHEDULE(&cron.wheel, &cron.co[CRON_TAG_SMON], CRON_FIRST_TICKS, cron_smon,
                           nullptr);
}

void cron_fini()
{
    if (cron.magic == CRON_MAGIC)
        cot_wheel_fini(&cron.wheel);
    cron = cron_state{};
}

void cron_tick()
{
    CHECK_OBJ(&cron, CRON_MAGIC);
    cot_now(&cron.wheel);
    cot_run_due(&cron.wheel);
}

void cron_loop()
{
    for (;;) {
        cron_tick();
        (void)sleep(CRON_SLEEP);
    }
}

std::array<cron_daemon, CRON_NDAEMONS> &cron_daemons()
{
    return cron.daemons;
}

const smon_sample *cron_prev_sample()
{
    return cron.have_prev ? &cron.prev : nullptr;
}

void cron_set_sender(cron_send_f f)
{
    cron.send = f != nullptr ? f : cron_send_master;
}

void cron_set_capture(cron_capture_f f)
{
    cron.capture = f != nullptr ? f : smon_capture;
}

void cron_set_realtime(cron_realtime_f f)
{
    cron.realtime = f != nullptr ? f : cron_realtime_coarse;
}

void cron_set_coredirs(std::vector<std::string> dirs)
{
    cron.coredirs = dirs.empty() ? CMON_DIRS : std::move(dirs);
}
