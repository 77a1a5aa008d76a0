"""velumond (and veld) killed with SIGKILL at random moments, against the stand-in writer and
against the real veld carrying tunnel traffic: nothing is lost or counted twice. Nearly three
minutes, so these run beside the other files."""

import os
import random
import signal
import time

import pytest

from sandbox import build_dir
# node and writer are the fixtures of test_velumond.py, used here by name.
from test_velumond import (CSV_PATH, HOST, MAC, REMOTE_HOST, daily_path, k_record, link_master,
                           node, reading_velumond, results, run_master, start_master,
                           start_velumond, wait_reading, writer)
from usage_helpers import VSM_PATH


@pytest.mark.parametrize("kill_veld", [False, True], ids=["velumond", "both"])
def test_sigkilled_velumond_with_real_veld_loses_and_repeats_nothing(sandbox, kill_veld):
    """Tunnel traffic through the real veld (usage every second) while velumond is killed with
    SIGKILL at random moments and restarted (in the second run veld too, twice): a follower of
    veld's log that is never killed is the reference; the daily file holds exactly its records,
    and the master's sums are theirs. A killed veld loses only the counters it had not written."""
    from nodenet import NodeNet, INTERNET_HOST

    sb = sandbox
    net = NodeNet(sb, clients=1, internet=True)
    sb.write_file("/etc/velkarn-server/country", "KR")
    sb.write_file(CSV_PATH, f'"{INTERNET_HOST}","{INTERNET_HOST}","1","1","KR","Korea"\n')
    link_master(sb)
    master = run_master(sb)
    net.start_veld("-i", "1", "-l", "2m,64k")
    sb.wait_until(lambda: sb.exists(VSM_PATH), 10, "veld's shared-memory log")
    um = start_velumond(sb)
    wait_reading(sb, um)
    follower = sb.start("node", [os.path.join(build_dir(), "velumond", "vellogtail")],
                        name="vellogtail")
    time.sleep(1)

    net.start_client(0, "udp")
    net.wait_ping(0, INTERNET_HOST)
    pinger = sb.start("client0", ["ping", "-n", "-q", "-i", "0.05", "-s", "200", INTERNET_HOST],
                      name="ping")
    rnd = random.Random(13)
    # Each velumond lives past its 3 s wait for veld, so kills meet reads, appends and reports.
    kills = 8
    for k in range(kills):
        time.sleep(rnd.uniform(3.2, 6.0))
        um.signal(signal.SIGKILL)
        um.wait()
        if kill_veld and k in (2, 5):
            # a new log file; the client learns the new TAP device's address
            net.veld.signal(signal.SIGKILL)
            net.veld.wait()
            net.start_veld("-i", "1", "-l", "2m,64k")
            sb.sh("client0", "ip neigh flush dev vtap0")
        time.sleep(rnd.uniform(0, 1.5))
        um = start_velumond(sb)
    time.sleep(2)
    sb.stop(pinger)

    def reference():
        return [l.split(" TrafficUsage - ", 1)[1] for l in follower.stdout().splitlines()
                if " TrafficUsage - " in l]

    path = daily_path()

    def total(lines):
        t = 0
        for l in lines:
            f = [x for x in l.split(";") if x]
            if f[6] == "K":
                t += int(f[8]) + int(f[9])
            else:
                t += int(f[8]) + int(f[9]) if f[7] == "-" else int(f[7]) + int(f[8])
        return t

    def reported():
        return sum(r[1] + r[2] + r[3] + r[4] for req in master.requests() for r in results(req))

    # veld may still write a record or two after the traffic (ARP): compare once the reference
    # has stayed the same through a whole report period
    for _ in range(4):
        records = reference()
        sb.wait_until(lambda: sb.read_file(path).splitlines() == records, 60,
                      "the daily file to hold exactly the follower's records")
        want = total(records)
        sb.wait_until(lambda: reported() >= want, 30, "every record reported")
        time.sleep(6)
        if reference() == records:
            break
    assert want > 0
    assert sb.read_file(path).splitlines() == records
    assert reported() == want
    print(f"{len(records)} records of {want} bytes, {kills} kills of velumond, "
          f"{2 if kill_veld else 0} of veld, {len(master.requests())} reports")
    assert um.alive()


def test_sigkilled_velumond_files_and_reports_every_record_once(node, writer):
    """velumond killed with SIGKILL at random moments while records keep coming: the daily file
    holds every record once, in order, and the master's sums count each once."""
    sb = node
    master = start_master(sb)
    um = reading_velumond(sb, writer)
    rnd = random.Random(12)
    written = []

    def burst(n):
        for _ in range(n):
            rx = len(written) + 1
            line = k_record(time.time(), HOST, MAC, REMOTE_HOST, rx, 1)
            writer.record(line)
            written.append(line)
            time.sleep(rnd.uniform(0, 0.03))

    for _ in range(6):
        burst(rnd.randint(5, 40))
        um.signal(signal.SIGKILL)
        um.wait()
        burst(rnd.randint(0, 10))  # while velumond is down
        um = start_velumond(sb)
        burst(rnd.randint(0, 20))  # while it starts
    burst(5)
    path = daily_path()
    want = "".join(l + "\n" for l in written)
    sb.wait_until(lambda: len(sb.read_file(path)) >= len(want), 30, "every record filed")
    assert sb.read_file(path) == want

    n = len(written)

    def sums():
        ri = ro = 0
        for req in master.requests():
            for r in results(req):
                ri += r[3]
                ro += r[4]
        return ri, ro

    sb.wait_until(lambda: sums() >= (n * (n + 1) // 2, n), 30, "every record reported")
    time.sleep(6)
    assert sums() == (n * (n + 1) // 2, n)
    assert um.alive()
