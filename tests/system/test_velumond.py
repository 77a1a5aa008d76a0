"""velumond end to end: the pid-file wait for veld, the shared-memory log followed into daily
files, per-client sums split by the node's country, reports to the test master, the
last-committed time across restarts.

Most tests stand in for veld with `LogWriter`, which holds veld's pid-file lock and writes usage
records into a shared-memory log file of veld's layout, so that the exact record texts are
known. `test_tunnel_traffic_is_reported` runs the real veld with tunnel clients.
"""

import fcntl
import mmap
import os
import random
import re
import struct
import time

import pytest

# The master's addresses compiled into the build; ALT_IP is the alternate endpoint (-S).
from masters import ALT_IP, MASTER_HOST, MASTER_IP, MasterRecord, link_master, start_velmaster
from usage_helpers import (ADDR_OVERHEAD, CHUNK_HDR, CHUNK_MAGIC, END_MARKER, HEAD_MAGIC,
                           HEAD_SIZE, VSM_PATH, node_country, ping_counts)

VELD_PID = "/var/run/veld.pid"
LASTCOMMITTED = "/var/velkarn-server/velumond/t_lastcommitted"
DELIVERED = "/var/velkarn-server/velumond/t_delivered"

# The node country's ranges in the test table, and a host inside and one outside them.
LOCAL_HOST = "1.11.0.7"
REMOTE_HOST = "8.8.4.4"
GEO_CSV = (
    '"1.0.0.0","1.0.0.255","16777216","16777471","AU","Australia"\n'
    '"1.11.0.0","1.11.255.255","17498112","17563647","KR","Korea, Republic of"\n'
    '"8.8.4.0","8.8.4.255","134743040","134743295","US","United States"\n'
    '"175.192.0.0","175.223.255.255","2948595712","2950692863","KR","Korea, Republic of"\n'
)


def utc_stamp(t):
    return time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime(int(t)))


def daily_path(t=None):
    return "/var/velkarn-server/stat_" + time.strftime("%Y%m%d", time.gmtime(t or time.time())) + ".log"


def k_record(t, host, mac, addr, rx, tx):
    return f"{utc_stamp(t)};{t:.2f};{time.monotonic():.2f};{host};40001;{mac};K;{addr};{rx};{tx};D"


def u_record(t, host, mac, rx, tx):
    return f"{utc_stamp(t)};{t:.2f};{time.monotonic():.2f};{host};40001;{mac};U;-;{rx};{tx};D"


class LogWriter:
    """Stands in for veld: holds the lock of /var/run/veld.pid and writes records into a
    shared-memory log file of veld's layout (one "Log" chunk over the whole file)."""

    def __init__(self, sb, size=1 << 20):
        self.sb = sb
        self.size = size
        self.lock_fd = None
        self.mm = None
        self.fd = None

    def lock(self):
        fd = os.open(self.sb.path(VELD_PID), os.O_RDWR | os.O_CREAT, 0o644)
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        os.ftruncate(fd, 0)
        os.pwrite(fd, str(os.getpid()).encode(), 0)
        self.lock_fd = fd

    def unlock(self):
        if self.lock_fd is not None:
            os.close(self.lock_fd)
            self.lock_fd = None

    def create(self):
        """A new file (new inode), as veld makes at every start."""
        path = self.sb.path(VSM_PATH)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if os.path.exists(path):
            os.unlink(path)
        fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_EXCL, 0o644)
        os.ftruncate(fd, self.size)
        mm = mmap.mmap(fd, self.size)
        struct.pack_into("<IIII", mm, 0, HEAD_MAGIC, HEAD_SIZE, self.size, 0)
        struct.pack_into("<III8s8s64s", mm, 16, CHUNK_MAGIC, self.size - 16, 0, b"Log", b"", b"")
        self.start = 16 + CHUNK_HDR  # the seq word
        self.end = 16 + (self.size - 16)
        self.ptr = self.start + 4
        struct.pack_into("<I", mm, self.ptr, END_MARKER)
        struct.pack_into("<I", mm, self.start, random.randint(1, 65535))
        struct.pack_into("<I", mm, 12, random.randint(1, 0xFFFFFFFF))
        if self.mm is not None:
            self.mm.close()
            os.close(self.fd)
        self.mm, self.fd = mm, fd

    def record(self, text, tag=2):
        data = text.encode()
        size = 8 + ((len(data) + 3) & ~3)
        assert self.ptr + size < self.end, "test log full"
        rec = self.ptr
        self.ptr += size
        struct.pack_into("<I", self.mm, self.ptr, END_MARKER)
        self.mm[rec + 8:rec + 8 + len(data)] = data
        struct.pack_into("<I", self.mm, rec + 4, 0)
        struct.pack_into("<I", self.mm, rec, (tag << 24) | len(data))

    def damage(self):
        """Publishes a header veld never writes (bits 23-16 set) where the next record goes."""
        struct.pack_into("<I", self.mm, self.ptr, (2 << 24) | (0xAB << 16) | 40)

    def close(self):
        if self.mm is not None:
            self.mm.close()
            os.close(self.fd)
            self.mm = None
        self.unlock()


