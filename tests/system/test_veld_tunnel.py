"""veld on the wire: tunnel clients (veltun) over UDP, TCP and ICMP against the real daemon,
the kernel behind its TAP device, and crafted messages for what a well-behaved client never sends."""

import os
import re
import struct
import subprocess

import pytest

from nodenet import (INTERNET_HOST, NODE_PUBLIC, NODE_TAPIP, TRANSPORTS, NodeNet, client_mac,
                     client_public, client_tapip, ether_ntoa)

per_transport = pytest.mark.parametrize("transport", TRANSPORTS)

# Sends crafted tunnel messages from inside a namespace: argv proto, source, then hex payloads.
# udp/icmp: one frame each. tcp-close: raw stream bytes, waits until veld ends the connection.
# tcp-send: raw stream bytes, then close. tcp-keep: raw stream bytes, then keeps the connection until stdin closes.
SENDER = r"""
import socket, struct, sys, select
proto, src = sys.argv[1], sys.argv[2]
dst = %r
def cksum(b):
    if len(b) %% 2: b += b"\0"
    s = sum(struct.unpack("!%%dH" %% (len(b) // 2), b))
    while s >> 16: s = (s & 0xffff) + (s >> 16)
    return ~s & 0xffff
for h in sys.argv[3:]:
    data = bytes.fromhex(h)
    if proto == "udp":
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind((src, 0))
        s.sendto(data, (dst, 10008)); s.close()
    elif proto == "icmp":
        s = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_ICMP); s.bind((src, 0))
        m = struct.pack("!BBHHH", 8, 0, 0, 0x1234, 0x4321) + bytes.fromhex("f16d9fc4") + data
        m = m[:2] + struct.pack("!H", cksum(m)) + m[4:]
        s.sendto(m, (dst, 0)); s.close()
    else:
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM); s.bind((src, 0))
        s.connect((dst, 10008)); s.sendall(data)
        if proto == "tcp-send":
            s.close()
        elif proto == "tcp-close":
            s.settimeout(30)
            try:
                while s.recv(4096): pass
            except ConnectionResetError: pass
            print("closed", flush=True)
        else:
            print("sent", flush=True)
            sys.stdin.read()
            s.setblocking(False)
            try:
                print("open" if s.recv(4096) else "eof", flush=True)
            except BlockingIOError:
                print("open", flush=True)
""" % NODE_PUBLIC


def frame(src_mac, dst_mac="02:00:00:00:00:ee", size=42, dst_ip="203.0.113.9"):
    """An Ethernet frame with an IPv4 header (UDP, zero payload) of `size` bytes in all."""
    mac = lambda m: bytes(int(b, 16) for b in m.split(":"))
    ip = struct.pack("!BBHHHBBH4s4s", 0x45, 0, size - 14, 0, 0, 64, 17, 0,
                     bytes([198, 51, 100, 10]), bytes(int(x) for x in dst_ip.split(".")))
    return mac(dst_mac) + mac(src_mac) + b"\x08\x00" + ip + bytes(size - 34)


def unit(f, magic=b"V", reserved=0, length=None):
    return magic + bytes([reserved]) + struct.pack("<H", len(f) if length is None else length) + f


def session_line(mac, host, mode, n=None):
    count = str(n) if n else r"\d+"
    return (rf"^\[INFO\] The session \(0x[0-9a-f]+\) {re.escape(ether_ntoa(mac))} is created from "
            rf"{re.escape(host)}:\d+ \(mode {mode} n_sess {count}\)$")


@per_transport
def test_arp_and_ping_of_the_tap_address(sandbox, transport):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    net.start_veld()
    # The node's kernel answers this ping itself through the TAP device.
    sb.sysctl("node", "net.ipv4.icmp_echo_ignore_all", 0)
    net.start_client(0, transport)
    line = sb.log.wait(session_line(client_mac(0), client_public(0), transport.upper(), 1),
                       ident="veld")
    assert (line.facility, line.level) == (1, 6)
    tap = net.tapname()
    mac = re.search(r"link/ether (\S+)", sb.sh("node", f"ip link show dev {tap}")).group(1)
    r = sb.run("client0", ["arping", "-f", "-w", "10", "-I", "vtap0", NODE_TAPIP])
    assert r.returncode == 0, r.stdout + r.stderr
    assert mac.upper() in r.stdout.upper()
    r = net.ping(0, NODE_TAPIP, count=5)
    assert " 0% packet loss" in r.stdout, r.stdout
    assert mac in sb.sh("client0", f"ip neigh show {NODE_TAPIP} dev vtap0")


