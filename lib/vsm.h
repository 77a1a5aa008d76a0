// Read-only access to veld's shared-memory file: opening, re-opening after
// veld restarted, and walks over its chunk list. Nothing here writes to the
// file or takes a lock on it.
#pragma once

#include <cstdint>
#include <sys/stat.h>

#include "vsm_layout.h"

constexpr uint32_t VSM_MAGIC = 0x6E3BD69B;
constexpr const char *VSM_DEFAULT_DIR = "/var/velkarn-server/veld";
constexpr const char *VSM_FILENAME = "_.vsm";
constexpr unsigned VSM_INIT_TRIES = 20;   // waits of 50 ms for alloc_seq
constexpr unsigned VSM_REOPEN_TRIES = 5;  // silent attempts before the last one
constexpr unsigned VSM_PATH_LIMIT = 4096; // including the NUL
constexpr unsigned VSM_WALK_TRIES = 100;  // walks interrupted by the writer

using vsm_diag_f = int(void *priv, const char *fmt, ...);

struct vsl;
struct VSM_data;

// What a follower of the log (vsl.h) set up on a handle is told: a file was
// opened, the file is about to be closed, the handle is being freed.
struct vsm_follower_ops {
    void (*opened)(VSM_data *vd);
    void (*closing)(VSM_data *vd);
    void (*release)(VSM_data *vd);
};

struct VSM_data {
    uint32_t magic; // VSM_MAGIC
    vsm_diag_f *diag;
    void *priv;
    char *n_opt;
    char *fname;
    int vsm_fd; // -1 when closed
    struct stat fstat;
    struct VSM_head *VSM_head; // null when closed
    const uint8_t *vsm_end;    // mapping + the shm_size checked at open
    uint32_t alloc_seq;
    void *vsc;                        // no counter segment in this system
    struct vsl *vsl;                  // the follower, or null
    const vsm_follower_ops *follower; // its operations while vsl is set
};

VSM_data *VSM_New(void);
// Replace the diagnostic printer (default: fprintf to stderr).
void VSM_Diag(VSM_data *vd, vsm_diag_f *func, void *priv);
// Instance name or directory; 1 on success, -1 after printing why not.
int VSM_n_Arg(VSM_data *vd, const char *name);
// Map an instance name to its name, directory and file; each output given
// receives a malloc'ed copy. 0, or -1 with errno.
int VIN_N_Arg(const char *n, char **name, char **dir, char **file);
// 0 on success, 1 on failure (described when diag is non-zero).
int VSM_Open(VSM_data *vd, int diag);
// 0: the same file (or none) is there; 1: a new file was opened; -1: a new
// file exists but could not be opened, and the handle is closed. A closed
// handle is opened again if the file exists.
int VSM_ReOpen(VSM_data *vd, int diag);
void VSM_Close(VSM_data *vd);
// Close and free the handle with its follower (the daemon never needs to).
void VSM_Delete(VSM_data *vd);

// Chunk walks end early when the writer changes the list meanwhile.
const VSM_chunk *VSM_iter0(VSM_data *vd);
const VSM_chunk *VSM_itern(VSM_data *vd, const VSM_chunk *c);
// First chunk of class (and of type and ident, when given), or null.
const VSM_chunk *VSM_find_alloc(VSM_data *vd, const char *class_, const char *type,
                                const char *ident);

// Internal: opens vd->fname; used by VSM_Open and VSM_ReOpen.
int vsm_open(VSM_data *vd, int diag);
