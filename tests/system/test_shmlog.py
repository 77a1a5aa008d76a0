"""veld's usage records in its shared-memory log, as an operator watches them with vellogtail:
exact byte counts for tunnel traffic over each transport, the periodic rounds, and a second veld
that finds the log file locked.

The expected counts come from the frames the test makes: with both ends' neighbour entries
pinned and veltun announcing itself only once, the only frames in the tunnel are veltun's
gratuitous ARP and the pings. Every tunnelled frame adds its length plus the outer headers
(IPv4 + UDP 28, IPv4 + TCP 44; ICMP 28 per address, 32 on the transport with the tunnel magic).
"""

import calendar
import os
import re
import struct
import time

import pytest

from nodenet import (INTERNET_HOST, NODE_TAPIP, TRANSPORTS, NodeNet, client_mac, client_public,
                     client_tapip, ether_ntoa)
from sandbox import build_dir
from usage_helpers import (ADDR_OVERHEAD, CHUNK_HDR, CHUNK_MAGIC, END_MARKER, HEAD_MAGIC,
                           HEAD_SIZE, VSM_PATH, WRAP_MARKER, ping_counts)

SHM_ARG = "2m,64k"

TRANSPORT_OVERHEAD = {"udp": 28, "tcp": 44, "icmp": 32}
ARP_FRAME = 42
TAIL_LINE = re.compile(r"^\s*(\d+) TrafficUsage\s+- (.*)$")


def vellogtail():
    path = os.path.join(build_dir(), "velumond", "vellogtail")
    assert os.access(path, os.X_OK), f"vellogtail is not built in {build_dir()}"
    return path


def ring_records(data):
    """(tag, id, text) of every record in a log file's ring, oldest first (no wrap expected)."""
    magic, hdr, size, _ = struct.unpack_from("<IIII", data, 0)
    assert (magic, hdr, size) == (HEAD_MAGIC, HEAD_SIZE, len(data))
    off = 16
    while off < size:
        cmagic, clen = struct.unpack_from("<II", data, off)
        assert cmagic == CHUNK_MAGIC and clen > 0
        if data[off + 12:off + 20].split(b"\0")[0] == b"Log":
            break
        off += clen
    else:
        raise AssertionError("no log segment in the file")
    pos, end, out = off + CHUNK_HDR + 4, off + clen, []
    while pos < end:
        w0, rid = struct.unpack_from("<II", data, pos)
        if w0 == END_MARKER:
            return out
        assert w0 != WRAP_MARKER, "the ring wrapped"
        n = w0 & 0xffff
        assert (w0 >> 16) & 0xff == 0
        out.append((w0 >> 24, rid, data[pos + 8:pos + 8 + n].decode()))
        pos += 8 + (n + 3) // 4 * 4
    raise AssertionError("the ring has no end marker")


def parse(text, now=None):
    """A usage record as a dict; checks the fields every record shares (`now`: the writer's
    wall clock when it is not the test's)."""
    f = text.split(";")
    assert len(f) == 11 and f[6] in ("K", "U") and f[10] == "D", text
    real = float(f[1])
    assert re.fullmatch(r"\d+\.\d\d", f[1]) and re.fullmatch(r"\d+\.\d\d", f[2]), text
    # The time stamp is the wall-clock field in whole seconds, as UTC.
    stamp = calendar.timegm(time.strptime(f[0], "%a, %d %b %Y %H:%M:%S GMT"))
    assert stamp == int(real), text
    assert abs(real - (time.time() if now is None else now)) < 120, text
    if f[6] == "U":
        assert f[7] == "-", text
    return {"real": real, "mono": float(f[2]), "host": f[3], "port": f[4], "mac": f[5],
            "kind": f[6], "addr": f[7], "rx": int(f[8]), "tx": int(f[9])}


class Tail:
    """vellogtail in the node's namespace, attached to the current log file."""

    def __init__(self, sb):
        self.sb = sb
        self.proc = sb.start("node", [vellogtail()], name="vellogtail")
        # Attached once the file is mapped; records published later are all printed.
        sb.wait_until(self._mapped, 20, "vellogtail to map the log file")

    def _mapped(self):
        if not self.proc.alive():
            raise AssertionError(f"vellogtail ended: {self.proc.stderr()}")
        try:
            with open(f"/proc/{self.proc.pid}/maps") as f:
                return "_.vsm" in f.read()
        except OSError:
            return False

    def records(self):
        out = []
        for line in self.proc.stdout().splitlines():
            m = TAIL_LINE.match(line)
            assert m, f"unexpected vellogtail line {line!r}"
            assert m.group(1) == "0"
            out.append(m.group(2))
        return out


def settle(sb, mark):
    """Waits for an emission round after `mark` that had nothing left to write."""
    sb.log.wait(r"^\[INFO\] Stat is written\. \(nsess \d+, nentry 0\)$", ident="veld", level=6,
                since=mark, timeout=40)


