// Machine counters: the number conversion, the three source readers on
// fixed texts, and the arithmetic and body of the machine report.
#include <gtest/gtest.h>

#include <string>

#include "test_util.h"
#include "velcrond_smon.h"
#include "vlog.h"
#include "vsb.h"

namespace
{

class smon : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        test_util::logged.clear();
        VLOG_SetSink(test_util::capture);
    }
    void TearDown() override { VLOG_SetSink(nullptr); }
};

TEST_F(smon, strtoul_limits)
{
    struct {
        const char *text;
        int base, result;
        uint64_t value;
    } cases[] = {
        {"0", 10, 0, 0},      {"18446744073709551615", 10, 0, UINT64_MAX},
        {"  42 ", 10, 0, 42}, {"42abc", 10, 0, 42},
        {"", 10, -1, 0},      {"18446744073709551616", 10, -1, 0},
        {"abc", 10, -1, 0},   {"-1", 10, -1, 0}, // strtoull would make it 2^64 - 1
        {"12", 1, -1, 0},                        // no such base: EINVAL with 0
    };
    for (const auto &c : cases) {
        uint64_t v = 7;
        EXPECT_EQ(smon_strtoul_uint64(&v, c.text, nullptr, c.base), c.result) << c.text;
        EXPECT_EQ(v, c.result == 0 ? c.value : 7u) << c.text; // a failure stores nothing
    }
}

TEST_F(smon, proc_stat)
{
    smon_sample s{};
    smon_parse_stat(&s, "cpu  13171 7 2334 42471 140 3 23 6 0 0\ncpu0 1 1 1 1 1 1 1 1 0 0\n"
                        "page 5741 1808\nswap 1 2\nintr 114930548 113199788 3\nctxt 217380\n"
                        "btime 1796733708\nprocesses 9842\nprocs_running 3\nprocs_blocked 1\n");
    const uint64_t want[20] = {0,  0, 0,    0,    13171, 7, 2334,      42471,  140, 3,
                               23, 6, 5741, 1808, 1,     2, 114930548, 217380, 0,   0};
    for (int i = 0; i < 18; i++)
        EXPECT_EQ(s.v[i], want[i]) << "slot " << i;
    EXPECT_EQ(smon_lo(&s, SMON_PROCS), 3u);
    EXPECT_EQ(smon_hi(&s, SMON_PROCS), 1u);
    EXPECT_EQ(smon_lo(&s, SMON_BOOT), 1796733708u);
    EXPECT_EQ(smon_hi(&s, SMON_BOOT), 9842u);

    // A short cpu line fills what it has; a keyword counts only at the start
    // of a line; a missing one leaves its slots 0.
    smon_sample t{};
    smon_parse_stat(&t, "cpu0 9 9 9 9\ncpu  5 6 7\nxctxt 77\nprocs_blocked 2\n");
    EXPECT_EQ(t.v[SMON_CPU + SMON_USER], 5u);
    EXPECT_EQ(t.v[SMON_CPU + SMON_SYSTEM], 7u);
    EXPECT_EQ(t.v[SMON_CPU + SMON_IDLE], 0u);
    EXPECT_EQ(t.v[SMON_CTXT], 0u);
    EXPECT_EQ(t.v[SMON_PROCS], (uint64_t)2 << 32);
}

// eth0's counters are 1..16, tap0's 101..116, a decoy's 900.
const std::string HEAD = "Inter-|   Receive |  Transmit\n face |bytes    packets errs drop|bytes\n";
const std::string VETH =
    " veth0: 900 900 900 900 900 900 900 900 900 900 900 900 900 900 900 900\n";
const std::string ETH0 = "  eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13 14 15 16\n";
const std::string TAP0 = "  tap0:101 102 103 104 105 106 107 108 109 110 111 112 113 114 115 116\n";

