"""The Debian package: built by cpack from the build tree, its files and conffiles, installed
for real with dpkg inside a sandbox (private dpkg database, systemd folders and node folders), its
unit verified and enabled, an operator's configuration kept across a reinstall."""

import json
import os
import re
import shutil
import signal
import subprocess
import time

import pytest

from masters import records
from nodenet import NODE_TAPIP, NodeNet
from sandbox import build_dir
from usage_helpers import node_country

DEB = "velkarn-server_1.6.3_amd64.deb"
CONF = "/opt/velkarn/1.6.3/etc/velwatchdog.conf"
UNIT = "/lib/systemd/system/velkarn-server.service"
BIN = "/opt/velkarn-server/1.6.3/bin"
LOGROTATE = "/etc/logrotate.d/velkarn-server"
NODE_DAEMONS = ("veld", "velumond", "velcrond", "vellmond", "velmeshd", "velrttd", "velechod",
                "velhttpd", "velurd")
# What dpkg and the maintainer scripts write outside the node's own folders.
# The first three start as copies of the host's, so that dependencies and the unit's targets
# resolve.
PRIVATE = ("/var/lib/dpkg", "/etc/systemd/system", "/lib/systemd/system", "/var/log",
           "/var/lib/systemd", "/usr/share/man", "/usr/share/doc", "/usr/share/lintian/overrides",
           "/etc/logrotate.d")


@pytest.fixture(scope="module")
def deb():
    r = subprocess.run(["cpack", "-G", "DEB"], cwd=build_dir(), capture_output=True, text=True,
                       timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    path = os.path.join(build_dir(), DEB)
    assert os.path.exists(path)
    return path


def test_package_contents(deb):
    files = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                           check=True).stdout
    names = {line.split()[-1].lstrip(".") for line in files.splitlines()}
    for prog in NODE_DAEMONS + ("velinit", "velwatchdog", "velstatus", "vellogtail"):
        assert f"{BIN}/{prog}" in names, prog
    assert {CONF, UNIT, "/var/velkarn-server/veld/", "/var/velkarn-server/velumond/",
            "/opt/velkarn-server/1.6.3/var/"} <= names
    info = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True,
                          check=True).stdout
    for dep in ("libssl3", "iproute2", "net-tools", "iptables"):
        assert dep in info
    scratch = subprocess.run(["mktemp", "-d"], capture_output=True, text=True).stdout.strip()
    try:
        subprocess.run(["dpkg-deb", "-e", deb, scratch], check=True)
        assert open(os.path.join(scratch, "conffiles")).read().split() == [CONF, LOGROTATE]
    finally:
        shutil.rmtree(scratch)


