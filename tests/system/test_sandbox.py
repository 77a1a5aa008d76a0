"""The sandbox itself: isolation, syslog capture, links, processes and teardown."""

import os
import signal
import subprocess

import pytest

from sandbox import FIXED_DIRS, Sandbox, wait_until


def test_files_are_private_and_vanish(sandbox):
    sb = sandbox
    sb.netns("a")
    for d in FIXED_DIRS + ("/var/run",):
        sb.write_file(f"{d}/probe", "x")
        assert sb.run("a", ["cat", f"{d}/probe"], check=True).stdout == "x"
        assert not os.path.exists(f"{d}/probe"), f"{d}/probe leaked to the host"
    sb.hosts({"master.velkarn.example": "192.0.2.10"})
    r = sb.run("a", ["getent", "hosts", "master.velkarn.example"], check=True)
    assert r.stdout.split()[0] == "192.0.2.10"
    with open("/etc/hosts") as f:
        assert "master.velkarn.example" not in f.read()
    # The device nodes a daemon needs are there, nothing else of the host's /dev.
    r = sb.run("a", ["sh", "-c", "head -c 8 /dev/urandom | wc -c; ls /dev /dev/net"], check=True)
    assert r.stdout.split()[0] == "8"
    assert "tun" in r.stdout and "vda" not in r.stdout and "sda" not in r.stdout


def test_syslog_lines_keep_their_priority(sandbox):
    sb = sandbox
    sb.netns("a")
    mark = sb.log.mark()
    sb.run("a", ["logger", "-p", "user.warning", "-t", "veld", "[WARN] first"], check=True)
    sb.run("a", ["logger", "-p", "daemon.err", "-t", "velwatchdog", "[ERROR] second"], check=True)
    w = sb.log.wait(r"^\[WARN\] first$", ident="veld", since=mark)
    assert (w.prio, w.level, w.facility) == (12, 4, 1)
    e = sb.log.wait(r"second", since=mark)
    assert (e.ident, e.level, e.facility) == ("velwatchdog", 3, 3)
    assert sb.log.count("first", level=3, since=mark) == 0
    with pytest.raises(AssertionError, match="timed out"):
        sb.log.wait("never written", timeout=0.3)


def test_links_route_only_between_namespaces(sandbox):
    sb = sandbox
    for n in ("left", "mid", "right"):
        sb.netns(n)
    sb.link("left", "198.51.100.2/24", "mid", "198.51.100.1/24")
    sb.link("right", "203.0.113.2/24", "mid", "203.0.113.1/24")
    sb.route_add("left", "default", via="198.51.100.1")
    sb.route_add("right", "default", via="203.0.113.1")
    sb.sysctl("mid", "net.ipv4.ip_forward", 1)
    assert sb.sysctl_get("left", "net.ipv4.ip_forward") == "0"
    before = sb.link_stats("right", "eth0")
    r = sb.run("left", ["ping", "-c", "2", "-i", "0.2", "-W", "5", "203.0.113.2"])
    assert r.returncode == 0, r.stdout + r.stderr
    after = sb.link_stats("right", "eth0")
    assert after["rx_packets"] - before["rx_packets"] >= 2
    # A namespace without routes reaches nothing beyond its links.
    r = sb.run("left", ["ping", "-c", "1", "-W", "1", "192.0.2.1"])
    assert r.returncode != 0
    assert sb.interfaces("mid") == ["lo", "eth0", "eth1"]


def test_processes_readiness_and_stderr(sandbox):
    sb = sandbox
    sb.netns("a")
    srv = sb.start("a", ["python3", "-c",
                         "import socket,sys,time\n"
                         "s=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
                         "s.bind(('127.0.0.1',10008))\n"
                         "print('bound',file=sys.stderr,flush=True)\n"
                         "time.sleep(600)\n"])
    sb.wait_listen("a", 10008, "udp")
    srv.wait_stderr("^bound$")
    assert ("127.0.0.1", "10008") in sb.sockets("a", "udp")
    assert sb.stop(srv) == -signal.SIGTERM
    bad = sb.start("a", ["sh", "-c", "echo oops >&2; exit 3"])
    assert bad.wait() == 3
    with pytest.raises(AssertionError, match="ended with status 3"):
        bad.wait_stderr("never")
    assert bad.stderr() == "oops\n"


def test_teardown_leaves_nothing():
    sb = Sandbox()
    sb.netns("a")
    # A process that detaches from its starter is still found and ended by close().
    sb.run("a", ["sh", "-c", "setsid sleep 600 >/dev/null 2>&1 < /dev/null &"], check=True)
    ns_ino = os.stat(sb.namespaces["a"].nsfile).st_ino
    holders = [sb.namespaces["a"].pid, sb._mnt.pid]
    mnt_path = sb.path("/etc/velkarn-server")
    sb.close()

    def in_ns():
        found = []
        for d in filter(str.isdigit, os.listdir("/proc")):
            try:
                if os.stat(f"/proc/{d}/ns/net").st_ino == ns_ino:
                    found.append(d)
            except OSError:
                pass
        return found

    wait_until(lambda: not in_ns(), 10, "every process of the namespace to end")
    for h in holders:
        assert not os.path.exists(f"/proc/{h}/ns")
    assert not os.path.exists(mnt_path)


def test_killed_run_leaves_nothing():
    # A test process killed outright takes its holders and processes with it.
    code = ("import sys; sys.path.insert(0, %r)\n"
            "from sandbox import Sandbox\n"
            "sb = Sandbox(); sb.netns('a')\n"
            "p = sb.start('a', ['sleep', '600'])\n"
            "print(sb.namespaces['a'].pid, sb._mnt.pid, p.pid, flush=True)\n"
            "import time; time.sleep(600)\n") % os.path.dirname(os.path.abspath(__file__))
    child = subprocess.Popen(["/usr/bin/python3", "-c", code], stdout=subprocess.PIPE, text=True)
    pids = [int(x) for x in child.stdout.readline().split()]
    assert len(pids) == 3
    child.kill()
    child.wait()
    wait_until(lambda: not any(os.path.exists(f"/proc/{p}") and _alive(p) for p in pids), 10,
               "holders and processes of a killed run to end")


def _alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0] != "Z"
    except OSError:
        return False
