#!/usr/bin/python3
"""The whole node in a sandbox, the way an operator brings one up (run by scripts/demo.sh).

Namespaces (all removed at the end; nothing outside them is touched):
  master     the test master server (HTTPS, reports) and the veltalkd stand-in (TCP 10010)
  node       the node: provisioned by velinit, every daemon started by velwatchdog
  client0    a tunnel client (veltun), also reaching the node's public address directly
  internet   two web hosts and a UDP echo responder that clients reach through the node
  peer1/2    two more nodes running velechod, measured by the node's velmeshd and velrttd
A thread stands in for the node's syslog daemon: it appends every line the daemons log to the
sandbox's /var/log/syslog, which vellmond follows.

Environment: VEL_BUILD_DIR (default <repo>/build) names the built programs.
"""

import json
import os
import re
import signal
import socket
import sys
import threading
import time

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
os.chdir(REPO)
os.environ.setdefault("VEL_SOURCE_DIR", REPO)
sys.path.insert(0, os.path.join(REPO, "tests", "system"))
from sandbox import Sandbox, build_dir  # noqa: E402
from nodenet import (INTERNET_HOST, NODE_PUBLIC, NODE_TAPIP, NodeNet,  # noqa: E402
                     client_public, client_tapip)

CONF = "/etc/velkarn-server"
NODE_FILES = ("varnishd_listen_address", "v2_tapip", "country", "public_ip", "adn_userauth")
GEOIP_CSV = "/var/velkarn-server/velumond/GeoIPCountryWhois.csv"
WDCONF = "/opt/velkarn/1.6.3/etc/velwatchdog.conf"
CORE_DIR = "/opt/velkarn-server/1.6.3/var"
SYSLOG = "/var/log/syslog"
RECORDS = "/run/velmaster/requests.jsonl"
TALK_DIR = "/run/veltalkd"
TALK_REC = f"{TALK_DIR}/record.jsonl"
FAR_HOST = "203.0.113.81"  # a second web host, outside the node's country
ECHO_PORT = 7007           # the UDP echo responder on the web host, reached through velurd
COUNTRY = "KR"
PEERS = {"peer1": ("198.51.100.21", 21), "peer2": ("198.51.100.22", 22)}  # address, node number
# Every daemon of the node as velwatchdog starts it, with the intervals shortened where the
# daemon allows it: veld writes a usage round once more than 4 s have passed (it looks at least
# every 10 s) instead of every 300 s.
DAEMONS = (("veld", ("-F", "-i", "4")), ("velumond", ("-F",)), ("velcrond", ("-F",)),
           ("vellmond", ("-F",)), ("velmeshd", ("-F",)), ("velrttd", ("-F",)),
           ("velechod", ("-F",)), ("velhttpd", ("-F",)), ("velurd", ("-F",)))
# The daemons that keep a pid file, velwatchdog included.
PIDFILE_DAEMONS = ("velwatchdog",) + tuple(n for n, _ in DAEMONS)

with open(os.path.join(build_dir(), "generated", "vel_config.h")) as f:
    cfg = dict(re.findall(r'#define (VEL_\w+) "([^"]*)"', f.read()))
MASTER_HOST, MASTER_IP, MASTER_ALT_IP = (cfg["VEL_MASTER_HOST"], cfg["VEL_MASTER_IP"],
                                         cfg["VEL_MASTER_ALT_IP"])
T0 = time.monotonic()
NODE_START = T0  # when velwatchdog started the daemons
SYSLOGD = None    # the SyslogWriter


def section(title):
    print(f"\n== {title}   [{time.monotonic() - T0:4.0f} s]", flush=True)


def show(title, r):
    out = f"{r.stdout.rstrip()}{r.stderr.rstrip()}" or f"(no output, exit status {r.returncode})"
    print(f"\n$ {title}\n{out}", flush=True)
    if r.returncode != 0:
        raise SystemExit(f"demo failed: {title} ended with status {r.returncode}")


def ip_num(a):
    return int.from_bytes(bytes(int(x) for x in a.split(".")), "big")


def jsonl(sb, path):
    if not sb.exists(path):
        return []
    return [json.loads(l) for l in sb.read_file(path).splitlines() if l.strip()]


