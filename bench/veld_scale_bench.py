#!/usr/bin/python3
"""veld at scale: memory, idle CPU, CPU per frame, usage rounds and the delays they cause, and the
cost of broadcasts, for N = 1, 1,000, 4,000 and 8,000 client sessions.

Workload, per N, in a fresh sandbox (the node and one client namespace, as the system tests build
them): `veldload clients` in the client namespace holds N sessions, each its own UDP source port,
MAC address and tunnel address; veld runs with -i 5 (a usage round every 5 seconds) and -d (one
debug line per round: its records, its slices, when it began and ended, its longest slice).

1. Traffic (--seconds, default 16 s): every station sends a keepalive to 4 remote addresses every
   3 s; station 0 pings the TAP address through the tunnel 50 times a second (the kernel answers);
   station 1 sends a probe frame to station 2 500 times a second (client to client, only through
   veld's loop: its one-way delay is how long a frame waited in veld). Printed: veld's resident
   memory per session, its CPU per frame, each round's records and longest slice, and the ping
   round trip (p50/p99/max) and probe delay (max) of samples sent near a round (from 50 ms before it
   began to 50 ms after it ended) against those sent between rounds, leaving out the first 2 s
   (while veld creates the N sessions).
2. Idle (5 s): the stations stay, nothing is sent; veld's CPU in per cent of one core.
3. Broadcasts (--bcast-seconds, default 20 s): every station announces itself (a gratuitous ARP)
   every 60 s, and `veldload arp` in the node namespace broadcasts the ARP request the kernel makes
   when it resolves a station afresh, once per station every 60 s; the stations answer. Printed:
   veld's CPU above idle, in per cent of one core.

Then, with --big, the round at the session limit: 8,192 stations each reach 200 remote addresses
(about 1.66 million records in one round) with velumond following veld's log; velumond is
stopped (SIGSTOP) from just before the round until 2 s after veld wrote it. Printed: the records veld wrote, the usage
lines in velumond's daily file, and any line of the reader about lost records.

Run as root after a build (default build dir: build/); not part of the test suite:

    /usr/bin/python3 bench/veld_scale_bench.py [--build DIR] [--sessions 1,1000,4000,8000] [--big]

With --veld PATH another veld binary (an older build, say) runs in the same harness, so before and
after come from the same machine. The machine is shared and small: compare ratios within one run.
"""

import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))

INTERVAL = 5
SETTLE = 2
ROUND_RE = re.compile(r"Usage round: (\d+) sessions, (\d+) records in (\d+) slices from "
                      r"([\d.]+) to ([\d.]+) \(monotonic\), longest slice ([\d.]+) ms "
                      r"\(CPU ([\d.]+) ms\)")
STAT_RE = re.compile(r"Stat is written\. \(nsess (\d+), nentry (\d+)\)")


def rss(pid):
    with open(f"/proc/{pid}/status") as f:
        return int(re.search(r"^VmRSS:\s+(\d+) kB", f.read(), re.M).group(1)) * 1024


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def pct(values, p):
    if not values:
        return float("nan")
    v = sorted(values)
    return v[min(len(v) - 1, int(p / 100 * len(v)))]


def samples(text, kind):
    out = []
    for line in text.splitlines():
        parts = line.split()
        if len(parts) == 3 and parts[0] == kind:
            out.append((float(parts[1]), float(parts[2])))
    return out


def rounds(sb, since):
    """(begin, end, records, longest ms) of every round veld wrote since the mark. Without the
    debug line (an older veld) the round ends when its line arrives and its length is unknown:
    the window then starts 300 ms before."""
    found = []
    for l in sb.log.find(ROUND_RE.pattern, ident="veld", since=since):
        m = ROUND_RE.search(l.msg)
        found.append((float(m.group(4)), float(m.group(5)), int(m.group(2)), float(m.group(6)),
                      float(m.group(7))))
    if found:
        return found
    for l in sb.log.find(STAT_RE.pattern, ident="veld", since=since):
        m = STAT_RE.search(l.msg)
        found.append((l.when - 0.3, l.when, int(m.group(2)), float("nan"), float("nan")))
    return found


def split_near(points, windows, margin=0.05):
    near, far = [], []
    for t, v in points:
        (near if any(b - margin <= t <= e + margin for b, e, *_ in windows) else far).append(v)
    return near, far


def start_node(sb, veld_path, *args):
    from nodenet import NodeNet
    net = NodeNet(sb, clients=1)
    argv = [veld_path, "-F", "-d", "-F", "-i", str(INTERVAL), *args]
    net.veld = sb.start("node", argv, name="veld")
    net.wait_veld()
    return net


