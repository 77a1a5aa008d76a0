"""velmeshd's mesh report end to end: it leaves 300 s after start, so this file takes over five
minutes of real time (run it beside the other tests). Topology and peers as in test_velmeshd.py,
plus the test master server on 443 at the master's address.
"""

import calendar
import os
import time

from masters import MASTER_HOST, MasterRecord, start_velmaster
from test_velmeshd import NODE_NUMBERS, PEERS, MeshNet, node_line

RECORD = "/run/velmaster.jsonl"


def parse_entry(value):
    """address, node number, times, icmp, udp, tcp of one mesh[] value."""
    addr, num, times, icmp, udp, tcp = value.split(";")
    def ints(text):
        assert text.endswith(",") or text == "", text
        return [int(x) for x in text.split(",")[:-1]]
    assert times.endswith("|"), times
    stamps = [calendar.timegm(time.strptime(t, "%a, %d %b %Y %H:%M:%S GMT")) for t in times.split("|")[:-1]]
    return addr, int(num), stamps, ints(icmp), ints(udp), ints(tcp)


def test_report_after_five_minutes(sandbox):
    sb = sandbox
    net = MeshNet(sb)
    net.echo("peer1")
    net.drop_from_node("peer3")
    net.start_veltalkd([node_line(p) for p in ("peer1", "peer2", "peer3")])
    master = MasterRecord(sb, RECORD, start_velmaster(sb, "master", RECORD, alt=False))
    sb.wait_listen("peer1", 10007, "udp")
    started = time.time()
    md = sb.start("node", [sb.binary("velmeshd"), "-F"])

    rep = master.wait("/report/mesh.php", timeout=360)[0]
    assert 295 <= rep["time"] - started <= 320, rep["time"] - started
    headers = {k.lower(): v for k, v in rep["headers"]}
    assert rep["method"] == "POST" and headers["host"] == MASTER_HOST
    assert headers["content-type"] == "application/x-www-form-urlencoded"
    body = rep["body"]
    assert int(headers["content-length"]) == len(body.encode("latin-1"))
    print("\nmesh report body:", body)

    host = os.uname().nodename
    prefix = f"mode=update&hostname={host}&"
    assert body.startswith(prefix) and body.endswith("&"), body
    entries = {}
    for field in body[len(prefix):-1].split("&"):
        name, _, value = field.partition("=")
        assert name == "mesh[]", field
        e = parse_entry(value)
        entries[e[0]] = e
    # Newest first in the table: the list order reversed.
    assert list(entries) == [PEERS["peer3"], PEERS["peer2"], PEERS["peer1"]]

    counts = {len(e[2]) for e in entries.values()}
    assert len(counts) == 1 and 4 <= counts.pop() <= 6, entries
    for peer, ip in PEERS.items():
        addr, num, stamps, icmp, udp, tcp = entries[ip]
        assert num == NODE_NUMBERS[peer]
        assert len(icmp) == len(udp) == len(tcp) == len(stamps)
        assert all(s % 30 == 0 for s in stamps) and stamps == sorted(stamps)
        # A minute apart, each rounded up to the half minute.
        assert all(30 <= b - a <= 90 for a, b in zip(stamps, stamps[1:])), stamps
        assert started - 30 <= stamps[0] <= started + 60
        if peer == "peer1":
            assert all(0 <= v < 2000 for v in icmp + udp + tcp), entries[ip]
        elif peer == "peer2":
            assert all(0 <= v < 2000 for v in icmp + tcp) and udp == [-1] * len(udp), entries[ip]
        else:
            assert icmp == udp == tcp == [-1] * len(icmp), entries[ip]
    assert md.alive()
    assert sb.log.count(r"VELEC_00152", ident="velmeshd") == len(stamps)