def session_endpoint(sb, i, transport):
    line = sb.log.wait(rf"^\[INFO\] The session \(0x[0-9a-f]+\) {re.escape(ether_ntoa(client_mac(i)))}"
                       rf" is created from ([\d.]+):(\d+) \(mode {transport.upper()} ", ident="veld")
    host, port = re.search(r"created from ([\d.]+):(\d+)", line.msg).groups()
    assert host == client_public(i)
    return port


def pin_neighbours(sb, net, i):
    """Static neighbour entries on both ends, so that no ARP runs through the tunnel."""
    tap = net.tapname()
    mac = re.search(r"link/ether (\S+)", sb.sh("node", f"ip link show dev {tap}")).group(1)
    sb.sh(f"client{i}", f"ip neigh replace {NODE_TAPIP} lladdr {mac} dev vtap0 nud permanent")
    sb.sh("node", f"ip neigh replace {client_tapip(i)} lladdr {client_mac(i)} dev {tap} "
                  "nud permanent")


@pytest.mark.parametrize("transport", TRANSPORTS)
def test_tunnel_traffic_gives_exact_usage_records(sandbox, transport):
    sb = sandbox
    net = NodeNet(sb, clients=1, internet=True)
    net.start_veld("-i", "1", "-l", SHM_ARG)
    tail = Tail(sb)
    net.start_client(0, transport, extra=["-k", "0"])
    port = session_endpoint(sb, 0, transport)
    pin_neighbours(sb, net, 0)

    count, size = 7, 300
    sent, received = ping_counts(net.ping(0, INTERNET_HOST, count=count, size=size))
    assert sent == count and received == count
    mark = sb.log.mark()
    settle(sb, mark)

    frame = 14 + 20 + 8 + size
    a, t = ADDR_OVERHEAD[transport], TRANSPORT_OVERHEAD[transport]
    expected = {
        ("K", client_public(0)): ((ARP_FRAME + t) + sent * (frame + t), received * (frame + t)),
        ("U", "-"): (0, ARP_FRAME + a),
        ("K", INTERNET_HOST): (received * (frame + a), sent * (frame + a)),
    }

    texts = tail.records()
    recs = [parse(x) for x in texts]
    got = {}
    for r in recs:
        assert (r["host"], r["port"], r["mac"]) == (client_public(0), port,
                                                    ether_ntoa(client_mac(0))), r
        k = (r["kind"], r["addr"])
        rx, tx = got.get(k, (0, 0))
        got[k] = (rx + r["rx"], tx + r["tx"])
        assert r["rx"] or r["tx"], r  # nothing is written for zero counters
    assert got == expected

    # vellogtail showed exactly what the ring holds: tag 2, id 0, the same texts.
    raw = ring_records(sb.read_file(VSM_PATH, binary=True))
    assert raw == [(2, 0, x) for x in texts]

    # Rounds: one record per key and round, rounds more than the interval apart, and the
    # counts in the round log lines add up to the records.
    rounds = {}
    for r in recs:
        rounds.setdefault(r["real"], []).append((r["kind"], r["addr"]))
    for keys in rounds.values():
        assert len(keys) == len(set(keys))
    reals = sorted(rounds)
    assert all(b - a > 1 for a, b in zip(reals, reals[1:])), reals
    monos = [next(r["mono"] for r in recs if r["real"] == x) for x in reals]
    assert monos == sorted(monos)
    nentry = sum(int(l.msg.split("nentry ")[1].rstrip(")"))
                 for l in sb.log.find(r"^\[INFO\] Stat is written\. ", ident="veld"))
    assert nentry == len(recs)


