#include "velcrond_smon.h"

#include <cerrno>
#include <cinttypes>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <string_view>
#include <sys/sysinfo.h>
#include <unistd.h>

#include "vas.h"
#include "vlog.h"
#include "vsb.h"

namespace
{

// Start of the first line that begins with key, or null.
const char *smon_line(const char *text, const char *key)
{
    size_t klen = std::strlen(key);
    for (const char *p = text; p != nullptr && *p != '\0';) {
        if (std::strncmp(p, key, klen) == 0)
            return p;
        p = std::strchr(p, '\n');
        if (p != nullptr)
            p++;
    }
    return nullptr;
}

bool smon_is_sep(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Convert one counter into s->v[slot]; what does not convert is logged and
// leaves the slot 0, so one odd field costs that field and nothing else.
void smon_convert(smon_sample *s, int slot, const char *text, const char *what, const char *source)
{
    uint64_t v;
    if (smon_strtoul_uint64(&v, text, nullptr, 10) != 0) {
        int len = 0;
        while (len < 32 && text[len] != '\0' && !smon_is_sep(text[len]))
            len++;
        VLOG("[WARN] Unparsable counter \"%.*s\" of %s in %s", len, text, what, source);
        return;
    }
    s->v[slot] = v;
}

// The interface line of name: where it starts, after the blanks that align
// the names, or null. Matching at the start of the name keeps "veth0:" or
// "mytap0:" from passing for eth0 or tap0.
const char *smon_if_line(const char *text, const char *name)
{
    size_t nlen = std::strlen(name);
    for (const char *p = text; p != nullptr && *p != '\0';) {
        const char *q = p;
        while (*q == ' ' || *q == '\t')
            q++;
        if (std::strncmp(q, name, nlen) == 0 && q[nlen] == ':')
            return q;
        p = std::strchr(p, '\n');
        if (p != nullptr)
            p++;
    }
    return nullptr;
}

// Split the interface line at line (name, colon, counters) into at most
// SMON_NETDEV_TOKENS tokens; the colon counts as a separator, since wide
// counters follow it without a blank. Gives the number of tokens.
int smon_if_tokens(const char *line, std::string *tok)
{
    const char *eol = std::strchr(line, '\n');
    std::string copy(line, eol != nullptr ? (size_t)(eol - line) : std::strlen(line));
    size_t colon = copy.find(':');
    if (colon != std::string::npos)
        copy[colon] = ' ';
    int n = 0;
    size_t i = 0;
    while (n < SMON_NETDEV_TOKENS) {
        while (i < copy.size() && smon_is_sep(copy[i]))
            i++;
        if (i >= copy.size())
            break;
        size_t start = i;
        while (i < copy.size() && !smon_is_sep(copy[i]))
            i++;
        tok[n++] = copy.substr(start, i - start);
    }
    return n;
}

// Read the interface line of name into the ten slots from base. -1 when the
// line is there but too short, 0 when it is missing, 1 when it was read.
int smon_if_read(smon_sample *s, const char *text, const char *name, int base)
{
    const char *line = smon_if_line(text, name);
    if (line == nullptr)
        return 0;
    std::string tok[SMON_NETDEV_TOKENS];
    if (smon_if_tokens(line, tok) < SMON_NETDEV_NEEDED)
        return -1;
    // Tokens 1..5: rx bytes, packets, errs, drop, fifo; 6..8 (frame,
    // compressed, multicast) are not kept; 9..13: tx bytes, packets, errs,
    // drop, fifo.
    for (int i = 0; i < SMON_IF_COUNTERS; i++) {
        int col = i < 5 ? 1 + i : 4 + i;
        smon_convert(s, base + i, tok[col].c_str(), name, SMON_PROC_NET_DEV);
    }
    return 1;
}

// The number after word in a tc report, blanks skipped, into slot.
void smon_tc_value(smon_sample *s, const char *text, const char *word, int slot)
{
    const char *p = std::strstr(text, word);
    if (p == nullptr)
        return;
    p += std::strlen(word);
    while (*p == ' ' || *p == '\t')
        p++;
    smon_convert(s, slot, p, word, SMON_TC_COMMAND);
}

// Read up to SMON_TEXT_MAX bytes from fd into text; anything beyond is read
// and dropped. Gives the bytes kept, or -1 when a read failed first.
ssize_t smon_read_fd(int fd, std::string *text)
{
    text->clear();
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return text->empty() ? -1 : (ssize_t)text->size();
        if (n == 0)
            return (ssize_t)text->size();
        size_t room = SMON_TEXT_MAX - text->size();
        text->append(buf, (size_t)n < room ? (size_t)n : room);
    }
}

// The whole of a /proc file; a /proc that cannot be opened is a broken
// system, not something to report around. Gives the bytes read (-1: error).
ssize_t smon_proc_file(const char *path, std::string *text)
{
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        VAS_Fail(__func__, __FILE__, __LINE__, "0 == 1");
    ssize_t l = smon_read_fd(fd, text);
    AZ(close(fd));
    return l;
}

} // namespace