def install(sb, deb):
    for d in PRIVATE[:3]:
        shutil.copytree(d, sb.path(d), symlinks=True, dirs_exist_ok=True)
    r = sb.run("node", ["dpkg", "-i", deb], timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return r


def test_install_enable_and_keep_the_operators_configuration(sandbox_factory, deb):
    sb = sandbox_factory(extra_dirs=PRIVATE)
    sb.netns("node")
    r = install(sb, deb)
    assert "run /opt/velkarn-server/1.6.3/bin/velinit" in r.stdout
    conf = sb.read_file(CONF)
    words = " ".join(conf.split())
    for prog in NODE_DAEMONS:
        assert f"{prog} {BIN}/{prog} {prog} -F" in words, prog
    assert sb.exists("/etc/systemd/system/multi-user.target.wants/velkarn-server.service")
    if shutil.which("systemd-analyze"):
        r = sb.run("node", ["systemd-analyze", "verify", UNIT])
        assert r.returncode == 0, r.stderr
    r = sb.run("node", [f"{BIN}/velwatchdog", "-v"])
    assert r.returncode == 0 and "velwatchdog v1.6.3" in r.stderr
    # An operator's edit survives reinstalling the package.
    sb.write_file(CONF, conf + "# operator was here\n")
    r = sb.run("node", ["dpkg", "-i", deb], timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert sb.read_file(CONF).endswith("# operator was here\n")
    r = sb.run("node", ["dpkg", "-r", "velkarn-server"], timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert not sb.exists("/etc/systemd/system/multi-user.target.wants/velkarn-server.service")
    assert sb.exists(CONF)  # removed, not purged: the configuration stays


def test_installed_node_runs_every_daemon_under_velwatchdog(sandbox_factory, deb):
    sb = sandbox_factory(extra_dirs=PRIVATE)
    net = NodeNet(sb, clients=1)          # the node's addresses and velinit's two node files
    install(sb, deb)
    node_country(sb)
    r = sb.run("node", [f"{BIN}/velwatchdog"])  # detaches, as the unit runs it
    assert r.returncode == 0, r.stderr
    expected = ("velwatchdog",) + NODE_DAEMONS

    def all_running():
        r = sb.run("node", [f"{BIN}/velstatus", "-j"])
        doc = json.loads(r.stdout)
        states = {d["name"]: d["state"] for d in doc["daemons"]}
        return doc if all(states[n] == "running" for n in expected) else None
    doc = sb.wait_until(all_running, 60, "every daemon of the node to run")
    pids = {d["name"]: d["pid"] for d in doc["daemons"]}
    # A daemon that ends is started again by the packaged supervisor.
    os.kill(pids["velechod"], signal.SIGKILL)

    def restarted():
        doc = json.loads(sb.run("node", [f"{BIN}/velstatus", "-j"]).stdout)
        d = {d["name"]: d for d in doc["daemons"]}["velechod"]
        return d["state"] == "running" and d["pid"] != pids["velechod"]
    sb.wait_until(restarted, 30, "velechod started again")
    sb.log.wait(r"^\[ERROR\] velechod\[\d+\]: exited, signal 9$", ident="velwatchdog")
    # And the tunnel works, from the packaged veld.
    net.start_client(0, "udp")
    net.wait_ping(0, NODE_TAPIP)


def test_installed_unit_stops_restarts_upgrades_and_reloads_without_loss(sandbox_factory, deb):
    """The unit's stop (KillMode=mixed: SIGTERM to velwatchdog alone), start, restart, an upgrade
    by reinstalling the package, and ExecReload, run as systemd runs them, while a client's
    traffic flows and the master cannot be reached: every usage record each veld wrote is filed
    once, and a reload with a broken file fails and leaves every daemon running."""
    from test_node_stop import CURSOR, log_records
    sb = sandbox_factory(extra_dirs=PRIVATE)
    net = NodeNet(sb, clients=1)
    install(sb, deb)
    node_country(sb)
    unit = service_settings(sb.read_file(UNIT))
    assert unit["KillMode"] == ["mixed"]
    timeout = int(unit["TimeoutStopSec"][0])
    expected = ("velwatchdog",) + NODE_DAEMONS
    records = []

    def states():
        doc = json.loads(sb.run("node", [f"{BIN}/velstatus", "-j"]).stdout)
        return {d["name"]: (d["state"], d["pid"]) for d in doc["daemons"]}

    def start():
        r = sb.run("node", unit["ExecStart"][0].split())
        assert r.returncode == 0, r.stderr
        sb.wait_until(lambda: all(states()[n][0] == "running" for n in expected), 60,
                      "every daemon of the node to run")
        sb.run("client0", ["ip", "neigh", "flush", "dev", "vtap0"])

    def stop():
        pid = int(sb.read_file(unit["PIDFile"][0]))
        os.kill(pid, signal.SIGTERM)
        sb.wait_until(lambda: not os.path.exists(f"/proc/{pid}"), timeout, "the unit to stop")
        running = [n for n, (state, _) in states().items() if state == "running"]
        assert running == [], running
        records.extend(log_records(sb))

    def reload():
        pid = sb.read_file(unit["PIDFile"][0])
        for cmd in unit["ExecReload"]:
            r = sb.run("node", cmd.replace("$MAINPID", pid).split())
            if r.returncode != 0:
                return r
        return r

    start()
    sb.wait_until(lambda: sb.exists(CURSOR), 20, "velumond following veld's log")
    net.start_client(0, "udp")
    net.wait_ping(0, NODE_TAPIP)
    pinger = sb.start("client0", ["ping", "-n", "-q", "-i", "0.05", NODE_TAPIP], name="ping")
    time.sleep(2)
    stop()                                      # systemctl stop
    start()                                     # systemctl start
    time.sleep(2)
    stop()                                      # systemctl restart
    start()
    time.sleep(1)
    r = sb.run("node", ["dpkg", "-i", deb], timeout=120)     # upgrade: the new files, then
    assert r.returncode == 0, r.stdout + r.stderr
    stop()                                      # the restart that postinst asks for
    start()
    # A reload with a broken file fails at its check and changes nothing.
    before = states()
    conf = sb.read_file(CONF)
    sb.write_file(CONF, conf + "lonely\n")
    r = reload()
    assert r.returncode == 65 and "syntax error, a service name without a program" in r.stderr
    sb.write_file(CONF, conf)
    assert reload().returncode == 0
    time.sleep(1)
    assert states() == before
    time.sleep(1)
    sb.stop(pinger, signal.SIGINT)
    stop()
    daily = [l for p in sorted(os.listdir(sb.path("/var/velkarn-server")))
             if p.startswith("stat_") for l in sb.read_file(f"/var/velkarn-server/{p}").splitlines()]
    assert len(records) >= 12 and daily == records
    # velumond found no master at its stops, said so and kept what is due for its next start
    assert sb.log.count(r"^\[WARN\] Stopped: some usage is not reported yet", ident="velumond") >= 1


# ---- The clean package, its manual pages and the unit's sandbox ----------------------------

TEXTFILE_DIR = "/var/lib/prometheus/node-exporter"
MAN_PAGES = tuple(f"/usr/share/man/man8/{p}.8.gz" for p in
                  NODE_DAEMONS + ("velinit", "velwatchdog", "velstatus", "vellogtail")) + \
    ("/usr/share/man/man5/velwatchdog.conf.5.gz",)


def test_lintian_is_clean_and_every_manual_page_renders_without_warnings(deb):
    """lintian finds no error or warning beyond the package's commented overrides; every
    program and the supervisor's configuration file has a manual page that man renders
    without a warning."""
    assert shutil.which("lintian"), "scripts/install-deps.sh installs lintian"
    r = subprocess.run(["lintian", "--tag-display-limit", "0", deb], capture_output=True,
                       text=True, timeout=300)
    tags = [l for l in r.stdout.splitlines() if re.match(r"^[EW]: ", l)]
    assert not tags, "\n".join(tags)
    assert r.returncode == 0, r.stdout + r.stderr
    scratch = subprocess.run(["mktemp", "-d"], capture_output=True, text=True).stdout.strip()
    try:
        subprocess.run(["dpkg-deb", "-x", deb, scratch], check=True)
        for page in MAN_PAGES:
            path = scratch + page
            assert os.path.exists(path), page
            r = subprocess.run(["man", "--warnings", "-l", path], capture_output=True, text=True,
                               env=dict(os.environ, MANWIDTH="80"), timeout=30)
            assert r.returncode == 0 and r.stderr == "", f"{page}: {r.stderr}"
            for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "EXAMPLES", "SEE ALSO"):
                assert section in r.stdout, (page, section)
        with open(scratch + "/usr/share/doc/velkarn-server/copyright") as f:
            assert f.read().startswith("Format: https://www.debian.org/doc/packaging-manuals/")
        # The example alerting rules are valid for Prometheus.
        rules = scratch + "/usr/share/doc/velkarn-server/examples/velkarn-server.rules.yml"
        r = subprocess.run(["promtool", "check", "rules", rules], capture_output=True, text=True,
                           timeout=30)
        assert r.returncode == 0 and "SUCCESS: 6 rules found" in r.stdout, r.stdout + r.stderr
    finally:
        shutil.rmtree(scratch)
    units = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True).stdout
    for name in ("velkarn-server-metrics.service", "velkarn-server-metrics.timer"):
        assert f"/lib/systemd/system/{name}" in units


def exposure(sb, unit):
    r = sb.run("node", ["systemd-analyze", "security", "--offline=yes", unit], timeout=60)
    m = re.search(r"Overall exposure level for \S+: (\d+\.\d+)", r.stdout + r.stderr)
    assert m, r.stdout + r.stderr
    return float(m.group(1))


def service_settings(text):
    """[Service] settings of a unit file: {key: [values in order]}."""
    out, section = {}, None
    for line in text.splitlines():
        line = line.strip()
        if not line or line.startswith("#"):
            continue
        if line.startswith("["):
            section = line
        elif section == "[Service]" and "=" in line:
            k, v = line.split("=", 1)
            out.setdefault(k, []).append(v)
    return out


def sandboxed_command(settings):
    """A shell command that runs the unit's ExecStart the way its sandbox would: a mount
    namespace of its own with every mount read-only but the unit's ReadWritePaths, /proc, /sys
    and /dev (ProtectSystem=strict), private /tmp and /var/tmp, /home and /root hidden,
    /proc/sys read-only, no new privileges and only the unit's capabilities. (The system-call
    filter and the address families are left to systemd-analyze's reading of the file.)"""
    assert settings["ProtectSystem"] == ["strict"]
    rw = " ".join(p for v in settings.get("ReadWritePaths", []) for p in v.split())
    caps = "".join(",+" + c.lower().removeprefix("cap_")
                   for c in settings["CapabilityBoundingSet"][-1].split())
    script = f"""set -eu
for p in {rw}; do mount --bind "$p" "$p"; done
awk '{{print $5}}' /proc/self/mountinfo | sort -u | while read -r m; do
    case "$m" in /proc|/proc/*|/sys|/sys/*|/dev|/dev/*) continue;; esac
    keep=no
    for p in {rw}; do case "$m" in "$p"|"$p"/*) keep=yes;; esac; done
    [ $keep = yes ] || mount -o remount,bind,ro "$m"
done
mount -t tmpfs -o mode=1777 private /tmp
mount -t tmpfs -o mode=1777 private /var/tmp
for d in /home /root; do [ -d "$d" ] && mount -t tmpfs -o ro,mode=0 hidden "$d"; done
mount --bind /proc/sys /proc/sys && mount -o remount,bind,ro /proc/sys
exec setpriv --no-new-privs --inh-caps=-all --bounding-set=-all{caps} {settings["ExecStart"][0]}
"""
    assert settings.get("NoNewPrivileges") == ["yes"] and settings.get("PrivateTmp") == ["yes"]
    return ["unshare", "--mount", "--propagation", "private", "sh", "-c", script]


def test_installed_node_works_in_the_units_sandbox(sandbox_factory, deb):
    """The unit rates 5.0 or lower with systemd-analyze; the installed node, started as the unit
    starts it inside its sandbox, runs every daemon, carries a client's traffic through veld and
    delivers its reports to the test master; man veld works; the metrics timer's command writes
    the node exporter's file."""
    from masters import link_master, start_velmaster
    from test_velstatus import metric, metrics

    sb = sandbox_factory(extra_dirs=PRIVATE + (TEXTFILE_DIR,))
    net = NodeNet(sb, clients=1)
    install(sb, deb)
    unit = sb.read_file(UNIT)
    if shutil.which("systemd-analyze"):
        assert exposure(sb, UNIT) <= 5.0
        assert exposure(sb, "/lib/systemd/system/velkarn-server-metrics.service") <= 5.0
    r = sb.run("node", ["man", "-P", "cat", "veld"], env={"MANWIDTH": "80", "PATH": os.environ["PATH"]})
    assert r.returncode == 0 and "veld - tunnel daemon" in r.stdout, r.stderr

    link_master(sb)
    record = "/run/velmaster.jsonl"
    start_velmaster(sb, "master", record, alt=False)
    node_country(sb)
    # The operator asks veld for a usage round every 2 s, so that usage reaches the master soon.
    conf = sb.read_file(CONF)
    sb.write_file(CONF, conf.replace(f"{BIN}/veld      veld -F", f"{BIN}/veld      veld -F -i 2"))
    # A core file for velcrond's first core report.
    sb.write_file("/opt/velkarn-server/1.6.3/var/core.4242", "core")
    r = sb.run("node", sandboxed_command(service_settings(unit)))
    assert r.returncode == 0, r.stderr
    expected = ("velwatchdog",) + NODE_DAEMONS

    def all_running():
        doc = json.loads(sb.run("node", [f"{BIN}/velstatus", "-j"]).stdout)
        states = {d["name"]: d["state"] for d in doc["daemons"]}
        return all(states[n] == "running" for n in expected) or None
    sb.wait_until(all_running, 60, "every daemon of the node to run in the sandbox")
    # It is the sandbox they run in: veld has only the unit's capabilities, / is read-only.
    pid = int(sb.read_file("/var/run/veld.pid"))
    with open(f"/proc/{pid}/status") as f:
        capbnd = int(re.search(r"^CapBnd:\s+([0-9a-f]+)$", f.read(), re.M).group(1), 16)
    assert capbnd == (1 << 12) | (1 << 13) | (1 << 14)  # NET_ADMIN, NET_RAW, IPC_LOCK
    r = sb.run("node", ["nsenter", "-t", str(pid), "-m", "touch", "/opt/velkarn/x"])
    assert r.returncode != 0 and "Read-only file system" in r.stderr

    net.start_client(0, "udp")
    net.wait_ping(0, NODE_TAPIP)
    net.ping(0, NODE_TAPIP, count=3)
    # vellmond's error lines: one in the daemons' captured output.
    sb.write_file("/opt/velkarn-server/1.6.3/var/velkarn_stdout.txt", "")
    time.sleep(1)
    with open(sb.path("/opt/velkarn-server/1.6.3/var/velkarn_stdout.txt"), "a") as f:
        f.write("[ERROR] written by the package test\n")

    def reported():
        paths = {q.get("path") for q in records(sb, record)}
        want = {"/report/umon.php", "/report/pmon.php", "/report/cmon.php", "/report/lmon.php"}
        return want <= paths or None
    try:
        sb.wait_until(reported, 60, "usage, process, core and log reports at the master")
    except AssertionError:
        raise AssertionError(f"reports at the master: {[q.get('path') for q in records(sb, record)]}"
                             f"\n{sb.run('node', [BIN + '/velstatus', '-p']).stdout}")
    cmon = [q for q in records(sb, record) if q["path"] == "/report/cmon.php"][0]
    assert "core.4242" in cmon["body"], cmon["body"]
    pmon = [q for q in records(sb, record) if q["path"] == "/report/pmon.php"][-1]
    alive = dict(f.split("=", 1) for f in pmon["body"].split("&") if "=" in f)
    for d, v in alive.items():  # velauthd and veltalkd are not the node's
        assert v == "True" or d in ("mode", "velauthd", "veltalkd"), pmon["body"]

    # The metrics timer's command in its own unit's sandbox (no capabilities at all), as the
    # node exporter's textfile collector reads it.
    svc = service_settings(sb.read_file("/lib/systemd/system/velkarn-server-metrics.service"))
    assert svc["CapabilityBoundingSet"] == [""]
    r = sb.run("node", sandboxed_command(svc))
    assert r.returncode == 0, r.stderr
    ms = metrics(sb.read_file(svc["ExecStart"][0].split()[-1]))
    for d in expected:
        assert metric(ms, "velkarn_daemon_up", daemon=d) == 1, d
    assert metric(ms, "velkarn_veld_sessions", transport="udp") == 1
    assert metric(ms, "velkarn_master_reports_total", daemon="velumond") >= 1
