"""velrttd against the veltalkd stand-in and real endpoints, each in a namespace of its own.

Topology: "node" runs velrttd; "master" (192.0.2.10, the build's VEL_MASTER_IP) runs
tools/veltalkd.py on port 10010; "peer" (198.51.100.9) holds the endpoints to measure: a TCP
listener, a closed TCP port, a TCP port behind an iptables DROP rule, a UDP responder that
answers after 200 ms and a closed UDP port. Delays come from the user-space responder (no netem
here). Each cycle of velrttd is told apart in the stand-in's record by its connection numbers:
the report connection is the one right after the fetch connection.
"""

import os
import re
import time

from masters import MASTER_IP, link_master, records, start_veltalkd
from sandbox import binary, wait_until

PEER = "198.51.100.9"
RESERVED = "/run/veltalkd/reserved"
RECORD = "/run/veltalkd/record.jsonl"
RU_RE = re.compile(r"^RU (\S+) (\S+) (\d+) (-?\d+\.\d{6}) 0\.0\r\n$")

# The peer's endpoints: TCP 443 accepts, UDP 10007 answers each datagram after 200 ms (and
# prints what it got); everything else is closed.
RESPONDER = r"""
import socket, sys, threading, time
t = socket.socket(); t.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
t.bind(("0.0.0.0", 443)); t.listen(16)
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); u.bind(("0.0.0.0", 10007))
def tcp():
    while True:
        c, _ = t.accept(); c.close()
threading.Thread(target=tcp, daemon=True).start()
while True:
    data, peer = u.recvfrom(65536)
    print("udp %r" % data, flush=True)
    time.sleep(0.2)
    u.sendto(data, peer)
"""


class Rig:
    def __init__(self, sb, with_peer=True):
        self.sb = sb
        sb.netns("node")
        link_master(sb)
        if with_peer:
            sb.netns("peer")
            sb.link("node", "198.51.100.1/24", "peer", PEER + "/24")
        self.talk = None

    def reserved(self, text):
        """Replaces the stand-in's answer at once (it reads the file at every request)."""
        self.sb.write_file(RESERVED + ".new", text)
        os.rename(self.sb.path(RESERVED + ".new"), self.sb.path(RESERVED))

    def start_talk(self):
        self.talk = start_veltalkd(self.sb, "master", RECORD, "--reserved", RESERVED)

    def start_rttd(self, *args):
        return self.sb.start("node", [binary("velrttd"), "-F", *args])

    def cycle_after(self, t0, timeout=30):
        """The first complete cycle whose fetch came after t0: (R2 record, report records)."""
        def find():
            recs = records(self.sb, RECORD)
            fetch = next((r for r in recs if r["kind"] == "R2" and r["time"] > t0), None)
            if fetch is None:
                return None
            # (connection numbers start again when the stand-in restarts)
            report = [r for r in recs
                      if r["conn"] == fetch["conn"] + 1 and r["time"] >= fetch["time"]]
            if not any(r["kind"] in ("close", "timeout") for r in report):
                return None
            return fetch, report
        return wait_until(find, timeout, "a velrttd cycle after the answer changed")


def ru_lines(report):
    """RU lines of a report connection, each checked whole, as (num, ip, port, rtt)."""
    out = []
    for r in report:
        assert r["kind"] not in ("partial", "other", "overlong"), r
        if r["kind"] == "RU":
            m = RU_RE.match(r["line"])
            assert m, r["line"]
            out.append((m.group(1), m.group(2), int(m.group(3)), float(m.group(4))))
    return out