int smon_strtoul_uint64(uint64_t *out, const char *text, char **end, int base)
{
    AN(out);
    AN(text);
    char *e;
    errno = 0;
    unsigned long long v = std::strtoull(text, &e, base);
    int err = errno;
    if (end != nullptr)
        *end = e;
    if ((err == ERANGE && v == ULLONG_MAX) || (err != 0 && v == 0) || e == text)
        return -1;
    // strtoull takes "-5" as 2^64 - 5; no counter is negative.
    const char *p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        p++;
    if (*p == '-')
        return -1;
    *out = (uint64_t)v;
    return 0;
}

void smon_parse_stat(smon_sample *s, const char *text)
{
    AN(s);
    AN(text);
    const char *p;
    if ((p = smon_line(text, "cpu ")) != nullptr) {
        unsigned long long c[8] = {};
        (void)std::sscanf(p, "cpu  %llu %llu %llu %llu %llu %llu %llu %llu", &c[0], &c[1], &c[2],
                          &c[3], &c[4], &c[5], &c[6], &c[7]);
        for (int i = 0; i < 8; i++)
            s->v[SMON_CPU + i] = c[i];
    }
    uintmax_t a = 0, b = 0;
    if ((p = smon_line(text, "page ")) != nullptr) {
        a = b = 0;
        (void)std::sscanf(p, "page %ju %ju", &a, &b);
        s->v[SMON_PAGE] = a;
        s->v[SMON_PAGE + 1] = b;
    }
    if ((p = smon_line(text, "swap ")) != nullptr) {
        a = b = 0;
        (void)std::sscanf(p, "swap %ju %ju", &a, &b);
        s->v[SMON_SWAP] = a;
        s->v[SMON_SWAP + 1] = b;
    }
    if ((p = smon_line(text, "intr ")) != nullptr) {
        a = 0;
        (void)std::sscanf(p, "intr %ju", &a);
        s->v[SMON_INTR] = a;
    }
    if ((p = smon_line(text, "ctxt ")) != nullptr) {
        a = 0;
        (void)std::sscanf(p, "ctxt %ju", &a);
        s->v[SMON_CTXT] = a;
    }
    unsigned running = 0, blocked = 0, btime = 0, processes = 0;
    if ((p = smon_line(text, "btime ")) != nullptr)
        (void)std::sscanf(p, "btime %u", &btime);
    if ((p = smon_line(text, "processes ")) != nullptr)
        (void)std::sscanf(p, "processes %u", &processes);
    if ((p = smon_line(text, "procs_running ")) != nullptr)
        (void)std::sscanf(p, "procs_running %u", &running);
    if ((p = smon_line(text, "procs_blocked ")) != nullptr)
        (void)std::sscanf(p, "procs_blocked %u", &blocked);
    smon_set_pair(s, SMON_PROCS, running, blocked);
    smon_set_pair(s, SMON_BOOT, btime, processes);
}

int smon_parse_net_dev(smon_sample *s, const char *text)
{
    AN(s);
    AN(text);
    int eth0 = smon_if_read(s, text, "eth0", SMON_ETH0);
    if (eth0 < 0)
        return 0;
    int tap0 = smon_if_read(s, text, "tap0", SMON_TAP0);
    return eth0 + (tap0 > 0 ? 1 : 0);
}

void smon_parse_tc(smon_sample *s, const char *text)
{
    AN(s);
    AN(text);
    smon_tc_value(s, text, "dropped", SMON_QDROP);
    smon_tc_value(s, text, "overlimits", SMON_QOVER);
}

void smon_proc_stat(smon_sample *s)
{
    std::string text;
    (void)smon_proc_file(SMON_PROC_STAT, &text);
    smon_parse_stat(s, text.c_str());
}