@per_transport
def test_http_fetch_through_the_tunnel_and_masquerade(sandbox, transport):
    sb = sandbox
    net = NodeNet(sb, clients=1, internet=True)
    blob = os.urandom(300_000)
    sb.write_file("/run/www/blob", blob)
    web = sb.start("internet", ["python3", "-m", "http.server", "8080", "--bind", INTERNET_HOST,
                                "--directory", "/run/www"], name="web")
    sb.wait_listen("internet", 8080)
    net.start_veld()
    net.start_client(0, transport)
    r = sb.run("client0", ["curl", "-sS", "--max-time", "60", "-o", "/run/fetched",
                           f"http://{INTERNET_HOST}:8080/blob"], timeout=90)
    assert r.returncode == 0, r.stderr
    assert sb.read_file("/run/fetched", binary=True) == blob
    # The server saw the node's address, not the client's tunnel address.
    web.wait_stderr(r'^203\.0\.113\.1 - - .*"GET /blob HTTP/1\.1" 200')
    assert client_tapip(0) not in web.stderr()


@pytest.mark.parametrize("pair", [("udp", "udp"), ("tcp", "icmp"), ("icmp", "udp"), ("udp", "tcp")],
                         ids=lambda p: "-".join(p))
def test_clients_reach_each_other_past_the_tap(sandbox, pair):
    sb = sandbox
    net = NodeNet(sb, clients=2)
    net.start_veld()
    for i, t in enumerate(pair):
        net.start_client(i, t)
    net.wait_ping(0, client_tapip(1))
    tap = net.tapname()
    before = sb.link_stats("node", tap)
    r = net.ping(0, client_tapip(1), count=20, size=1000)
    assert " 0% packet loss" in r.stdout and "duplicates" not in r.stdout, r.stdout
    after = sb.link_stats("node", tap)
    # 40 frames were switched between the sessions; none of them may reach the TAP device.
    assert after["rx_packets"] - before["rx_packets"] <= 2
    assert after["tx_packets"] - before["tx_packets"] <= 2


@per_transport
def test_broadcasts_reach_every_other_session_and_the_tap(sandbox, transport):
    sb = sandbox
    net = NodeNet(sb, clients=3)
    net.start_veld()
    others = [t for t in TRANSPORTS if t != transport]
    for i, t in enumerate([transport] + others):
        net.start_client(i, t)
    sb.log.wait(r"^\[INFO\] The session .* n_sess 3\)$", ident="veld")
    tap = net.tapname()
    s0 = [net.client_stats(i) for i in range(3)]
    t0 = sb.link_stats("node", tap)
    sb.run("client0", ["arping", "-c", "3", "-w", "10", "-I", "vtap0", "10.77.0.99"])

    def got(i, n):
        return net.client_stats(i)["net_rx"] - s0[i]["net_rx"] >= n
    sb.wait_until(lambda: got(1, 3) and got(2, 3), 20, "the broadcasts at both other clients")
    s1 = [net.client_stats(i) for i in range(3)]
    assert [s1[i]["net_rx"] - s0[i]["net_rx"] for i in range(3)] == [0, 3, 3]
    assert [s1[i]["own"] for i in range(3)] == [0, 0, 0]
    assert sb.link_stats("node", tap)["rx_packets"] - t0["rx_packets"] == 3
    # A broadcast from the kernel reaches every session.
    sb.run("node", ["arping", "-c", "3", "-w", "10", "-I", tap, "10.77.0.98"])
    sb.wait_until(lambda: all(net.client_stats(i)["net_rx"] - s1[i]["net_rx"] >= 3
                              for i in range(3)), 20, "the TAP broadcasts at every client")