def master_requests(sb, path):
    return [r for r in jsonl(sb, RECORDS) if r.get("path") == path]


def talk_records(sb, kind):
    return [r for r in jsonl(sb, TALK_REC) if r.get("kind") == kind]


def binpath(name):
    return os.path.join(build_dir(), name, name)


def pid_of(sb, name):
    """The pid in /var/run/NAME.pid when that process is alive, else None."""
    try:
        pid = int(sb.read_file(f"/var/run/{name}.pid").strip())
        os.kill(pid, 0)
        return pid
    except (OSError, ValueError):
        return None


def vsm_inode(sb):
    """Inode of veld's log file, None while there is none."""
    try:
        return os.stat(sb.path("/var/velkarn-server/veld/_.vsm")).st_ino
    except OSError:
        return None


def mapped_inodes(pid):
    """Inodes of veld's log file that process pid has mapped."""
    with open(f"/proc/{pid}/maps") as f:
        return {int(l.split()[4]) for l in f if l.rstrip().endswith("/_.vsm")}


class SyslogWriter:
    """Appends every line the sandbox's /dev/log receives to /var/log/syslog, in the format
    of a syslog daemon, so that vellmond has the node's log to follow."""

    def __init__(self, sb):
        self.sb, self.done, self.host = sb, 0, socket.gethostname()
        sb.write_file(SYSLOG, "")
        self.stop = threading.Event()
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.wait(0.2):
            lines = self.sb.log.lines[self.done:]
            if not lines:
                continue
            self.done += len(lines)
            stamp = time.strftime("%b %e %H:%M:%S")
            with open(self.sb.path(SYSLOG), "a") as f:
                f.write("".join(f"{stamp} {self.host} {l.ident}[{l.pid}]: {l.msg}\n"
                                for l in lines if l.ident))

    def close(self):
        self.stop.set()
        self.thread.join(2)


def main():
    def interrupted(signum, _frame):
        raise SystemExit(f"demo interrupted by signal {signum}")
    # The daemons run detached under velwatchdog: on any way out the sandbox must end them.
    for sig in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(sig, interrupted)
    with Sandbox(extra_dirs=("/var/log",)) as sb:
        try:
            demo(sb)
        finally:
            if SYSLOGD:
                SYSLOGD.close()
    print("\ndemo done; every namespace is gone.")


def demo(sb):
    # -- the topology: node, client, internet (two web hosts), master, two peer nodes ---------
    net = NodeNet(sb, clients=1, internet=True, node_files=False)
    sb.addr_add("internet", "eth0", f"{FAR_HOST}/24")
    sb.netns("master")
    node_dev, master_dev = sb.link("node", "192.0.2.1/24", "master", f"{MASTER_IP}/24")
    sb.addr_add("node", node_dev, MASTER_ALT_IP.rsplit(".", 1)[0] + ".1/24")
    sb.addr_add("master", master_dev, f"{MASTER_ALT_IP}/24")
    sb.hosts({MASTER_HOST: MASTER_IP})
    for name, (addr, _) in PEERS.items():
        sb.netns(name)
        _, end = sb.link(name, f"{addr}/24", "node")
        sb.sh("node", f"ip link set {end} master br0")
    print(f"node {NODE_PUBLIC}, client {client_public(0)} ({client_tapip(0)} inside the "
          f"tunnel), web hosts {INTERNET_HOST} and {FAR_HOST}, master {MASTER_HOST} "
          f"({MASTER_IP}, {MASTER_ALT_IP}), peer nodes "
          f"{', '.join(a for a, _ in PEERS.values())}", flush=True)

    start_master(sb)
    provision(sb)
    start_peers(sb)
    wd, tail = start_node(sb)
    traffic(sb, net)
    usage_records(sb, tail, sb.log.mark())
    usage_report(sb, tail)
    measurements(sb)
    status(sb)
    monitor_reports(sb)
    restart_veld(sb, net, tail)
    log_report(sb)
    later(sb)
    if os.environ.get("VEL_DEMO_TRACE"):  # every syslog line, for a demo that misbehaves
        for l in sb.log.lines:
            print(f"{l.when - T0:6.1f} {l.ident}[{l.pid}] {l.msg}")
        print(tail.stdout())
    # Teardown: the supervisor first, so that it starts nothing again while the sandbox ends
    # the daemons; then every process and namespace goes with the sandbox.
    os.kill(wd, signal.SIGTERM)