def wait_sessions(sb, n, timeout=120):
    sb.log.wait("is created from", ident="veld", count=n, timeout=timeout)


def one_n(a, n):
    from nodenet import NODE_PUBLIC, NODE_TAPIP
    from sandbox import Sandbox
    with Sandbox() as sb:
        net = start_node(sb, a.veld)
        veld = net.veld
        rss0 = rss(veld.pid)
        gen = ["clients", "-s", NODE_PUBLIC, "-n", str(n), "-g", NODE_TAPIP]
        mark = sb.log.mark()
        load = sb.start("client0", [a.veldload, *gen, "-a", "4", "-k", "3",
                                    "-t", str(a.seconds + 4)], name="load")
        wait_sessions(sb, n)
        mem = (rss(veld.pid) - rss0) / n
        c0, t0 = cpu_seconds(veld.pid), time.monotonic()
        assert load.wait(a.seconds + 120) == 0, load.stderr()
        cpu, span = cpu_seconds(veld.pid) - c0, time.monotonic() - t0
        out = load.stdout()
        m = re.search(r"sent (\d+) frames", out)
        sent = int(m.group(1))
        pings, probes = samples(out, "ping"), samples(out, "probe")
        # The first seconds are the stations' arrival: veld creates (and logs) N sessions.
        settle = min((t for t, _ in pings + probes), default=0) + SETTLE
        pings = [p for p in pings if p[0] >= settle]
        probes = [p for p in probes if p[0] >= settle]
        # Frames through veld while measured: what the stations sent after they were up, and the
        # ping answers from the TAP device.
        frames = (n * 4 / 3 + 50 + 500) * span + 50 * span
        rs = [r for r in rounds(sb, mark) if r[2] > 0]
        near_p, far_p = split_near(pings, rs)
        near_q, far_q = split_near(probes, rs)

        time.sleep(1)
        c0 = cpu_seconds(veld.pid)
        time.sleep(5)
        idle = (cpu_seconds(veld.pid) - c0) / 5 * 100

        kern = sb.start("node", [a.veldload, "arp", "-i", net.tapname(), "-n", str(n), "-g",
                                 NODE_TAPIP, "-P", "60", "-t", str(a.bcast_seconds + 3)],
                        name="kernel-arp")
        bc = sb.start("client0", [a.veldload, *gen, "-k", "1000000", "-P", "60", "-H", "0",
                                  "-Q", "0", "-t", str(a.bcast_seconds + 3)], name="announce")
        time.sleep(2)
        c0, t0 = cpu_seconds(veld.pid), time.monotonic()
        time.sleep(a.bcast_seconds)
        bcpu = (cpu_seconds(veld.pid) - c0) / (time.monotonic() - t0) * 100 - idle
        kern.wait(60)
        bc.wait(60)
        return {
            "n": n, "mem": mem, "idle": idle, "cpu_frame": cpu / frames * 1e6 if frames else 0,
            "rounds": rs, "sent": sent,
            "ping_near": near_p, "ping_far": far_p, "probe_near": near_q, "probe_far": far_q,
            "bcast": bcpu,
        }


def show(r):
    recs = "/".join(str(x[2]) for x in r["rounds"]) or "-"
    longest = max((x[3] for x in r["rounds"]), default=float("nan"))
    cpu = max((x[4] for x in r["rounds"] if x[3] == longest), default=float("nan"))
    pn, pf = [v / 1000 for v in r["ping_near"]], [v / 1000 for v in r["ping_far"]]
    qn, qf = [v / 1000 for v in r["probe_near"]], [v / 1000 for v in r["probe_far"]]
    print(f"N={r['n']}: {r['mem']:.0f} bytes per session; idle {r['idle']:.2f}% of a core; "
          f"{r['cpu_frame']:.2f} us CPU per frame")
    span = max((x[1] - x[0] for x in r["rounds"] if x[3] == x[3]), default=float("nan"))
    print(f"  rounds (records): {recs}; longest slice {longest:.3f} ms (CPU {cpu:.3f} ms); "
          f"a round takes {span * 1000:.1f} ms")
    print(f"  ping ms near rounds p50/p99/max {pct(pn, 50):.2f}/{pct(pn, 99):.2f}/"
          f"{max(pn, default=float('nan')):.2f} ({len(pn)}), between {pct(pf, 50):.2f}/"
          f"{pct(pf, 99):.2f}/{max(pf, default=float('nan')):.2f} ({len(pf)})")
    print(f"  probe (frame crossing veld) max ms near rounds {max(qn, default=float('nan')):.2f}"
          f" ({len(qn)}), between {max(qf, default=float('nan')):.2f} ({len(qf)}); "
          f"near minus between {max(qn, default=0) - max(qf, default=0):.2f} ms")
    print(f"  broadcasts (announcement + kernel ARP per station per minute): {r['bcast']:.2f}% "
          f"of a core", flush=True)


