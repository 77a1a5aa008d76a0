#!/usr/bin/python3
"""Tunnel throughput of veld + veltun over UDP, TCP and ICMP, with and without their offloads,
against the plain veth ceiling and OpenVPN, and veld's system calls per frame.

Workload: one node namespace and one client namespace per tunnel, bridged on the node's br0 (the
topology of the system tests). veld runs in the node with one veltun client per transport;
OpenVPN (Debian's package, tap mode, point-to-point without any crypto, TAP MTU 1450 like veld's)
runs beside it over UDP and over TCP, each tunnel with a client namespace of its own. iperf3 in
the client talks to iperf3 in the node, through the tunnel:
  - TCP, one stream, client to node and back (-R): Mbit/s received;
  - UDP datagrams of 64 bytes of payload as fast as iperf3 sends them (-u -b 0 -l 64), both
    directions: datagrams received per second.
veld and veltun run in two modes, one after the other in every round: with their offloads
("veld UDP": the TAP devices hand over whole TCP segments, cut in the program; UDP_SEGMENT and
UDP_GRO on the UDP sockets) and without ("veld UDP (off)": VELD_OFFLOAD=off and veltun -O off,
one frame per read, write and datagram, the path before the offloads). The ceiling of the
machine is measured in the same rounds: iperf3 across a plain veth pair with MTU 1450 between
two namespaces, with the kernel's offloads switched off (ethtool) and on.
Rounds alternate: in each round every test runs once through every tunnel before the next test.
Medians per tunnel and test are printed, every figure also as a ratio to the veth ceiling with
offloads off, the ratios offloads on / off of veld, and veld / OpenVPN (veld UDP and ICMP against
OpenVPN UDP, veld TCP against OpenVPN TCP), with the CPU time the node's end of each tunnel spent
per frame and per gigabit, the datagrams its sockets dropped for want of buffer room, and, for
the 64-byte load, the frames per second through the node's TAP device beside iperf3's received
rate (iperf3's own receiver is what bounds that rate at high loss). Then, for each veld transport and each of the four loads, veld's system calls
are counted over a fixed window (perf stat on the raw_syscalls and syscalls tracepoints, or
strace -c where perf cannot count them) and divided by the frames its TAP device carried in that
window, in both directions.

Needs root, and what bench/install-bench-deps.sh installs. Run after a build (default: build/):

    /usr/bin/python3 bench/tunnel_bench.py [--build DIR] [--rounds N] [--seconds S]
        [--transports udp,tcp,icmp] [--modes on,off] [--no-openvpn] [--strace] [--quick]

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
    node-side device, and the node-side process whose CPU time is taken (None: no process, the
    plain veth pair). server_ns: where the node end (iperf3's server, the device) lives."""

    def __init__(self, name, kind, transport, client_ns, node_ip, node_dev, proc, mode=None,
                 server_ns="node"):
        self.name, self.kind, self.transport = name, kind, transport
        self.client_ns, self.node_ip, self.node_dev, self.proc = (client_ns, node_ip, node_dev,
                                                                  proc)
        self.mode, self.server_ns = mode, server_ns


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

    def frames(self, dev, ns="node"):
        """Frames through a node device, and the drops of the node's tunnel sockets."""
        text = self.sb.run(ns, ["sh", "-c", "cat /proc/net/dev; echo @@; cat /proc/net/udp; "
                                "echo @@; cat /proc/net/raw"], check=True).stdout
        dev_text, udp, raw = text.split("@@\n")
        return dev_frames(dev_text, dev), tunnel_drops(udp, raw)

    def start_iperf(self, tun, args, seconds):
        """Starts a one-test iperf3 server in the node and the client; returns the client."""
        sb = self.sb
        self.port += 1  # a fresh port: no server left from an earlier test can answer
        port = str(self.port)
        srv = sb.start(tun.server_ns, ["iperf3", "-s", "-1", "-p", port], name=f"iperf3-s-{port}")
        sb.wait_listen(tun.server_ns, port, "tcp")
        cli = sb.start(tun.client_ns, ["iperf3", "-c", tun.node_ip, "-p", port, "-t",
                                       str(seconds), "-J", *args], name=f"iperf3-c-{port}")
        return srv, cli

    def finish_iperf(self, srv, cli, seconds):
        if cli.wait(seconds + 60) != 0:
            raise AssertionError(f"iperf3 failed:\n{cli.stdout()[-2000:]}{cli.stderr()[-2000:]}")
        self.sb.stop(srv)
        return json.loads(cli.stdout())["end"]

    def measure(self, tun, test):
        """One test through one tunnel: a dict of the rate in the test's unit, node CPU µs per
        frame and seconds per gigabit carried, datagrams the node's tunnel sockets dropped per
        second, and frames per second through the node's device."""
        name, args, _ = test
        cpu_of = (lambda: cpu_seconds(tun.proc.pid)) if tun.proc else (lambda: float("nan"))
        (f0, d0), c0, t0 = self.frames(tun.node_dev, tun.server_ns), cpu_of(), time.monotonic()
        srv, cli = self.start_iperf(tun, args, self.seconds)
        end = self.finish_iperf(srv, cli, self.seconds)
        (f1, d1), c1, t1 = self.frames(tun.node_dev, tun.server_ns), cpu_of(), time.monotonic()
        got = end["sum_received"]
        if name.startswith("tcp"):
            rate = got["bits_per_second"] / 1e6
        else:
            rate = got["bytes"] / UDP_LEN / got["seconds"] / 1e3
        gbit = got["bytes"] * 8 / 1e9
        return {"rate": rate,
                "cpu": (c1 - c0) / (f1 - f0) * 1e6 if f1 > f0 else float("nan"),
                "cpu_gbit": (c1 - c0) / gbit if gbit > 0 else float("nan"),
                "drops": (d1 - d0) / (t1 - t0),
                "fps": (f1 - f0) / (t1 - t0)}


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