def test_measures_tcp_and_udp_endpoints_and_reports_each_reserved_node(sandbox):
    rig = Rig(sandbox)
    sandbox.sh("peer", "iptables -A INPUT -p tcp --dport 445 -j DROP")
    responder = sandbox.start("peer", ["/usr/bin/python3", "-c", RESPONDER], name="responder")
    sandbox.wait_listen("peer", 443)
    sandbox.wait_listen("peer", 10007, "udp")
    rig.reserved(
        f"R2 7 inet {PEER} 443 TCP\r\n"
        f"R2 8 inet {PEER} 443 TCP\r\n"      # shares 7's backend
        f"R2 9 inet {PEER} 444 TCP\r\n"      # refused
        f"R2 10 inet {PEER} 445 TCP\r\n"     # dropped
        f"R2 11 inet {PEER} 10007 UDP\n"     # answers after 200 ms
        f"R2 12 inet {PEER} 10009 UDP\r\n"   # port unreachable
        f"R2 13 inet {PEER} 443 tcp\r\n"     # not measured
        f"R2 7 inet {PEER} 10007 UDP\r\n"    # repeated num: ignored
        f"R2 14 inet {PEER}\r\n")            # too short: skipped
    rig.start_talk()
    t0 = time.time()
    rttd = rig.start_rttd("-vv")  # to VEL_MASTER_IP:10010 by default

    fetch, report = rig.cycle_after(0, timeout=40)
    assert fetch["line"] == "R2\r\n"
    lines = ru_lines(report)
    assert [l[:3] for l in lines] == [(n, PEER, p) for n, p in (
        ("7", 443), ("8", 443), ("9", 444), ("10", 445), ("11", 10007), ("12", 10009),
        ("13", 443))]
    rtt = {num: r for num, _, _, r in lines}
    assert rtt["7"] == rtt["8"] and 0 < rtt["7"] < 1000
    assert 0 < rtt["9"] < 1000                # the time until the refusal, not -1
    assert 2990 <= rtt["10"] < 3500           # the time waited
    assert 195 <= rtt["11"] < 1000
    assert 0 < rtt["12"] < 1000               # the port-unreachable error ends the wait
    assert rtt["13"] == -1.0
    log = sandbox.log  # the reader's own lines are unit-tested
    assert log.find(r"^\[WARN\] Static RTT 198\.51\.100\.9:445 timeout$", "velrttd", 4)
    assert log.count(r"Static RTT .* timeout", "velrttd") == 1
    assert log.find(r"^\[ERROR\] Wrong RTTcal proto tcp$", "velrttd", 3)
    assert log.count(r"^\[INFO\] Static RTT 198\.51\.100\.9:443 ==> ", "velrttd") == 1
    assert log.find(r"^\[INFO\] Reserved RU 13 198\.51\.100\.9 443 -1\.000000$", "velrttd", 6)
    assert not log.find(r"Fetching", "velrttd")  # phase lines need -vvv
    # one "1234" per cycle reached the UDP responder; one cycle is six seconds and more
    assert responder.stdout().startswith("udp b'1234'\n")
    assert report[0]["time"] - t0 >= 6
    assert rttd.alive


def test_bad_answers_and_a_missing_veltalkd_end_the_cycle_not_the_daemon(sandbox):
    rig = Rig(sandbox, with_peer=False)
    ep = f"inet {MASTER_IP} 9 UDP"  # closed port: measured at once
    # a stand-in that closes mid-line (the reader's other bad inputs are unit-tested)
    rig.reserved(f"R2 1 {ep}\n#!raw R2 2 inet {MASTER_IP} 9\n#!close\n")
    rig.start_talk()
    rttd = rig.start_rttd("-vvv", "-s", "5", "-r", "1", "-2")
    _, report = rig.cycle_after(0)
    assert [l[0] for l in ru_lines(report)] == ["1"]
    assert sandbox.read_file("/var/run/velrttd.pid") == str(rttd.pid)  # the lock is lib-tested
    for phase in ("Fetching the reserved nodes...", "Testing the reserved nodes...",
                  "Calculating the reserved nodes...", "Reporting the resule..."):
        assert sandbox.log.find(r"^\[INFO\] " + re.escape(phase) + "$", "velrttd", 6), phase

    # veltalkd gone: both connections fail with their warning, the cycle goes on
    sandbox.stop(rig.talk)
    mark = sandbox.log.mark()
    sandbox.log.wait(r"^connect\(2\): Connection refused$", ident="velrttd", level=4, since=mark,
                     count=4, timeout=30)
    assert rttd.alive
    rig.reserved(f"R2 5 {ep}\n")
    rig.start_talk()
    _, report = rig.cycle_after(time.time())
    assert [l[0] for l in ru_lines(report)] == ["5"]


def test_command_line(sandbox):
    sandbox.netns("node")
    usage = ("usage: velrttd [options]\n"
             "    -F                           # Runs at forground\n"
             "    -p veltalkd_port             # Sets veltalkd port\n"
             "    -P pid                       # Sets PID file\n"
             "    -r velrttd_port              # Sets velrttd port\n"
             "    -s sleeptime                 # Sets RTT test interval\n"
             "    -S veltalkd_ip               # Sets veltalkd IP address\n"
             "    -v                           # Increase the verbosity\n")
    prog = binary("velrttd")
    r = sandbox.run("node", [prog, "-x"])
    assert (r.returncode, r.stderr) == (1, prog + ": invalid option -- 'x'\n" + usage)
    r = sandbox.run("node", [prog, "-2", "-F", "word"])
    assert (r.returncode, r.stderr) == (
        1, "[WARN] -2 option is deprecated.\nToo many arguments (word...)\n" + usage)
    r = sandbox.run("node", [prog, "-F", "-S", "talk.example"])
    assert (r.returncode, r.stderr) == (1, "Invalid veltalkd IP address: talk.example\n" + usage)
    assert not sandbox.exists("/var/run/velrttd.pid")