def body_of(req):
    return req["body"]


def results(req):
    """The result lines of one umon report as (mac, li, lo, ri, ro, src, dst) tuples."""
    body = body_of(req)
    assert body.endswith("&"), body
    out = []
    for part in body[:-1].split("&"):
        name, _, value = part.partition("=")
        assert name == "result[]", part
        mac, li, lo, ri, ro, src, dst = value.split(";")
        out.append((mac, int(li), int(lo), int(ri), int(ro), src, dst))
    return out


@pytest.fixture
def node(sandbox):
    sb = sandbox
    sb.netns("node")
    node_country(sb, GEO_CSV, "KR\n")
    return sb


def run_master(sb, answer=None, listen=MASTER_IP, control=None):
    """velmaster in the "master" namespace, recording every request; its usage reports read back."""
    extra = ["--answer", f"/report/umon.php={answer}"] if answer is not None else []
    record = "/run/velmaster.jsonl"
    proc = start_velmaster(sb, "master", record, control, listen=(listen,), extra=extra)
    return MasterRecord(sb, record, proc, default="/report/umon.php")


def start_master(sb, status=None):
    link_master(sb)
    return run_master(sb, status)


def start_velumond(sb, *args):
    p = sb.start("node", [sb.binary("velumond"), "-F", *args])
    return p


def wait_reading(sb, proc, timeout=30):
    """Until velumond's shmlog thread has positioned itself in the log (the daily file exists)."""
    sb.wait_until(lambda: sb.exists(daily_path()) or not proc.alive(), timeout,
                  "velumond's daily file")
    assert proc.alive(), proc.stderr()


@pytest.fixture
def writer(node):
    """The stand-in for veld; its lock and log are let go when the test ends."""
    w = LogWriter(node)
    try:
        yield w
    finally:
        w.close()


def reading_velumond(sb, writer, *args):
    """velumond started against a locked, fresh log and reading it."""
    writer.lock()
    writer.create()
    um = start_velumond(sb, *args)
    wait_reading(sb, um)
    return um


def headers_of(req):
    return dict((k.lower(), v) for k, v in req["headers"])


def wait_committed(sb, t):
    sb.wait_until(lambda: sb.exists(LASTCOMMITTED), 10, "the last-committed file")
    assert sb.read_file(LASTCOMMITTED) == str(int(t))


# One client of the stand-in's records, and its MAC as velumond reports it.
HOST = "198.51.100.7"
MAC = "02:00:00:00:00:07"
MAC_OUT = "2:0:0:0:0:7"


def test_waits_for_veld_then_starts_three_seconds_after_its_lock(node, writer):
    sb = node
    writer.create()
    um = start_velumond(sb)
    um.wait_stderr(r"^\[WARN\] veld isn't running\.\.\. Waits for 5 seconds\.$", timeout=10)
    # The probe takes no pid file of its own away with it.
    assert not sb.exists(VELD_PID)
    um.wait_stderr(r"(?s)Waits for 5 seconds\..*Waits for 5 seconds\.", timeout=12)
    writer.lock()
    locked = time.monotonic()
    sb.wait_until(lambda: sb.exists(daily_path()), 20, "the daily file")
    waited = time.monotonic() - locked
    # up to 5 s until the next probe, then 3 s
    assert 3.0 <= waited <= 10.0, waited
    assert um.alive()
    sb.log.wait(r"^2 GeoCountry loaded\.$", ident="velumond", level=6)
    # its own pid file holds a pid without a newline
    assert re.fullmatch(r"\d+", sb.read_file("/var/run/velumond.pid"))


def test_exits_when_veld_holds_its_lock_without_a_log(node, writer):
    sb = node
    writer.lock()
    um = start_velumond(sb)
    assert um.wait(15) == 1
    assert "Cannot open /var/velkarn-server/veld/_.vsm: No such file or directory" in um.stderr()