def start_master(sb):
    section("1. the master server and the veltalkd stand-in")
    info = f"{NODE_TAPIP}:{COUNTRY}:{NODE_PUBLIC}:adnuser:adnsecret"
    master = sb.start("master", ["/usr/bin/python3", os.path.abspath("tools/velmaster.py"),
                                 "--listen", MASTER_IP, "--listen", MASTER_ALT_IP,
                                 "--record", RECORDS, "--info", info], name="velmaster")
    master.wait_stdout(r"velmaster: listening on .*\n.*listening on")
    print(master.stdout().rstrip())
    print(f'it answers "/get/info.php" with "{info}"\n'
          "(TAP address : country : public address : ADN user : ADN secret), every report "
          "with 200")
    # What veltalkd tells the node: the other nodes to probe (velmeshd) and the reserved
    # endpoints to time (velrttd).
    sb.write_file(f"{TALK_DIR}/nodes", "".join(f"UN - - {a} {7000 + n} {n}\n"
                                               for a, n in PEERS.values()))
    sb.write_file(f"{TALK_DIR}/reserved", "".join(
        f"R2 {n}{i} inet {a} 10007 {proto}\n"
        for a, n in PEERS.values() for i, proto in ((1, "TCP"), (2, "UDP"))))
    talk = sb.start("master", ["/usr/bin/python3", os.path.abspath("tools/veltalkd.py"),
                               "--listen", MASTER_IP, "--nodes", f"{TALK_DIR}/nodes",
                               "--reserved", f"{TALK_DIR}/reserved", "--record", TALK_REC],
                    name="veltalkd")
    talk.wait_stdout(r"veltalkd: listening on")
    print(talk.stdout().rstrip())
    for kind in ("nodes", "reserved"):
        print(f"{TALK_DIR}/{kind} (its answer to "
              f"{'UN v2' if kind == 'nodes' else 'R2'}):\n  "
              + sb.read_file(f"{TALK_DIR}/{kind}").rstrip().replace("\n", "\n  "))


def provision(sb):
    section("2. provisioning the node with velinit")
    # What velinit checks; NodeNet set these up as an operator would.
    show("sysctl net.ipv4.ip_forward net.ipv4.icmp_echo_ignore_all   (in the node namespace)",
         sb.run("node", ["sysctl", "net.ipv4.ip_forward", "net.ipv4.icmp_echo_ignore_all"]))
    show("iptables -t nat -S POSTROUTING",
         sb.run("node", ["iptables", "-t", "nat", "-S", "POSTROUTING"]))
    sb.write_file(f"{CONF}/version", "1.6.3")
    sb.write_file(f"{CONF}/name", "demo-node")
    show("velinit", sb.run("node", [binpath("velinit")], timeout=90))
    (req,) = master_requests(sb, "/get/info.php")
    print(f"the master received POST /get/info.php from {req['peer']}: {req['body']!r}")
    show(f"cd {CONF} && grep -H '' {' '.join(NODE_FILES)}",
         sb.run("node", ["sh", "-c", f"cd {CONF} && grep -H '' {' '.join(NODE_FILES)}"]))


def start_peers(sb):
    section("3. two peer nodes running velechod (TCP and UDP port 10007)")
    for name, (addr, _) in PEERS.items():
        # The probes each peer receives are counted by these rules: ICMP echo requests, UDP
        # datagrams of 1 byte (velmeshd) and of 4 bytes (velrttd), TCP connection requests.
        for rule in ("-p icmp --icmp-type echo-request",
                     "-p udp --dport 10007 -m length --length 29",
                     "-p udp --dport 10007 -m length --length 32",
                     "-p tcp --dport 10007 --syn"):
            sb.sh(name, f"iptables -A INPUT {rule}")
        os.makedirs(sb.path(f"/run/{name}"), exist_ok=True)
        sb.start(name, [binpath("velechod"), "-F", "-P", f"/run/{name}/velechod.pid"],
                 name=f"velechod-{name}")
        sb.wait_listen(name, 10007, "tcp")
        sb.wait_listen(name, 10007, "udp")
        print(f"{name} {addr}: velechod -F -P /run/{name}/velechod.pid")