def test_silent_session_writes_nothing_more(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    net.start_veld("-i", "1", "-l", SHM_ARG)
    tail = Tail(sb)
    net.start_client(0, "udp", extra=["-k", "0"])
    session_endpoint(sb, 0, "udp")
    # Only the announcement ever crossed: one transport K record and one U record, then
    # rounds that visit the session and write nothing.
    settle(sb, sb.log.mark())
    mark = sb.log.mark()
    settle(sb, mark)
    recs = [parse(x) for x in tail.records()]
    assert sorted((r["kind"], r["addr"], r["rx"], r["tx"]) for r in recs) == [
        ("K", client_public(0), ARP_FRAME + 28, 0), ("U", "-", 0, ARP_FRAME + 28)]
    assert sb.log.find(r"^\[INFO\] Stat is written\. \(nsess 1, nentry 0\)$", ident="veld",
                       since=mark)


def test_second_veld_finds_the_log_locked(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1, internet=True)
    first = net.start_veld("-i", "1", "-l", SHM_ARG)
    tail = Tail(sb)
    net.start_client(0, "udp")
    net.wait_ping(0, INTERNET_HOST)
    settle(sb, sb.log.mark())
    before = os.stat(sb.path(VSM_PATH))
    data = sb.read_file(VSM_PATH, binary=True)
    records = ring_records(data)
    assert records

    pid = int(sb.read_file("/var/run/veld.pid").strip())
    assert pid == first.pid
    second = sb.start("node", [sb.binary("veld"), "-F", "-P", "/var/run/veld-2.pid", "-l", "4m"],
                      name="veld-2")
    assert second.wait(20) == 2
    assert second.stderr().endswith(f"SHMFILE locked by running veld (pid={pid})\n"), \
        second.stderr()

    # The running veld's file is the same file, with the same header and records, and the
    # running veld goes on writing into it.
    after = os.stat(sb.path(VSM_PATH))
    assert (after.st_ino, after.st_size) == (before.st_ino, before.st_size)
    now = sb.read_file(VSM_PATH, binary=True)
    assert now[:16] == data[:16]
    assert ring_records(now)[:len(records)] == records
    assert first.alive()
    n = len(tail.records())
    net.wait_ping(0, INTERNET_HOST)
    sb.wait_until(lambda: len(tail.records()) > n, 30, "records written after the refused start")
    assert any(parse(x)["addr"] == INTERNET_HOST for x in tail.records()[n:])


FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1"
SPEED = 100  # veld's clocks and select() timeouts run this much faster than the test's


def test_silent_session_expires_with_its_final_records(sandbox):
    """A UDP session that falls silent is expired by the first cleanup pass after 600 s of
    silence; the pass writes its counters as the final records. veld runs on a sped-up clock
    (its select() waits shrink alike), so the 600 s take seconds, and time spans in veld's clock
    are SPEED times the test's."""
    sb = sandbox
    assert os.path.exists(FAKETIME_LIB), "libfaketime is missing (scripts/install-deps.sh)"
    net = NodeNet(sb, clients=1, internet=True)
    interval = 400
    mark = sb.log.mark()
    net.start_veld("-c", interval, "-i", "100000", "-l", SHM_ARG,
                   prefix=["env", f"LD_PRELOAD={FAKETIME_LIB}", f"FAKETIME=+0 x{SPEED}"])
    # The first loop turn writes the (empty) first round and starts the cleanup clock.
    start = sb.log.wait(r"^\[INFO\] Stat is written\. \(nsess 0, nentry 0\)$", ident="veld",
                        since=mark).when
    tail = Tail(sb)
    client = net.start_client(0, "udp", extra=["-k", "0"])
    port = session_endpoint(sb, 0, "udp")
    pin_neighbours(sb, net, 0)

    # Passes come every `interval` after the first turn. The last frame goes one interval in,
    # so 600 s later is half-way between two passes: the session must wait for the next one,
    # where a shorter interval would have let it go a good deal sooner.
    count, size = 5, 300
    time.sleep(max(0.0, start + interval / SPEED - (count - 1) * 0.2 - time.monotonic()))
    sent, received = ping_counts(net.ping(0, INTERNET_HOST, count=count, size=size))
    assert sent == count and received == count
    sb.stop(client)
    last = time.monotonic()

    line = sb.log.wait(r"^\[INFO\] The session \(0x[0-9a-f]+\) is timeouted\. ", ident="veld",
                       level=6, timeout=60)
    assert re.fullmatch(rf"\[INFO\] The session \(0x[0-9a-f]+\) is timeouted\. Connection to "
                        rf"{re.escape(client_public(0))}:{port} is cleaned up with 3 entries\.",
                        line.msg), line.msg
    silent, since_start = (line.when - last) * SPEED, (line.when - start) * SPEED
    assert silent > 600 - 20, f"expired after {silent:.0f} s of silence"
    passes = int((last - start) * SPEED + 600) // interval + 1  # first pass after 600 s silence
    assert passes * interval - 10 <= since_start <= passes * interval + 80, \
        f"expired {since_start:.0f} s after start, expected at pass {passes}"

    frame = 14 + 20 + 8 + size
    expected = {
        ("K", client_public(0)): (ARP_FRAME + 28 + sent * (frame + 28), received * (frame + 28)),
        ("U", "-"): (0, ARP_FRAME + 28),
        ("K", INTERNET_HOST): (received * (frame + 28), sent * (frame + 28)),
    }
    wall = time.time() - time.monotonic()
    sb.wait_until(lambda: len(tail.records()) >= 3, 20, "vellogtail to print the final records")
    texts = tail.records()
    recs = [parse(x, now=wall + start + since_start) for x in texts]
    assert {(r["kind"], r["addr"]): (r["rx"], r["tx"]) for r in recs} == expected
    assert len(recs) == 3
    assert all((r["host"], r["port"], r["mac"]) == (client_public(0), port,
                                                   ether_ntoa(client_mac(0))) for r in recs)
    # One flush at expiry: the same clock readings in every record, taken at the pass.
    assert len({(r["real"], r["mono"]) for r in recs}) == 1
    assert ring_records(sb.read_file(VSM_PATH, binary=True)) == [(2, 0, x) for x in texts]
    # No periodic round ran after the first, and the session went only once.
    assert sb.log.count(r"^\[INFO\] Stat is written\. ", ident="veld") == 1
    assert sb.log.count(r" is timeouted\. ", ident="veld") == 1 and net.veld.alive()