// The ten slots from base hold counters first.. in /proc/net/dev's columns
// 1..5 and 9..13, or are all 0 when first is 0.
void expect_if(const smon_sample &s, int base, uint64_t first)
{
    const int col[SMON_IF_COUNTERS] = {1, 2, 3, 4, 5, 9, 10, 11, 12, 13};
    for (int i = 0; i < SMON_IF_COUNTERS; i++)
        EXPECT_EQ(s.v[base + i], first == 0 ? 0 : first - 1 + col[i]) << "slot " << base + i;
}

TEST_F(smon, proc_net_dev)
{
    struct {
        const char *what;
        std::string text;
        int read;
        uint64_t eth0, tap0; // first counter expected, 0: all slots 0
    } cases[] = {
        {"node", HEAD + VETH + TAP0 + ETH0, 2, 1, 101},
        // a short eth0 stops the reading, and the next line's tokens are not its
        {"short eth0", HEAD + "  eth0: 1 2 3 4 5 6 7 8 9 10 11 12\n" + TAP0, 0, 0, 0},
        {"short tap0", HEAD + ETH0 + "  tap0: 1 2 3\n", 1, 1, 0},
        {"no eth0", HEAD + VETH + TAP0, 1, 0, 101},
        {"unterminated", TAP0 + "eth0: 1 2 3 4 5 6 7 8 9 10 11 12 13", 2, 1, 101},
        {"empty", "", 0, 0, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        smon_sample s{};
        EXPECT_EQ(smon_parse_net_dev(&s, c.text.c_str()), c.read);
        expect_if(s, SMON_ETH0, c.eth0);
        expect_if(s, SMON_TAP0, c.tap0);
    }
    EXPECT_TRUE(test_util::logged.empty());

    // An odd counter costs that counter only, with a warning.
    smon_sample s{};
    EXPECT_EQ(smon_parse_net_dev(&s, "eth0: 1 2 x3 4 5 6 7 8 -9 10 11 12 13 14\n"), 1);
    EXPECT_EQ(s.v[SMON_ETH0 + 1], 2u);
    EXPECT_EQ(s.v[SMON_ETH0 + 2], 0u);
    EXPECT_EQ(s.v[SMON_ETH0 + 5], 0u);
    EXPECT_EQ(s.v[SMON_ETH0 + 9], 13u);
    EXPECT_EQ(test_util::logged,
              (decltype(test_util::logged){
                  {LOG_WARNING, "[WARN] Unparsable counter \"x3\" of eth0 in /proc/net/dev"},
                  {LOG_WARNING, "[WARN] Unparsable counter \"-9\" of eth0 in /proc/net/dev"}}));
}

TEST_F(smon, tc_output)
{
    struct {
        const char *text;
        uint64_t drop, over;
        size_t warnings;
    } cases[] = {
        {"qdisc tbf 8001: root refcnt 2 rate 1Mbit burst 1600b lat 50ms \n Sent 37120 bytes 29 pkt "
         "(dropped 171, overlimits 199 requeues 0) \n backlog 0b 0p requeues 0\n",
         171, 199, 0},
        {"(dropped\t 18446744073709551615, overlimits 0", UINT64_MAX, 0, 0},
        {"overlimits 5 dropped 6", 6, 5, 0},
        {"Cannot find device \"tap0\"\n", 0, 0, 0},
        {"dropped, overlimits\n", 0, 0, 2},
    };
    for (const auto &c : cases) {
        test_util::logged.clear();
        smon_sample s{};
        smon_parse_tc(&s, c.text);
        EXPECT_EQ(s.v[SMON_QDROP], c.drop) << c.text;
        EXPECT_EQ(s.v[SMON_QOVER], c.over) << c.text;
        EXPECT_EQ(test_util::logged.size(), c.warnings) << c.text;
    }
}

TEST_F(smon, cpu_shares)
{
    // user nice system idle iowait irq softirq steal, as changes from 1000 each
    struct {
        const char *what;
        int64_t d[8];
        unsigned use, sys, idl, iow, stl;
    } cases[] = {
        {"no time passed", {0, 0, 0, 0, 0, 0, 0, 0}, 0, 0, 0, 0, 0},
        {"thirds", {1, 0, 1, 1, 0, 0, 0, 0}, 33, 33, 33, 0, 0},
        {"two thirds round up", {2, 0, 0, 1, 0, 0, 0, 0}, 67, 0, 33, 0, 0},
        {"a half rounds up", {1, 0, 0, 7, 0, 0, 0, 0}, 13, 0, 88, 0, 0},
        {"nice is user, irq and softirq system", {10, 30, 5, 40, 0, 10, 5, 0}, 40, 20, 40, 0, 0},
        {"iowait and steal", {0, 0, 0, 50, 25, 0, 0, 25}, 0, 0, 50, 25, 25},
        {"idle went back", {3, 0, 1, -5, 0, 0, 0, 0}, 75, 25, 0, 0, 0},
        {"iowait went back", {1, 0, 0, 1, -3, 0, 0, 0}, 50, 0, 50, 0, 0},
    };
    for (const auto &c : cases) {
        smon_sample prev{}, cur{};
        for (int i = 0; i < 8; i++) {
            prev.v[SMON_CPU + i] = 1000;
            cur.v[SMON_CPU + i] = (uint64_t)(1000 + c.d[i]);
        }
        smon_report r;
        smon_compute(&prev, &cur, &r);
        EXPECT_EQ(
            (std::vector<unsigned>{r.cpu_puse, r.cpu_psys, r.cpu_pidl, r.cpu_piow, r.cpu_pstl}),
            (std::vector<unsigned>{c.use, c.sys, c.idl, c.iow, c.stl}))
            << c.what;
    }
}

TEST_F(smon, counter_deltas_and_body)
{
    smon_sample prev{}, cur{};
    for (int i = SMON_DELTA_FIRST; i < SMON_SLOTS; i++) {
        prev.v[i] = 1000;
        cur.v[i] = 1000 + i; // grew by the slot number
    }
    prev.v[SMON_ETH0 + 5] = 5000; // restarted below the old value: its value is the change
    cur.v[SMON_ETH0 + 5] = 70;
    prev.v[SMON_TAP0] = UINT64_MAX - 1;
    cur.v[SMON_TAP0] = UINT64_MAX;
    cur.v[SMON_QOVER] = 1000; // unchanged
    cur.v[SMON_UPTIME] = 86400;
    smon_set_pair(&cur, SMON_PROCS, 4, 2);
    smon_set_pair(&prev, SMON_PROCS, 9, 9);
    cur.v[SMON_CPU + SMON_USER] = 30;
    cur.v[SMON_CPU + SMON_IDLE] = 70;

    smon_report r;
    smon_compute(&prev, &cur, &r);
    struct vsb *b = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    smon_format(b, &r);
    ASSERT_EQ(VSB_finish(b), 0);
    EXPECT_STREQ(VSB_data(b),
                 "uptime=86400&cpu_puse=30&cpu_psys=0&cpu_pidl=70&cpu_piow=0&cpu_pstl=0&running=4&"
                 "blocked=2&eth0_rx_bytes=20&eth0_rx_packets=21&eth0_rx_errs=22&eth0_rx_drop=23&"
                 "eth0_rx_fifo=24&eth0_tx_bytes=70&eth0_tx_packets=26&eth0_tx_errs=27&"
                 "eth0_tx_drop=28&eth0_tx_fifo=29&tap0_rx_bytes=1&tap0_rx_packets=31&"
                 "tap0_rx_errs=32&tap0_rx_drop=33&tap0_rx_fifo=34&tap0_tx_bytes=35&"
                 "tap0_tx_packets=36&tap0_tx_errs=37&tap0_tx_drop=38&tap0_tx_fifo=39&"
                 "tap0_qdisc_drop=40&tap0_qdisc_fifo=0&");
    VSB_delete(b);
    EXPECT_EQ(smon_counter_delta(UINT64_MAX, 0), 0u);
}

} // namespace
