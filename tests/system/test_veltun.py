"""veltun under bursts: every frame of a burst arrives once, whole and in order, in both
directions and over every transport, however veltun batches its reads and sends."""

import json
import re
import signal

import pytest

from nodenet import NODE_TAPIP, TRANSPORTS, NodeNet, client_mac, client_public, client_tapip

BURST = 400  # below the TAP devices' queue length, so no kernel queue may drop a frame
PORT = 9999
# UDP payload sizes taken in turn: the smallest frame up to a full 1450-byte MTU.
SIZES = (18, 64, 200, 700, 1300, 1422)

PAYLOAD = r"""
import struct
SIZES = %r
def payload(k):
    n = SIZES[k %% len(SIZES)]
    return struct.pack("!I", k) + bytes((k + j) %% 251 for j in range(n - 4))
""" % (SIZES,)

RECEIVER = PAYLOAD + r"""
import json, socket, sys
ip, port, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, 33, 4 << 20)  # SO_RCVBUFFORCE: no drop in our own socket
s.bind((ip, port))
print("ready", flush=True)
s.settimeout(30)
seqs, bad = [], 0
try:
    while len(seqs) < n:
        d = s.recv(65536)
        k = struct.unpack("!I", d[:4])[0]
        seqs.append(k)
        bad += d != payload(k)
        s.settimeout(5)
except socket.timeout:
    pass
print(json.dumps({"seqs": seqs, "bad": bad}), flush=True)
"""

SENDER = PAYLOAD + r"""
import socket, sys
ip, port, n = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
for k in range(n):
    s.sendto(payload(k), (ip, port))
"""


def recv_queue(sb, transport):
    """Bytes waiting in the receive queues of the client namespace's sockets of a transport."""
    flag = {"udp": "-uan", "tcp": "-tn", "icmp": "-wan"}[transport]
    return sum(int(line.split()[1]) for line in sb.sh("client0", f"ss -H {flag}").splitlines())


def wait_queued(sb, transport):
    """Waits until the queue of veltun's socket stops growing: what veld sent has arrived, or
    (TCP) filled the window; the rest waits in veld's queue."""
    seen = []

    def settled():
        seen.append(recv_queue(sb, transport))
        return len(seen) >= 4 and seen[-1] > 0 and len(set(seen[-4:])) == 1
    sb.wait_until(settled, 20, "the burst to settle in veltun's socket")


def burst(sb, src_ns, dst_ns, dst_ip, n, after_send=None):
    """Sends n datagrams; returns the sequence numbers received, in order, and the bad ones."""
    rx = sb.start(dst_ns, ["python3", "-c", RECEIVER, dst_ip, str(PORT), str(n)],
                  name=f"receiver-{dst_ns}")
    rx.wait_stdout("^ready")
    sb.run(src_ns, ["python3", "-c", SENDER, dst_ip, str(PORT), str(n)], check=True)
    if after_send:
        after_send()
    assert rx.wait(60) == 0, rx.stderr()
    got = json.loads(rx.stdout().splitlines()[-1])
    missing = sorted(set(range(n)) - set(got["seqs"]))
    assert not missing, f"{src_ns} to {dst_ns}: {len(missing)} lost, first {missing[:20]}"
    return got


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_bursts_arrive_whole_and_in_order(sandbox, transport):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    net.start_veld()
    net.start_client(0, transport, extra=["-k", "0"])
    sb.log.wait(r"is created from " + re.escape(client_public(0)), ident="veld")
    tap = net.tapname()
    # Static neighbours: the bursts are the only frames, none waits for ARP.
    node_mac = re.search(r"link/ether (\S+)", sb.sh("node", f"ip link show dev {tap}")).group(1)
    sb.sh("client0", f"ip neigh replace {NODE_TAPIP} lladdr {node_mac} dev vtap0 nud permanent")
    sb.sh("node", f"ip neigh replace {client_tapip(0)} lladdr {client_mac(0)} dev {tap} "
                  "nud permanent")
    # The largest payload fills veltun's default MTU exactly.
    assert "mtu 1450" in sb.sh("client0", "ip link show dev vtap0")

    # veld's raw socket has the kernel's default receive buffer, which a longer burst overflows.
    up = 100 if transport == "icmp" else BURST
    assert burst(sb, "client0", "node", NODE_TAPIP, up) == {"seqs": list(range(up)), "bad": 0}
    # Towards the client veltun is stopped while the burst arrives, so that it finds it all
    # waiting: full datagram batches, units cut at the end of a stream read, and the burst must
    # fit in its socket buffer.
    veltun = net.clients[0]

    def resume():
        wait_queued(sb, transport)
        veltun.signal(signal.SIGCONT)
    veltun.signal(signal.SIGSTOP)
    assert burst(sb, "node", "client0", client_tapip(0), BURST, after_send=resume) == \
        {"seqs": list(range(BURST)), "bad": 0}
    st = net.client_stats(0)
    assert (st["dropped"], st["bad"]) == (0, 0)
    # Sent: every frame read from the TAP device, and the one announcement (-k 0).
    assert st["net_tx"] == st["tap_rx"] + 1 and st["tap_rx"] >= up
    assert st["net_rx"] >= BURST and st["tap_tx"] == st["net_rx"] - st["own"]