def test_start_up_failures(node, writer):
    sb = node
    r = sb.run("node", [sb.binary("velumond"), "-x"])
    assert r.returncode == 1
    assert r.stderr.endswith("usage: velumond [options]\n"
                             "    -F                           # Run in foreground\n"
                             "    -P file                      # PID file\n")
    r = sb.run("node", [sb.binary("velumond"), "-F", "extra"])
    assert r.returncode == 1
    assert r.stderr.startswith("Too many arguments (extra...)\nusage: velumond [options]\n")

    # without a node country the GeoIP load ends the process
    writer.lock()
    writer.create()
    sb.remove("/etc/velkarn-server/country")
    um = start_velumond(sb)
    assert um.wait(15) == 1
    sb.log.wait(r"^\[ERROR\] Failed to open /etc/velkarn-server/country: 2 No such file",
                ident="velumond", level=3)


def test_records_go_to_the_daily_file_and_restarts_of_veld_are_followed(node, writer):
    sb = node
    writer.lock()
    writer.create()
    writer.record("written before velumond: never delivered")
    um = start_velumond(sb)
    wait_reading(sb, um)
    now = time.time()
    lines = [k_record(now, HOST, MAC, LOCAL_HOST, 100, 200), u_record(now, HOST, MAC, 42, 0)]
    for l in lines:
        writer.record(l)
    writer.record("a debug record", tag=0)
    path = daily_path()
    sb.wait_until(lambda: sb.read_file(path).count("\n") >= 2, 10, "two lines in the day file")
    assert sb.read_file(path) == "".join(l + "\n" for l in lines)
    um.wait_stdout(r"^a debug record$", timeout=15)

    # veld restarts: a new file with a new inode, followed without restarting velumond
    writer.create()
    later = k_record(time.time(), "198.51.100.8", "02:00:00:00:00:08", REMOTE_HOST, 5, 6)
    writer.record(later)
    sb.wait_until(lambda: later in sb.read_file(path), 20, "the record of the new log")
    assert sb.read_file(path) == "".join(l + "\n" for l in lines + [later])
    assert um.alive()


def test_damaged_record_is_filed_once_and_veld_restarts_are_still_followed(node, writer):
    sb = node
    um = reading_velumond(sb, writer)
    now = time.time()
    lines = [k_record(now, HOST, MAC, REMOTE_HOST, 1, 2), k_record(now, HOST, MAC, LOCAL_HOST, 3, 4)]
    for l in lines:
        writer.record(l)
    writer.damage()
    path = daily_path()
    sb.log.wait(r"^\[WARN\] Shared-memory log: damaged record at offset \d+; ", ident="velumond",
                level=4, timeout=15)
    time.sleep(1)
    assert sb.read_file(path) == "".join(l + "\n" for l in lines)

    # the shmlog thread still idles, so a restarted veld's new log is found
    writer.create()
    later = k_record(time.time(), HOST, MAC, REMOTE_HOST, 5, 6)
    writer.record(later)
    sb.wait_until(lambda: later in sb.read_file(path), 20, "the record of the new log")
    assert sb.read_file(path) == "".join(l + "\n" for l in lines + [later])
    assert sb.log.count(r"Shared-memory log: damaged", ident="velumond") == 1
    assert um.alive()


def test_fifo_in_place_of_the_daily_file_is_refused(node, writer):
    sb = node
    writer.lock()
    writer.create()
    path = daily_path()
    os.makedirs(os.path.dirname(sb.path(path)), exist_ok=True)
    os.mkfifo(sb.path(path))
    um = start_velumond(sb)
    # both threads refuse it and go on waiting
    sb.log.wait("^\\[ERROR\\] " + re.escape(path) + " is not a regular file$", ident="velumond",
                level=3, count=2, timeout=20)
    assert um.alive(), um.stderr()
    sb.remove(path)
    sb.wait_until(lambda: os.path.isfile(sb.path(path)), 20, "a regular daily file")
    line = k_record(time.time(), HOST, MAC, REMOTE_HOST, 7, 8)
    writer.record(line)
    sb.wait_until(lambda: line in sb.read_file(path), 20, "the record in the daily file")
    assert um.alive()


