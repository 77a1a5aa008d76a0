// The shmlog thread: follows veld's shared-memory log and appends every
// usage record, as one line, to the UTC day's usage file.
#pragma once

#include <cstdint>
#include <pthread.h>
#include <string>

#include "vsl.h"

// Seconds to wait after a daily file could not be opened, and between two
// dispatch rounds (each ends after 5 quiet seconds).
constexpr unsigned SHMLOG_OPEN_RETRY = 10;
constexpr unsigned SHMLOG_ROUND_PAUSE = 1;

extern pthread_t shmlog_thread;

// Thread body; never returns. Exits the process with status 1 when the
// shared-memory log cannot be opened.
void *shmlog_start(void *priv);

// Dispatch callback: priv is the open daily file. Usage records go there,
// anything else to standard output, each as "%.*s\n". Gives 0.
int shmlog_emit(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec, const char *ptr,
                uint64_t bitmap);

// Daily file that records arriving at UTC time t belong to.
std::string shmlog_path(double t);

// The durable cursor: where in veld's log the thread stands, and how far the
// daily file it was filing into reached then. Usage records from that place
// on are the complete lines behind that size, then records not filed yet.
constexpr const char *SHMLOG_CURSOR_PATH = "/var/velkarn-server/velumond/shmlog_cursor";
constexpr double SHMLOG_CURSOR_EVERY = 1.0; // seconds between cursor writes while filing

struct shmlog_cursor {
    vsl_pos pos;
    long size = 0;     // bytes of the daily file when the cursor was taken
    std::string daily; // that daily file
};
// 0 with c filled, or -1 after one warning (missing, empty, damaged).
int shmlog_cursor_read(const char *path, shmlog_cursor *c);
// Store c at path, replaced whole. 0 or -1.
int shmlog_cursor_write(const char *path, const shmlog_cursor &c);
// Complete lines of the file behind offset size; -1 when the file is missing
// or shorter than size.
long shmlog_lines_after(const char *path, long size);

// What one dispatch round needs: the open daily file, the reader, and how
// many usage records to pass over because they were filed before a restart.
struct shmlog_ctx {
    FILE *fp = nullptr;
    std::string daily;
    VSM_data *vd = nullptr;
    unsigned long skip = 0;
    const char *cursor_path = SHMLOG_CURSOR_PATH;
    shmlog_cursor last; // the cursor written last
    bool have_last = false;
    double last_time = 0;
    unsigned long seen = 0; // records handed over so far
};
// One dispatch round on c->fp: records as they come, until the log has been
// quiet for VSL_IDLE_USEC with the same file; after a stop request, until it
// (and a log veld has put in its place meanwhile) is read to its current
// end. True in that second case.
bool shmlog_dispatch(shmlog_ctx *c);
// Take the cursor at the reader's place (or at pos when given) and the daily
// file's size, once the file is on disk; nothing when it has not moved.
void shmlog_checkpoint(shmlog_ctx *c, const vsl_pos *pos);
// Put the reader where the cursor file says (see VSL_Resume), logging once
// how; fills c->skip.
void shmlog_resume(shmlog_ctx *c);
// Dispatch callback with priv a shmlog_ctx: as shmlog_emit on c->fp, passing
// over c->skip usage records, and taking the cursor every
// SHMLOG_CURSOR_EVERY seconds and whenever the log file changes.
int shmlog_emit_cursor(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec,
                       const char *ptr, uint64_t bitmap);