void smon_proc_net_dev(smon_sample *s)
{
    std::string text;
    ssize_t l = smon_proc_file(SMON_PROC_NET_DEV, &text);
    VAS_ASSERT(l > 0);
    (void)smon_parse_net_dev(s, text.c_str());
}

void smon_proc_sbin_tc(smon_sample *s)
{
    std::FILE *fp = popen(SMON_TC_COMMAND, "re");
    if (fp == nullptr)
        return;
    std::string text;
    ssize_t l = smon_read_fd(fileno(fp), &text);
    (void)pclose(fp);
    if (l <= 0)
        return;
    smon_parse_tc(s, text.c_str());
}

void smon_capture(smon_sample *s)
{
    AN(s);
    std::memset(s, 0, sizeof *s);
    struct sysinfo si;
    if (sysinfo(&si) == 0)
        s->v[SMON_UPTIME] = (uint64_t)si.uptime;
    smon_proc_stat(s);
    smon_proc_net_dev(s);
    smon_proc_sbin_tc(s);
}

uint64_t smon_counter_delta(uint64_t prev, uint64_t cur)
{
    return cur >= prev ? cur - prev : cur;
}

void smon_compute(const smon_sample *prev, const smon_sample *cur, smon_report *r)
{
    AN(prev);
    AN(cur);
    AN(r);
    // A CPU time that went back (the kernel's idle and iowait times may, on
    // some configurations) counts as no time rather than as 2^64 minus a bit.
    auto d = [&](int i) {
        uint64_t p = prev->v[SMON_CPU + i], c = cur->v[SMON_CPU + i];
        return c >= p ? c - p : 0;
    };
    uint64_t user = d(SMON_USER) + d(SMON_NICE);
    uint64_t sys = d(SMON_SYSTEM) + d(SMON_IRQ) + d(SMON_SOFTIRQ);
    uint64_t idle = d(SMON_IDLE);
    uint64_t iowait = d(SMON_IOWAIT);
    uint64_t steal = d(SMON_STEAL);
    uint64_t total = user + sys + idle + iowait + steal;
    auto share = [&](uint64_t x) -> unsigned {
        if (total == 0)
            return 0;
        return (unsigned)((x * 100 + total / 2) / total);
    };
    r->uptime = (long)cur->v[SMON_UPTIME];
    r->cpu_puse = share(user);
    r->cpu_psys = share(sys);
    r->cpu_pidl = share(idle);
    r->cpu_piow = share(iowait);
    r->cpu_pstl = share(steal);
    r->running = smon_lo(cur, SMON_PROCS);
    r->blocked = smon_hi(cur, SMON_PROCS);
    for (int i = 0; i < SMON_DELTAS; i++)
        r->delta[i] =
            smon_counter_delta(prev->v[SMON_DELTA_FIRST + i], cur->v[SMON_DELTA_FIRST + i]);
}

void smon_format(struct vsb *body, const smon_report *r)
{
    static const char *const delta_names[SMON_DELTAS] = {
        "eth0_rx_bytes",   "eth0_rx_packets", "eth0_rx_errs", "eth0_rx_drop", "eth0_rx_fifo",
        "eth0_tx_bytes",   "eth0_tx_packets", "eth0_tx_errs", "eth0_tx_drop", "eth0_tx_fifo",
        "tap0_rx_bytes",   "tap0_rx_packets", "tap0_rx_errs", "tap0_rx_drop", "tap0_rx_fifo",
        "tap0_tx_bytes",   "tap0_tx_packets", "tap0_tx_errs", "tap0_tx_drop", "tap0_tx_fifo",
        "tap0_qdisc_drop", "tap0_qdisc_fifo",
    };
    AN(body);
    AN(r);
    VSB_format(body, "%s=%ld&", "uptime", r->uptime);
    VSB_format(body, "%s=%u&", "cpu_puse", r->cpu_puse);
    VSB_format(body, "%s=%u&", "cpu_psys", r->cpu_psys);
    VSB_format(body, "%s=%u&", "cpu_pidl", r->cpu_pidl);
    VSB_format(body, "%s=%u&", "cpu_piow", r->cpu_piow);
    VSB_format(body, "%s=%u&", "cpu_pstl", r->cpu_pstl);
    VSB_format(body, "%s=%u&", "running", r->running);
    VSB_format(body, "%s=%u&", "blocked", r->blocked);
    for (int i = 0; i < SMON_DELTAS; i++)
        VSB_format(body, "%s=%ju&", delta_names[i], (uintmax_t)r->delta[i]);
}
