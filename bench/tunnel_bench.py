#!/usr/bin/python3
"""Tunnel throughput of veld + veltun over UDP, TCP and ICMP against OpenVPN, and veld's system
calls per frame.

Workload: one node namespace and one client namespace per tunnel, bridged on the node's br0 (the
topology of the system tests). veld runs in the node with one veltun client per transport;
OpenVPN (Debian's package, tap mode, point-to-point without any crypto, TAP MTU 1450 like veld's)
runs beside it over UDP and over TCP, each tunnel with a client namespace of its own. iperf3 in
the client talks to iperf3 in the node, through the tunnel:
  - TCP, one stream, client to node and back (-R): Mbit/s received;
  - UDP datagrams of 64 bytes of payload as fast as iperf3 sends them (-u -b 0 -l 64), both
    directions: datagrams received per second.
Rounds alternate: in each round every test runs once through every tunnel before the next test.
Medians per tunnel and test, and the ratios veld / OpenVPN (veld UDP and ICMP against OpenVPN
UDP, veld TCP against OpenVPN TCP) are printed, with the CPU time the node's end of each tunnel
spent per frame and the datagrams its sockets dropped for want of buffer room. Then, for each veld transport and each of the four loads, veld's system calls
are counted over a fixed window (perf stat on the raw_syscalls and syscalls tracepoints, or
strace -c where perf cannot count them) and divided by the frames its TAP device carried in that
window, in both directions.

Needs root, and what bench/install-bench-deps.sh installs. Run after a build (default: build/):

    /usr/bin/python3 bench/tunnel_bench.py [--build DIR] [--rounds N] [--seconds S]
        [--transports udp,tcp,icmp] [--strace] [--quick]

--quick is one round of 2-second tests and 2-second counting windows: a check that everything
runs, not figures. No assertions on speed: the machine is shared, only the ratios of one run mean
something.
"""

import argparse
import json
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "system"))

UDP_LEN = 64
TESTS = (  # name, iperf3 arguments, unit
    ("tcp-up", [], "Mbit/s"),
    ("tcp-down", ["-R"], "Mbit/s"),
    ("udp-up", ["-u", "-b", "0", "-l", str(UDP_LEN)], "kpps"),
    ("udp-down", ["-u", "-b", "0", "-l", str(UDP_LEN), "-R"], "kpps"),
)
OVPN_MTU = 1450
OVPN_NETS = {"udp": ("10.78.0.1", "10.78.0.2", 1194), "tcp": ("10.79.0.1", "10.79.0.2", 1195)}
# The calls veld's loop makes, or a batching loop would make; the rest is summed as "other".
SYSCALLS = ("select", "pselect6", "poll", "ppoll", "epoll_wait", "epoll_pwait", "read", "write",
            "readv", "writev", "recvfrom", "sendto", "recvmsg", "sendmsg", "recvmmsg", "sendmmsg",
            "accept", "accept4", "ioctl")
IPERF_BASE_PORT = 5201


class Tunnel:
    """One tunnel under test: its name, client namespace, the node's address in the tunnel, the
    node-side device, and the node-side process whose CPU time is taken."""

    def __init__(self, name, kind, transport, client_ns, node_ip, node_dev, proc):
        self.name, self.kind, self.transport = name, kind, transport
        self.client_ns, self.node_ip, self.node_dev, self.proc = (client_ns, node_ip, node_dev,
                                                                  proc)


def need(tool):
    if not shutil.which(tool):
        sys.exit(f"tunnel_bench: {tool} is not installed (run bench/install-bench-deps.sh)")


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def dev_frames(text, dev):
    """Frames a device received plus sent, from the text of /proc/net/dev."""
    for line in text.splitlines():
        name, _, rest = line.partition(":")
        if name.strip() == dev:
            f = rest.split()
            return int(f[1]) + int(f[9])
    raise AssertionError(f"no device {dev} in /proc/net/dev")


# Node sockets that carry tunnels: veld's UDP port, OpenVPN's UDP port, the raw ICMP socket.
TUNNEL_UDP_PORTS = {10008, OVPN_NETS["udp"][2]}


def tunnel_drops(udp, raw):
    """Datagrams the node's tunnel sockets dropped (full receive buffers), from the texts of
    /proc/net/udp and /proc/net/raw."""
    n = 0
    for text, is_raw in ((udp, False), (raw, True)):
        for line in text.splitlines()[1:]:
            f = line.split()
            port = int(f[1].rsplit(":", 1)[1], 16)
            if (port == 1) if is_raw else (port in TUNNEL_UDP_PORTS):
                n += int(f[-1])
    return n