def start_node(sb):
    section("4. velwatchdog starts every daemon of the node")
    sb.write_file(GEOIP_CSV,
                  f'"{INTERNET_HOST}","{INTERNET_HOST}","{ip_num(INTERNET_HOST)}",'
                  f'"{ip_num(INTERNET_HOST)}","{COUNTRY}","Korea, Republic of"\n'
                  f'"{FAR_HOST}","{FAR_HOST}","{ip_num(FAR_HOST)}","{ip_num(FAR_HOST)}",'
                  '"JP","Japan"\n')
    print(f"velumond's GeoIP table {GEOIP_CSV}:\n  "
          + sb.read_file(GEOIP_CSV).rstrip().replace("\n", "\n  "))
    global SYSLOGD
    SYSLOGD = SyslogWriter(sb)
    print(f"(the demo plays the node's syslog daemon: every logged line goes to {SYSLOG})")

    def quote(w):
        return f'"{w}"' if any(c in w for c in " \t'") else w
    conf = ["# velwatchdog: NAME PROGRAM ARGV0 ARGS... (every daemon in the foreground, -F)"]
    conf += [f"{name:9} {quote(binpath(name))} {name} {' '.join(args)}" for name, args in DAEMONS]
    sb.write_file(WDCONF, "\n".join(conf) + "\n")
    print(f"\n$ cat {WDCONF}\n{sb.read_file(WDCONF).rstrip()}")
    since = sb.log.mark()
    global NODE_START
    NODE_START = time.monotonic()
    show("velwatchdog   (reads that file, detaches, starts each service as its child)",
         sb.run("node", [binpath("velwatchdog")]))
    sb.wait_until(lambda: all(pid_of(sb, n) for n in PIDFILE_DAEMONS), 20,
                  "every daemon's pid file")
    # A core file appears after velcrond's start (the kernel writes one there when a daemon
    # crashes with the core pattern /opt/velkarn-server/1.6.3/var/core.%p); velcrond's first
    # scan, 5 s after its start, reports it.
    time.sleep(1)
    sb.write_file(f"{CORE_DIR}/core.4242", b"\x7fELF core of a crashed process\n")
    print(f"(the demo leaves a core file {CORE_DIR}/core.4242, as a crashing daemon would)")
    wd = pid_of(sb, "velwatchdog")
    show("ps -o pid,ppid,args --ppid $(cat /var/run/velwatchdog.pid)   (its children)",
         sb.run("node", ["ps", "-o", "pid,ppid,args", "--ppid", str(wd)]))
    sb.wait_listen("node", 10008, "udp")
    # velumond waits for veld's pid-file lock (and 3 s more) before it loads its table.
    geo = sb.log.wait(r"^\d+ GeoCountry loaded\.$", ident="velumond", timeout=30, since=since)
    # vellogtail prints every usage record veld writes from now on.
    tail = sb.start("node", [os.path.join(build_dir(), "velumond", "vellogtail")],
                    name="vellogtail")

    def tail_mapped():
        if not tail.alive():
            raise SystemExit(f"demo failed: vellogtail ended: {tail.stderr()}")
        return mapped_inodes(tail.pid)
    sb.wait_until(tail_mapped, 20, "vellogtail to map veld's log")
    print(f"\nvelumond: {geo.msg}")
    print(f"$ vellogtail   (pid {tail.pid}; prints every usage record from now on)")
    return wd, tail


