"""The node stopped in order and started again under velwatchdog while a client's traffic flows:
every byte veld carried reaches its usage records, the daily file and the master once.

veld runs with -i 3600, so that only the stop path writes usage rounds. The reference for what
veld received and sent is the kernel's ICMP counters at both ends of the tunnel (echo requests
that reached the Internet host, echo replies that reached the client); the reference for what
veld wrote is its log file, which stays behind when it ends (read before the next veld replaces
it; the few records never wrap the ring).

VEL_STOP_GROUP=1 stops the node as a plain control-group stop does (SIGTERM to every process at
once); run against an older build (with VEL_STOP_INTERVAL=10, say), it measures what a stop used
to lose.
"""

import collections
import glob
import os
import random
import signal
import struct
import time

from nodenet import INTERNET_HOST, NodeNet
# node and writer are the fixtures of test_velumond.py, used here by name.
from test_velumond import (HOST, MAC, REMOTE_HOST, daily_path,  # noqa: F401
                           k_record, link_master, node, reading_velumond, results, run_master,
                           start_master, start_velumond, writer)
from test_velumond_slow import compare, record_key_sums, reported_key_sums
from usage_helpers import CHUNK_HDR, END_MARKER, HEAD_SIZE, VSM_PATH, node_country

CURSOR = "/var/velkarn-server/velumond/shmlog_cursor"

CONF = "/opt/velkarn/1.6.3/etc/velwatchdog.conf"
STOPS = 5
GROUP = os.environ.get("VEL_STOP_GROUP") == "1"
# veld's usage interval; a short one measures what periodic rounds alone keep
INTERVAL = os.environ.get("VEL_STOP_INTERVAL", "3600")
# Sizes of the echo requests: wait_ping's (ping's default) and the measured stream's.
SMALL, LARGE = 56, 200


def counted(payload):
    """What veld adds to the remote address's count per tunnelled echo frame: IPv4 and ICMP
    headers (28), Ethernet (14) and the outer IPv4 + UDP headers (28)."""
    return payload + 28 + 14 + 28


def icmp_counter(sb, ns, name):
    text = sb.run(ns, ["cat", "/proc/net/snmp"]).stdout
    head, vals = [l.split() for l in text.splitlines() if l.startswith("Icmp:")][:2]
    return int(vals[head.index(name)])


def log_records(sb):
    """Every usage record in the log file veld left behind, in order."""
    with open(sb.path(VSM_PATH), "rb") as f:
        data = f.read()
    at = 16 + CHUNK_HDR + 4  # the log chunk's first record, behind its seq word
    assert data[16 + 12:16 + 15] == b"Log"
    out = []
    while True:
        (w0,) = struct.unpack_from("<I", data, at)
        if w0 == END_MARKER:
            return out
        tag, n = w0 >> 24, w0 & 0xFFFF
        assert w0 & 0x00FF0000 == 0 and at > HEAD_SIZE, hex(w0)  # no wrap marker either
        if tag == 2:
            out.append(data[at + 8:at + 8 + n].decode())
        at += 8 + ((n + 3) & ~3)


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(x) for x in f.read().split()]
    except OSError:
        return []


