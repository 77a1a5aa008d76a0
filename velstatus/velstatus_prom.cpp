#include "velstatus_prom.h"

#include <cmath>
#include <cstdio>

namespace
{

// One metric family: HELP and TYPE once, then its samples.
class family
{
  public:
    family(const char *name, const char *type, const char *help)
        : name_(name), type_(type), help_(help)
    {
    }
    void add(const std::string &labels, double v)
    {
        char buf[64];
        if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15)
            std::snprintf(buf, sizeof buf, "%.0f", v);
        else if (std::isfinite(v) && std::fabs(v) >= 1e9 && std::fabs(v) < 1e11)
            std::snprintf(buf, sizeof buf, "%.3f", v); // a time, to the millisecond
        else
            std::snprintf(buf, sizeof buf, "%.17g", v);
        samples_ += name_;
        if (!labels.empty())
            samples_ += "{" + labels + "}";
        samples_ += ' ';
        samples_ += buf;
        samples_ += '\n';
    }
    // Families without samples are left out.
    void emit(std::string *o) const
    {
        if (samples_.empty())
            return;
        *o += "# HELP " + name_ + " " + help_ + "\n";
        *o += "# TYPE " + name_ + " " + type_ + "\n";
        *o += samples_;
    }

  private:
    std::string name_, type_, help_, samples_;
};

std::string label(const char *k, std::string_view v)
{
    return std::string(k) + "=\"" + prom_label_value(v) + "\"";
}

double value_or(const vstat_values &f, const std::string &name, double dflt)
{
    auto it = f.values.find(name);
    return it == f.values.end() ? dflt : it->second;
}

bool has(const vstat_values &f, const std::string &name)
{
    return f.values.count(name) != 0;
}

constexpr const char *TRANSPORTS[] = {"udp", "tcp", "icmp"};
constexpr const char *LIMITS[] = {"sessions",        "sessions_per_endpoint", "source_address",
                                  "address_table",   "tcp_write_queue",       "tcp_descriptor",
                                  "broadcast_budget"};

} // namespace

std::string prom_label_value(std::string_view v)
{
    std::string o;
    for (char c : v) {
        if (c == '\\' || c == '"') {
            o += '\\';
            o += c;
        } else if (c == '\n')
            o += "\\n";
        else
            o += c;
    }
    return o;
}