class Bench:
    def __init__(self, sb, net, seconds):
        self.sb, self.net, self.seconds = sb, net, seconds
        self.port = IPERF_BASE_PORT

    def frames(self, dev):
        """Frames through a node device, and the drops of the node's tunnel sockets."""
        text = self.sb.run("node", ["sh", "-c", "cat /proc/net/dev; echo @@; cat /proc/net/udp; "
                                    "echo @@; cat /proc/net/raw"], check=True).stdout
        dev_text, udp, raw = text.split("@@\n")
        return dev_frames(dev_text, dev), tunnel_drops(udp, raw)

    def start_iperf(self, tun, args, seconds):
        """Starts a one-test iperf3 server in the node and the client; returns the client."""
        sb = self.sb
        self.port += 1  # a fresh port: no server left from an earlier test can answer
        port = str(self.port)
        srv = sb.start("node", ["iperf3", "-s", "-1", "-p", port], name=f"iperf3-s-{port}")
        sb.wait_listen("node", port, "tcp")
        cli = sb.start(tun.client_ns, ["iperf3", "-c", tun.node_ip, "-p", port, "-t",
                                       str(seconds), "-J", *args], name=f"iperf3-c-{port}")
        return srv, cli

    def finish_iperf(self, srv, cli, seconds):
        if cli.wait(seconds + 60) != 0:
            raise AssertionError(f"iperf3 failed:\n{cli.stdout()[-2000:]}{cli.stderr()[-2000:]}")
        self.sb.stop(srv)
        return json.loads(cli.stdout())["end"]

    def measure(self, tun, test):
        """One test through one tunnel: rate in the test's unit, node CPU µs per frame, and
        datagrams the node's tunnel sockets dropped per second."""
        name, args, _ = test
        (f0, d0), c0, t0 = self.frames(tun.node_dev), cpu_seconds(tun.proc.pid), time.monotonic()
        srv, cli = self.start_iperf(tun, args, self.seconds)
        end = self.finish_iperf(srv, cli, self.seconds)
        (f1, d1), c1, t1 = self.frames(tun.node_dev), cpu_seconds(tun.proc.pid), time.monotonic()
        got = end["sum_received"]
        if name.startswith("tcp"):
            rate = got["bits_per_second"] / 1e6
        else:
            rate = got["bytes"] / UDP_LEN / got["seconds"] / 1e3
        cpu = (c1 - c0) / (f1 - f0) * 1e6 if f1 > f0 else float("nan")
        return rate, cpu, (d1 - d0) / (t1 - t0)


# ---- tunnels ---------------------------------------------------------------------------------

def start_openvpn(sb, transport, client_ns, client_public):
    from nodenet import NODE_PUBLIC
    node_ip, client_ip, port = OVPN_NETS[transport]
    dev = f"ovpn{transport}"
    common = ["openvpn", "--dev", dev, "--dev-type", "tap", "--tun-mtu", str(OVPN_MTU),
              "--cipher", "none", "--auth", "none", "--verb", "3"]
    if transport == "udp":
        node = ["--proto", "udp", "--local", NODE_PUBLIC, "--lport", str(port), "--remote",
                client_public, "--rport", str(port)]
        client = ["--proto", "udp", "--local", client_public, "--lport", str(port), "--remote",
                  NODE_PUBLIC, "--rport", str(port)]
    else:
        node = ["--proto", "tcp-server", "--local", NODE_PUBLIC, "--lport", str(port)]
        client = ["--proto", "tcp-client", "--remote", NODE_PUBLIC, "--rport", str(port),
                  "--nobind"]
    server = sb.start("node", [*common, *node, "--ifconfig", node_ip, "255.255.255.0"],
                      name=f"openvpn-{transport}-node")
    if transport == "tcp":
        sb.wait_listen("node", port, "tcp")
    peer = sb.start(client_ns, [*common, *client, "--ifconfig", client_ip, "255.255.255.0"],
                    name=f"openvpn-{transport}-client")
    for p in (server, peer):
        p.wait_stdout("Initialization Sequence Completed", timeout=30)
    return server, dev


def wait_path(sb, ns, dev, dst):
    """Waits until the node answers ARP through the tunnel (the node ignores pings)."""
    r = sb.run(ns, ["arping", "-c", "1", "-w", "30", "-I", dev, dst], timeout=40)
    if r.returncode != 0:
        raise AssertionError(f"{ns} cannot reach {dst} through its tunnel:\n{r.stdout}{r.stderr}")


