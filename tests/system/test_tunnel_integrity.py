"""Whatever the offloads do on the way (the kernel handing veld and veltun whole TCP segments to
cut, runs of datagrams sent and received as one), every byte arrives as sent: bulk TCP in each
direction over each transport with the offloads on and off, and a flow with a small MSS and IP
options with UDP datagrams and pings mixed in."""

import hashlib
import json
import re

import pytest

from nodenet import NODE_TAPIP, TRANSPORTS, NodeNet, client_public, client_tapip

MIB = 1 << 20
BULK = 256 * MIB
PORT = 9100

# Receives one TCP stream on ip:port; prints its length and SHA-256.
SINK = r"""
import hashlib, json, socket, sys
ip, port = sys.argv[1], int(sys.argv[2])
l = socket.socket(); l.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
l.bind((ip, port)); l.listen(1)
print("ready", flush=True)
l.settimeout(60)
c, _ = l.accept()
c.settimeout(60)
h, n = hashlib.sha256(), 0
while True:
    d = c.recv(1 << 20)
    if not d:
        break
    h.update(d); n += len(d)
print(json.dumps({"bytes": n, "sha256": h.hexdigest()}), flush=True)
"""

# Sends `total` bytes of seeded random data; optional MSS and IPv4 options; writes of varying
# sizes, so that segments carry PSH marks inside them and the FIN rides on the last one.
SOURCE = r"""
import hashlib, json, random, socket, sys
ip, port, total, seed, mss, opts, rate = (sys.argv[1], int(sys.argv[2]), int(sys.argv[3]),
                                          int(sys.argv[4]), int(sys.argv[5]),
                                          bytes.fromhex(sys.argv[6]), int(sys.argv[7]))
rnd = random.Random(seed)
s = socket.socket()
if mss:
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, mss)
if opts:
    s.setsockopt(socket.IPPROTO_IP, socket.IP_OPTIONS, opts)
if rate:
    s.setsockopt(socket.SOL_SOCKET, 47, rate)  # SO_MAX_PACING_RATE, bytes per second
s.settimeout(60)
s.connect((ip, port))
h, sent = hashlib.sha256(), 0
block = rnd.randbytes(1 << 20)
while sent < total:
    n = min(total - sent, rnd.choice((1 << 20, 65536, 3000, 1, 70000)) if mss else 1 << 20)
    d = rnd.randbytes(n) if mss else block[:n]
    if not mss:
        block = rnd.randbytes(1 << 20)
    s.sendall(d); h.update(d); sent += n
s.shutdown(socket.SHUT_WR)
s.recv(1)
print(json.dumps({"bytes": sent, "sha256": h.hexdigest()}), flush=True)
"""


def transfer(sb, src_ns, dst_ns, dst_ip, total, seed, mss=0, ip_opts="", rate=0):
    """One TCP stream from src_ns to dst_ip; the sender's and receiver's length and digest."""
    sink = sb.start(dst_ns, ["python3", "-c", SINK, dst_ip, str(PORT)], name=f"sink-{dst_ns}")
    sink.wait_stdout("^ready")
    src = sb.run(src_ns, ["python3", "-c", SOURCE, dst_ip, str(PORT), str(total), str(seed),
                          str(mss), ip_opts, str(rate)], timeout=120)
    assert src.returncode == 0, src.stderr
    assert sink.wait(60) == 0, sink.stderr()
    return json.loads(src.stdout.splitlines()[-1]), json.loads(sink.stdout().splitlines()[-1])


def tunnel(sb, transport, offload):
    net = NodeNet(sb, clients=1)
    net.start_veld(prefix=() if offload else ("env", "VELD_OFFLOAD=off"))
    extra = [] if offload else ["-O", "off"]
    net.start_client(0, transport, extra=extra)
    sb.log.wait(r"is created from " + re.escape(client_public(0)), ident="veld")
    line = sb.log.wait(r"^\[INFO\] Offloads: ", ident="veld")
    if offload:
        assert "with the virtio-net header" in line.msg and "UDP_SEGMENT and UDP_GRO on" in \
            line.msg, line.msg
    else:
        assert "one frame at a time (switched off by VELD_OFFLOAD)" in line.msg and \
            "UDP_SEGMENT and UDP_GRO off" in line.msg, line.msg
    return net