def test_daily_file_is_reported_with_local_and_remote_sums(node, writer):
    sb = node
    master = start_master(sb)
    reading_velumond(sb, writer)
    now = time.time()
    mac_a, mac_b = "02:00:00:0a:0b:0c", "02:00:00:00:00:01"
    recs = [
        k_record(now, HOST, mac_a, HOST, 1000, 2000),  # transport
        k_record(now, HOST, mac_a, LOCAL_HOST, 100, 200),
        k_record(now, HOST, mac_a, "175.200.1.1", 1, 2),
        k_record(now, HOST, mac_a, REMOTE_HOST, 30, 40),
        u_record(now, HOST, mac_a, 70, 0),
        k_record(now, "198.51.100.9", mac_b, LOCAL_HOST, 5, 6),
        k_record(now, HOST, mac_a, LOCAL_HOST, 11, 22),
        f"{utc_stamp(now)};1;2;{HOST};40001;;K;{LOCAL_HOST};1;1;D",  # empty MAC
    ]
    for r in recs:
        writer.record(r)
    sb.wait_until(lambda: master.requests(), 30, "a usage report")
    got = []
    for req in master.requests():
        got += results(req)
    assert sorted(got) == sorted([
        ("2:0:0:a:b:c", 0, 0, 1000, 2000, HOST, HOST),
        ("2:0:0:a:b:c", 111, 222, 0, 0, HOST, LOCAL_HOST),
        ("2:0:0:a:b:c", 1, 2, 0, 0, HOST, "175.200.1.1"),
        ("2:0:0:a:b:c", 0, 0, 30, 40, HOST, REMOTE_HOST),
        ("2:0:0:a:b:c", 70, 0, 0, 0, HOST, "255.255.255.255"),
        ("2:0:0:0:0:1", 5, 6, 0, 0, "198.51.100.9", LOCAL_HOST),
    ])
    sb.log.wait(rf"^Unexpected ltype: {re.escape(LOCAL_HOST)}$", ident="velumond", level=4)
    headers = headers_of(master.requests()[0])
    assert headers["host"] == MASTER_HOST
    assert headers["content-type"] == "application/x-www-form-urlencoded"
    wait_committed(sb, now)


def test_status_500_still_counts_as_delivered(node, writer):
    sb = node
    master = start_master(sb, status=500)
    reading_velumond(sb, writer)
    now = time.time()
    writer.record(k_record(now, HOST, MAC, REMOTE_HOST, 3, 4))
    sb.log.wait(r"^\[WARN\] Unexpected HTTP status: 500$", ident="velumond", level=4, timeout=30)
    wait_committed(sb, now)
    # the list was cleared: later reports carry only later records
    writer.record(k_record(now + 1, HOST, MAC, REMOTE_HOST, 7, 8))
    sb.wait_until(lambda: len(master.requests()) >= 2, 30, "a second report")
    assert results(master.requests()[1]) == [(MAC_OUT, 0, 0, 7, 8, HOST, REMOTE_HOST)]


def test_unreachable_master_keeps_the_list(node, writer):
    sb = node
    link_master(sb)
    reading_velumond(sb, writer)
    now = time.time()
    writer.record(k_record(now, HOST, MAC, REMOTE_HOST, 3, 4))
    mark = sb.log.mark()
    sb.log.wait(r"^VSS_open\(2\) error: 111 Connection refused$", ident="velumond",
                level=4, since=mark, timeout=30)
    writer.record(k_record(now + 1, HOST, MAC, REMOTE_HOST, 10, 20))
    writer.record(k_record(now + 1, HOST, "02:00:00:00:00:08", LOCAL_HOST, 1, 2))
    sb.log.wait(r"^VSS_open\(2\) error", ident="velumond", since=sb.log.mark(), timeout=30)
    assert not sb.exists(LASTCOMMITTED)
    master = run_master(sb)
    sb.wait_until(lambda: master.requests(), 30, "the delayed report")
    assert sorted(results(master.requests()[0])) == sorted([
        (MAC_OUT, 0, 0, 13, 24, HOST, REMOTE_HOST),
        ("2:0:0:0:0:8", 1, 2, 0, 0, HOST, LOCAL_HOST),
    ])


def test_alternate_endpoint_keeps_the_host_name(node, writer):
    sb = node
    link_master(sb, alt=True)
    master = run_master(sb, listen=ALT_IP)  # nothing answers on the host name's address
    reading_velumond(sb, writer, "-S")
    writer.record(k_record(time.time(), HOST, MAC, REMOTE_HOST, 3, 4))
    sb.wait_until(lambda: master.requests(), 30, "a report on the alternate address")
    req = master.requests()[0]
    assert headers_of(req)["host"] == MASTER_HOST
    assert results(req) == [(MAC_OUT, 0, 0, 3, 4, HOST, REMOTE_HOST)]