def build_tunnels(sb, net, transports):
    from nodenet import NODE_TAPIP, client_public
    tunnels = []
    veld = net.start_veld()
    tap = net.tapname()
    i = 0
    for t in transports:
        net.start_client(i, t, routes=False)
        wait_path(sb, f"client{i}", "vtap0", NODE_TAPIP)
        tunnels.append(Tunnel(f"veld {t.upper()}", "veld", t, f"client{i}", NODE_TAPIP, tap, veld))
        i += 1
    for t in ("udp", "tcp"):
        if t == "udp" and not {"udp", "icmp"} & set(transports):
            continue
        if t == "tcp" and "tcp" not in transports:
            continue
        server, dev = start_openvpn(sb, t, f"client{i}", client_public(i))
        wait_path(sb, f"client{i}", dev, OVPN_NETS[t][0])
        tunnels.append(Tunnel(f"OpenVPN {t.upper()}", "openvpn", t, f"client{i}", OVPN_NETS[t][0],
                              dev, server))
        i += 1
    return tunnels


def baseline_of(tun, tunnels):
    """The OpenVPN tunnel a veld tunnel is compared with."""
    want = "tcp" if tun.transport == "tcp" else "udp"
    for b in tunnels:
        if b.kind == "openvpn" and b.transport == want:
            return b
    return None


# ---- system calls ----------------------------------------------------------------------------

def perf_events():
    """The tracepoints perf can count here: the total and each named call, or only the total
    where some named one does not exist (another architecture); None where perf cannot count."""
    if not shutil.which("perf"):
        return None
    total = ["raw_syscalls:sys_enter"]
    for events in (total + [f"syscalls:sys_enter_{s}" for s in SYSCALLS], total):
        r = subprocess.run(["perf", "stat", "-x", ",", "-e", ",".join(events), "--", "true"],
                           capture_output=True, text=True)
        if r.returncode == 0 and "raw_syscalls:sys_enter" in r.stderr and \
                "not supported" not in r.stderr:
            return events
    return None


WINDOW_SH = "cat /proc/net/dev; echo @@; cat /proc/{pid}/stat; echo @@; sleep {w}; " \
            "cat /proc/net/dev; echo @@; cat /proc/{pid}/stat"


def count_perf(sb, pid, window, events):
    """perf stat on veld for `window` seconds, run in the node's namespace so that the window's
    own workload reads the TAP counters and veld's CPU time exactly at its edges."""
    argv = ["perf", "stat", "-x", ",", "-e", ",".join(events), "-p", str(pid), "--", "sh", "-c",
            WINDOW_SH.format(pid=pid, w=window)]
    r = sb.run("node", argv, timeout=window + 60)
    if r.returncode != 0:
        raise AssertionError(f"perf stat failed: {r.stderr[-2000:]}")
    calls = {}
    for line in r.stderr.splitlines():
        f = line.split(",")
        if len(f) < 3:
            continue
        # "<not counted>": veld made no call of that kind while the counter ran.
        n = int(f[0]) if f[0].isdigit() else 0
        if f[2] == "raw_syscalls:sys_enter":
            calls["total"] = n
        elif f[2].startswith("syscalls:sys_enter_"):
            calls[f[2][len("syscalls:sys_enter_"):]] = n
    parts = r.stdout.split("@@")
    return calls, parts


def count_strace(sb, pid, window):
    """strace -c on veld for `window` seconds; TAP counters and CPU time just outside it."""
    out = f"/tmp/tunnel-bench-strace-{os.getpid()}.txt"
    before = sb.run("node", ["sh", "-c", f"cat /proc/net/dev; echo @@; cat /proc/{pid}/stat"],
                    check=True).stdout
    r = subprocess.run(["timeout", "-s", "INT", str(window), "strace", "-c", "-f", "-q", "-o",
                        out, "-p", str(pid)], capture_output=True, text=True)
    if not os.path.exists(out):
        raise AssertionError(f"strace could not trace veld: {r.stderr.strip()}")
    after = sb.run("node", ["sh", "-c", f"cat /proc/net/dev; echo @@; cat /proc/{pid}/stat"],
                   check=True).stdout
    calls = {}
    with open(out) as f:
        for line in f:
            m = re.match(r"^\s*[\d.]+\s+[\d.]+\s+\d+\s+(\d+)\s+(?:\d+\s+)?(\S+)\s*$", line)
            if m:
                calls["total" if m.group(2) == "total" else m.group(2)] = int(m.group(1))
    os.unlink(out)
    return calls, before.split("@@") + after.split("@@")


