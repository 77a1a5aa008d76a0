"""velcrond's machine report end to end, which needs two captures 300 s apart (about 5.5 minutes
of real time; the cadence and the arithmetic are unit-tested through the wheel's clock seam).

The node namespace has interfaces really named eth0 (a veth to a "peer" namespace) and tap0 (a
TAP device held by a helper that reads what the node sends and writes frames of its own), with a
tbf qdisc on tap0 small enough to drop. Nothing else talks on them (no IPv6, fixed neighbours),
so the report's counter deltas must equal the kernel's own counters before and after the traffic.
"/proc/stat" is a prepared file bound over the real one, so the CPU shares are exact. The core
and process reports of the same run are checked too: a core file is reported once, never again.
"""

import json
import os
import re
import socket
import subprocess
import time

from test_velcrond import CORE_DIR, form, start_master, wait_started

TAP_HELPER = r"""
import fcntl, os, struct, sys, threading
fd = os.open("/dev/net/tun", os.O_RDWR)
fcntl.ioctl(fd, 0x400454ca, struct.pack("16sH", b"tap0", 0x0002 | 0x1000))  # TUNSETIFF, TAP, NO_PI
got = [0]
def reader():
    while True:
        os.read(fd, 65536)
        got[0] += 1
threading.Thread(target=reader, daemon=True).start()
print("ready", flush=True)
for line in sys.stdin:
    n, size = map(int, line.split())
    frame = b"\xff" * 6 + b"\x02\x00\x00\x00\x00\x09" + b"\x88\xb5" + bytes(size - 14)
    for _ in range(n):
        os.write(fd, frame)
    print("wrote", n, flush=True)
"""

STAT_A = ("cpu  1000 200 300 5000 100 50 50 10 0 0\ncpu0 1000 200 300 5000 100 50 50 10 0 0\n"
          "intr 5 0\nctxt 100\nbtime 1796733708\nprocesses 50\nprocs_running 1\nprocs_blocked 0\n")
# +40 user (30 + 10 nice), +30 system (20 + 5 irq + 5 softirq), +900 idle, +20 iowait, +10 steal
STAT_B = ("cpu  1030 210 320 5900 120 55 55 20 0 0\ncpu0 1030 210 320 5900 120 55 55 20 0 0\n"
          "intr 9 0\nctxt 200\nbtime 1796733708\nprocesses 60\nprocs_running 7\nprocs_blocked 3\n")

IF_FIELDS = ("rx_bytes", "rx_packets", "rx_errs", "rx_drop", "rx_fifo",
             "tx_bytes", "tx_packets", "tx_errs", "tx_drop", "tx_fifo")
PINGS, PING_SIZE = 20, 1000   # ICMP payload: frames of 1042 bytes
TAP_FRAMES, TAP_FRAME = 30, 100
UDP_BURST = 200               # through tbf: most are dropped


def net_dev(sb, ns):
    """The ten counters of eth0 and tap0 as the node's /proc/net/dev gives them."""
    out = {}
    for line in sb.sh(ns, "cat /proc/net/dev").splitlines():
        name, sep, rest = line.partition(":")
        if sep and name.strip() in ("eth0", "tap0"):
            v = [int(x) for x in rest.split()]
            for field, value in zip(IF_FIELDS, v[0:5] + v[8:13]):
                out[f"{name.strip()}_{field}"] = value
    return out


def qdisc(sb):
    text = sb.sh("node", "tc -s qdisc show dev tap0")
    return (int(re.search(r"dropped (\d+)", text).group(1)),
            int(re.search(r"overlimits (\d+)", text).group(1)))


