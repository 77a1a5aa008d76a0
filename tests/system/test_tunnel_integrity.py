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
ip, port, total, seed, mss, opts = (sys.argv[1], int(sys.argv[2]), int(sys.argv[3]),
                                    int(sys.argv[4]), int(sys.argv[5]), bytes.fromhex(sys.argv[6]))
rnd = random.Random(seed)
s = socket.socket()
if mss:
    s.setsockopt(socket.IPPROTO_TCP, socket.TCP_MAXSEG, mss)
if opts:
    s.setsockopt(socket.IPPROTO_IP, socket.IP_OPTIONS, opts)
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


def transfer(sb, src_ns, dst_ns, dst_ip, total, seed, mss=0, ip_opts=""):
    """One TCP stream from src_ns to dst_ip; the sender's and receiver's length and digest."""
    sink = sb.start(dst_ns, ["python3", "-c", SINK, dst_ip, str(PORT)], name=f"sink-{dst_ns}")
    sink.wait_stdout("^ready")
    src = sb.run(src_ns, ["python3", "-c", SOURCE, dst_ip, str(PORT), str(total), str(seed),
                          str(mss), ip_opts], timeout=120)
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
