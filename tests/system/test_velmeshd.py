"""velmeshd end to end: the node list from the veltalkd stand-in, and the three probes against
peer nodes, each in a namespace of its own behind a router namespace:

    node    203.0.113.1     velmeshd
    master  192.0.2.10      tools/veltalkd.py on port 10010 (and velmaster on 443 for the report)
    peer1   198.51.101.1    velechod
    peer2   198.51.102.1    nothing on port 10007: UDP meets a port unreachable, TCP a reset
    peer3   198.51.103.1    an iptables rule drops everything from the node

A sniffer on each peer's link records the probes as they arrive (before iptables sees them).
The report leaves 300 s after start: test_velmeshd_slow.py waits for it; its content is covered
by the unit tests through the callout wheel's clock seam.
"""

import json
import time

import pytest

from masters import MASTER_HOST, MASTER_IP, records, start_veltalkd

NODE_IP = "203.0.113.1"
PEERS = {"peer1": "198.51.101.1", "peer2": "198.51.102.1", "peer3": "198.51.103.1"}
NODE_NUMBERS = {"peer1": 11, "peer2": 12, "peer3": 13}
NODES_FILE = "/run/veltalkd/nodes.txt"
TALK_RECORD = "/run/veltalkd/record.jsonl"

# Records every IPv4 probe that arrives from the node: one JSON line each.
SNIFFER = r'''
import json, socket, struct, sys, time
dev, node, out = sys.argv[1], sys.argv[2], sys.argv[3]
s = socket.socket(socket.AF_PACKET, socket.SOCK_DGRAM, socket.htons(0x0800))
s.bind((dev, 0x0800))
f = open(out, "a", buffering=1)
print("ready", flush=True)
while True:
    pkt, addr = s.recvfrom(70000)
    if addr[2] == socket.PACKET_OUTGOING or len(pkt) < 20:
        continue
    ihl = (pkt[0] & 15) * 4
    if socket.inet_ntoa(pkt[12:16]) != node:
        continue
    proto, l4 = pkt[9], pkt[ihl:]
    kind = None
    if proto == 1 and l4[0] == 8:
        kind = "icmp"
    elif proto == 17 and struct.unpack("!H", l4[2:4])[0] == 10007:
        kind = "udp:" + l4[8:].decode("latin-1")
    elif proto == 6 and struct.unpack("!H", l4[2:4])[0] == 10007 and l4[13] & 0x12 == 0x02:
        kind = "syn"
    if kind:
        f.write(json.dumps({"t": time.monotonic(), "kind": kind}) + "\n")
'''


def node_line(peer, short=7000):
    return f"UN a b {PEERS[peer]} {short} {NODE_NUMBERS[peer]}"


class MeshNet:
    """The namespaces above, the stand-in and the sniffers; velmeshd is started by the test."""

    def __init__(self, sb, peers=("peer1", "peer2", "peer3")):
        self.sb = sb
        self.peers = peers
        sb.netns("router")
        sb.sysctl("router", "net.ipv4.ip_forward", 1)
        for ns, addr, gw in [("node", NODE_IP, "203.0.113.254"), ("master", MASTER_IP, "192.0.2.254")] + \
                [(p, PEERS[p], PEERS[p].rsplit(".", 1)[0] + ".254") for p in peers]:
            sb.netns(ns)
            sb.sysctl(ns, "net.ipv6.conf.all.disable_ipv6", 1)
            sb.link(ns, f"{addr}/24", "router", f"{gw}/24")
            sb.route_add(ns, "default", gw)
        sb.hosts({MASTER_HOST: MASTER_IP})
        self.sniffs = {}
        for p in peers:
            out = f"/run/sniff-{p}.jsonl"
            sb.write_file(out, "")
            proc = sb.start(p, ["python3", "-c", SNIFFER, "eth0", NODE_IP, out], name=f"sniff-{p}")
            proc.wait_stdout("^ready$")
            self.sniffs[p] = out
        self.talk = None

    def start_veltalkd(self, lines):
        self.sb.write_file(NODES_FILE, "".join(l + "\n" for l in lines))
        self.talk = start_veltalkd(self.sb, "master", TALK_RECORD, "--nodes", NODES_FILE)

    def talk_records(self):
        return records(self.sb, TALK_RECORD)

    def probes(self, peer):
        text = self.sb.read_file(self.sniffs[peer])
        return [json.loads(l) for l in text.splitlines() if l.strip()]

    def wait_probes(self, peer, kinds, timeout):
        def seen():
            got = self.probes(peer)
            return got if all(any(p["kind"] == k for p in got) for k in kinds) else None
        return self.sb.wait_until(seen, timeout, f"probes {kinds} at {peer}")

    def echo(self, peer):
        return self.sb.start(peer, [self.sb.binary("velechod"), "-F", "-P", f"/run/velechod-{peer}.pid"],
                             name=f"velechod-{peer}")

    def drop_from_node(self, peer):
        self.sb.sh(peer, f"iptables -A INPUT -s {NODE_IP} -j DROP")


