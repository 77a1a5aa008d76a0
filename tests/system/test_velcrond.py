"""velcrond end to end: options and start-up, the process report for processes of the sandbox,
the core report for files created after start, and the machine report's first capture, which is
only stored. The machine report itself comes 300 s after start: test_velcrond_slow.py checks it;
its arithmetic and the reports' cadence are unit-tested through the wheel's clock seam.

Every velcrond runs in a "node" namespace with the master (tools/velmaster.py) in a "master"
namespace, both on the sandbox's private /var/run and /opt/velkarn-server.
"""

import json
import os
import re
import signal
import socket
import subprocess
import time

import pytest

from sandbox import build_dir

NODE_IP = "192.0.2.1"
MASTER_IP = "192.0.2.10"
CORE_DIR = "/opt/velkarn-server/1.6.3/var/"
WOW_DIR = "/opt/velkarn-server/1.6.3/var/varnish/wow/"
REPORTS = ("/report/cmon.php", "/report/pmon.php", "/report/smon.php")
DAEMONS = ("velauthd", "veld", "velechod", "vellmond", "velmeshd", "velrttd", "veltalkd", "velumond",
           "velurd", "velwatchdog")


def build_value(name, default):
    try:
        with open(os.path.join(build_dir(), "generated", "vel_config.h")) as f:
            m = re.search(rf'#define {name} "([^"]*)"', f.read())
            return m.group(1) if m else default
    except OSError:
        return default


MASTER_HOST = build_value("VEL_MASTER_HOST", "master.velkarn.example")
ALT_IP = build_value("VEL_MASTER_ALT_IP", "10.255.0.10")


