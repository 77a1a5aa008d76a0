"""velstatus on a node: daemons by their pid files, veld's latest usage round, velumond's files;
and on nodes where there is nothing, or something damaged, to read."""

import json
import os
import subprocess

from nodenet import NodeNet, NODE_TAPIP, client_public, ether_ntoa, client_mac


def status(sb, ns="node", *args):
    r = sb.run(ns, [sb.binary("velstatus"), *args], timeout=20)
    assert r.returncode == 0, r.stderr
    return r.stdout


def by_name(doc):
    return {d["name"]: d for d in doc["daemons"]}


def test_running_node_shows_daemons_clients_and_files(sandbox):
    sb = sandbox
    net = NodeNet(sb, clients=1)
    veld = net.start_veld("-i", "1")
    net.start_client(0, "udp")
    net.ping(0, NODE_TAPIP, count=3)
    # Pid files a crashed or foreign process left behind: each is told apart.
    gone = subprocess.Popen(["true"])
    gone.wait()
    sb.write_file("/var/run/velrttd.pid", str(gone.pid))         # stale
    sb.write_file("/var/run/velechod.pid", "12ab")               # not a pid
    sb.write_file("/var/run/velhttpd.pid", "")                   # empty
    sb.write_file("/var/run/velurd.pid", str(os.getpid()))       # alive, but not locked by it
    sb.write_file("/var/velkarn-server/velumond/t_lastcommitted", "1796651033")
    sb.write_file("/var/velkarn-server/stat_19700101.log", "x\n")  # not today's: not shown

    def round_with_client():
        doc = json.loads(status(sb, "node", "-j"))
        clients = doc["usage_round"].get("clients", [])
        return doc if any(c["address"] == client_public(0) and c["bytes_in"] > 0
                          for c in clients) else None
    doc = sb.wait_until(round_with_client, 20, "a usage round with the client")
    d = by_name(doc)
    assert d["veld"]["state"] == "running" and d["veld"]["alive"]
    assert d["veld"]["pid"] == veld.pid and d["veld"]["uptime_seconds"] is not None
    assert d["velrttd"]["state"] == "stale" and d["velrttd"]["pid"] == gone.pid
    assert d["velechod"]["state"] == "unreadable"
    assert d["velhttpd"]["state"] == "unreadable"
    assert d["velurd"]["state"] == "foreign" and not d["velurd"]["alive"]
    assert d["velcrond"]["state"] == "no pid file"
    client = [c for c in doc["usage_round"]["clients"] if c["address"] == client_public(0)][0]
    assert client["mac"] == ether_ntoa(client_mac(0))
    assert doc["velumond"]["last_committed"] == "1796651033"
    assert "error" in doc["velumond"]["daily_file"]

    text = status(sb)
    assert f"pid {veld.pid}" in text and "running" in text
    assert f"{client_public(0)}:" in text
    assert "last committed: 1796651033 (" in text
    # It only read: the pid files are as they were, nothing was created.
    assert sb.read_file("/var/run/velurd.pid") == str(os.getpid())
    assert not sb.exists("/var/run/velcrond.pid")


def test_damaged_or_odd_log_files_are_reported_not_fatal(sandbox):
    sb = sandbox
    sb.netns("node")
    shm = "/var/velkarn-server/veld/_.vsm"
    assert "No such file" in status(sb)
    os.makedirs(sb.path("/var/velkarn-server/veld"), exist_ok=True)
    sb.write_file(shm, b"\x00" * 4096)
    assert "bad header" in json.loads(status(sb, "node", "-j"))["usage_round"]["error"]
    os.remove(sb.path(shm))
    os.mkfifo(sb.path(shm))  # a FIFO must neither hang nor pass for the log
    assert "not a regular file" in status(sb)
