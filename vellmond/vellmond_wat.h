// Log-file watches of the log monitor: each watched path is followed through
// the process's one inotify instance, its new lines are split, filtered and
// queued, and the queue is posted to the master server after every read.
//
// A watch opened at start-up begins at the end of its file, so nothing that
// was logged before the monitor ran is reported. A file that appears or is
// replaced later is read from its first byte: whatever was written to it
// before the next check belongs to this run.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

constexpr unsigned WAT_MAGIC = 0x57415431;
// Modification, creation and deletion.
constexpr unsigned WAT_MASK = 0x302;
// Bytes taken from a stream in one read.
constexpr size_t WAT_CHUNK = 65536;
// A line that grows past this without a newline is cut here, so that a file
// without line ends cannot make the monitor hold it all in memory.
constexpr size_t WAT_LINE_MAX = 1 << 20;

// Whether a line (without its newline) is worth reporting.
using wat_filter_f = bool (*)(std::string_view line);

// Lines holding "[ERROR]", "[CRIT]" or "[FATAL]" anywhere.
bool WAT_errorFilter(std::string_view line);
// Every line.
bool WAT_allFilter(std::string_view line);

struct wat_watch {
    unsigned magic;
    int fd;           // the process's inotify instance
    int wd;           // watch descriptor, -1 when there is none
    std::string path; // the followed path
    FILE *fp;         // read stream, null when the file is not open
    off_t offset;     // where reading began when the file was opened
    struct stat st;   // identity (device, inode) of the open file
    wat_filter_f filter;
    // Identity of the regular file found at start-up, until the watch first
    // opens a file: that one is followed from its end even when it could only
    // be opened later.
    bool start_known;
    dev_t start_dev;
    ino_t start_ino;
    std::string pending; // the unfinished last line read so far
    size_t line_max;     // see WAT_LINE_MAX
};

// Create the watch of path (its first check done as the start-up check) and
// append it to the watch list.
wat_watch *WAT_add(int fd, const char *path, wat_filter_f filter);

// Follow the file now named by the watch's path: a file replaced since it was
// opened is read to its end and closed, a file not open yet is watched and
// opened. Gives true when a file was opened by this check.
bool WAT_check(wat_watch *wl);

// Read what the open stream holds, queue the lines the filter accepts, and
// post the queue when it is not empty; a successful post empties it. A read
// that brings more than the queue holds posts it whenever it is full, and
// stops trying for this read when such a post fails.
void WAT_read(wat_watch *wl);

// One line of the watch's file (with or without its line end): filter, trim
// trailing white space and queue it.
void WAT_parseLine(wat_watch *wl, std::string_view line);

// Bytes read from the watch's file, in file order and cut anywhere: every
// complete line goes to WAT_parseLine, the unfinished rest waits for more.
void WAT_feed(wat_watch *wl, const char *data, size_t len);
// The unfinished rest as a last line (the file is left for good).
void WAT_flush(wat_watch *wl);

// The watch list in insertion order, and a watch by its descriptor.
size_t WAT_count();
wat_watch *WAT_at(size_t i);
wat_watch *WAT_find(int wd);

// A buffer of inotify events: every event of a known watch descriptor checks
// and reads that watch; a queue overflow checks and reads them all.
void WAT_dispatch(const char *buf, size_t len);
// The loop's quiet moment: check every watch in list order, and read a file
// that this check opened.
void WAT_timeout();
// Drop every watch (tests).
void WAT_reset();

// A watch that is not in the list and has no file, for feeding bytes by hand
// (tests, fuzzing). Released with WAT_free.
wat_watch *WAT_detached(wat_filter_f filter);
void WAT_free(wat_watch *wl);