def traffic(sb, net):
    section("5. a client's traffic through the tunnel; velhttpd and velurd")
    sb.write_file("/run/www/index.html", "<h1>Hello through the velkarn tunnel</h1>\n")
    sb.start("internet", ["python3", "-m", "http.server", "80", "--bind", "0.0.0.0",
                          "--directory", "/run/www"], name="web")
    sb.wait_listen("internet", 80)
    for transport in ("tcp", "udp"):  # the UDP client stays for the rest of the demo
        client = net.start_client(0, transport)
        print(f"\n-- veltun over {transport.upper()}: {client.stderr().strip()}")
        show(f"ping -c 3 {INTERNET_HOST}   (in the client namespace)",
             net.ping(0, INTERNET_HOST, count=3))
        show(f"curl http://{INTERNET_HOST}/",
             sb.run("client0", ["curl", "-sS", "--max-time", "30", f"http://{INTERNET_HOST}/"]))
        show(f"ping -c 2 {FAR_HOST}", net.ping(0, FAR_HOST, count=2))
        if transport == "tcp":
            sb.stop(client)
            net.clients.pop(0)

    print("\n-- velhttpd (TCP 10005) answers what the request's content-filter header asks for")
    wanted = '-status 404 -msg "Not Found" -hdr "X-Node: demo-node" -bodylen 130'
    show(f"curl -sS -i -H 'content-filter: {wanted}' http://{NODE_PUBLIC}:10005/",
         sb.run("client0", ["curl", "-sS", "-i", "--max-time", "20", "-H",
                            f"content-filter: {wanted}", f"http://{NODE_PUBLIC}:10005/"]))

    print(f"\n-- velurd (UDP 7879) relays a datagram to {INTERNET_HOST}:{ECHO_PORT} "
          "(a UDP echo responder)")
    sb.start("internet", ["python3", "-c", f"""
import socket
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", {ECHO_PORT}))
while True:
    data, peer = s.recvfrom(65536)
    s.sendto(b"echo from %s:%d: " % (peer[0].encode(), peer[1]) + data, peer)
"""], name="udpecho")
    sb.wait_listen("internet", ECHO_PORT, "udp")
    r = sb.run("client0", ["python3", "-c", f"""
import socket, struct
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.settimeout(5)
hdr = bytes([0, 0, 0, 1]) + socket.inet_aton("{INTERNET_HOST}") + struct.pack("!H", {ECHO_PORT})
s.sendto(hdr + b"hello through velurd", ("{NODE_PUBLIC}", 7879))
print("sent    :", (hdr + b"hello through velurd").hex(" ", 2))
data, peer = s.recvfrom(4096)
print("received: %r from %s:%d (no header)" % (data.decode(), *peer))
"""])
    show("a client sends a 10-byte header (00 00 00 01, address, port) and a payload", r)
    line = sb.log.wait(r"the session is created", ident="velurd", timeout=10)
    print(f"velurd: {line.msg}")


USAGE_RX = re.compile(r"^\s*\d+ TrafficUsage\s+- (.*)$", re.M)


def usage_records(sb, tail, since):
    section("6. veld's usage records, as vellogtail printed them")
    # The first round after the traffic holds the rest of its counts.
    sb.log.wait(r"^\[INFO\] Stat is written\. \(nsess \d+, nentry [1-9]\d*\)$", ident="veld",
                since=since, timeout=40)
    written = sum(int(re.search(r"nentry (\d+)", l.msg).group(1))
                  for l in sb.log.find(r"^\[INFO\] Stat is written\.", ident="veld"))
    sb.wait_until(lambda: len(USAGE_RX.findall(tail.stdout())) >= written, 10,
                  f"vellogtail to print {written} records")
    print(tail.stdout().rstrip())
    print(f"({written} records. Fields: time; wall and monotonic seconds; client address; port; "
          "MAC; K with a remote address or U; bytes in; bytes out; D)")


def umon_sums(reports):
    sums = {}
    for r in reports:
        for part in r["body"].rstrip("&").split("&"):
            mac, li, lo, ri, ro, src, dst = part.partition("=")[2].split(";")
            s = sums.setdefault((mac, src, dst), [0, 0, 0, 0])
            for i, v in enumerate((li, lo, ri, ro)):
                s[i] += int(v)
    return sums


def expected_sums(records):
    """What the reports must hold: the records summed per client and remote address, split by
    the GeoIP table (U records count as local)."""
    expected = {}
    for rec in records:
        f = rec.split(";")
        dst = f[7] if f[6] == "K" else "255.255.255.255"
        local = f[6] == "U" or dst == INTERNET_HOST
        s = expected.setdefault((f[5], f[3], dst), [0, 0, 0, 0])
        s[0 if local else 2] += int(f[8])
        s[1 if local else 3] += int(f[9])
    return expected


