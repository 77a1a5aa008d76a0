"""velumond (and veld) killed with SIGKILL at random moments, in the middle of reports and of
appends to the daily file, against the stand-in writer and against the real veld carrying tunnel
traffic: nothing is lost or counted twice. A few minutes, so these run beside the other files."""

import collections
import json
import os
import random
import signal
import time

import pytest

from sandbox import build_dir, wait_until
# node and writer are the fixtures of test_velumond.py, used here by name.
from test_velumond import (HOST, MAC, REMOTE_HOST, daily_path, k_record, link_master, node,
                           reading_velumond, results, run_master, start_master, start_velumond,
                           wait_reading, writer)
from usage_helpers import VSM_PATH, node_country


# Kills per run; VEL_KILL_ROUNDS=60 makes a long run by hand (pytest -s prints the figures).
KILL_ROUNDS = int(os.environ.get("VEL_KILL_ROUNDS", "15"))
# VEL_KILL_TOGETHER=1: veld is killed right after velumond, as a power cut would (by hand only:
# what veld wrote that velumond had not read yet is lost with veld's log, and only measured).
KILL_TOGETHER = os.environ.get("VEL_KILL_TOGETHER") == "1"
CONTROL = "/run/velmaster-control.json"
ANSWER_DELAY = 1.5  # seconds the master holds every usage report open


def record_key_sums(lines):
    """{(mac, src, dst): [in, out]} of veld's usage records, as the master's results name them."""
    sums = {}
    for l in lines:
        f = [x for x in l.split(";") if x]
        if f[6] == "K":
            dst, rx, tx = f[7], f[8], f[9]
        elif f[7] == "-":
            dst, rx, tx = "255.255.255.255", f[8], f[9]
        else:
            dst, rx, tx = "255.255.255.255", f[7], f[8]
        s = sums.setdefault((mac_key(f[5]), f[3], dst), [0, 0])
        s[0] += int(rx)
        s[1] += int(tx)
    return sums


def reported_key_sums(master):
    sums = {}
    for req in master.requests():
        for mac, li, lo, ri, ro, src, dst in results(req):
            s = sums.setdefault((mac_key(mac), src, dst), [0, 0])
            s[0] += li + ri
            s[1] += lo + ro
    return sums


def mac_key(text):
    return tuple(int(x, 16) for x in text.split(":"))


def compare(want, got):
    """(lost, counted twice) in bytes over every client and remote address."""
    lost = dup = 0
    for k in set(want) | set(got):
        for w, g in zip(want.get(k, [0, 0]), got.get(k, [0, 0])):
            lost += max(w - g, 0)
            dup += max(g - w, 0)
    return lost, dup


@pytest.mark.parametrize("kill_veld", [False, True], ids=["velumond", "both"])
def test_sigkilled_velumond_with_real_veld_loses_and_repeats_nothing(sandbox, kill_veld):
    """Tunnel traffic through the real veld (usage every second) while velumond is killed with
    SIGKILL and restarted, a few dozen times: at random moments, while a report waits for the
    master's (delayed) answer, and just as veld's records are being filed. In the second run veld
    is killed too, every fifth round, while velumond runs. A follower of veld's log that is never killed is the
    reference: the daily file holds exactly its records, and the master's sums per client and
    remote address are theirs. A killed veld loses only the counters it had not written."""
    from nodenet import NodeNet, INTERNET_HOST

    sb = sandbox
    net = NodeNet(sb, clients=1, internet=True)
    node_country(sb, f'"{INTERNET_HOST}","{INTERNET_HOST}","1","1","KR","Korea"\n')
    link_master(sb)
    sb.write_file(CONTROL, json.dumps({"/report/umon.php": f"delay:{ANSWER_DELAY}:200:OK"}))
    master = run_master(sb, control=CONTROL)
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
    path = daily_path()
    host_path = sb.path(path)

    def size():
        try:
            return os.path.getsize(host_path)
        except FileNotFoundError:
            return 0

    rnd = random.Random(13)
    aims = {"random": 0, "report": 0, "append": 0, "missed": 0}
    veld_kills = 0
    def restart_veld():
        nonlocal veld_kills
        # a new log file; the client learns the new TAP device's address
        net.veld.signal(signal.SIGKILL)
        net.veld.wait()
        veld_kills += 1
        net.start_veld("-i", "1", "-l", "2m,64k")
        sb.sh("client0", "ip neigh flush dev vtap0")

    for k in range(KILL_ROUNDS):
        aim = ("random", "report", "append")[k % 3]
        # past velumond's 3 s wait for veld, so that it reads, files and reports
        time.sleep(3.2)
        if kill_veld and not KILL_TOGETHER and k % 5 == 4:
            # veld dies under a running velumond, which then still has the old log to read
            restart_veld()
            time.sleep(rnd.uniform(0.2, 1.5))
        if aim == "random":
            time.sleep(rnd.uniform(0, 3))
        elif aim == "report":
            n = len(master.requests())
            try:
                wait_until(lambda: len(master.requests()) > n, 12, "a report")
                time.sleep(rnd.uniform(0, ANSWER_DELAY * 0.6))  # its answer still held back
            except AssertionError:
                aim = "missed"
        else:
            # kill as soon as the file grows: the thread is filing veld's latest records
            s0, end = size(), time.monotonic() + 5
            while size() == s0 and time.monotonic() < end:
                time.sleep(0.001)
            if size() == s0:
                aim = "missed"
        um.signal(signal.SIGKILL)
        um.wait()
        aims[aim] += 1
        if kill_veld and KILL_TOGETHER and k % 5 == 4:
            restart_veld()
        time.sleep(rnd.uniform(0, 1.5))
        um = start_velumond(sb)
    time.sleep(2)
    sb.stop(pinger)
    sb.write_file(CONTROL, "{}")

    def reference():
        return [l.split(" TrafficUsage - ", 1)[1] for l in follower.stdout().splitlines()
                if " TrafficUsage - " in l]

    # veld may still write a record or two after the traffic (ARP): compare once the reference
    # has stayed the same through a whole report period
    def settled(pred, timeout):
        end = time.monotonic() + timeout
        while not pred() and time.monotonic() < end:
            time.sleep(0.25)

    for _ in range(4):
        records = reference()
        settled(lambda: sb.read_file(path).splitlines() == records, 60)
        want = record_key_sums(records)
        settled(lambda: compare(want, reported_key_sums(master))[0] == 0, 30)
        time.sleep(6)
        if reference() == records:
            break
    filed = sb.read_file(path).splitlines()
    lost, dup = compare(want, reported_key_sums(master))
    total = sum(sum(v) for v in want.values())
    missing = collections.Counter(records) - collections.Counter(filed)
    extra = collections.Counter(filed) - collections.Counter(records)
    print(f"\n{KILL_ROUNDS} kills of velumond {aims}, {veld_kills} of veld"
          f"{' (together)' if KILL_TOGETHER else ''}; {len(records)} records of {total} bytes "
          f"written by veld, {len(filed)} filed ({sum(missing.values())} missing, "
          f"{sum(extra.values())} twice), {len(master.requests())} reports; lost {lost} bytes, "
          f"counted twice {dup} bytes")
    for l in list(missing)[:5]:
        print("missing:", l)
    for l in list(extra)[:5]:
        print("twice:", l)
    assert total > 0
    if KILL_TOGETHER:
        # what veld had written but velumond not yet read dies with veld's log: measured only
        assert dup == 0 and not extra
        return
    assert (missing, extra) == ({}, {})
    assert filed == records
    assert (lost, dup) == (0, 0)
    assert aims["missed"] <= KILL_ROUNDS // 6, aims
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
