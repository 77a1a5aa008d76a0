#include "velumond_shmlog.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/file.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vsl.h"
#include "vsm.h"
#include "vtim.h"
#include "velumond_usage.h"

pthread_t shmlog_thread;

// Tag of the usage records in veld's log.
constexpr unsigned SHMLOG_TAG_USAGE = 2;

std::string shmlog_path(double t)
{
    char day[VTIM_PRINT_SIZE];
    char path[UMON_PATH_MAX];
    VTIM_print(day, "%Y%m%d", t);
    int n = std::snprintf(path, sizeof path, "%s%s.log", UMON_STAT_PREFIX, day);
    VAS_ASSERT(n > 0 && (size_t)n < sizeof path);
    return path;
}

int shmlog_emit(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec, const char *ptr,
                uint64_t bitmap)
{
    (void)id;
    (void)spec;
    (void)bitmap;
    FILE *fp = static_cast<FILE *>(priv);
    AN(fp);
    if (tag == SHMLOG_TAG_USAGE) {
        std::fprintf(fp, "%.*s\n", (int)len, ptr);
        // Each record reaches the file at once: a record still in the stream
        // buffer when the process is killed would be lost for good, since a
        // restarted reader starts at the end of the log.
        std::fflush(fp);
    } else {
        std::fprintf(stdout, "%.*s\n", (int)len, ptr);
        std::fflush(stdout);
    }
    return 0;
}

void *shmlog_start(void *priv)
{
    (void)priv;
    VSM_data *vd = VSM_New();
    AN(vd);
    VSL_Setup(vd);
    if (VSL_Open(vd, 1) != 0)
        std::exit(1);

    for (;;) {
        std::string path = shmlog_path(VTIM_real());
        FILE *fp = std::fopen(path.c_str(), "a+");
        if (fp == nullptr) {
            VLOG("[ERROR] fopen(3) failed: %d %s", errno, std::strerror(errno));
            sleep(SHMLOG_OPEN_RETRY);
            continue;
        }
        if (flock(fileno(fp), LOCK_EX) != 0) {
            VLOG("[ERROR] flock(2) for LOCK_EX failed: %d %s", errno, std::strerror(errno));
        } else {
            (void)VSL_Dispatch(vd, shmlog_emit, fp);
            if (flock(fileno(fp), LOCK_UN) != 0)
                VLOG("[ERROR] flock(2) for LOCK_UN failed: %d %s", errno, std::strerror(errno));
        }
        std::fclose(fp);
        sleep(SHMLOG_ROUND_PAUSE);
    }
}
