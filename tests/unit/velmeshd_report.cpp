// The mesh report: its body byte for byte, the rounding of sample times, the
// one-day rule, the ring, and the two jobs driven on the callout wheel with a
// fake clock, with veltalkd, the probes and the master played by the test.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "callout.h"
#include "test_util.h"
#include "velmeshd.h"
#include "vlog.h"
#include "vsb.h"

namespace
{

time_t fake_now;
time_t now_fn()
{
    return fake_now;
}

long fake_ticks;
long ticks_fn()
{
    return fake_ticks;
}

// 07 Dec 2026 14:00:00 UTC.
constexpr time_t T1400 = 1796652000;

std::vector<std::string> posted;
int post_fn(const char *body, ssize_t len)
{
    posted.emplace_back(body, len);
    return 0;
}

std::string hostname()
{
    char h[256] = {};
    gethostname(h, sizeof h - 1);
    return h;
}

std::string body_now(time_t now)
{
    struct vsb *v = VSB_new(nullptr, nullptr, 0, VSB_AUTOEXTEND);
    mesh_body(v, now);
    EXPECT_EQ(VSB_finish(v), 0);
    std::string s(VSB_data(v), VSB_len(v));
    VSB_delete(v);
    return s;
}

void add_sample(mesh_node *n, time_t t, int icmp, int udp, int tcp)
{
    int k = n->count;
    n->sample_time[k] = t;
    n->icmp[k] = icmp;
    n->udp[k] = udp;
    n->tcp[k] = tcp;
    n->count = (k + 1) % MESH_RING;
}

class mesh_report : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        mesh_reset();
        fake_now = T1400;
        mesh.ops.now = now_fn;
        mesh.ops.post = post_fn;
        posted.clear();
        test_util::logged.clear();
        VLOG_SetSink(test_util::capture);
    }
    void TearDown() override
    {
        VLOG_SetSink(nullptr);
        mesh_reset();
    }
};

// The body's layout is the example's, in the test of the jobs below; the
// ring test shows the body rounding.
TEST_F(mesh_report, sample_times_round_up_to_the_half_minute)
{
    const time_t t = T1400;
    struct {
        time_t in, out;
    } cases[] = {{t, t},           {t + 1, t + 30},  {t + 29, t + 30},
                 {t + 30, t + 30}, {t + 31, t + 60}, {t + 60, t + 60}};
    for (const auto &c : cases)
        EXPECT_EQ(mesh_round(c.in), c.out) << c.in - t;
}

TEST_F(mesh_report, a_node_seen_a_day_ago_is_reported_one_second_older_is_kept_back)
{
    const time_t t = T1400;
    fake_now = t - 86401;
    mesh_node *old = node_insert("10.0.0.1", 1, 1);
    fake_now = t - 86400;
    mesh_node *day = node_insert("10.0.0.2", 2, 2);
    add_sample(old, t - 90000, 5, 5, 5);
    add_sample(day, t - 90000, 6, 6, 6);

    EXPECT_EQ(body_now(t), "mesh[]=10.0.0.2;2;Sun, 06 Dec 2026 13:00:00 GMT|;6,;6,;6,&");
    EXPECT_EQ(day->count, 0);
    EXPECT_EQ(old->count, 1);
    // Named again (its numbers stay): what it kept goes out with the next report.
    fake_now = t;
    node_insert("10.0.0.1", 9, 9);
    EXPECT_EQ(body_now(t), "mesh[]=10.0.0.2;2;;;;&"
                           "mesh[]=10.0.0.1;1;Sun, 06 Dec 2026 13:00:00 GMT|;5,;5,;5,&");
    EXPECT_EQ(old->count, 0);
}

TEST_F(mesh_report, the_ring_wraps_after_256_passes_and_keeps_only_the_newest)
{
    mesh_node *n = node_insert("10.0.0.1", 1, 1);
    for (int i = 0; i < MESH_RING + 1; i++)
        add_sample(n, T1400 + 60 * i + 1, i, -1, i); // sent rounded up
    EXPECT_EQ(n->count, 1);
    EXPECT_EQ(body_now(T1400), "mesh[]=10.0.0.1;1;Mon, 07 Dec 2026 18:16:30 GMT|;256,;-1,;256,&");
}

// The whole cycle on the wheel: veltalkd answers twice and is then out of
// reach, the probes give the example's values, the report leaves at 300 s.
int talk_calls;
std::vector<int> talk_peers; // veltalkd's ends, open until the test ends
int talk_fn()
{
    if (talk_calls++ >= 2)
        return -1;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        return -1;
    const char list[] = "UN a b 198.51.100.7 7000 12\r\nUO\r\n";
    if (write(sv[1], list, sizeof list - 1) < 0)
        return -1;
    talk_peers.push_back(sv[1]);
    return sv[0];
}
std::vector<int> icmp_v{23, 22}, udp_v{24, -1}, tcp_v{25, 23};
std::vector<long> probe_ticks;
int icmp_fn(const char *)
{
    probe_ticks.push_back(fake_ticks);
    return icmp_v[talk_calls - 1];
}
int udp_fn(const char *, int)
{
    return udp_v[talk_calls - 1];
}
int tcp_fn(const char *, int)
{
    return tcp_v[talk_calls - 1];
}
unsigned pause_fn(unsigned)
{
    return 0;
}

TEST_F(mesh_report, the_jobs_on_the_wheel_gather_two_samples_and_report_them_as_the_example)
{
    cot_set_clock(ticks_fn);
    fake_ticks = 1000;
    cot_wheel wheel;
    cot_wheel_init(&wheel);
    talk_calls = 0;
    probe_ticks.clear();
    mesh.ops.connect_talk = talk_fn;
    mesh.ops.icmp = icmp_fn;
    mesh.ops.udp = udp_fn;
    mesh.ops.tcp = tcp_fn;
    mesh.ops.pause = pause_fn;
    mesh_start(&wheel, false);

    // The loop's 5-second steps; each pass starts its own minute.
    const time_t t0 = T1400 - 5;
    for (long step = 0; step <= 30000 / 500; step++) {
        fake_ticks = 1000 + step * 500;
        fake_now = t0 + step * 5;
        cot_now(&wheel);
        cot_run_due(&wheel);
    }
    EXPECT_EQ(probe_ticks, (std::vector<long>{1500, 7500}));
    EXPECT_EQ(talk_calls, 5); // at 15, 75, 135, 195 and 255 s
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0], "mode=update&hostname=" + hostname() +
                             "&mesh[]=198.51.100.7;12;Mon, 07 Dec 2026 14:00:00 GMT|"
                             "Mon, 07 Dec 2026 14:01:00 GMT|;23,22,;24,-1,;25,23,&");

    // Five minutes on: the node is still named, with nothing new to show.
    for (long step = 1; step <= 30000 / 500; step++) {
        fake_ticks = 31000 + step * 500;
        cot_now(&wheel);
        cot_run_due(&wheel);
    }
    ASSERT_EQ(posted.size(), 2u);
    EXPECT_EQ(posted[1], "mode=update&hostname=" + hostname() + "&mesh[]=198.51.100.7;12;;;;&");
    cot_wheel_fini(&wheel);
    cot_set_clock(nullptr);
    for (int fd : talk_peers)
        close(fd);
    talk_peers.clear();
}

} // namespace
