"""velurd between a client namespace and two destination namespaces: payloads leave without the
header from one relay socket per client, replies come back without one, bad headers are refused."""

import json
import re
import socket
import struct
import sys

NODE_C, CLIENT = "10.61.0.1", "10.61.0.2"
NODE_1, DST1 = "10.62.0.1", "10.62.0.2"
NODE_2, DST2 = "10.63.0.1", "10.63.0.2"
DST_PORT = 9000
ADDRS = {"dst1": (NODE_1, DST1), "dst2": (NODE_2, DST2)}

# Destination: answers every datagram with its name, a colon and the payload; prints what came
# from where as JSON lines.
DEST = r"""
import json, socket, sys
name = sys.argv[1]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("0.0.0.0", %d))
print("ready", flush=True)
while True:
    data, src = s.recvfrom(65536)
    print(json.dumps({"data": data.hex(), "src": src[0], "port": src[1]}), flush=True)
    s.sendto(name.encode() + b":" + data, src)
""" % DST_PORT

# Client: per argument "SOCKETNO:HEX" sends HEX from its socket number SOCKETNO; then prints
# every datagram that arrives on any socket within the wait, as JSON lines.
CLIENT_PY = r"""
import json, select, socket, sys, time
socks = {}
for arg in sys.argv[2:]:
    n, hx = arg.split(":")
    if n not in socks:
        socks[n] = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        socks[n].bind(("0.0.0.0", 0))
    socks[n].sendto(bytes.fromhex(hx), (sys.argv[1], 7879))
    time.sleep(0.05)
deadline = time.monotonic() + 1.5
while time.monotonic() < deadline:
    r, _, _ = select.select(list(socks.values()), [], [], 0.1)
    for s in r:
        data, src = s.recvfrom(65536)
        n = [k for k, v in socks.items() if v is s][0]
        print(json.dumps({"sock": n, "data": data.hex(), "src": src[0], "port": src[1]}), flush=True)
"""


def header(addr, port, atyp=1, first=b"\0\0\0"):
    return first + bytes([atyp]) + socket.inet_aton(addr) + struct.pack("!H", port)


def topology(sb, dsts=("dst1", "dst2"), prefix=()):
    sb.netns("client")
    sb.link("client", f"{CLIENT}/24", "node", f"{NODE_C}/24")
    dests = {}
    for name in dsts:
        sb.netns(name)
        sb.link(name, f"{ADDRS[name][1]}/24", "node", f"{ADDRS[name][0]}/24")
        dests[name] = sb.start(name, [sys.executable, "-c", DEST, name], name=name)
        dests[name].wait_stdout("^ready")
    velurd = sb.start("node", [*prefix, sb.binary("velurd"), "-F"], name="velurd")
    sb.wait_listen("node", 7879, "udp")
    return velurd, dests


def send(sb, *dgrams):
    """dgrams: (socket number, bytes); gives the datagrams the client's sockets got back."""
    r = sb.run("client", [sys.executable, "-c", CLIENT_PY, NODE_C,
                          *[f"{n}:{d.hex()}" for n, d in dgrams]], check=True)
    return [json.loads(l) for l in r.stdout.splitlines()]


def received(proc):
    return [json.loads(l) for l in proc.stdout().splitlines() if l.startswith("{")]