MODES = ("off", "nocoalesce", "on")
VETH_NETS = {"off": ("10.90.0.1", "10.90.0.2"), "on": ("10.91.0.1", "10.91.0.2")}


def veld_name(transport, mode):
    return f"veld {transport.upper()}" + {"off": " (off)", "nocoalesce": " (no gathering)",
                                          "on": ""}[mode]


def start_veld(sb, net, transports, mode, tunnels):
    """(Re)starts veld and its veltun clients with the offloads of `mode`; sets the tunnels'
    process to the new veld. The first time it also makes the tunnel records."""
    from nodenet import NODE_TAPIP
    for p in list(net.clients.values()):
        sb.stop(p)
    net.clients.clear()
    if net.veld is not None:
        sb.stop(net.veld)
    veld = net.start_veld(prefix=("env", f"VELD_OFFLOAD={mode}") if mode != "on" else ())
    tap = net.tapname()
    made = []
    for i, t in enumerate(transports):
        net.start_client(i, t, routes=False, extra=["-O", mode])
        wait_path(sb, f"client{i}", "vtap0", NODE_TAPIP)
        made.append(Tunnel(veld_name(t, mode), "veld", t, f"client{i}", NODE_TAPIP, tap, veld,
                           mode=mode))
    line = [ln for ln in veld.stderr().splitlines() if "Offloads:" in ln]
    print(f"veld ({mode}): {line[-1] if line else 'no offload line'}", flush=True)
    by_name = {t.name: t for t in tunnels}
    for t in made:
        if t.name in by_name:
            by_name[t.name].proc, by_name[t.name].node_dev = t.proc, t.node_dev
        else:
            tunnels.append(t)


def build_baselines(sb, net, transports, first):
    from nodenet import client_public
    tunnels = []
    i = first
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


def build_veth(sb):
    """The machine's ceiling: a plain veth pair of MTU 1450 between two namespaces, once with the
    kernel's offloads off and once on."""
    tunnels = []
    for mode in ("off", "on"):
        a_ns, b_ns = f"veth{mode}a", f"veth{mode}b"
        sb.netns(a_ns)
        sb.netns(b_ns)
        a_ip, b_ip = VETH_NETS[mode]
        a_dev, b_dev = sb.link(a_ns, f"{a_ip}/24", b_ns, f"{b_ip}/24", mtu=1450)
        if mode == "off":
            for ns, dev in ((a_ns, a_dev), (b_ns, b_dev)):
                sb.run(ns, ["ethtool", "-K", dev, "rx", "off", "tx", "off", "sg", "off", "tso",
                            "off", "gso", "off", "gro", "off"])
        tunnels.append(Tunnel(f"veth ({mode})", "veth", "veth", a_ns, b_ip, b_dev, None,
                              mode=mode, server_ns=b_ns))
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