class Master:
    """velmaster in the "master" namespace on the host name's and the alternate address."""

    LOG = "/run/velmaster.jsonl"

    def __init__(self, sb):
        self.sb = sb
        sb.netns("master")
        node_dev, master_dev = sb.link("node", f"{NODE_IP}/24", "master", f"{MASTER_IP}/24",
                                       name_a="mst0")
        sb.addr_add("node", node_dev, f"{ALT_IP.rsplit('.', 1)[0]}.1/24")
        sb.addr_add("master", master_dev, f"{ALT_IP}/24")
        sb.hosts({MASTER_HOST: MASTER_IP})
        src = os.environ.get("VEL_SOURCE_DIR") or os.path.dirname(
            os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
        self.proc = sb.start("master", ["/usr/bin/python3", os.path.join(src, "tools", "velmaster.py"),
                                        "--record", self.LOG, "--listen", MASTER_IP,
                                        "--listen", ALT_IP], name="velmaster")
        sb.wait_until(lambda: len(sb.sockets("master")) >= 2, 20, "velmaster listening")

    def requests(self, path=None):
        try:
            text = self.sb.read_file(self.LOG)
        except FileNotFoundError:
            return []
        reqs = [json.loads(l) for l in text.splitlines() if l.strip()]
        return [r for r in reqs if path is None or r["path"] == path]

    def wait(self, path, count=1, timeout=20):
        return self.sb.wait_until(lambda: self.requests(path)[count - 1:] and self.requests(path),
                                  timeout, f"{count} request(s) for {path}")


@pytest.fixture
def node(sandbox):
    sandbox.netns("node")
    return sandbox


@pytest.fixture
def master(node):
    return Master(node)


def velcrond(sb, *args, user=None):
    argv = [sb.binary("velcrond"), *args]
    if user is not None:
        argv = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups", *argv]
    return sb.start("node", argv, name="velcrond")


def wait_started(sb, pidfile="/var/run/velcrond.pid"):
    """Until velcrond has written its pid and, a moment later, taken the start time from which
    core files count as new (it logs nothing at start)."""
    sb.wait_file(pidfile, nonempty=True)
    time.sleep(1)


def form(body):
    """A form body as a list of (name, value), the body ending in "&"."""
    assert body.endswith("&"), body
    return [tuple(f.split("=", 1)) for f in body[:-1].split("&")]


def dead_pid():
    p = subprocess.Popen(["true"])
    p.wait()
    return p.pid


def test_usage_second_instance_and_quiet_runs(node, master):
    sb = node
    r = sb.run("node", [sb.binary("velcrond"), "-x"])
    assert r.returncode == 1
    assert r.stderr.endswith(
        "usage: velcrond [options]\n"
        "    -c                           # Disable sending the core report.\n"
        "    -F                           # Run in foreground\n"
        "    -m                           # Check extra processes\n"
        "    -p                           # Disable sending the process report.\n"
        "    -P file                      # PID file\n"
        "    -S                           # Don't use default hostname\n"
        "    -s                           # Disable sending the machine report.\n")
    r = sb.run("node", [sb.binary("velcrond"), "-F", "now"])
    assert r.returncode == 1
    assert r.stderr.startswith("Too many arguments (now...)\nusage: velcrond [options]\n")

    # All three reports off: only the idle loop. The machine report on its own
    # takes its first capture at 5 s and sends nothing with it. A core file is
    # waiting for the first of them, and pid files for the process report.
    sb.write_file("/var/run/veld.pid", str(os.getpid()))
    idle = velcrond(sb, "-F", "-c", "-p", "-s")
    sb.wait_file("/var/run/velcrond.pid", nonempty=True)
    assert sb.read_file("/var/run/velcrond.pid") == str(idle.pid)
    flipped = velcrond(sb, "-F", "-c", "-p", "-c", "-c", "-P", "/var/run/velcrond2.pid")
    sb.write_file(CORE_DIR + "core.1", "core")
    time.sleep(8)
    assert master.requests() == []
    assert idle.alive() and flipped.alive(), flipped.stderr()
    assert sb.log.find(r".", ident="velcrond") == []


def test_process_report(node, master):
    sb = node
    sleepers = [sb.start("node", ["sleep", "600"]) for _ in range(4)]
    pids = {"velauthd": sleepers[0].pid, "veld": sleepers[1].pid, "velumond": sleepers[2].pid,
            "veltalkd": sleepers[3].pid}
    for name, pid in pids.items():
        sb.write_file(f"/var/run/{name}.pid", str(pid))
    sb.write_file("/var/run/velechod.pid", str(dead_pid()))
    sb.write_file("/var/run/vellmond.pid", "garbage")
    sb.write_file("/var/run/velmeshd.pid", f"{sleepers[0].pid}\n")  # the newline spoils it
    sb.write_file("/var/run/velwatchdog.pid", "0")                  # no process has it
    # velrttd and velurd: no pid file at all

    cd = velcrond(sb, "-F", "-c", "-s")
    req = master.wait("/report/pmon.php")[0]
    alive = {"veld", "velumond"}
    assert req["body"] == "mode=update&" + "".join(
        f"{d}={'True' if d in alive else 'False'}&" for d in DAEMONS)
    assert req["local"] == MASTER_IP
    for name in ("vellmond", "velmeshd", "velwatchdog", "velrttd", "velurd"):
        sb.log.wait(rf"^\[WARN\] Failed to read PID file /var/run/{name}\.pid$", ident="velcrond",
                    level=4)
    # without -m the two outside daemons are not even looked at
    assert sb.log.count("velauthd|veltalkd", ident="velcrond") == 0
    assert master.requests("/report/cmon.php") == []
    sb.stop(cd)

    # With -m they are. An unprivileged velcrond sees the root-owned processes
    # as alive (kill(2) gives EPERM). With -S the report goes to the private
    # address, still naming the master's host.
    sb.sh("node", "chmod 1777 /run")
    cd = velcrond(sb, "-F", "-c", "-s", "-m", "-S", "-P", "/run/velcrond-nobody.pid", user=65534)
    req = master.wait("/report/pmon.php", count=2)[1]
    alive |= {"velauthd", "veltalkd"}
    assert req["body"] == "mode=update&" + "".join(
        f"{d}={'True' if d in alive else 'False'}&" for d in DAEMONS)
    assert req["local"] == ALT_IP
    assert dict((k.lower(), v) for k, v in req["headers"])["host"] == MASTER_HOST
    assert cd.alive()


def test_core_files_created_after_start(node, master):
    sb = node
    sb.write_file(CORE_DIR + "core.99", "old")  # before start: never reported
    sb.write_file(WOW_DIR + "keep", "")
    old = time.time() - 10
    os.utime(sb.path(CORE_DIR + "core.99"), (old, old))
    launcher = velcrond(sb, "-p", "-s")  # detaches
    assert launcher.wait(10) == 0
    wait_started(sb)
    daemon_pid = int(sb.read_file("/var/run/velcrond.pid"))
    assert daemon_pid != launcher.pid
    try:
        reported = [CORE_DIR + n for n in ("core.1234", "core.", "core.6")] + [WOW_DIR + "core.77"]
        for n in ("core.1234", "core.", "core", "core.12a", "core.1.gz", "target"):
            sb.write_file(CORE_DIR + n, "core")
        os.mkdir(sb.path(CORE_DIR + "core.5"))
        os.symlink(CORE_DIR + "target", sb.path(CORE_DIR + "core.6"))
        os.symlink(CORE_DIR + "nowhere", sb.path(CORE_DIR + "core.7"))
        sb.write_file(WOW_DIR + "core.77", "core")

        req = master.wait("/report/cmon.php")[0]
        prefix = f"mode=update&hostname={socket.gethostname()}&list="
        assert req["body"].startswith(prefix)
        listed = req["body"][len(prefix):]
        assert listed.endswith(",") and "&" not in listed
        paths = listed[:-1].split(",")
        # folder by folder, in the daemon's order
        assert sorted(paths[:3]) == sorted(reported[:3]) and paths[3:] == reported[3:]
        sb.log.wait(rf"^stat\(2\) for {re.escape(CORE_DIR)}core\.7 failed: 2 No such file or "
                    "directory$", ident="velcrond", level=4)
        time.sleep(2)
        assert len(master.requests("/report/cmon.php")) == 1
        assert os.path.exists(f"/proc/{daemon_pid}")
    finally:
        os.kill(daemon_pid, signal.SIGTERM)


def test_unreachable_master_drops_the_report_and_carries_on(node):
    sb = node  # no master, no route to it
    sb.hosts({MASTER_HOST: MASTER_IP})
    cd = velcrond(sb, "-F", "-c", "-s")
    sb.log.wait(r"^\[WARN\] VSS_open\(2\) error: 101 Network is unreachable$", ident="velcrond",
                level=4, timeout=20)
    sb.log.wait(r"^\[WARN\] Failed to read PID file /var/run/velurd\.pid$", ident="velcrond")
    time.sleep(1)
    assert cd.alive()
    assert sb.log.count(r"VSS_open", ident="velcrond") == 1