def test_restart_does_not_report_older_records_again(node, writer):
    sb = node
    master = start_master(sb)
    um = reading_velumond(sb, writer)
    t1 = time.time() - 60
    writer.record(k_record(t1, HOST, MAC, REMOTE_HOST, 3, 4))
    writer.record(k_record(t1 + 30, HOST, MAC, REMOTE_HOST, 5, 6))
    sb.wait_until(lambda: master.requests(), 30, "the first report")
    wait_committed(sb, t1 + 30)
    sb.stop(um)

    pos = sb.read_file(DELIVERED).split()
    assert pos[0] == os.path.basename(daily_path()) and pos[2] == str(int(t1 + 30)), pos

    um = start_velumond(sb)
    sb.log.wait(r"^\[INFO\] Resuming " + re.escape(daily_path()) +
                r" after its delivered lines \(offset " + pos[1] + r"\)\.$", ident="velumond",
                level=6, timeout=20)
    # nothing delivered is counted again, not even the record at the committed time
    time.sleep(7)
    assert len(master.requests()) == 1
    writer.record(k_record(t1 + 30, HOST, MAC, REMOTE_HOST, 7, 8))
    sb.wait_until(lambda: len(master.requests()) >= 2, 30, "the report after the restart")
    assert results(master.requests()[1]) == [(MAC_OUT, 0, 0, 7, 8, HOST, REMOTE_HOST)]


# ---- the real veld with tunnel clients ------------------------------------------------------


def test_tunnel_traffic_is_reported(sandbox):
    from nodenet import NodeNet, client_mac, client_public, ether_ntoa, NODE_TAPIP, INTERNET_HOST

    sb = sandbox
    net = NodeNet(sb, clients=2, internet=True)
    # a second internet host, outside the node country's range
    outside = "203.0.113.81"
    sb.addr_add("internet", "eth0", f"{outside}/24")
    node_country(sb, f'"{INTERNET_HOST}","{INTERNET_HOST}","1","1","KR","Korea, Republic of"\n'
                     f'"{outside}","{outside}","2","2","JP","Japan"\n')
    link_master(sb)
    master = run_master(sb)

    net.start_veld("-i", "2", "-l", "2m,64k")
    try:
        sb.wait_until(lambda: sb.exists(VSM_PATH), 10, "veld's shared-memory log")
    except AssertionError:
        pytest.skip("this veld publishes no shared-memory log")
    um = start_velumond(sb)
    wait_reading(sb, um)

    transports = {0: "udp", 1: "tcp"}
    counts = {0: {INTERNET_HOST: 3, outside: 2}, 1: {INTERNET_HOST: 2, outside: 4}}
    size = 100  # ICMP payload: 142-byte Ethernet frames
    frame = 14 + 20 + 8 + size
    expected = {}
    for i, tr in transports.items():
        net.start_client(i, tr)
        net.wait_ping(i, NODE_TAPIP)
        for dst, n in counts[i].items():
            sent, received = ping_counts(net.ping(i, dst, count=n, size=size))
            assert sent == n
            per = frame + ADDR_OVERHEAD[tr]
            key = (ether_ntoa(client_mac(i)), client_public(i), dst)
            if dst == INTERNET_HOST:
                expected[key] = (received * per, sent * per, 0, 0)
            else:
                expected[key] = (0, 0, received * per, sent * per)

    def sums():
        total = {}
        for req in master.requests():
            for mac, li, lo, ri, ro, src, dst in results(req):
                t = total.setdefault((mac, src, dst), [0, 0, 0, 0])
                for j, v in enumerate((li, lo, ri, ro)):
                    t[j] += v
        return total

    sb.wait_until(lambda: all(tuple(sums().get(k, ())) == v for k, v in expected.items()), 60,
                  "reported sums that match the pings")
    time.sleep(6)  # later rounds add nothing for these addresses
    got = sums()
    for k, v in expected.items():
        assert tuple(got[k]) == v, (k, got[k], v)
    # the transport itself is counted under the client's own address, as remote traffic
    for i in transports:
        t = got[(ether_ntoa(client_mac(i)), client_public(i), client_public(i))]
        assert t[0] == 0 and t[1] == 0 and t[2] > 0 and t[3] > 0, t

    # veld restarts (a new log file, a new inode): velumond follows without a restart
    sb.stop(net.veld)
    net.start_veld("-i", "2", "-l", "2m,64k")
    sb.sh("client0", "ip neigh flush dev vtap0")  # the new TAP device has a new MAC
    net.wait_ping(0, NODE_TAPIP)
    sent, received = ping_counts(net.ping(0, INTERNET_HOST, count=2, size=size))
    per = frame + ADDR_OVERHEAD["udp"]
    key = (ether_ntoa(client_mac(0)), client_public(0), INTERNET_HOST)
    li, lo, _, _ = expected[key]
    expected[key] = (li + received * per, lo + sent * per, 0, 0)
    sb.wait_until(lambda: tuple(sums().get(key, ())) == expected[key], 60,
                  "the sums of the restarted veld's records")
    assert um.alive()
