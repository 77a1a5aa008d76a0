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

struct vsl {
    uint32_t magic;            // VSL_MAGIC
    const uint32_t *log_start; // the seq word; null while not bound
    const uint32_t *log_end;
    const uint32_t *log_ptr;
    uint32_t last_seq;
    unsigned flags;
};

extern const char *VSL_tags[256];

// Record handler: priv, tag, id, length, spec (0), payload, bitmap (0).
// A non-zero result stops VSL_Dispatch.
using vsl_handler = int(void *priv, unsigned tag, unsigned id, unsigned len, unsigned spec,
                        const char *ptr, uint64_t bitmap);

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

// Internal: bind the follower to the log of a freshly opened file.
void VSL_Open_CallBack(VSM_data *vd);
// Internal: forget the mapping (the handle is being closed).
void VSL_Unbind(VSM_data *vd);