def syscall_window(bench, veld_pid, tun, test, window, events):
    """Runs one load through one veld tunnel and counts veld's calls over a window inside it."""
    name, args, _ = test
    sb = bench.sb
    lead = 1.0  # the load is up before the window opens
    srv, cli = bench.start_iperf(tun, args, window + lead + 4)
    time.sleep(lead)
    if events:
        calls, parts = count_perf(sb, veld_pid, window, events)
    else:
        calls, parts = count_strace(sb, veld_pid, window)
    still_loaded = cli.alive()
    bench.finish_iperf(srv, cli, window + lead + 4)
    if not still_loaded:
        raise AssertionError("the load ended before the counting window")
    frames = dev_frames(parts[2], tun.node_dev) - dev_frames(parts[0], tun.node_dev)
    stat0, stat1 = parts[1].rsplit(")", 1)[1].split(), parts[3].rsplit(")", 1)[1].split()
    cpu = (int(stat1[11]) + int(stat1[12]) - int(stat0[11]) - int(stat0[12])) / \
        os.sysconf("SC_CLK_TCK")
    return calls, frames, cpu


# ---- report ------------------------------------------------------------------------------------

def fmt_pair(a, b, form):
    return f"{a:{form}} / {b:{form}}"


def print_tables(tunnels, results, cpu, drops, rounds):
    names = [t.name for t in tunnels]
    med = {(t, n): statistics.median(results[(t, n)]) for t in names for n, _, _ in TESTS}
    cmed = {(t, n): statistics.median(cpu[(t, n)]) for t in names for n, _, _ in TESTS}
    dmed = {(t, n): statistics.median(drops[(t, n)]) for t in names for n, _, _ in TESTS}
    print(f"\nMedians of {rounds} round(s); each cell: client to node / node to client")
    print("| | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    print("| TCP through the tunnel, Mbit/s | " +
          " | ".join(fmt_pair(med[(t, 'tcp-up')], med[(t, 'tcp-down')], ".0f") for t in names) +
          " |")
    print(f"| {UDP_LEN}-byte UDP received, kpps | " +
          " | ".join(fmt_pair(med[(t, 'udp-up')], med[(t, 'udp-down')], ".0f") for t in names) +
          " |")
    print("| node CPU per frame, µs (TCP) | " +
          " | ".join(fmt_pair(cmed[(t, 'tcp-up')], cmed[(t, 'tcp-down')], ".2f") for t in names) +
          " |")
    print(f"| node CPU per frame, µs ({UDP_LEN}-byte UDP) | " +
          " | ".join(fmt_pair(cmed[(t, 'udp-up')], cmed[(t, 'udp-down')], ".2f") for t in names) +
          " |")
    for label, up, down in (("TCP", "tcp-up", "tcp-down"),
                            (f"{UDP_LEN}-byte UDP", "udp-up", "udp-down")):
        print(f"| node tunnel socket drops, 1/s ({label}) | " +
              " | ".join(fmt_pair(dmed[(t, up)], dmed[(t, down)], ".0f") for t in names) + " |")
    pairs = [(t, b) for t in tunnels if t.kind == "veld"
             for b in [baseline_of(t, tunnels)] if b is not None]
    if not pairs:
        return
    print("\nRatios veld / OpenVPN (client to node / node to client)")
    print("| | " + " | ".join(f"{t.name} / {b.name}" for t, b in pairs) + " |")
    print("|---" * (len(pairs) + 1) + "|")
    for label, up, down in (("TCP Mbit/s", "tcp-up", "tcp-down"),
                            (f"{UDP_LEN}-byte UDP kpps", "udp-up", "udp-down")):
        print(f"| {label} | " + " | ".join(
            fmt_pair(med[(t.name, up)] / med[(b.name, up)], med[(t.name, down)] /
                     med[(b.name, down)], ".2f") for t, b in pairs) + " |")


