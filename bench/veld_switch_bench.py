#!/usr/bin/python3
"""Client-to-client switching rate of veld against a minimal UDP forwarder, and veld's memory per
session.

Workload: two clients in their own network namespaces, bridged to a node namespace, speak plain
UDP to the node. Client B announces its MAC address and counts what comes back; client A sends
64-byte Ethernet frames (IPv4/UDP inside) addressed to B as fast as its socket takes them for a few
seconds. The rate is what B receives per second, from its first frame to its last. The same pump
runs against `udpfwd forward` (one select, one recvfrom and one sendto per frame, learning MAC
addresses like a switch) in the same namespaces, alternating with veld, three rounds each; the
medians and their ratio are printed, and beside the rate the CPU time the switching process (veld
or the forwarder) spent per frame that arrived: on a shared 2-core machine, where the pump, the
switch and the sink compete for the cores, the rate follows the neighbours' load, the CPU time
per frame much less. Then 8,000 stations (distinct source MAC addresses, 25 behind
each UDP source port, since veld admits at most 32 stations per client endpoint and 8,192 sessions
in all) each send one frame to veld, and the growth of its resident set is divided by 8,000.

Run as root after a build (default build dir: build/):

    /usr/bin/python3 bench/veld_switch_bench.py [--build DIR] [--rounds N] [--seconds S]

No assertions on speed: the machine is shared, only the ratio of one run means something.
"""

import argparse
import os
import re
import statistics
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))

SESSIONS = 8_000
PER_PORT = 25
MAC_A, MAC_B = "02:00:00:00:00:0a", "02:00:00:00:00:0b"

STATIONS = r"""
import socket, sys
first, n, dst, per = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
tail = bytes.fromhex("0800") + bytes(28)
for i in range(first, first + n):
    if (i - first) % per == 0:
        # A port of its own for each group: a reused port would add to an older group.
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind(("", 20000 + i // per))
        s.connect((dst, 10008))
    src = bytes([0x02, 0x42]) + i.to_bytes(4, "big")
    s.send(bytes.fromhex("0200000000ee") + src + tail)
"""


def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_round(sb, net, port, seconds, pid):
    from nodenet import NODE_PUBLIC
    sink = sb.start("client1", [sb.binary("udpfwd"), "sink", "-s", NODE_PUBLIC, "-p", port,
                                "-m", MAC_B, "-t", str(seconds + 30)], name="sink")
    sink.wait_stderr("sink ready")
    if port == "10008":
        sb.log.wait(r"2:0:0:0:0:b is created", ident="veld")
    c0 = cpu_seconds(pid)
    r = sb.run("client0", [sb.binary("udpfwd"), "blast", "-s", NODE_PUBLIC, "-p", port,
                           "-m", MAC_A, "-d", MAC_B, "-l", "64", "-t", str(seconds)],
               timeout=seconds + 30)
    sent = int(re.search(r"sent (\d+)", r.stdout).group(1))
    assert sink.wait(seconds + 40) == 0
    m = re.search(r"received (\d+) frames in ([\d.]+) seconds", sink.stdout())
    got, span = int(m.group(1)), float(m.group(2))
    cpu = (cpu_seconds(pid) - c0) / got * 1e6 if got > 0 else float("nan")
    return (got / span if span > 0 else 0.0), got, sent, cpu


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--rounds", type=int, default=3)
    ap.add_argument("--seconds", type=float, default=3.0)
    a = ap.parse_args()
    os.environ["VEL_BUILD_DIR"] = os.path.abspath(a.build)
    from sandbox import Sandbox
    from nodenet import NODE_PUBLIC, NodeNet

    with Sandbox() as sb:
        net = NodeNet(sb, clients=2)
        fwd = sb.start("node", [sb.binary("udpfwd"), "forward", "-p", "10009"], name="udpfwd")
        fwd.wait_stderr("forwarding on port 10009")
        veld = net.start_veld()
        rates = {"baseline": [], "veld": []}
        cpus = {"baseline": [], "veld": []}
        for rnd in range(a.rounds):
            for name, port, pid in (("baseline", "10009", fwd.pid), ("veld", "10008", veld.pid)):
                rate, got, sent, cpu = run_round(sb, net, port, a.seconds, pid)
                rates[name].append(rate)
                cpus[name].append(cpu)
                print(f"round {rnd + 1} {name:8s}: {rate:12.0f} frames/s "
                      f"({got} of {sent} sent frames arrived), {cpu:.2f} µs CPU per frame",
                      flush=True)
        base, vel = statistics.median(rates["baseline"]), statistics.median(rates["veld"])
        print(f"median baseline {base:.0f} frames/s, veld {vel:.0f} frames/s, "
              f"ratio veld/baseline {vel / base:.3f}")
        cbase, cvel = statistics.median(cpus["baseline"]), statistics.median(cpus["veld"])
        print(f"median CPU per frame: baseline {cbase:.2f} µs, veld {cvel:.2f} µs, "
              f"ratio baseline/veld {cbase / cvel:.3f} (above 1: veld switches a frame for less)")

        before_sessions = sb.log.count("is created from", ident="veld")
        before = rss(veld.pid)
        # In steps, so that no datagram is lost in a full socket buffer.
        step = 500
        for first in range(0, SESSIONS, step):
            r = sb.run("client0", ["python3", "-c", STATIONS, str(first), str(step), NODE_PUBLIC,
                                   str(PER_PORT)], timeout=120)
            assert r.returncode == 0, r.stderr
            sb.log.wait("is created from", ident="veld", count=before_sessions + first + step,
                        timeout=120)
        after = rss(veld.pid)
        print(f"veld resident set: {before} bytes with {before_sessions} sessions, {after} bytes "
              f"with {before_sessions + SESSIONS}: {(after - before) / SESSIONS:.0f} bytes per "
              f"session")


if __name__ == "__main__":
    main()