def big_round(a):
    """8,192 stations x 200 addresses: one round of ~1.66 M records, velumond stopped for 2 s
    while it is written; every record must reach the daily file."""
    from nodenet import NODE_PUBLIC, NODE_TAPIP
    from sandbox import Sandbox
    from test_velumond import CSV_PATH, GEO_CSV, daily_path
    n, addrs = 8192, 200
    with Sandbox() as sb:
        sb.write_file("/etc/velkarn-server/country", "KR\n")
        sb.write_file(CSV_PATH, GEO_CSV)
        # A long interval: the round comes after every station has sent to all its addresses
        # (spread over 50 s); a ping a second keeps veld's loop turning, so the round is on time.
        first = sb.log.mark()
        net = start_node(sb, a.veld, "-i", "60")
        veld = net.veld
        t_first = sb.log.wait(STAT_RE.pattern, ident="veld", since=first).when
        um = sb.start("node", [a.velumond, "-F"], name="velumond")
        sb.wait_until(lambda: sb.exists(daily_path()) or not um.alive(), 60, "daily file")
        assert um.alive(), um.stderr()
        load = sb.start("client0", [a.veldload, "clients", "-s", NODE_PUBLIC, "-n", str(n),
                                    "-g", NODE_TAPIP, "-a", str(addrs), "-k", "50", "-H", "1",
                                    "-Q", "0", "-t", "58"], name="load")
        wait_sessions(sb, n, timeout=180)
        # velumond is held up from just before the round until 2 s after it is written.
        mark = sb.log.mark()
        wait = t_first + 59.7 - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        os.kill(um.pid, signal.SIGSTOP)
        line = sb.log.wait(STAT_RE.pattern, ident="veld", since=mark, timeout=120)
        time.sleep(2)
        os.kill(um.pid, signal.SIGCONT)
        t0 = time.monotonic()
        written = int(STAT_RE.search(line.msg).group(2))
        total = sum(int(STAT_RE.search(l.msg).group(2))
                    for l in sb.log.find(STAT_RE.pattern, ident="veld", since=first))

        def filed():
            try:
                return int(sb.run("node", ["wc", "-l", daily_path()]).stdout.split()[0])
            except (ValueError, IndexError):
                return -1
        last_n, still = -1, 0
        while time.monotonic() - t0 < 300:
            k = filed()
            still = still + 1 if k == last_n else 0
            if k >= total or still >= 50:
                break
            last_n = k
            time.sleep(0.2)
        k = filed()
        took = time.monotonic() - t0
        load.wait(120)
        lost = [l.msg for l in sb.log.find("records were lost|overtook", since=first)]
        m = re.search(r"sent (\d+) frames", load.stdout())
        print(f"big round: {written} records in the round ({total} since velumond started), "
              f"{k} lines in velumond's daily file {took:.1f} s after it went on "
              f"(stopped from just before the round to 2 s after it); missing "
              f"{total - k}; veld RSS "
              f"{rss(veld.pid) / 2**20:.0f} MiB; stations sent {m.group(1) if m else '?'} frames")
        for l in lost:
            print(f"  reader: {l}")
        rl = [x for x in rounds(sb, mark)]
        for b, e, recs, longest, cpu in rl:
            print(f"  round: {recs} records over {e - b:.2f} s, longest slice {longest:.3f} ms "
                  f"(of which CPU {cpu:.3f} ms)")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"))
    ap.add_argument("--veld", help="veld binary to measure (default: the build's)")
    ap.add_argument("--velumond", help="velumond binary for --big (default: the build's)")
    ap.add_argument("--sessions", default="1,1000,4000,8000")
    ap.add_argument("--seconds", type=float, default=16)
    ap.add_argument("--bcast-seconds", type=float, default=20)
    ap.add_argument("--big", action="store_true", help="also the 1.6-million-record round")
    ap.add_argument("--only-big", action="store_true")
    a = ap.parse_args()
    os.environ["VEL_BUILD_DIR"] = os.path.abspath(a.build)
    a.veld = os.path.abspath(a.veld or os.path.join(a.build, "veld", "veld"))
    a.velumond = os.path.abspath(a.velumond or os.path.join(a.build, "velumond", "velumond"))
    a.veldload = os.path.abspath(os.path.join(a.build, "tools", "veldload"))
    print(f"veld: {a.veld}", flush=True)
    if not a.only_big:
        for n in [int(x) for x in a.sessions.split(",")]:
            show(one_n(a, n))
    if a.big or a.only_big:
        big_round(a)


if __name__ == "__main__":
    main()
