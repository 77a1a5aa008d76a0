// Following veld's log ring from another process: each record published
// after VSL_Open is handed over once, in order.
#pragma once

#include <cstdint>
#include <cstdio>

#include "vsm.h"

constexpr uint32_t VSL_MAGIC = 0x7A31DB38;
constexpr unsigned VSL_F_NONBLOCK = 2;
constexpr unsigned VSL_POLL_USEC = 50000;   // idle wake-up
constexpr unsigned VSL_IDLE_USEC = 5000000; // VSL_NextLog gives up after this

// A record that cannot be followed (a damaged word 0, a misplaced marker) is
// never stepped over and never a reason to read the cycle again: the follower
// waits at it, idling as at the end of the log, until the writer replaces it
// or starts a new cycle, which is then read from its first record. So nothing
// is delivered twice; what the writer put behind the damage in that cycle is
// lost, and a warning says so.
constexpr unsigned VSL_WARN_INTERVAL = 60; // seconds between two such warnings

struct vsl {
    uint32_t magic;            // VSL_MAGIC
    const uint32_t *log_start; // the seq word; null while not bound
    const uint32_t *log_end;
    const uint32_t *log_ptr;
    uint32_t last_seq;
    unsigned flags;
    bool lost;               // no position at all: waiting for seq to leave last_seq
    const uint32_t *damaged; // damaged position already warned about, or null
    double warned;           // monotonic time of the last warning, 0 for none yet
    unsigned unwarned;       // damaged positions met since then without a warning
    // Counting what the writer overtook: its record count segment (null in
    // a file without one), and the writer's number of the record at log_ptr
    // when known.
    const uint32_t *cnt;
    uint64_t next_no;
    bool no_known;
    bool overtaken; // overtaken at overtaken_off: the line waits for the count
    size_t overtaken_off;
    uint64_t n_lost; // records known lost since the follower was set up
};

extern const char *VSL_tags[256];

// Record handler: priv, tag, id, length, spec (0), payload, bitmap (0).
// A non-zero result stops VSL_Dispatch.
using vsl_handler = int(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec,
                        const char *ptr, uint64_t bitmap);

// Where a follower stands, durable across a restart of the reading process:
// which file (device, inode and the allocation sequence veld drew for it),
// which cycle (seq) and which word of the log (0: waiting for the cycle after
// seq).
struct vsl_pos {
    uint64_t dev;
    uint64_t ino;
    uint32_t alloc_seq;
    uint32_t seq;
    uint32_t off;
};

// How VSL_Resume placed the follower.
enum class vsl_resume {
    same_cycle,   // at the position, in the cycle it was taken in
    after_wrap,   // at the position, in a cycle the writer has left meanwhile
    wrapped_past, // the writer overwrote the position: at the current cycle's start
    new_file,     // another file (veld restarted): at its first record
    invalid,      // the position cannot belong to this file: left where it was
};

// The follower's current position; -1 when no file is bound.
int VSL_Position(VSM_data *vd, vsl_pos *pos);
// Put an opened follower where pos says, so that every record published
// since is delivered and none from before it. The result says how.
vsl_resume VSL_Resume(VSM_data *vd, const vsl_pos *pos);

void VSL_Setup(VSM_data *vd);
// Open if needed and skip to the current end of the log. 0 on success.
int VSL_Open(VSM_data *vd, int diag);
void VSL_NonBlocking(VSM_data *vd, int on);
// 1 with *pp at the record's first word; 0 after 5 idle seconds; -1 when
// non-blocking and nothing is there.
int VSL_NextLog(VSM_data *vd, const uint32_t **pp, uint64_t *bitmap);
// Hand records to func; 1 when func stopped it, 0 after an idle period with
// the same file, -1 when non-blocking and nothing is there.
int VSL_Dispatch(VSM_data *vd, vsl_handler *func, void *priv);
// Print one record to the stream priv; gives 0.
vsl_handler VSL_H_Print;

// Internal, called by the handle (vsm_follower_ops): bind the follower to
// the log of a freshly opened file.
void VSL_Open_CallBack(VSM_data *vd);
// Internal, called by the handle: forget the mapping (it is being closed).
void VSL_Unbind(VSM_data *vd);