def first(probes, kind):
    return next(p["t"] for p in probes if p["kind"] == kind)


@pytest.fixture
def mesh3(sandbox):
    net = MeshNet(sandbox)
    net.echo("peer1")
    sandbox.wait_listen("peer1", 10007, "udp")
    net.drop_from_node("peer3")
    return net


def test_probes_reach_every_listed_node(sandbox, mesh3):
    """The node-list reader's treatment of bad lines is unit-tested."""
    sb, net = sandbox, mesh3
    net.start_veltalkd([node_line("peer1"), node_line("peer2"), node_line("peer3")])
    started = time.monotonic()
    md = sb.start("node", [sb.binary("velmeshd"), "-F"])

    # The list is asked for about 5 s after start.
    req = sb.wait_until(lambda: [r for r in net.talk_records() if r["kind"] == "UN"], 20,
                        "the node-list request")[0]
    assert req["line"] == "UN v2\r\n" and req["peer"] == NODE_IP
    assert 4.0 <= req["time"] - time.time() + (time.monotonic() - started) <= 12.0

    # Newest first: peer3 (every probe dropped, 2 s each), then peer2, then peer1.
    p1 = net.wait_probes("peer1", ["icmp", "udp:P", "syn"], 40)
    p2 = net.probes("peer2")
    p3 = net.probes("peer3")
    for got in (p2, p3):
        assert {p["kind"] for p in got} >= {"icmp", "udp:P", "syn"}, got
    t3i, t3u, t3t = first(p3, "icmp"), first(p3, "udp:P"), first(p3, "syn")
    assert 1.8 <= t3u - t3i <= 2.6 and 1.8 <= t3t - t3u <= 2.6, p3
    # The TCP wait, then the 1-second pause before the next node.
    assert 2.8 <= first(p2, "icmp") - t3t <= 3.8, (p2, p3)
    # peer2 answers at once (unreachable, reset): only the pause lies between the nodes.
    assert 0.9 <= first(p1, "icmp") - first(p2, "icmp") <= 1.8, (p1, p2)
    # One probe of each kind per node and pass (the SYN may be sent again while waiting).
    for got in (p1, p2, p3):
        assert sum(p["kind"] == "icmp" for p in got) == 1
        assert sum(p["kind"] == "udp:P" for p in got) == 1

    sb.log.wait(r"^\[ERROR\] VELEC_00152: recvfrom error: 111 Connection refused$",
                ident="velmeshd", level=3)
    assert sb.log.count(r"VELEC_00152", ident="velmeshd") == 1
    assert sb.log.count(r"WARN|unexpected ICMP|VELEC_00154", ident="velmeshd") == 0
    assert md.alive()
    assert sb.read_file("/var/run/velmeshd.pid") == str(md.pid)


def test_unreachable_service_no_raw_socket_rights_and_the_usage(sandbox):
    sb = sandbox
    net = MeshNet(sb, peers=("peer1",))
    net.echo("peer1")
    net.start_veltalkd([node_line("peer1")])
    sb.wait_listen("peer1", 10007, "udp")
    # Without CAP_NET_RAW the ICMP probe is refused; UDP and TCP go on.
    nocap = ["setpriv", "--inh-caps=-net_raw", "--bounding-set=-net_raw"]
    md = sb.start("node", nocap + [sb.binary("velmeshd"), "-F", "-P", "/run/velmeshd-a.pid"])
    # A second node whose veltalkd address answers with a refusal.
    sb.netns("lonely")
    sb.addr_add("lonely", "lo", f"{MASTER_IP}/32")
    lone = sb.start("lonely", [sb.binary("velmeshd"), "-F", "-P", "/run/velmeshd-b.pid"])

    sb.log.wait(r"^\[ERROR\] ICMP echo feature must run as root$", ident="velmeshd", level=3,
                timeout=20)
    net.wait_probes("peer1", ["udp:P", "syn"], 20)
    assert not any(p["kind"] == "icmp" for p in net.probes("peer1"))
    line = sb.log.wait(r"VELEC_00154", ident="velmeshd", timeout=20)
    assert line.msg == "[ERROR] VELEC_00154: connect(2) failed to the master server: 111 Connection refused"
    assert line.level == 3 and line.pid == lone.pid
    assert md.alive() and lone.alive()

    r = sb.run("node", [sb.binary("velmeshd"), "-F", "-m", "-S", "stray"])
    assert r.returncode == 1
    assert r.stderr == ("Too many arguments (stray...)\n"
                        "usage: velmeshd [options]\n"
                        "    -F                           # Run in foreground\n"
                        "    -m                           # Check extra processes\n"
                        "    -P file                      # PID file\n"
                        "    -S                           # Don't use default hostname\n")