def row(label, names, cell):
    print(f"| {label} | " + " | ".join(cell(t) for t in names) + " |")


def print_tables(tunnels, results, rounds):
    names = [t.name for t in tunnels]
    by_name = {t.name: t for t in tunnels}

    def med(t, test, key):
        vals = [r[key] for r in results.get((t, test), [])]
        return statistics.median(vals) if vals else float("nan")

    def pair(t, up, down, key, form, scale=1.0):
        return fmt_pair(med(t, up, key) * scale, med(t, down, key) * scale, form)

    def ratio(a, b, up, down, key):
        return fmt_pair(med(a, up, key) / med(b, up, key), med(a, down, key) / med(b, down, key),
                        ".2f")

    print(f"\nMedians of {rounds} round(s); each cell: client to node / node to client")
    print("| | " + " | ".join(names) + " |")
    print("|---" * (len(names) + 1) + "|")
    row("TCP through the tunnel, Mbit/s", names,
        lambda t: pair(t, "tcp-up", "tcp-down", "rate", ".0f"))
    row(f"{UDP_LEN}-byte UDP received by iperf3, kpps", names,
        lambda t: pair(t, "udp-up", "udp-down", "rate", ".0f"))
    row(f"{UDP_LEN}-byte UDP through the node's device, kframes/s", names,
        lambda t: pair(t, "udp-up", "udp-down", "fps", ".0f", 1e-3))
    row("node CPU per gigabit carried, ms (TCP)", names,
        lambda t: pair(t, "tcp-up", "tcp-down", "cpu_gbit", ".1f", 1e3))
    row(f"node CPU per frame, µs ({UDP_LEN}-byte UDP)", names,
        lambda t: pair(t, "udp-up", "udp-down", "cpu", ".2f"))
    for label, up, down in (("TCP", "tcp-up", "tcp-down"),
                            (f"{UDP_LEN}-byte UDP", "udp-up", "udp-down")):
        row(f"node tunnel socket drops, 1/s ({label})", names,
            lambda t: pair(t, up, down, "drops", ".0f"))

    ceiling = "veth (off)"
    if ceiling in by_name:
        print(f"\nRatios to the plain veth pair with offloads off (client to node / node to "
              "client)")
        print("| | " + " | ".join(names) + " |")
        print("|---" * (len(names) + 1) + "|")
        row("TCP", names, lambda t: ratio(t, ceiling, "tcp-up", "tcp-down", "rate"))
        row(f"{UDP_LEN}-byte UDP received", names,
            lambda t: ratio(t, ceiling, "udp-up", "udp-down", "rate"))
        row(f"{UDP_LEN}-byte UDP through the node's device", names,
            lambda t: ratio(t, ceiling, "udp-up", "udp-down", "fps"))

    for other, what in (("off", "without"), ("nocoalesce", "without gathering frames into "
                                                               "segments for the TAP devices")):
        pairs = [(t.name, veld_name(t.transport, other)) for t in tunnels
                 if t.kind == "veld" and t.mode == "on" and veld_name(t.transport, other) in by_name]
        if not pairs:
            continue
        print(f"\nveld with offloads / {what} (client to node / node to client)")
        print("| | " + " | ".join(a for a, _ in pairs) + " |")
        print("|---" * (len(pairs) + 1) + "|")
        row("TCP Mbit/s", pairs, lambda p: ratio(p[0], p[1], "tcp-up", "tcp-down", "rate"))
        row(f"{UDP_LEN}-byte UDP kpps", pairs,
            lambda p: ratio(p[0], p[1], "udp-up", "udp-down", "rate"))
        row("veld CPU per gigabit (TCP)", pairs,
            lambda p: ratio(p[0], p[1], "tcp-up", "tcp-down", "cpu_gbit"))
        row(f"veld CPU per frame ({UDP_LEN}-byte UDP)", pairs,
            lambda p: ratio(p[0], p[1], "udp-up", "udp-down", "cpu"))

    base = [(t.name, b.name) for t in tunnels if t.kind == "veld"
            for b in [baseline_of(t, tunnels)] if b is not None]
    if base:
        print("\nRatios veld / OpenVPN (client to node / node to client)")
        print("| | " + " | ".join(f"{a} / {b}" for a, b in base) + " |")
        print("|---" * (len(base) + 1) + "|")
        row("TCP Mbit/s", base, lambda p: ratio(p[0], p[1], "tcp-up", "tcp-down", "rate"))
        row(f"{UDP_LEN}-byte UDP kpps", base,
            lambda p: ratio(p[0], p[1], "udp-up", "udp-down", "rate"))


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
    ap.add_argument("--modes", default="off,on",
                    help="veld offload modes to measure, comma-separated: off, nocoalesce (frames "
                    "to the TAP devices one by one), on (default off,on)")
    ap.add_argument("--no-openvpn", action="store_true", help="leave OpenVPN out")
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
    modes = [m for m in a.modes.split(",") if m]
    if not modes or any(m not in MODES for m in modes) or len(set(modes)) != len(modes):
        sys.exit(f"tunnel_bench: bad --modes '{a.modes}' (off, nocoalesce, on, comma-separated)")
    if a.quick:
        a.rounds, a.seconds = 1, 2
    if a.rounds < 1 or a.seconds < 1:
        sys.exit("tunnel_bench: --rounds must be at least 1 and --seconds at least 1")
    seconds = a.seconds
    for tool in ("iperf3", "ethtool") + (() if a.no_openvpn else ("openvpn",)):
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
        openvpns = 0 if a.no_openvpn else \
            int(bool({"udp", "icmp"} & set(transports))) + int("tcp" in transports)
        net = NodeNet(sb, clients=len(transports) + openvpns)
        tunnels = build_veth(sb)
        veld_tunnels = []
        start_veld(sb, net, transports, modes[0], veld_tunnels)
        baselines = [] if a.no_openvpn else build_baselines(sb, net, transports, len(transports))
        bench = Bench(sb, net, seconds)
        results = {}
        current = modes[0]
        for rnd in range(a.rounds):
            for k, mode in enumerate(modes):
                if mode != current:
                    start_veld(sb, net, transports, mode, veld_tunnels)
                    current = mode
                others = tunnels + baselines if k == 0 else []
                for test in TESTS:
                    for tun in [t for t in veld_tunnels if t.mode == mode] + others:
                        r = bench.measure(tun, test)
                        results.setdefault((tun.name, test[0]), []).append(r)
                        print(f"round {rnd + 1} {test[0]:8s} {tun.name:16s}: {r['rate']:9.1f} "
                              f"{test[2]:6s} node CPU {r['cpu']:.2f} µs/frame, "
                              f"{r['cpu_gbit'] * 1e3:.1f} ms/Gbit, device {r['fps']:.0f} "
                              f"frames/s, socket drops {r['drops']:.0f}/s", flush=True)
        print_tables(tunnels + veld_tunnels + baselines, results, a.rounds)

        window = seconds
        rows = []
        for mode in modes:
            if mode != current:
                start_veld(sb, net, transports, mode, veld_tunnels)
                current = mode
            veld_pid = net.veld.pid
            for tun in [t for t in veld_tunnels if t.mode == mode]:
                for test in TESTS:
                    calls, frames, c = syscall_window(bench, veld_pid, tun, test, window, events)
                    rows.append((tun.name, test[0], calls, frames, c, window))
                    print(f"counted {tun.name} {test[0]}: {calls.get('total', 0)} calls, "
                          f"{frames} frames", flush=True)
        print_syscalls(rows, "perf stat, syscall tracepoints" if events else "strace -c")
        if not net.veld.alive():
            net.veld_died()


if __name__ == "__main__":
    main()