std::string status_prometheus(const prom_input &in)
{
    family up("velkarn_daemon_up", "gauge",
              "Whether the daemon runs: it holds the lock of its pid file (1) or not (0).");
    family start("velkarn_daemon_start_time_seconds", "gauge",
                 "Start time of the running daemon's process, seconds since the epoch.");
    family restarts("velkarn_daemon_restarts_total", "counter",
                    "Times the daemon was started again since the machine booted.");
    family updated("velkarn_daemon_status_updated_time_seconds", "gauge",
                   "When the daemon last wrote its status file, seconds since the epoch.");
    family rep_ok("velkarn_master_reports_total", "counter",
                  "Reports to the master server that it answered with status 200.");
    family rep_fail("velkarn_master_report_failures_total", "counter",
                    "Reports to the master server that failed: no connection, no TLS, a "
                    "write cut short, or an answer other than 200.");
    family rep_last("velkarn_master_report_last_success_time_seconds", "gauge",
                    "When a report last reached the master server, seconds since the epoch; 0: "
                    "never.");
    family sessions("velkarn_veld_sessions", "gauge", "Client sessions veld holds, by transport.");
    family tcpconn("velkarn_veld_tcp_connections", "gauge", "Client TCP connections veld holds.");
    family fin("velkarn_veld_frames_received_total", "counter",
               "Frames veld received from clients, by transport.");
    family bin("velkarn_veld_received_bytes_total", "counter",
               "Bytes of the frames veld received from clients, by transport.");
    family fout("velkarn_veld_frames_sent_total", "counter",
                "Frames veld sent to clients, by transport.");
    family bout("velkarn_veld_sent_bytes_total", "counter",
                "Bytes of the frames veld sent to clients, by transport.");
    family bcast("velkarn_veld_broadcasts_total", "counter",
                 "Broadcast frames from clients that veld switched.");
    family bcopies("velkarn_veld_broadcast_copies_total", "counter",
                   "Copies of client broadcasts veld fanned out to the other sessions.");
    family refused("velkarn_veld_refused_total", "counter",
                   "Sessions, frames or connections veld refused, by the limit that refused them.");
    family round("velkarn_veld_usage_round_time_seconds", "gauge",
                 "Time of the newest usage round in veld's shared-memory log.");
    family filed("velkarn_velumond_records_filed_total", "counter",
                 "Usage records velumond copied from veld's log into the daily files.");
    family daily("velkarn_velumond_daily_file_records", "gauge",
                 "Usage records in today's daily file.");
    family committed("velkarn_velumond_last_committed_time_seconds", "gauge",
                     "Time of the newest usage record reported to the master.");
    family lag("velkarn_velumond_lag_seconds", "gauge",
               "How far the reported usage is behind veld's newest usage round.");

    for (const auto &d : in.daemons) {
        std::string dl = label("daemon", d.st.name);
        bool running = d.st.state == daemon_state::running;
        up.add(dl, running ? 1 : 0);
        if (running && d.st.uptime >= 0)
            start.add(dl, std::floor(in.now - d.st.uptime));
        if (!d.file_ok)
            continue;
        const vstat_values &f = d.file;
        // The file of a process that has gone holds its last values: counters
        // stay true, gauges of what it holds do not.
        bool live = running && f.pid == static_cast<long>(d.st.pid);
        bool this_boot = !in.boot_id.empty() && f.boot_id == in.boot_id;
        restarts.add(dl, this_boot && f.starts > 0 ? static_cast<double>(f.starts - 1) : 0);
        updated.add(dl, f.updated);
        if (d.reports) {
            rep_ok.add(dl, value_or(f, "report_ok_total", 0));
            rep_fail.add(dl, value_or(f, "report_failed_total", 0));
            rep_last.add(dl, value_or(f, "report_last_ok_time", 0));
        }
        if (d.st.name == "veld") {
            if (live) {
                for (const char *t : TRANSPORTS)
                    sessions.add(label("transport", t),
                                 value_or(f, std::string("sessions_") + t, 0));
                if (has(f, "tcp_connections"))
                    tcpconn.add("", value_or(f, "tcp_connections", 0));
            }
            for (const char *t : TRANSPORTS) {
                std::string tl = label("transport", t);
                std::string sfx = std::string("_") + t + "_total";
                fin.add(tl, value_or(f, "frames_in" + sfx, 0));
                bin.add(tl, value_or(f, "bytes_in" + sfx, 0));
                fout.add(tl, value_or(f, "frames_out" + sfx, 0));
                bout.add(tl, value_or(f, "bytes_out" + sfx, 0));
            }
            bcast.add("", value_or(f, "broadcasts_total", 0));
            bcopies.add("", value_or(f, "broadcast_copies_total", 0));
            for (const char *l : LIMITS)
                refused.add(label("limit", l),
                            value_or(f, std::string("refused_") + l + "_total", 0));
        }
        if (d.st.name == "velumond")
            filed.add("", value_or(f, "records_filed_total", 0));
    }
    if (in.round_ok)
        round.add("", in.round.real);
    if (in.daily_lines >= 0)
        daily.add("", static_cast<double>(in.daily_lines));
    if (in.committed_ok) {
        committed.add("", in.committed);
        // Nothing in veld's log yet: nothing is behind.
        double behind = in.round_ok ? std::floor(in.round.real) - in.committed : 0;
        lag.add("", behind > 0 ? behind : 0);
    }

    std::string o;
    for (const family *f :
         {&up,       &start,   &restarts, &updated, &rep_ok, &rep_fail,  &rep_last,
          &sessions, &tcpconn, &fin,      &bin,     &fout,   &bout,      &bcast,
          &bcopies,  &refused, &round,    &filed,   &daily,  &committed, &lag})
        f->emit(&o);
    // What could not be read is said in comments, which scrapers skip.
    for (const auto &d : in.daemons)
        if (!d.file_ok && !d.file_why.empty())
            o += "# velstatus: " + d.st.name + ": status file: " + d.file_why + "\n";
    return o;
}
