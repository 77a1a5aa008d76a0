"""velstatus on a node: daemons by their pid files, veld's latest usage round, velumond's files;
and on nodes where there is nothing, or something damaged, to read."""

import json
import os
import re
import shutil
import signal
import subprocess
import time

from nodenet import NodeNet, NODE_TAPIP, client_public, ether_ntoa, client_mac
from usage_helpers import node_country


def status(sb, ns="node", *args):
    r = sb.run(ns, [sb.binary("velstatus"), *args], timeout=20)
    assert r.returncode == 0, r.stderr
    return r.stdout


def by_name(doc):
    return {d["name"]: d for d in doc["daemons"]}


def test_running_node_shows_daemons_clients_and_files(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    veld = net.start_veld("-i", "1")
    net.start_client(0, "udp")
    net.ping(0, NODE_TAPIP, count=3)
    # Pid files a crashed or foreign process left behind: each is told apart.
    gone = subprocess.Popen(["true"])
    gone.wait()
    sb.write_file("/var/run/velrttd.pid", str(gone.pid))         # stale
    sb.write_file("/var/run/velechod.pid", "12ab")               # not a pid
    sb.write_file("/var/run/velhttpd.pid", "")                   # empty
    sb.write_file("/var/run/velurd.pid", str(os.getpid()))       # alive, but not locked by it
    sb.write_file("/var/velkarn-server/velumond/t_lastcommitted", "1796651033")
    sb.write_file("/var/velkarn-server/stat_19700101.log", "x\n")  # not today's: not shown

    def round_with_client():
        doc = json.loads(status(sb, "node", "-j"))
        clients = doc["usage_round"].get("clients", [])
        return doc if any(c["address"] == client_public(0) and c["bytes_in"] > 0
                          for c in clients) else None
    doc = sb.wait_until(round_with_client, 20, "a usage round with the client")
    d = by_name(doc)
    assert d["veld"]["state"] == "running" and d["veld"]["alive"]
    assert d["veld"]["pid"] == veld.pid and d["veld"]["uptime_seconds"] is not None
    assert d["velrttd"]["state"] == "stale" and d["velrttd"]["pid"] == gone.pid
    assert d["velechod"]["state"] == "unreadable"
    assert d["velhttpd"]["state"] == "unreadable"
    assert d["velurd"]["state"] == "foreign" and not d["velurd"]["alive"]
    assert d["velcrond"]["state"] == "no pid file"
    client = [c for c in doc["usage_round"]["clients"] if c["address"] == client_public(0)][0]
    assert client["mac"] == ether_ntoa(client_mac(0))
    assert doc["velumond"]["last_committed"] == "1796651033"
    assert "error" in doc["velumond"]["daily_file"]

    text = status(sb)
    assert f"pid {veld.pid}" in text and "running" in text
    assert f"{client_public(0)}:" in text
    assert "last committed: 1796651033 (" in text
    # It only read: the pid files are as they were, nothing was created.
    assert sb.read_file("/var/run/velurd.pid") == str(os.getpid())
    assert not sb.exists("/var/run/velcrond.pid")


def test_damaged_or_odd_log_files_are_reported_not_fatal(sandbox):
    sb = sandbox
    sb.netns("node")
    shm = "/var/velkarn-server/veld/_.vsm"
    assert "No such file" in status(sb)
    os.makedirs(sb.path("/var/velkarn-server/veld"), exist_ok=True)
    sb.write_file(shm, b"\x00" * 4096)
    assert "bad header" in json.loads(status(sb, "node", "-j"))["usage_round"]["error"]
    os.remove(sb.path(shm))
    os.mkfifo(sb.path(shm))  # a FIFO must neither hang nor pass for the log
    assert "not a regular file" in status(sb)


# ---- Prometheus metrics -------------------------------------------------------------------

PROM_SAMPLE = re.compile(r'^([a-z_]+)(?:\{(.*)\})? (\S+)$')


def metrics(text):
    """{(name, ((label, value), ...)): value} of an exposition text."""
    out = {}
    for line in text.splitlines():
        if not line or line.startswith("#"):
            continue
        m = PROM_SAMPLE.match(line)
        assert m, line
        labels = tuple(sorted(re.findall(r'([a-z_]+)="([^"]*)"', m.group(2) or "")))
        out[(m.group(1), labels)] = float(m.group(3))
    return out


def metric(ms, name, **labels):
    return ms.get((name, tuple(sorted(labels.items()))))


def test_prometheus_metrics_of_a_running_node(sandbox):
    """Metrics of a node with veld, velumond and two clients, through velstatus -p: what promtool
    accepts, what a real Prometheus server scrapes from the node exporter's textfile directory,
    report failures when the master answers 500, a restart counted."""
    from masters import link_master, start_velmaster

    sb = sandbox
    net = NodeNet(sb, clients=2)
    link_master(sb)
    control = "/run/velmaster-control.json"
    start_velmaster(sb, "master", "/run/velmaster.jsonl", control=control, alt=False)
    node_country(sb)
    started = time.time()
    veld = net.start_veld("-i", "1")
    um = sb.start("node", [sb.binary("velumond"), "-F"], name="velumond")
    net.start_client(0, "udp")
    net.start_client(1, "tcp")
    for i in (0, 1):
        net.wait_ping(i, NODE_TAPIP)
        net.ping(i, NODE_TAPIP, count=4)

    def scrape():
        return metrics(status(sb, "node", "--prometheus"))

    def settled():
        ms = scrape()
        ok = (metric(ms, "velkarn_veld_sessions", transport="udp") == 1
              and metric(ms, "velkarn_veld_sessions", transport="tcp") == 1
              and (metric(ms, "velkarn_master_reports_total", daemon="velumond") or 0) >= 1
              and (metric(ms, "velkarn_velumond_records_filed_total") or 0) > 0
              and metric(ms, "velkarn_velumond_lag_seconds") is not None
              # veld publishes from its loop: the last replies may take a turn to show
              and all((metric(ms, "velkarn_veld_frames_sent_total", transport=tr) or 0) >= 4
                      for tr in ("udp", "tcp")))
        return ms if ok else None
    ms = sb.wait_until(settled, 40, "metrics of both clients and a delivered report")
    for d in ("veld", "velumond"):
        assert metric(ms, "velkarn_daemon_up", daemon=d) == 1
        assert metric(ms, "velkarn_daemon_restarts_total", daemon=d) == 0
        assert started - 5 <= metric(ms, "velkarn_daemon_start_time_seconds", daemon=d) <= time.time()
    assert metric(ms, "velkarn_daemon_up", daemon="velcrond") == 0
    assert metric(ms, "velkarn_daemon_start_time_seconds", daemon="velcrond") is None
    # Every frame of the pings went through veld: at least 4 echo requests in, 4 replies out.
    for tr in ("udp", "tcp"):
        assert metric(ms, "velkarn_veld_frames_received_total", transport=tr) >= 4
        assert metric(ms, "velkarn_veld_frames_sent_total", transport=tr) >= 4
        assert metric(ms, "velkarn_veld_received_bytes_total", transport=tr) >= 4 * 98
    assert metric(ms, "velkarn_veld_frames_received_total", transport="icmp") == 0
    assert metric(ms, "velkarn_veld_refused_total", limit="sessions") == 0
    assert metric(ms, "velkarn_master_report_last_success_time_seconds",
                  daemon="velumond") >= started
    assert metric(ms, "velkarn_master_report_failures_total", daemon="velumond") == 0
    assert metric(ms, "velkarn_velumond_lag_seconds") < 60
    text = status(sb, "node", "-p")
    assert shutil.which("promtool"), "scripts/install-deps.sh installs promtool (prometheus)"
    r = subprocess.run(["promtool", "check", "metrics"], input=text, capture_output=True,
                       text=True, timeout=20)
    assert r.returncode == 0 and not r.stdout.strip(), r.stdout + r.stderr
    # Written for the textfile collector: replaced as a whole, no temporary file left.
    os.makedirs(sb.path("/run/textfile"))
    prom_file = "/run/textfile/velkarn-server.prom"
    status(sb, "node", "-p", "-o", prom_file)
    assert "velkarn_veld_sessions{" in sb.read_file(prom_file)
    assert os.listdir(sb.path("/run/textfile")) == ["velkarn-server.prom"]

    scraped_by_prometheus(sb, prom_file)

    # The master fails: velumond's failures are counted, its last success stays.
    last_ok = metric(ms, "velkarn_master_report_last_success_time_seconds", daemon="velumond")
    sb.write_file(control, json.dumps({"*": "500"}))
    net.ping(0, NODE_TAPIP, count=2)
    failing = sb.wait_until(
        lambda: (lambda m: m if metric(m, "velkarn_master_report_failures_total",
                                       daemon="velumond") >= 1 else None)(scrape()),
        30, "a failed report counted")
    assert metric(failing, "velkarn_master_report_last_success_time_seconds",
                  daemon="velumond") >= last_ok
    # velumond killed and started again: one restart, counters of the new process.
    sb.stop(um, signal.SIGKILL)
    sb.start("node", [sb.binary("velumond"), "-F"], name="velumond2")
    sb.wait_until(lambda: metric(scrape(), "velkarn_daemon_restarts_total", daemon="velumond") == 1,
                  20, "velumond's restart counted")
    assert veld.alive()
    # The same from the status files in velstatus' own views.
    d = by_name(json.loads(status(sb, "node", "-j")))
    assert d["velumond"]["restarts"] == 1 and d["veld"]["restarts"] == 0
    assert d["velumond"]["reports"]["last_ok_time"] >= last_ok  # kept across the restart
    assert "reports" not in d["veld"]
    assert re.search(r"velumond .* restarted 1 time, reports \d+ ok, \d+ failed, last ok ",
                     status(sb))


def scraped_by_prometheus(sb, prom_file):
    """The node exporter's textfile collector serves the file; a Prometheus server scrapes it and
    answers a query with the sessions and bytes the pings made."""
    exporter = shutil.which("prometheus-node-exporter")
    server = shutil.which("prometheus")
    assert exporter and server, "scripts/install-deps.sh installs prometheus and its node exporter"
    sb.sh("node", "ip link set lo up")
    sb.start("node", [exporter, "--collector.disable-defaults", "--collector.textfile",
                      "--collector.textfile.directory=/run/textfile",
                      "--web.listen-address=127.0.0.1:9100"], name="node-exporter")
    sb.write_file("/run/prometheus.yml",
                  "global:\n  scrape_interval: 1s\n"
                  "scrape_configs:\n  - job_name: node\n"
                  "    static_configs:\n      - targets: ['127.0.0.1:9100']\n")
    sb.start("node", [server, "--config.file=/run/prometheus.yml",
                      "--storage.tsdb.path=/run/prometheus-data",
                      "--web.listen-address=127.0.0.1:9090"], name="prometheus")
    sb.wait_listen("node", 9090, "tcp", timeout=30)

    def query(q):
        r = sb.run("node", ["curl", "-sf", "--max-time", "5", "--data-urlencode", f"query={q}",
                            "http://127.0.0.1:9090/api/v1/query"], timeout=15)
        if r.returncode != 0:
            return None
        res = json.loads(r.stdout)["data"]["result"]
        return {tuple(sorted((k, v) for k, v in x["metric"].items() if k == "transport")):
                float(x["value"][1]) for x in res} or None

    sessions = sb.wait_until(lambda: query("velkarn_veld_sessions"), 30,
                             "Prometheus to scrape the sessions")
    assert sessions[(("transport", "tcp"),)] == 1 and sessions[(("transport", "udp"),)] == 1
    got = query("sum(velkarn_veld_received_bytes_total)")
    assert got and list(got.values())[0] >= 2 * 4 * 98
