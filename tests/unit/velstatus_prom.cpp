#include <gtest/gtest.h>

#include "velstatus_prom.h"

namespace
{

prom_daemon daemon_of(const char *name, daemon_state state, pid_t pid)
{
    prom_daemon d;
    d.st.name = name;
    d.st.state = state;
    d.st.pid = pid;
    d.st.uptime = state == daemon_state::running ? 100 : -1;
    return d;
}

bool has(const std::string &text, const std::string &line)
{
    return text.find(line + "\n") != std::string::npos;
}

prom_input node()
{
    prom_input in;
    in.now = 1700000500;
    in.boot_id = "b00f";
    return in;
}

TEST(VelstatusProm, DaemonsUpStartAndRestartsThisBoot)
{
    prom_input in = node();
    prom_daemon veld = daemon_of("veld", daemon_state::running, 42);
    veld.file_ok = true;
    veld.file.pid = 42;
    veld.file.boot_id = "b00f";
    veld.file.starts = 3;
    veld.file.updated = 1700000499;
    in.daemons.push_back(veld);
    prom_daemon crond = daemon_of("velcrond", daemon_state::stale, 7);
    crond.reports = true;
    crond.file_ok = true;
    crond.file.pid = 7;
    crond.file.boot_id = "0ld"; // written before the machine booted
    crond.file.starts = 9;
    in.daemons.push_back(crond);
    in.daemons.push_back(daemon_of("velurd", daemon_state::no_pidfile, -1));
    std::string t = status_prometheus(in);
    EXPECT_TRUE(has(t, "velkarn_daemon_up{daemon=\"veld\"} 1"));
    EXPECT_TRUE(has(t, "velkarn_daemon_up{daemon=\"velcrond\"} 0"));
    EXPECT_TRUE(has(t, "velkarn_daemon_up{daemon=\"velurd\"} 0"));
    EXPECT_TRUE(has(t, "velkarn_daemon_start_time_seconds{daemon=\"veld\"} 1700000400"));
    EXPECT_EQ(t.find("velkarn_daemon_start_time_seconds{daemon=\"velcrond\""), std::string::npos);
    EXPECT_TRUE(has(t, "velkarn_daemon_restarts_total{daemon=\"veld\"} 2"));
    EXPECT_TRUE(has(t, "velkarn_daemon_restarts_total{daemon=\"velcrond\"} 0"));
    // A reporting daemon that never reported: counters 0, last success 0 (never).
    EXPECT_TRUE(has(t, "velkarn_master_reports_total{daemon=\"velcrond\"} 0"));
    EXPECT_TRUE(has(t, "velkarn_master_report_last_success_time_seconds{daemon=\"velcrond\"} 0"));
    EXPECT_EQ(t.find("velkarn_master_reports_total{daemon=\"veld\""), std::string::npos);
    // Each family once, HELP and TYPE before its samples.
    size_t help = t.find("# HELP velkarn_daemon_up ");
    size_t type = t.find("# TYPE velkarn_daemon_up gauge\n");
    ASSERT_NE(help, std::string::npos);
    EXPECT_LT(help, type);
    EXPECT_LT(type, t.find("velkarn_daemon_up{"));
    EXPECT_EQ(t.find("# TYPE velkarn_daemon_up", type + 1), std::string::npos);
}

TEST(VelstatusProm, VeldGaugesOnlyFromTheRunningProcessCountersAlways)
{
    for (bool live : {true, false}) {
        prom_input in = node();
        prom_daemon veld = daemon_of("veld", daemon_state::running, live ? 42 : 43);
        veld.file_ok = true;
        veld.file.pid = 42; // the file of the process that ran before, when not live
        veld.file.values = {{"sessions_udp", 5},
                            {"tcp_connections", 2},
                            {"frames_in_udp_total", 10},
                            {"bytes_out_tcp_total", 12345678901234.0},
                            {"refused_sessions_per_endpoint_total", 4}};
        in.daemons.push_back(veld);
        std::string t = status_prometheus(in);
        EXPECT_EQ(has(t, "velkarn_veld_sessions{transport=\"udp\"} 5"), live);
        EXPECT_EQ(has(t, "velkarn_veld_sessions{transport=\"icmp\"} 0"), live);
        EXPECT_EQ(has(t, "velkarn_veld_tcp_connections 2"), live);
        EXPECT_TRUE(has(t, "velkarn_veld_frames_received_total{transport=\"udp\"} 10"));
        EXPECT_TRUE(has(t, "velkarn_veld_frames_received_total{transport=\"tcp\"} 0"));
        EXPECT_TRUE(has(t, "velkarn_veld_sent_bytes_total{transport=\"tcp\"} 12345678901234"));
        EXPECT_TRUE(has(t, "velkarn_veld_refused_total{limit=\"sessions_per_endpoint\"} 4"));
        EXPECT_TRUE(has(t, "velkarn_veld_refused_total{limit=\"tcp_write_queue\"} 0"));
    }
}

TEST(VelstatusProm, VelumondLagAgainstVeldsNewestRound)
{
    struct {
        bool round_ok, committed_ok;
        double real, committed;
        const char *lag; // null: no sample
    } cases[] = {
        {true, true, 1700000400.75, 1700000100, "300"},
        {true, true, 1700000400.75, 1700000400, "0"}, // the round's own second
        {true, true, 1700000000, 1700000400, "0"},    // committed ahead (clock step)
        {false, true, 0, 1700000400, "0"},            // nothing in veld's log
        {true, false, 1700000400, 0, nullptr},        // nothing committed yet
    };
    for (const auto &c : cases) {
        prom_input in = node();
        in.round_ok = c.round_ok;
        in.round.real = c.real;
        in.committed_ok = c.committed_ok;
        in.committed = c.committed;
        std::string t = status_prometheus(in);
        if (c.lag == nullptr)
            EXPECT_EQ(t.find("velkarn_velumond_lag_seconds "), std::string::npos);
        else
            EXPECT_TRUE(has(t, std::string("velkarn_velumond_lag_seconds ") + c.lag)) << t;
    }
}

TEST(VelstatusProm, UnreadableStatusFilesBecomeComments)
{
    prom_input in = node();
    prom_daemon d = daemon_of("velumond", daemon_state::running, 5);
    d.file_why = "/var/velkarn-server/status/velumond: line 3 is not \"name value\"";
    in.daemons.push_back(d);
    std::string t = status_prometheus(in);
    EXPECT_TRUE(has(t, "# velstatus: velumond: status file: " + d.file_why));
    EXPECT_EQ(prom_label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

} // namespace
