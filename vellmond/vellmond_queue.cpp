#include "vellmond_queue.h"

#include <deque>

#include "report_client.h"
#include "vas.h"
#include "vlog.h"
#include "vsb.h"

namespace
{

constexpr unsigned RQ_MAGIC = 0x524d5131;

struct rq_state {
    unsigned magic = RQ_MAGIC;
    std::deque<std::string> lines;
    size_t bytes = 0;   // body bytes of the queued lines
    size_t dropped = 0; // since the last report round
    rq_report_f report = reportResult;
    bool alternate = false;
};

rq_state rq;

size_t field_bytes(const std::string &msg)
{
    return msg.size() + RQ_FIELD_OVERHEAD;
}

void drop_oldest()
{
    rq.bytes -= field_bytes(rq.lines.front());
    rq.lines.pop_front();
    rq.dropped++;
}

} // namespace

void RQ_push(std::string_view msg)
{
    CHECK_OBJ(&rq, RQ_MAGIC);
    rq.lines.emplace_back(msg);
    rq.bytes += field_bytes(rq.lines.back());
    while (rq.lines.size() > 1 && (rq.lines.size() > RQ_MAX_LINES || rq.bytes > RQ_MAX_BYTES))
        drop_oldest();
}

size_t RQ_len()
{
    return rq.lines.size();
}

bool RQ_full(size_t len)
{
    return !rq.lines.empty() && (rq.lines.size() + 1 > RQ_MAX_LINES ||
                                 rq.bytes + len + RQ_FIELD_OVERHEAD > RQ_MAX_BYTES);
}

bool RQ_empty()
{
    return rq.lines.empty();
}

size_t RQ_bytes()
{
    return rq.bytes;
}

const std::string &RQ_at(size_t i)
{
    VAS_ASSERT(i < rq.lines.size());
    return rq.lines[i];
}

size_t RQ_takeDropped()
{
    size_t n = rq.dropped;
    rq.dropped = 0;
    return n;
}

void RQ_clear()
{
    CHECK_OBJ(&rq, RQ_MAGIC);
    rq.lines.clear();
    rq.bytes = 0;
}

void RQ_fillBody(struct vsb *body, void *priv)
{
    (void)priv;
    CHECK_OBJ(&rq, RQ_MAGIC);
    for (const std::string &msg : rq.lines) {
        VSB_cat(body, "result[]=");
        VSB_bcat(body, msg.data(), static_cast<ssize_t>(msg.size()));
        VSB_put_byte(body, '&');
    }
}

void RQ_setReporter(rq_report_f f)
{
    rq.report = f != nullptr ? f : reportResult;
}

void RQ_setAlternate(bool alt)
{
    rq.alternate = alt;
}

int reportResult(void)
{
    static const rc_caller caller = {rc_voice::LOG_UNTAGGED, nullptr};
    return RC_Post(&caller, RC_Endpoint(rq.alternate), LMON_REPORT_PATH, RQ_fillBody, nullptr,
                   true);
}

int RQ_send(void)
{
    CHECK_OBJ(&rq, RQ_MAGIC);
    size_t dropped = RQ_takeDropped();
    if (dropped > 0)
        VLOG("[WARN] Report queue full: dropped the %zu oldest lines.", dropped);
    if (rq.lines.empty())
        return 0;
    int r = rq.report();
    if (r == 0)
        RQ_clear();
    return r;
}
