"""velcrond end to end: options and start-up, the process report for processes of the sandbox,
the core report for files created after start, and the machine report's first capture, which is
only stored. The machine report itself comes 300 s after start: test_velcrond_slow.py checks it;
its arithmetic and the reports' cadence are unit-tested through the wheel's clock seam.

Every velcrond runs in a "node" namespace with the master (tools/velmaster.py) in a "master"
namespace, both on the sandbox's private /var/run and /opt/velkarn-server.
"""

import os
import re
import signal
import socket
import subprocess
import time

import pytest

from masters import ALT_IP, MASTER_HOST, MASTER_IP, MasterRecord, link_master, start_velmaster

CORE_DIR = "/opt/velkarn-server/1.6.3/var/"
WOW_DIR = "/opt/velkarn-server/1.6.3/var/varnish/wow/"
DAEMONS = ("velauthd", "veld", "velechod", "vellmond", "velmeshd", "velrttd", "veltalkd", "velumond",
           "velurd", "velwatchdog")


def start_master(sb):
    """velmaster in the "master" namespace on the host name's and the alternate address."""
    link_master(sb, alt=True, name_a="mst0")
    record = "/run/velmaster.jsonl"
    return MasterRecord(sb, record, start_velmaster(sb, "master", record))


@pytest.fixture
def node(sandbox):
    sandbox.netns("node")
    return sandbox


@pytest.fixture
def master(node):
    return start_master(node)


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


def test_usage(node):
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
    # velrttd: no pid file at all; velurd: a FIFO in its place, which must not hold velcrond
    os.mkfifo(sb.path("/var/run/velurd.pid"))

    # Two at once: as root without -m, and unprivileged with -m -S, which sees the root-owned
    # processes as alive (kill(2) gives EPERM) and reports to the private address, still naming
    # the master's host.
    sb.sh("node", "chmod 1777 /run")
    cd = velcrond(sb, "-F", "-c", "-s")
    cdm = velcrond(sb, "-F", "-c", "-s", "-m", "-S", "-P", "/run/velcrond-nobody.pid", user=65534)
    reqs = {r["local"]: r for r in master.wait("/report/pmon.php", count=2)}
    alive = {"veld", "velumond"}
    for local, up in ((MASTER_IP, alive), (ALT_IP, alive | {"velauthd", "veltalkd"})):
        assert reqs[local]["body"] == "mode=update&" + "".join(
            f"{d}={'True' if d in up else 'False'}&" for d in DAEMONS)
    assert dict((k.lower(), v) for k, v in reqs[ALT_IP]["headers"])["host"] == MASTER_HOST
    for name in ("vellmond", "velmeshd", "velwatchdog", "velrttd", "velurd"):
        line = sb.log.wait(rf"^\[WARN\] Failed to read PID file /var/run/{name}\.pid$",
                           ident="velcrond", level=4, count=2)
        assert {l.pid for l in sb.log.find(re.escape(line.msg))} == {cd.pid, cdm.pid}
    assert master.requests("/report/cmon.php") == []
    assert cd.alive() and cdm.alive()


def test_core_files_and_quiet_runs(node, master):
    """The name rule and links are unit-tested with exact times, the second scan in the slow
    test; here a detached velcrond reports what appears after its start, folder by folder. Beside
    it run one with all three reports off and one with only the machine report, which stores its
    first capture and sends nothing (every flag flips at each use)."""
    sb = node
    sb.write_file("/var/run/veld.pid", str(os.getpid()))
    sb.write_file(CORE_DIR + "core.99", "old")  # before start: never reported
    sb.write_file(WOW_DIR + "keep", "")
    old = time.time() - 10
    os.utime(sb.path(CORE_DIR + "core.99"), (old, old))
    idle = velcrond(sb, "-F", "-c", "-p", "-s", "-P", "/var/run/velcrond1.pid")
    flipped = velcrond(sb, "-F", "-c", "-p", "-c", "-c", "-P", "/var/run/velcrond2.pid")
    launcher = velcrond(sb, "-p", "-s")  # detaches
    assert launcher.wait(10) == 0
    wait_started(sb)
    daemon_pid = int(sb.read_file("/var/run/velcrond.pid"))
    assert daemon_pid != launcher.pid
    try:
        for path in (WOW_DIR + "core.77", CORE_DIR + "core.12a", CORE_DIR + "core.1234"):
            sb.write_file(path, "core")
        req = master.wait("/report/cmon.php")[0]
        assert req["body"] == (f"mode=update&hostname={socket.gethostname()}&list="
                               f"{CORE_DIR}core.1234,{WOW_DIR}core.77,")
        time.sleep(2)
        assert master.requests() == [req]
        assert os.path.exists(f"/proc/{daemon_pid}")
        assert idle.alive() and flipped.alive(), flipped.stderr()
        assert sb.read_file("/var/run/velcrond1.pid") == str(idle.pid)
        assert sb.log.find(r".", ident="velcrond") == []
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