def print_syscalls(rows, how):
    print(f"\nveld's system calls per frame ({how}; frames: both directions of its TAP device)")
    print("| transport | load | frames/s | calls/frame | CPU µs/frame | calls per frame by name |")
    print("|---|---|---|---|---|---|")
    for tname, load, calls, frames, cpu, window in rows:
        total = calls.get("total", 0)
        named = {k: v for k, v in calls.items() if k != "total" and v > 0}
        if frames <= 0:
            print(f"| {tname} | {load} | 0 | - | - | no frames in the window |")
            continue
        other = total - sum(named.values())
        parts = sorted(named.items(), key=lambda kv: -kv[1])
        if other > 0:
            parts.append(("other", other))
        text = ", ".join(f"{k} {v / frames:.2f}" for k, v in parts if v / frames >= 0.005)
        print(f"| {tname} | {load} | {frames / window:.0f} | {total / frames:.2f} | "
              f"{cpu / frames * 1e6:.2f} | {text} |")


def main():
    ap = argparse.ArgumentParser(description=" ".join(__doc__.split("\n\n")[0].split()))
    ap.add_argument("--build", default=os.path.join(HERE, "..", "build"),
                    help="build directory with veld and veltun (default build/)")
    ap.add_argument("--rounds", type=int, default=3, help="alternated rounds (default 3)")
    ap.add_argument("--seconds", type=int, default=5, help="length of each test (default 5)")
    ap.add_argument("--transports", default="udp,tcp,icmp",
                    help="veld transports to measure, comma-separated (default udp,tcp,icmp)")
    ap.add_argument("--strace", action="store_true",
                    help="count system calls with strace -c even where perf can")
    ap.add_argument("--quick", action="store_true",
                    help="one round of 2-second tests and windows: a check that all runs")
    a = ap.parse_args()
    if os.geteuid() != 0:
        sys.exit("tunnel_bench: run as root")
    transports = [t for t in a.transports.split(",") if t]
    bad = [t for t in transports if t not in ("udp", "tcp", "icmp")]
    if bad or not transports or len(set(transports)) != len(transports):
        sys.exit(f"tunnel_bench: bad --transports '{a.transports}' (udp, tcp, icmp, "
                 "comma-separated, each at most once)")
    if a.quick:
        a.rounds, a.seconds = 1, 2
    if a.rounds < 1 or a.seconds < 1:
        sys.exit("tunnel_bench: --rounds must be at least 1 and --seconds at least 1")
    seconds = a.seconds
    for tool in ("iperf3", "openvpn"):
        need(tool)
    events = None if a.strace else perf_events()
    if not events:
        need("strace")
    os.environ["VEL_BUILD_DIR"] = os.path.abspath(a.build)
    from sandbox import Sandbox, binary
    from nodenet import NodeNet
    for prog in ("veld", "veltun"):
        try:
            binary(prog)
        except AssertionError as e:
            sys.exit(f"tunnel_bench: {e}")

    with Sandbox() as sb:
        openvpns = int(bool({"udp", "icmp"} & set(transports))) + int("tcp" in transports)
        net = NodeNet(sb, clients=len(transports) + openvpns)
        tunnels = build_tunnels(sb, net, transports)
        bench = Bench(sb, net, seconds)
        results = {(t.name, n): [] for t in tunnels for n, _, _ in TESTS}
        cpu = {(t.name, n): [] for t in tunnels for n, _, _ in TESTS}
        drops = {(t.name, n): [] for t in tunnels for n, _, _ in TESTS}
        for rnd in range(a.rounds):
            for test in TESTS:
                for tun in tunnels:
                    rate, c, d = bench.measure(tun, test)
                    results[(tun.name, test[0])].append(rate)
                    cpu[(tun.name, test[0])].append(c)
                    drops[(tun.name, test[0])].append(d)
                    print(f"round {rnd + 1} {test[0]:8s} {tun.name:12s}: {rate:9.1f} {test[2]:6s} "
                          f"node CPU {c:.2f} µs/frame, node socket drops {d:.0f}/s", flush=True)
        print_tables(tunnels, results, cpu, drops, a.rounds)

        window = seconds
        rows = []
        veld_pid = net.veld.pid
        for tun in tunnels:
            if tun.kind != "veld":
                continue
            for test in TESTS:
                calls, frames, c = syscall_window(bench, veld_pid, tun, test, window, events)
                rows.append((tun.name, test[0], calls, frames, c, window))
                print(f"counted {tun.name} {test[0]}: {calls.get('total', 0)} calls, {frames} "
                      "frames", flush=True)
        print_syscalls(rows, "perf stat, syscall tracepoints" if events else "strace -c")
        if not net.veld.alive():
            net.veld_died()


if __name__ == "__main__":
    main()