def usage_report(sb, tail):
    section("7. the usage report velumond posted to the master (/report/umon.php)")
    # Later rounds may add records meanwhile: both sides are read afresh at every look.
    sb.wait_until(lambda: umon_sums(master_requests(sb, "/report/umon.php"))
                  == expected_sums(USAGE_RX.findall(tail.stdout())), 60,
                  "the usage reports to match the records")
    reports = master_requests(sb, "/report/umon.php")
    for r in reports:
        print(f"POST /report/umon.php: {r['body']}")
    print("\ndecoded (MAC; client; remote address; local in/out; remote in/out):")
    sums = umon_sums(reports)
    for (mac, src, dst), (li, lo, ri, ro) in sums.items():
        print(f"  {mac:12} {src:15} {dst:15}  local {li:6} / {lo:6}   remote {ri:6} / {ro:6}")
    tot = [sum(v[i] for v in sums.values()) for i in range(4)]
    print(f"totals: local in {tot[0]}, out {tot[1]}; remote in {tot[2]}, out {tot[3]} "
          f"(= the records above; the client's own address counts the tunnel transport)")


def measurements(sb):
    section("8. velmeshd and velrttd measuring the peers through the veltalkd stand-in")
    rtt_lines = 2 * len(PEERS)
    sb.wait_until(lambda: len(talk_records(sb, "RU")) >= rtt_lines, 40,
                  "velrttd's first RU lines")
    sb.wait_until(lambda: talk_records(sb, "UN"), 30, "velmeshd's node-list request")

    def probed():
        for name in PEERS:
            out = sb.sh(name, "iptables -nvxL INPUT")
            if any(int(l.split()[0]) == 0 for l in out.splitlines()[2:] if l.strip()):
                return False
        return True
    sb.wait_until(probed, 30, "velmeshd's probes at both peers")
    for kind, who in (("UN", "velmeshd asks for the node list"),
                      ("R2", "velrttd asks for the reserved nodes")):
        r = talk_records(sb, kind)[0]
        print(f"veltalkd received from {r['peer']}: {r['line']!r}   ({who})")
    print("the RU lines the stand-in received (num, endpoint, round-trip ms, 0.0):")
    for r in talk_records(sb, "RU")[:rtt_lines]:
        print(f"  {r['line'].rstrip()}")
    print("the probes each peer counted (iptables rules in its namespace):")
    for name, (addr, _) in PEERS.items():
        counts = [int(l.split()[0]) for l in sb.sh(name, "iptables -nvxL INPUT").splitlines()[2:]
                  if l.strip()]
        print(f"  {name} {addr}: ICMP echo requests {counts[0]}, 1-byte UDP {counts[1]} (velmeshd); "
              f"4-byte UDP {counts[2]} (velrttd); TCP connections {counts[3]} (both)")


def status(sb):
    section("9. velstatus: the node at a glance")
    velstatus = binpath("velstatus")
    show("velstatus", sb.run("node", [velstatus]))
    r = sb.run("node", [velstatus, "-j"])
    show("velstatus -j", r)
    doc = json.loads(r.stdout)
    down = [d["name"] for d in doc["daemons"] if d["state"] != "running"]
    if down:
        raise SystemExit(f"demo failed: velstatus shows {', '.join(down)} not running")
    if not any(c["address"] == client_public(0) for c in doc["usage_round"].get("clients", [])):
        raise SystemExit(f"demo failed: velstatus shows no client {client_public(0)}")


def monitor_reports(sb):
    section("10. velcrond's process and core reports")
    (pmon,) = sb.wait_until(lambda: master_requests(sb, "/report/pmon.php"), 20,
                            "the process report")
    print(f"POST /report/pmon.php: {pmon['body']}")
    fields = dict(p.split("=") for p in pmon["body"].rstrip("&").split("&"))
    false = [n for n, v in fields.items() if v == "False"]
    running = [n for n in fields if n != "mode" and n not in ("velauthd", "veltalkd")]
    bad = [n for n in running if fields[n] != "True"]
    if bad:
        raise SystemExit(f"demo failed: the process report shows {', '.join(bad)} not running")
    print(f"  every daemon of the node True; {' and '.join(false)} are outside the node "
          "(checked only with -m)")
    (cmon,) = sb.wait_until(lambda: master_requests(sb, "/report/cmon.php"), 20,
                            "the core report")
    print(f"POST /report/cmon.php: {cmon['body']}")


