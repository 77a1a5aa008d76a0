#include "vlog.h"

#include <cstdio>
#include <cstring>

namespace
{
// Where lines go: syslog unless a test installed a sink.
vlog_sink_f vlog_sink = nullptr;

struct level_tag {
    const char *tag;
    int priority;
};
constexpr level_tag level_tags[] = {
    {"[CRIT]", LOG_CRIT},
    {"[ERROR]", LOG_ERR},
    {"[WARN]", LOG_WARNING},
    {"[INFO]", LOG_INFO},
};
} // namespace

int VLOG_Priority(const char *text)
{
    for (const auto &lt : level_tags)
        if (std::strncmp(text, lt.tag, std::strlen(lt.tag)) == 0)
            return lt.priority;
    return -1;
}

void VLOG_Va(int priority, const char *fmt, va_list ap)
{
    if (vlog_sink == nullptr) {
        vsyslog(priority, fmt, ap);
        return;
    }
    char line[8192];
    std::vsnprintf(line, sizeof line, fmt, ap);
    vlog_sink(priority, line);
}

void VLOG(const char *fmt, ...)
{
    int priority = VLOG_Priority(fmt);
    if (priority < 0)
        priority = LOG_INFO;
    va_list ap;
    va_start(ap, fmt);
    VLOG_Va(priority, fmt, ap);
    va_end(ap);
}

void VLOG_At(int priority, const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    VLOG_Va(priority, fmt, ap);
    va_end(ap);
}

void VLOG_SetSink(vlog_sink_f sink)
{
    vlog_sink = sink;
}
