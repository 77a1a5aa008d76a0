// Daily usage files, their parsing into per-client sums, the report of those
// sums to the master server and the last-committed time that keeps records
// from being reported twice.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <netinet/in.h>
#include <string>
#include <vector>

struct vsb;

constexpr const char *UMON_STAT_PREFIX = "/var/velkarn-server/stat_";
constexpr const char *UMON_LASTCOMMITTED_PATH = "/var/velkarn-server/velumond/t_lastcommitted";
// Where the delivered lines end: "NAME OFFSET WATERMARK INODE\n" for the daily
// file NAME (its base name), written with the last-committed file after every
// delivered report.
constexpr const char *UMON_DELIVERED_PATH = "/var/velkarn-server/velumond/t_delivered";
constexpr const char *UMON_REPORT_PATH = "/report/umon.php";
constexpr size_t UMON_PATH_MAX = 4096;
// Read size of the last-committed file, and bound of one report line.
constexpr size_t UMON_TEXT_MAX = 8192;
// Seconds between attempts at a missing daily file, and between end-of-file
// checks of the open one.
constexpr unsigned UMON_MISSING_SLEEP = 10;
constexpr unsigned UMON_TAIL_SLEEP = 5;

// A line dated further than this ahead of the local clock is refused as
// malformed: taken as the watermark, it would drop every record after it.
constexpr int64_t UMON_FUTURE_SLACK = 86400;

// Sums of one (MAC, client address, remote address); U records use the
// remote address 255.255.255.255 and count as local.
struct res {
    uint8_t mac[6];
    in_addr_t src; // network order
    in_addr_t dst; // network order
    int64_t local_in;
    int64_t local_out;
    int64_t remote_in;
    int64_t remote_out;
};

// Parse one daily-file line (split in place) and add it to the sums. Gives 0
// when the line was counted, -1 when it was dropped (the watermark may still
// have moved: it is taken before the later checks).
int parseLine(char *line);

// strtol base 10 with the checks of the usage monitor. 0, or -1 after logging.
int MNE_strtol(long *out, const char *text);

// The sums, in order of first appearance.
const std::vector<res> &umon_list();
void umon_list_clear();
int64_t umon_watermark();
void umon_set_watermark(int64_t t);
// Back to an empty list and watermark 0 (tests).
void UMON_Reset();

// One result line of an entry, as the master expects it; its length.
int umon_format_res(const res &r, char *buf, size_t size);
// Report body: "result[]=LINE&" for every entry, in list order.
void umon_fill_body(struct vsb *body, void *priv);

// Post the list to "/report/umon.php" (alt: the alternative endpoint). 0 when
// the list counts as delivered (the request went out in full), else -1.
// sent(sent_priv) runs at that moment, before the answer is awaited.
int reportResult(bool alt, void (*sent)(void *) = nullptr, void *sent_priv = nullptr);

// Today's UTC date as YYYYMMDD (size at least 30), and its daily file path.
void buildYmd(char *buf, size_t size);
std::string buildPath(const char *day);
// The daily file for UTC time t.
std::string umon_daily_path(double t);

// The watermark stored at path, or 0 (with an error logged) when the file is
// missing, too short or not a number; now decides what lies in the future.
int64_t umon_read_lastcommitted(const char *path, double now);
// Store t at path as "%jd", replacing the file as a whole. 0 or -1.
int umon_write_lastcommitted(const char *path, int64_t t);
void readLastCommitted();
void writeLastCommitted();

// Where reading a daily file resumes: the offset after its last delivered
// line, and the watermark stored with it.
struct umon_resume {
    long offset = 0;
    int64_t watermark = 0;
};
// The delivered position stored at path for the daily file daily: 0 and r
// filled when it names that file (same name and inode) and a line boundary
// inside it; -1 after one warning when it is missing, damaged, of another
// file or day, or beyond the file's end.
int umon_read_delivered(const char *path, const std::string &daily, umon_resume *r);
// Store the delivered position (daily file, offset, watermark) at pos_path
// and the watermark at lc_path, each replaced whole (temporary file, fsync,
// rename), the position first. 0 or -1.
int umon_write_delivered(const char *pos_path, const char *lc_path, const std::string &daily,
                         FILE *fp, long offset, int64_t watermark);

// Outcome of reading what the daily file holds so far.
enum class umon_tail { end_of_file, partial_line };
// Open a daily file as fopen(path, mode) would ("r" or "a+"), refusing any
// file but a regular one: a FIFO in its place would block the open and fail
// every seek. Null with errno set; EINVAL for a file of another kind.
FILE *umon_fopen_daily(const char *path, const char *mode);

// Replace path whole with len bytes of text (temporary file, fsync, rename,
// directory fsync). 0, or -1 after logging.
int umon_replace_file(const char *path, const char *text, size_t len);

// Cut an unfinished last line (left by a kill during an append) off the
// daily file open in fp, so the next record does not get glued to it. Gives
// the bytes dropped (logged), 0, or -1 when the cut failed.
long umon_mend_daily(FILE *fp, const char *path);

// Parse every complete line from the current position on. The stream is
// left at the start of what is not complete yet (end of file or a line the
// writer has not finished), ready to be read again later.
umon_tail umon_read_lines(FILE *fp);

// Whether to leave the open daily file for the next day's file next: once
// that exists, the writer has closed this one for good, so what it still
// holds is read first, and an unfinished last line no longer holds us back.
bool umon_day_over(FILE *fp, const std::string &next);

// Ordered stop. A stop request (SIGTERM, SIGINT) makes the shmlog thread
// read veld's log to its current end and file every record; the main thread
// then reads the daily file to its end, reports what is due once and
// returns. What is not delivered stays for the next start.
void umon_stop_request();
bool umon_stop_requested();
// Sleep for seconds, cut short by a stop request.
void umon_nap(unsigned seconds);
// The shmlog thread has filed everything up to the log's end after the stop
// request, and its cursor is current.
void umon_shmlog_drained();
// Wait until the shmlog thread says so; false without a stop request.
bool umon_wait_drained();
// Bound of the whole stop in seconds, report included; then velumond exits
// all the same (what it has not delivered is delivered after the next start).
constexpr unsigned UMON_STOP_BOUND = 15;

// The main thread's loop: follow today's file, parse, report. Returns only
// after a stop request, once the last report was tried; true when nothing
// was left undelivered.
bool umon_main_loop(bool alt);