def test_machine_report_after_two_captures(sandbox):
    sb = sandbox
    for ns in ("node", "peer"):
        sb.netns(ns)
        sb.sysctl(ns, "net.ipv6.conf.all.disable_ipv6", 1)
        sb.sysctl(ns, "net.ipv6.conf.default.disable_ipv6", 1)
    master = start_master(sb)
    sb.link("node", "10.1.0.1/24", "peer", "10.1.0.2/24", name_a="eth0", name_b="eth0")
    helper = sb.start("node", ["/usr/bin/python3", "-c", TAP_HELPER], name="taphelper",
                      stdin=subprocess.PIPE)
    helper.wait_stdout("^ready$")
    sb.sh("node", "ip addr add 10.9.0.1/24 dev tap0 && ip link set tap0 up && "
                  "tc qdisc add dev tap0 root tbf rate 1mbit burst 5000 limit 10000")
    # (/sys shows the host's interfaces: ask ip)
    mac = {ns: json.loads(sb.sh(ns, "ip -j link show dev eth0"))[0]["address"]
           for ns in ("node", "peer")}
    sb.sh("node", f"ip neigh replace 10.1.0.2 lladdr {mac['peer']} dev eth0 nud permanent && "
                  "ip neigh replace 10.9.0.2 lladdr 02:00:00:00:00:09 dev tap0 nud permanent")
    sb.sh("peer", f"ip neigh replace 10.1.0.1 lladdr {mac['node']} dev eth0 nud permanent")
    sb.write_file("/run/fakestat", STAT_A)
    sb.sh("node", "mount --bind /run/fakestat /proc/stat")

    before = net_dev(sb, "node")
    assert len(before) == 20 and qdisc(sb) == (0, 0)
    t0 = time.monotonic()
    cd = sb.start("node", [sb.binary("velcrond"), "-F"], name="velcrond")
    wait_started(sb)
    sb.write_file(CORE_DIR + "core.4242", "core")

    # The first pass (5 s): core and process reports, and the first capture.
    master.wait("/report/cmon.php", timeout=20)
    master.wait("/report/pmon.php", timeout=20)
    sb.wait_until(lambda: time.monotonic() - t0 > 15, 20, "the first capture")
    assert master.requests("/report/smon.php") == []

    # Traffic, and new CPU counters, between the captures.
    sb.write_file("/run/fakestat", STAT_B)
    sb.sh("node", f"ping -q -c {PINGS} -i 0.01 -s {PING_SIZE} -W 2 10.1.0.2")
    helper.popen.stdin.write(f"{TAP_FRAMES} {TAP_FRAME}\n".encode())
    helper.popen.stdin.flush()
    helper.wait_stdout(f"^wrote {TAP_FRAMES}$")
    sb.run("node", ["/usr/bin/python3", "-c",
                    "import socket\ns = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)\n"
                    f"for _ in range({UDP_BURST}):\n"
                    "    try: s.sendto(bytes(958), ('10.9.0.2', 9))\n"
                    "    except OSError: pass\n"], check=True)
    time.sleep(2)  # the queue drains at 1 Mbit/s
    sb.write_file(CORE_DIR + "core.4343", "core")
    after = net_dev(sb, "node")
    dropped, overlimits = qdisc(sb)

    req = master.wait("/report/smon.php", timeout=330)[0]
    now_uptime = float(open("/proc/uptime").read().split()[0])
    fields = form(req["body"])
    names = [n for n, _ in fields]
    assert names == (["uptime", "cpu_puse", "cpu_psys", "cpu_pidl", "cpu_piow", "cpu_pstl",
                      "running", "blocked"] + [f"{i}_{f}" for i in ("eth0", "tap0") for f in IF_FIELDS]
                     + ["tap0_qdisc_drop", "tap0_qdisc_fifo"])
    got = {n: int(v) for n, v in fields}
    assert abs(got["uptime"] - now_uptime) < 15
    assert [got[n] for n in ("cpu_puse", "cpu_psys", "cpu_pidl", "cpu_piow", "cpu_pstl")] == \
        [4, 3, 90, 2, 1]
    assert (got["running"], got["blocked"]) == (7, 3)
    deltas = {k: after[k] - before[k] for k in before}
    assert {k: got[k] for k in deltas} == deltas
    # ...and those are what was sent
    assert deltas["eth0_tx_packets"] == deltas["eth0_rx_packets"] == PINGS
    assert deltas["eth0_tx_bytes"] == deltas["eth0_rx_bytes"] == PINGS * (14 + 20 + 8 + PING_SIZE)
    assert deltas["tap0_rx_packets"] == TAP_FRAMES
    assert deltas["tap0_rx_bytes"] == TAP_FRAMES * TAP_FRAME
    assert dropped > 0 and deltas["tap0_tx_packets"] == UDP_BURST - dropped
    assert (got["tap0_qdisc_drop"], got["tap0_qdisc_fifo"]) == (dropped, overlimits)

    # The second pass 300 s after the first: each core file once, the process report again.
    first_pmon = master.requests("/report/pmon.php")[0]["time"]
    assert 299 <= req["time"] - first_pmon <= 312
    master.wait("/report/pmon.php", count=2, timeout=5)
    prefix = f"mode=update&hostname={socket.gethostname()}&list="
    assert [r["body"] for r in master.requests("/report/cmon.php")] == \
        [prefix + CORE_DIR + "core.4242,", prefix + CORE_DIR + "core.4343,"]
    assert cd.alive()
    assert os.path.exists(sb.path("/run/fakestat"))