@pytest.mark.parametrize("offload", [True, False], ids=["offload", "plain"])
@pytest.mark.parametrize("transport", TRANSPORTS)
def test_bulk_tcp_arrives_whole_both_ways(sandbox, transport, offload):
    sb = sandbox
    net = tunnel(sb, transport, offload)
    for seed, (src, dst, ip) in enumerate((("client0", "node", NODE_TAPIP),
                                           ("node", "client0", client_tapip(0)))):
        sent, got = transfer(sb, src, dst, ip, BULK, seed)
        assert got == sent and sent["bytes"] == BULK, f"{src} to {dst}"
    assert net.veld.alive()


# Datagrams of many sizes, each numbered and filled from its number, paced so that no queue on
# the way may drop one: the receiver reports which arrived and how many were not as sent.
DGRAMS = 200
UDP_PORT = 9101
UDP_SINK = r"""
import json, socket, struct, sys
ip, port, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def payload(k):
    size = (37 * k) % 1380 + 4
    return struct.pack("!I", k) + bytes((k + j) % 251 for j in range(size - 4))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)
s.bind((ip, port))
print("ready", flush=True)
s.settimeout(60)
seqs, bad = set(), 0
try:
    while len(seqs) < n:
        d = s.recv(65536)
        k = struct.unpack("!I", d[:4])[0]
        bad += d != payload(k)
        seqs.add(k)
        s.settimeout(10)
except socket.timeout:
    pass
print(json.dumps({"missing": sorted(set(range(n)) - seqs), "bad": bad}), flush=True)
"""
UDP_SOURCE = r"""
import socket, struct, sys, time
ip, port, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def payload(k):
    size = (37 * k) % 1380 + 4
    return struct.pack("!I", k) + bytes((k + j) % 251 for j in range(size - 4))
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for k in range(n):
    s.sendto(payload(k), (ip, port))
    time.sleep(0.003)
"""


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_small_mss_ip_options_with_udp_and_pings_mixed_in(sandbox, transport):
    sb = sandbox
    net = tunnel(sb, transport, True)
    for seed, (src, dst, ip) in enumerate((("client0", "node", NODE_TAPIP),
                                           ("node", "client0", client_tapip(0)))):
        udp = sb.start(dst, ["python3", "-c", UDP_SINK, ip, str(UDP_PORT), str(DGRAMS)],
                       name=f"udp-sink-{dst}")
        udp.wait_stdout("^ready")
        # Pings from the node, answered by the client's kernel: echo requests one way, replies
        # the other. (The node's kernel ignores echo requests, as on a real node: otherwise it
        # would answer every ICMP tunnel message too.)
        pinger = sb.start("node", ["ping", "-n", "-q", "-c", "40", "-i", "0.02", "-s", "1000",
                                   "-w", "30", client_tapip(0)], name=f"ping-{seed}")
        sender = sb.start(src, ["python3", "-c", UDP_SOURCE, ip, str(UDP_PORT), str(DGRAMS)],
                          name=f"udp-source-{src}")
        # A small MSS makes many frames of each segment; NOPs make the IPv4 header 24 bytes;
        # writes of varying sizes put PSH marks and the FIN inside segments. Paced well below
        # what the slowest transport carries, so that no socket on the way overflows and drops
        # a datagram or a ping that the test then misses (TCP itself would recover).
        sent, got = transfer(sb, src, dst, ip, 24 * MIB, 10 + seed, mss=536, ip_opts="01010100",
                             rate=40 * MIB)
        assert got == sent, f"{src} to {dst}"
        assert sender.wait(60) == 0, sender.stderr()
        assert udp.wait(60) == 0, udp.stderr()
        assert json.loads(udp.stdout().splitlines()[-1]) == {"missing": [], "bad": 0}, \
            f"{src} to {dst}"
        assert pinger.wait(60) == 0 and " 0% packet loss" in pinger.stdout(), \
            f"{src} to {dst}: {pinger.stdout()}"
    assert net.veld.alive()