def restart_veld(sb, net, tail):
    section("11. veld killed: velwatchdog starts it again, velumond follows the new log")
    old, inode = pid_of(sb, "veld"), vsm_inode(sb)
    umon = pid_of(sb, "velumond")
    print(f"veld runs as pid {old}; its log /var/velkarn-server/veld/_.vsm has inode {inode}; "
          f"velumond (pid {umon}) maps inode {sorted(mapped_inodes(umon))}")
    n_reports = len(master_requests(sb, "/report/umon.php"))
    since = sb.log.mark()
    print(f"$ kill -9 {old}")
    os.kill(old, signal.SIGKILL)
    line = sb.log.wait(rf"^\[ERROR\] veld\[{old}\]: exited, signal 9$", ident="velwatchdog",
                       since=since, timeout=10)
    print(f"velwatchdog: {line.msg}")
    new = sb.wait_until(lambda: (pid_of(sb, "veld") or old) != old and pid_of(sb, "veld"), 20,
                        "veld started again")
    net.veld = None
    sb.wait_listen("node", 10008, "udp")
    new_inode = sb.wait_until(lambda: vsm_inode(sb) != inode and vsm_inode(sb), 20,
                              "veld's new log file")
    print(f"veld runs again as pid {new} (started by velwatchdog, pid "
          f"{pid_of(sb, 'velwatchdog')}); its new log has inode {new_inode}")
    sb.wait_until(lambda: new_inode in mapped_inodes(umon), 30, "velumond to map the new log")
    print(f"velumond (still pid {umon}) maps inode {sorted(mapped_inodes(umon))} now")
    # The new TAP device has a new MAC address, which the client learns again once its ARP
    # entry for the node expires; the demo does not wait for that.
    show("ip neigh flush dev vtap0   (in the client namespace: forget the old TAP device's MAC)",
         sb.run("client0", ["ip", "neigh", "flush", "dev", "vtap0"]))
    # The UDP client's next frames make a session with the new veld; its usage reaches the
    # master through velumond reading the new log.
    show(f"ping -c 3 {INTERNET_HOST}   (the UDP client, through the new veld)",
         net.ping(0, INTERNET_HOST, count=3))

    def both_ways():
        new = master_requests(sb, "/report/umon.php")[n_reports:]
        li, lo, _, _ = umon_sums(new).get((mac, client_public(0), INTERNET_HOST), [0] * 4)
        return new if li > 0 and lo > 0 else None
    mac = USAGE_RX.findall(tail.stdout())[0].split(";")[5]
    for r in sb.wait_until(both_ways, 40, "usage reports with the new veld's records"):
        print(f"POST /report/umon.php (after the restart): {r['body']}")


def log_report(sb):
    section("12. vellmond's log report: the node's error lines (/report/lmon.php)")
    sb.wait_until(lambda: any("exited, signal 9" in r["body"]
                              for r in master_requests(sb, "/report/lmon.php")), 20,
                  "the log report with velwatchdog's error line")
    show(f"grep -F '[ERROR]' {SYSLOG}", sb.run("node", ["grep", "-F", "[ERROR]", SYSLOG]))
    for r in master_requests(sb, "/report/lmon.php"):
        print(f"POST /report/lmon.php: {r['body']}")


def later(sb):
    section("13. what comes later")
    up = time.monotonic() - NODE_START
    print(f"The node has run {up:.0f} s. velcrond's machine report (/report/smon.php) compares two "
          "captures 300 s apart and velmeshd posts its samples (/report/mesh.php) every 300 s: "
          f"both would reach the master in about {305 - up:.0f} s, beyond this demo.")
    seen = sorted({r["path"] for r in jsonl(sb, RECORDS)})
    print(f"paths the master received: {', '.join(seen)}")


if __name__ == "__main__":
    main()