def test_frames_from_the_tap_by_destination_and_length(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    net.start_veld()
    net.start_client(0, "udp", extra=["-M", "1500"])
    tap = net.tapname()
    sb.sh("node", f"ip link set {tap} mtu 1600")
    sb.log.wait(session_line(client_mac(0), client_public(0), "UDP", 1), ident="veld")
    # A frame of exactly 1500 bytes is switched; 1501 bytes are skipped.
    r = sb.run("node", ["ping", "-n", "-c", "2", "-i", "0.2", "-w", "20", "-M", "do", "-s", "1458",
                        client_tapip(0)])
    assert r.returncode == 0, r.stdout + r.stderr
    mark = sb.log.mark()
    r = sb.run("node", ["ping", "-n", "-c", "1", "-w", "2", "-M", "do", "-s", "1459", client_tapip(0)])
    assert r.returncode != 0
    sb.log.wait(r"^\[ERROR\] VELEC_00149: wrong len 1501 from tap\(4\)\. Skipped a frame$",
                ident="veld", level=3, since=mark)
    # A unicast frame for a station veld does not know is dropped with a warning.
    sb.sh("node", f"ip neigh replace 10.77.0.97 lladdr 02:00:00:00:00:97 dev {tap} nud permanent")
    sb.run("node", ["ping", "-n", "-c", "1", "-w", "1", "10.77.0.97"])
    sb.log.wait(r"^\[WARN\] No session is found$", ident="veld", level=4, since=mark)


@per_transport
def test_private_and_own_sources_create_no_session(sandbox, transport):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    srcs = ["10.1.2.3", "172.20.0.1", "192.168.1.1", "169.254.0.1", "172.32.0.1"]
    for a in srcs:
        sb.addr_add("client0", "eth0", f"{a}/32")
        sb.route_add("node", f"{a}/32", via=client_public(0))
    net.start_veld()
    tap = net.tapname()
    t0 = sb.link_stats("node", tap)
    # TCP: send and close; veld reads the unit before the end of the stream.
    proto = {"udp": "udp", "icmp": "icmp", "tcp": "tcp-send"}[transport]
    sent = []

    def send(ns, src, n):
        mac = f"02:00:00:00:01:{n:02x}"
        sent.append((src, mac))
        data = unit(frame(mac)) if transport == "tcp" else frame(mac)
        r = sb.run(ns, ["python3", "-c", SENDER, proto, src, data.hex()])
        assert r.returncode == 0, r.stderr

    send("node", "127.0.0.1", 1)
    send("node", NODE_PUBLIC, 2)
    for n, a in enumerate(srcs[:-1], start=3):
        send("client0", a, n)
    send("client0", "172.32.0.1", 9)
    mode = transport.upper()
    sb.log.wait(session_line("02:00:00:00:01:09", "172.32.0.1", mode, 1), ident="veld")
    for src, mac in sent[:-1]:
        assert not sb.log.find(re.escape(ether_ntoa(mac)) + " is created"), src
    assert sb.log.count(r"is created from") == 1
    # Only the frame of the one session left for the TAP device.
    assert sb.link_stats("node", tap)["rx_packets"] - t0["rx_packets"] == 1


def test_bad_tcp_headers_end_only_that_connection(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=2)
    net.start_veld()
    net.start_client(0, "tcp")
    net.start_client(1, "tcp")
    net.wait_ping(0, client_tapip(1))
    f = frame("02:00:00:00:02:01")
    bad = {"magic": unit(f, magic=b"X"), "len 0": unit(b"", length=0),
           "len 2044": unit(bytes(2044)), "reserved": unit(f, reserved=1)}
    for what, data in bad.items():
        mark = sb.log.mark()
        r = sb.run("client0", ["python3", "-c", SENDER, "tcp-close", client_public(0), data.hex()])
        assert r.stdout.strip() == "closed", f"{what}: {r.stdout} {r.stderr}"
        sb.log.wait(r"^\[INFO\] TCP connection is closing \(tc 0x[0-9a-f]+ fd \d+\)$",
                    ident="veld", since=mark)
        assert not sb.log.find("is created from", since=mark), what
    w = sb.log.find(r"WRONG veldhdr magic")
    assert [(l.msg, l.level) for l in w] == [("[WARN] WRONG veldhdr magic for TCP 'X'", 4)]
    # The largest unit is taken, and the connection goes on to the next one.
    big, small, after = frame("02:00:00:00:02:02", size=2043), bytes(13), frame("02:00:00:00:02:03")
    mark = sb.log.mark()
    keeper = sb.start("client0", ["python3", "-c", SENDER, "tcp-keep", client_public(0),
                                  (unit(big) + unit(small) + unit(after)).hex()],
                      stdin=subprocess.PIPE, name="keeper")
    sb.log.wait(r"^\[ERROR\] Ooops, too big frame \(2043\) is received$", ident="veld", since=mark)
    sb.log.wait(r"^\[WARN\] too small packet for TCP: 13$", ident="veld", since=mark)
    sb.log.wait(session_line("02:00:00:00:02:03", client_public(0), "TCP"), ident="veld", since=mark)
    keeper.popen.stdin.close()
    assert keeper.wait() == 0
    assert keeper.stdout().split() == ["sent", "open"]
    # The well-behaved clients never noticed.
    r = net.ping(0, client_tapip(1), count=3)
    assert " 0% packet loss" in r.stdout, r.stdout


def test_plain_ping_is_answered_by_veld(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    net.start_veld()
    sb.wait_listen("node", 1, "raw")
    for size in ("1000", "1001", "0"):
        r = sb.run("client0", ["ping", "-n", "-c", "3", "-i", "0.2", "-s", size, "-p", "a5c3",
                               "-w", "20", NODE_PUBLIC])
        assert r.returncode == 0 and " 0% packet loss" in r.stdout, r.stdout
        assert "BAD CHECKSUM" not in r.stdout and "wrong data" not in r.stdout
        assert "duplicates" not in r.stdout, "the kernel's echo replies should be off"
    assert not sb.log.find("is created from")
    # With veld gone nothing answers: the replies above were veld's.
    sb.stop(net.veld)
    r = sb.run("client0", ["ping", "-n", "-c", "1", "-w", "2", NODE_PUBLIC])
    assert r.returncode != 0


def test_icmp_session_keeps_its_sequence_and_follows_the_identifier(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=2)
    net.start_veld()
    net.start_client(0, "icmp", extra=["-V", "-I", "50000", "-q", "777"])
    net.start_client(1, "udp")
    net.wait_ping(0, client_tapip(1))
    r = net.ping(0, client_tapip(1), count=10)
    assert " 0% packet loss" in r.stdout, r.stdout
    assert sb.log.count(r"\(mode ICMP n_sess", ident="veld") == 1
    assert net.client_stats(0)["bad"] == 0


@pytest.mark.parametrize("kind", ["small", "nomagic-short"])
def test_crafted_icmp_messages(sandbox, kind):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    net.start_veld()
    sb.wait_listen("node", 1, "raw")
    if kind == "small":
        r = sb.run("client0", ["python3", "-c", SENDER, "icmp", client_public(0), bytes(13).hex()])
        assert r.returncode == 0, r.stderr
        sb.log.wait(r"^\[ERROR\] too small packet for ICMP \(from 198\.51\.100\.10:0 origin_len 45 "
                    r"len 13 hlen 20\)$", ident="veld", level=3)
    else:
        # Echo requests of every length without the magic are answered, even an empty one.
        r = sb.run("client0", ["ping", "-n", "-c", "2", "-i", "0.2", "-s", "4", "-w", "10",
                               NODE_PUBLIC])
        assert " 0% packet loss" in r.stdout, r.stdout
    assert not sb.log.find("is created from")


# One UDP socket (one client endpoint) sending one frame per source MAC address given.
STATIONS = r"""
import socket, sys
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.connect((sys.argv[1], 10008))
for h in sys.argv[2:]:
    s.send(bytes.fromhex(h))
"""


def test_hostile_sources_are_refused_and_stations_per_endpoint_bounded(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    net.start_veld()
    tap = net.tapname()
    out = sb.run("node", ["ip", "-o", "link", "show", tap], check=True).stdout
    tapmac = re.search(r"link/ether ([0-9a-f:]{17})", out).group(1)
    t0 = sb.link_stats("node", tap)
    macs = [f"02:42:00:00:01:{i:02x}" for i in range(40)]
    frames = [frame(tapmac), frame("01:00:5e:00:00:01")] + [frame(m) for m in macs]
    r = sb.run("client0", ["python3", "-c", STATIONS, NODE_PUBLIC] + [f.hex() for f in frames])
    assert r.returncode == 0, r.stderr
    host = re.escape(client_public(0))
    sb.log.wait(rf"^\[WARN\] Drop the frame; source {re.escape(ether_ntoa(tapmac))} is the TAP "
                rf"device's address \(from {host}:\d+\)$", ident="veld", level=4)
    sb.log.wait(rf"^\[WARN\] Too many sessions from {host}:\d+ \(32, mode UDP\); frames from new "
                r"stations are dropped$", ident="veld", level=4)
    assert sb.log.count(r"is created from") == 32
    # A few such lines a second pass the rate limiter: the group source is named too.
    sb.log.wait(rf"^\[WARN\] Drop the frame; source 1:0:5e:0:0:1 is a group address \(from "
                rf"{host}:\d+\)$", ident="veld", level=4)
    # Only the frames of the 32 sessions reached the TAP device.
    sb.wait_until(lambda: sb.link_stats("node", tap)["rx_packets"] - t0["rx_packets"] >= 32,
                  what="32 frames on the TAP device")
    assert sb.link_stats("node", tap)["rx_packets"] - t0["rx_packets"] == 32
