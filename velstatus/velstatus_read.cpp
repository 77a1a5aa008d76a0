#include "velstatus_read.h"

#include <charconv>
#include <cstdlib>
#include <cstring>

#include "vsm_layout.h"

namespace
{

constexpr unsigned USAGE_TAG = 2;   // "TrafficUsage"
constexpr size_t USAGE_FIELDS = 11; // time;real;mono;host;port;mac;K|U;addr;in;out;D

bool to_ll(std::string_view s, long long *v)
{
    auto [p, ec] = std::from_chars(s.data(), s.data() + s.size(), *v);
    return ec == std::errc() && p == s.data() + s.size();
}

bool to_double(std::string_view s, double *v)
{
    std::string t(s);
    char *end = nullptr;
    *v = std::strtod(t.c_str(), &end);
    return !t.empty() && end == t.c_str() + t.size();
}

uint32_t word_at(const uint8_t *p)
{
    uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
}

} // namespace

const char *status_state_name(daemon_state s)
{
    switch (s) {
    case daemon_state::running:
        return "running";
    case daemon_state::stale:
        return "stale";
    case daemon_state::foreign:
        return "foreign";
    case daemon_state::no_pidfile:
        return "no pid file";
    case daemon_state::unreadable:
        return "unreadable";
    }
    return "?";
}

double status_proc_uptime(std::string_view proc_stat, double system_uptime, long ticks)
{
    // The command name sits in parentheses and may hold anything: count the
    // fields after its last closing one. State is field 3, start time field 22.
    size_t close = proc_stat.rfind(')');
    if (close == std::string_view::npos || ticks <= 0)
        return -1;
    std::string_view rest = proc_stat.substr(close + 1);
    int field = 2;
    size_t i = 0;
    while (i < rest.size()) {
        while (i < rest.size() && rest[i] == ' ')
            i++;
        size_t j = i;
        while (j < rest.size() && rest[j] != ' ' && rest[j] != '\n')
            j++;
        if (j == i)
            break;
        if (++field == 22) {
            long long start;
            if (!to_ll(rest.substr(i, j - i), &start) || start < 0)
                return -1;
            double up = system_uptime - static_cast<double>(start) / ticks;
            return up < 0 ? 0 : up;
        }
        i = j;
    }
    return -1;
}

bool status_parse_usage(std::string_view text, usage_record *r)
{
    while (!text.empty() && (text.back() == '\0' || text.back() == '\n'))
        text.remove_suffix(1);
    std::vector<std::string_view> f;
    size_t start = 0;
    for (;;) {
        size_t semi = text.find(';', start);
        f.push_back(text.substr(start, semi == std::string_view::npos ? text.npos : semi - start));
        if (semi == std::string_view::npos)
            break;
        start = semi + 1;
    }
    if (f.size() != USAGE_FIELDS || f[10] != "D" || (f[6] != "K" && f[6] != "U"))
        return false;
    usage_record rec;
    rec.stamp = f[0];
    rec.host = f[3];
    rec.port = f[4];
    rec.mac = f[5];
    rec.type = f[6][0];
    rec.addr = f[7];
    double mono;
    if (!to_double(f[1], &rec.real) || !to_double(f[2], &mono) || !to_ll(f[8], &rec.in) ||
        !to_ll(f[9], &rec.out) || rec.host.empty())
        return false;
    *r = std::move(rec);
    return true;
}

bool status_log_records(const uint8_t *img, size_t len, std::vector<usage_record> *out,
                        std::string *why)
{
    out->clear();
    if (len < VSM_HEAD_SIZE) {
        *why = "the file is shorter than its header";
        return false;
    }
    VSM_head head;
    std::memcpy(&head, img, sizeof head);
    if (head.magic != VSM_HEAD_MAGIC || head.hdr_size != VSM_HEAD_SIZE) {
        *why = "not a shared-memory log file (bad header)";
        return false;
    }
    if (head.shm_size > len) {
        *why = "the file is shorter than its header says (being rewritten?)";
        return false;
    }
    // Walk the chunk list to the log segment; every length is checked
    // against the image before it is followed.
    size_t off = VSM_HEAD_OFFSET;
    const size_t end = head.shm_size;
    for (unsigned n = 0; off + VSM_CHUNK_SIZE <= end; n++) {
        VSM_chunk c;
        std::memcpy(&c, img + off, sizeof c);
        if (c.magic != VSM_CHUNK_MAGIC || c.len < VSM_CHUNK_SIZE || c.len > end - off ||
            n > end / VSM_CHUNK_SIZE) {
            *why = "damaged chunk list";
            return false;
        }
        if (strncmp(c.class_, VSM_CLASS_LOG, sizeof c.class_) != 0) {
            off += c.len;
            continue;
        }
        const uint8_t *log = img + off + VSM_CHUNK_SIZE;
        const size_t log_len = c.len - VSM_CHUNK_SIZE;
        // Records from the first one up to the end marker: the newest lap.
        for (size_t p = VSL_FIRST; p + VSL_HDR <= log_len;) {
            uint32_t w0 = word_at(log + p);
            if (w0 == VSL_ENDMARKER || w0 == VSL_WRAPMARKER)
                return true;
            uint32_t rlen = VSL_LEN(w0);
            if (VSL_BYTES(rlen) > log_len - p) {
                *why = "damaged record in the log";
                return !out->empty();
            }
            usage_record r;
            if (VSL_TAG(w0) == USAGE_TAG &&
                status_parse_usage({reinterpret_cast<const char *>(log + p + VSL_HDR), rlen}, &r))
                out->push_back(std::move(r));
            p += VSL_BYTES(rlen);
        }
        return true;
    }
    *why = "no log segment in the file";
    return false;
}

bool status_latest_round(const std::vector<usage_record> &recs, usage_round *round)
{
    const usage_record *latest = nullptr;
    for (const auto &r : recs)
        if (latest == nullptr || r.real > latest->real)
            latest = &r;
    if (latest == nullptr)
        return false;
    round->stamp = latest->stamp;
    round->real = latest->real;
    round->clients.clear();
    for (const auto &r : recs) {
        if (r.real != latest->real)
            continue;
        client_usage *c = nullptr;
        for (auto &x : round->clients)
            if (x.host == r.host && x.port == r.port && x.mac == r.mac)
                c = &x;
        if (c == nullptr) {
            round->clients.push_back({r.host, r.port, r.mac});
            c = &round->clients.back();
        }
        if (r.type == 'U')
            c->other_traffic = true;
        else if (r.addr == r.host) {
            c->in += r.in; // the transport's own counters
            c->out += r.out;
        } else
            c->remote_addresses++;
    }
    return true;
}

std::string status_json_string(std::string_view s)
{
    std::string o = "\"";
    for (unsigned char ch : s) {
        if (ch == '"' || ch == '\\') {
            o += '\\';
            o += static_cast<char>(ch);
        } else if (ch < 0x20 || ch >= 0x7f) {
            char buf[8];
            snprintf(buf, sizeof buf, "\\u%04x", ch);
            o += buf;
        } else
            o += static_cast<char>(ch);
    }
    return o + "\"";
}
