// The queue of log lines waiting for the master server, and their report.
//
// Lines stay queued, in the order they were logged, until the master answers
// a report with status 200. While it cannot be reached the queue is bounded:
// past RQ_MAX_LINES lines or RQ_MAX_BYTES bytes of report body the oldest
// lines go, and the next report round says how many.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

struct vsb;

constexpr const char *LMON_REPORT_PATH = "/report/lmon.php";
constexpr size_t RQ_MAX_LINES = 10000;
constexpr size_t RQ_MAX_BYTES = 1 << 20; // of the report body they would make
// What one line adds to the body besides its text: "result[]=" and "&".
constexpr size_t RQ_FIELD_OVERHEAD = 10;

// Append a line (taken as it is) at the tail, dropping the oldest lines when
// the bound is passed. The newest line always stays.
void RQ_push(std::string_view msg);
size_t RQ_len();
// Whether a line of len bytes would push the oldest line out.
bool RQ_full(size_t len);
bool RQ_empty();
// Body bytes the queued lines make.
size_t RQ_bytes();
const std::string &RQ_at(size_t i);
// Lines dropped since the last call; the count starts again at 0.
size_t RQ_takeDropped();
void RQ_clear();

// Report body: "result[]=LINE&" per queued line, oldest first.
void RQ_fillBody(struct vsb *body, void *priv);

// Who posts the queue: gives 0 when the master took it. Tests replace it.
using rq_report_f = int (*)(void);
void RQ_setReporter(rq_report_f f);
// Which endpoint reportResult uses (the -S option).
void RQ_setAlternate(bool alt);

// Post the queue to "/report/lmon.php": 0 only for a parsed answer with
// status 200.
int reportResult(void);

// One report round: log the lines dropped since the last round, then, when
// lines wait, post them; emptied only when the post succeeds. Gives the
// post's result, or 0 when nothing waited.
int RQ_send(void);
