// Level-tagged log lines. Every line of the system begins with its level tag,
// and the tag decides the syslog priority: "[CRIT]" critical, "[ERROR]" error,
// "[WARN]" warning, "[INFO]" informational. Untagged lines name their level.
#pragma once

#include <cstdarg>
#include <syslog.h>

// The syslog priority a text's tag names; -1 when it carries no known tag.
int VLOG_Priority(const char *text);

// Write a tagged line at the priority of its tag (untagged: LOG_INFO).
void VLOG(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// Write a line at an explicit priority (for the few lines without a tag).
void VLOG_At(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void VLOG_Va(int priority, const char *fmt, va_list ap);

// Tests capture lines instead of sending them to syslog: a sink set here gets
// every formatted line with its priority; nullptr restores syslog.
using vlog_sink_f = void (*)(int priority, const char *line);
void VLOG_SetSink(vlog_sink_f sink);