def test_relay_both_ways_through_one_socket_per_client(sandbox):
    """Bad headers are refused (their texts are unit-tested) and end nothing else."""
    sb = sandbox
    sb.netns("node")
    velurd, dests = topology(sb)
    got = send(sb, (0, header(DST1, DST_PORT) + b"hello"),
               (0, header(DST2, DST_PORT)),
               (0, header(DST1, DST_PORT, atyp=3) + b"domain"),
               (0, header(DST1, DST_PORT)[:9]),
               (0, b""),
               (0, header(DST2, DST_PORT) + b"\0\x01payload"),
               (1, header(DST1, DST_PORT) + b"other client"))

    d1, d2 = received(dests["dst1"]), received(dests["dst2"])
    assert [bytes.fromhex(d["data"]) for d in d1] == [b"hello", b"other client"]
    assert [bytes.fromhex(d["data"]) for d in d2] == [b"", b"\0\x01payload"]
    # The first client's datagrams leave from one relay port, whatever their destination; the
    # second client has a port of its own.
    assert d1[0]["src"] == NODE_1 and d2[0]["src"] == NODE_2
    assert d1[0]["port"] == d2[0]["port"] == d2[1]["port"]
    assert d1[1]["port"] != d1[0]["port"]

    replies = sorted((g["sock"], bytes.fromhex(g["data"])) for g in got)
    assert replies == [("0", b"dst1:hello"), ("0", b"dst2:"), ("0", b"dst2:\0\x01payload"),
                       ("1", b"dst1:other client")]
    assert all(g["src"] == NODE_C and g["port"] == 7879 for g in got)

    created = sb.log.find(r"^the session is created", ident="velurd")
    assert [l.level for l in created] == [6, 6]
    for line, n in zip(created, (1, 2)):
        assert re.fullmatch(rf"the session is created \(sp 0x[0-9a-f]+ count {n}, {DST1}:{DST_PORT}\)",
                            line.msg)
    assert [l.level for l in sb.log.find(r"^\[ERROR\] Wrong header", ident="velurd")] == [3]
    assert velurd.alive()


def test_sessions_beyond_the_descriptor_limit_are_refused(sandbox):
    """Out of descriptors, new clients are refused with a log line; known ones are still served."""
    sb = sandbox
    sb.netns("node")
    velurd, dests = topology(sb, ("dst1",), prefix=["prlimit", "--nofile=9:9", "--"])
    dest = dests["dst1"]
    got = send(sb, *[(i, header(DST1, DST_PORT) + b"c%d" % i) for i in range(8)],
               (0, header(DST1, DST_PORT) + b"again"))
    created = sb.log.count(r"^the session is created", ident="velurd")
    assert 1 <= created < 8
    refused = sb.log.find(r"^\[ERROR\] Session refused for ", ident="velurd")
    assert refused and refused[0].level == 3
    assert re.fullmatch(rf"\[ERROR\] Session refused for {CLIENT}:\d+: socket\(2\): 24 Too many "
                        rf"open files \(count {created}\)", refused[0].msg)
    relayed = [bytes.fromhex(d["data"]) for d in received(dest)]
    assert relayed == [b"c%d" % i for i in range(created)] + [b"again"]
    assert sorted(bytes.fromhex(g["data"]) for g in got if g["sock"] == "0") == [b"dst1:again",
                                                                                  b"dst1:c0"]
    assert velurd.alive()


def test_the_node_itself_is_never_a_destination(sandbox):
    """A client outside the node reaches neither a service bound to the node's loopback nor the
    relay again through its own address; a chain of nested headers opens no session at all."""
    sb = sandbox
    sb.netns("node")
    velurd, dests = topology(sb, ("dst1",))
    loop_svc = sb.start("node", [sys.executable, "-c", DEST.replace('"0.0.0.0", %d' % DST_PORT,
                                                                    '"127.0.0.1", 5353'), "lo"],
                        name="loopback-service")
    loop_svc.wait_stdout("^ready")
    nested = header(NODE_C, 7879) * 30 + header(DST1, DST_PORT) + b"chain"
    got = send(sb, (0, header("127.0.0.1", 5353) + b"secret"),
               (0, header(NODE_1, 7879) + header(DST1, DST_PORT) + b"via public"),
               (0, nested),
               (0, header(DST1, 0) + b"port0"),
               (0, header("224.0.0.251", 5353) + b"mcast"))
    assert got == []
    assert received(loop_svc) == [] and received(dests["dst1"]) == []
    assert sb.log.count(r"^the session is created", ident="velurd") == 0
    refused = [l.msg for l in sb.log.find(r"^\[WARN\] Destination ", ident="velurd")]
    assert [re.sub(r"refused for [\d.]+:\d+", "refused", m) for m in refused] == [
        "[WARN] Destination 127.0.0.1:5353 refused: loopback",
        f"[WARN] Destination {NODE_1}:7879 refused: an address of this node",
        f"[WARN] Destination {NODE_C}:7879 refused: an address of this node",
        f"[WARN] Destination {DST1}:0 refused: port 0",
        "[WARN] Destination 224.0.0.251:5353 refused: multicast"]
    assert velurd.alive()