def test_ordered_stops_under_traffic_lose_and_repeat_nothing(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1, internet=True)
    node_country(sb, f'"{INTERNET_HOST}","{INTERNET_HOST}","1","1","KR","Korea"\n')
    link_master(sb)
    master = run_master(sb)
    sb.write_file(CONF, f"veld {sb.binary('veld')} veld -F -i {INTERVAL} -l 2m,64k\n"
                        f"velumond {sb.binary('velumond')} velumond -F\n"
                        "sleeper /bin/sleep sleep 3600\n")

    def start_node():
        wd = sb.start("node", [sb.binary("velwatchdog"), "-d", CONF], name="velwatchdog")
        sb.wait_until(lambda: any(p == "10008" for _, p in sb.sockets("node", "udp")), 20,
                      "veld under velwatchdog")
        # the new TAP device has a new MAC address
        sb.run("client0", ["ip", "neigh", "flush", "dev", "vtap0"])
        return wd

    def stop_node(wd):
        if GROUP:
            for pid in [wd.pid, *children(wd.pid)]:
                os.kill(pid, signal.SIGTERM)
        else:
            wd.signal(signal.SIGTERM)
        assert wd.wait(timeout=60) == 0 or GROUP, wd.stderr()[-3000:]
        sb.wait_until(lambda: not any(p == "10008" for _, p in sb.sockets("node", "udp")), 30,
                      "veld gone")
        records.extend(log_records(sb))

    records = []

    wd = start_node()
    # a velumond that never ran reads only what veld writes after it first opened the log
    sb.wait_until(lambda: sb.exists(CURSOR), 20, "velumond following veld's log")
    net.start_client(0, "udp")
    net.wait_ping(0, INTERNET_HOST)
    small_req = icmp_counter(sb, "internet", "InEchos")
    small_rep = icmp_counter(sb, "client0", "InEchoReps")
    pinger = sb.start("client0", ["ping", "-n", "-q", "-i", "0.02", "-s", str(LARGE),
                                  INTERNET_HOST], name="ping")
    rnd = random.Random(18)
    for k in range(STOPS):
        time.sleep(rnd.uniform(1.0, 4.0))
        stop_node(wd)
        time.sleep(rnd.uniform(0.0, 1.0))
        # The client's kernel would send to the old TAP device's MAC address until it learns
        # the new one, and the node's kernel would drop what veld hands it: held meanwhile.
        pinger.signal(signal.SIGSTOP)
        wd = start_node()
        pinger.signal(signal.SIGCONT)
    time.sleep(1)
    sb.stop(pinger, signal.SIGINT)
    time.sleep(0.5)
    stop_node(wd)

    req = icmp_counter(sb, "internet", "InEchos")
    rep = icmp_counter(sb, "client0", "InEchoReps")
    # What veld carried to and from the Internet host, as the kernels at both ends saw it: out =
    # the echo requests it took from the client and handed to the node's kernel, in = the
    # replies it took from there and sent to the client.
    want_out = small_req * counted(SMALL) + (req - small_req) * counted(LARGE)
    want_in = small_rep * counted(SMALL) + (rep - small_rep) * counted(LARGE)
    got = record_key_sums(records)
    got_in = sum(v[0] for k, v in got.items() if k[2] == INTERNET_HOST)
    got_out = sum(v[1] for k, v in got.items() if k[2] == INTERNET_HOST)
    lines = []
    for p in sorted(glob.glob(sb.path("/var/velkarn-server/stat_*.log"))):
        with open(p) as f:
            lines += f.read().splitlines()
    missing = collections.Counter(records) - collections.Counter(lines)
    extra = collections.Counter(lines) - collections.Counter(records)
    lost, dup = compare(got, reported_key_sums(master))
    frame = counted(LARGE)
    print(f"\n{STOPS} {'group' if GROUP else 'ordered'} stops: veld carried {req} requests "
          f"({want_out} bytes) out and {rep} replies ({want_in} bytes) in; its records hold "
          f"{(got_out - want_out) / frame:+.0f} requests and {(got_in - want_in) / frame:+.0f} "
          f"replies against that; {len(records)} records, {len(lines)} filed "
          f"({sum(missing.values())} missing, {sum(extra.values())} twice); the master lacks "
          f"{lost} bytes and counted {dup} twice")
    assert req - small_req > 100 and rep - small_rep > 100
    assert got_in == want_in
    assert got_out == want_out
    assert lines == records
    assert (lost, dup) == (0, 0)
    # the last stop, step by step
    text = wd.stderr()
    steps = [text.index(f"[INFO] Stopping {name}[") for name in ("veld", "velumond", "sleeper")]
    assert steps == sorted(steps), text[-3000:]
    assert "[INFO] Every service is stopped; exiting" in text


def test_veld_stops_in_order_on_either_signal_also_during_start_up(sandbox):
    """SIGINT to a running veld: its clients' counters are in the log it leaves, its pid file
    is gone, status 0. SIGTERM while veld is still setting up: it finishes the start-up, then
    stops the same way instead of dying half set up."""
    sb = sandbox
    net = NodeNet(sb, clients=1)
    veld = net.start_veld("-i", "3600", "-l", "2m,64k")
    net.start_client(0, "udp")
    r = net.ping(0, "10.77.0.1", count=5)
    assert r.returncode == 0, r.stdout
    veld.signal(signal.SIGINT)
    assert veld.wait(10) == 0, veld.stderr()
    sb.log.wait(r"^\[INFO\] Interrupt: stopped reading, the last usage round is written; "
                r"exiting$", ident="veld")
    assert not sb.exists("/var/run/veld.pid")
    recs = log_records(sb)
    # the client's own address: 5 echo requests, 5 replies (and ARP) at least
    peer = [r for r in recs if ";K;198.51.100.10;" in r]
    assert len(peer) == 1 and int(peer[0].split(";")[8]) >= 5 * counted(56), recs

    mark = sb.log.mark()
    early = sb.start("node", [sb.binary("veld"), "-F", "-i", "3600", "-l", "2m,64k"],
                     name="veld-early")
    sb.wait_until(lambda: sb.exists("/var/run/veld.pid"), 10, "veld's pid file")
    early.signal(signal.SIGTERM)
    assert early.wait(20) == 0, early.stderr()
    sb.log.wait(r"^\[INFO\] Terminated: stopped reading", ident="veld", since=mark)


def test_velumond_stop_files_both_logs_and_reports_them_once(node, writer):
    """SIGTERM right after veld wrote records and then replaced its log (before velumond's
    reader has noticed the new file): the old log's rest and the new log are filed, reported in
    one last report, and a later start reports nothing again."""
    sb = node
    master = start_master(sb)
    um = reading_velumond(sb, writer)
    now = time.time()
    old = [k_record(now, HOST, MAC, REMOTE_HOST, i, 1) for i in range(1, 4)]
    new = [k_record(now, HOST, MAC, REMOTE_HOST, i, 1) for i in range(10, 12)]
    # whatever velumond was doing, it is idle now (its report went out, its reader waits)
    time.sleep(1)
    for line in old:
        writer.record(line)
    writer.create()
    for line in new:
        writer.record(line)
    um.signal(signal.SIGTERM)
    assert um.wait(20) == 0, um.stderr()
    sb.log.wait(r"^\[INFO\] Stopped: every usage record is filed and reported$",
                ident="velumond")
    assert sb.read_file(daily_path()) == "".join(l + "\n" for l in old + new)
    assert sum(r[3] for req in master.requests() for r in results(req)) == 1 + 2 + 3 + 10 + 11
    assert not sb.exists("/var/run/velumond.pid")
    um = start_velumond(sb)
    time.sleep(8)
    um.signal(signal.SIGINT)
    assert um.wait(20) == 0
    assert sum(r[3] for req in master.requests() for r in results(req)) == 27
