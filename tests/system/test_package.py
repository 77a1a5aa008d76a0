"""The Debian package: built by cpack from the build tree, its files and conffiles, installed
for real with dpkg inside a sandbox (private dpkg database, systemd folders and node folders), its
unit verified and enabled, an operator's configuration kept across a reinstall."""

import json
import os
import shutil
import signal
import subprocess

import pytest

from nodenet import NODE_TAPIP, NodeNet
from sandbox import build_dir

DEB = "velkarn-server_1.6.3_amd64.deb"
CONF = "/opt/velkarn/1.6.3/etc/velwatchdog.conf"
UNIT = "/lib/systemd/system/velkarn-server.service"
BIN = "/opt/velkarn-server/1.6.3/bin"
NODE_DAEMONS = ("veld", "velumond", "velcrond", "vellmond", "velmeshd", "velrttd", "velechod",
                "velhttpd", "velurd")
# What dpkg and the maintainer scripts write outside the node's own folders.
# The first three start as copies of the host's, so that dependencies and the unit's targets
# resolve.
PRIVATE = ("/var/lib/dpkg", "/etc/systemd/system", "/lib/systemd/system", "/var/log")


@pytest.fixture(scope="module")
def deb():
    r = subprocess.run(["cpack", "-G", "DEB"], cwd=build_dir(), capture_output=True, text=True,
                       timeout=600)
    assert r.returncode == 0, r.stdout + r.stderr
    path = os.path.join(build_dir(), DEB)
    assert os.path.exists(path)
    return path


def test_package_contents(deb):
    files = subprocess.run(["dpkg-deb", "-c", deb], capture_output=True, text=True,
                           check=True).stdout
    names = {line.split()[-1].lstrip(".") for line in files.splitlines()}
    for prog in NODE_DAEMONS + ("velinit", "velwatchdog", "velstatus", "vellogtail"):
        assert f"{BIN}/{prog}" in names, prog
    assert {CONF, UNIT, "/var/velkarn-server/veld/", "/var/velkarn-server/velumond/",
            "/opt/velkarn-server/1.6.3/var/"} <= names
    info = subprocess.run(["dpkg-deb", "-f", deb, "Depends"], capture_output=True, text=True,
                          check=True).stdout
    for dep in ("libssl3", "iproute2", "net-tools", "iptables"):
        assert dep in info
    scratch = subprocess.run(["mktemp", "-d"], capture_output=True, text=True).stdout.strip()
    try:
        subprocess.run(["dpkg-deb", "-e", deb, scratch], check=True)
        assert open(os.path.join(scratch, "conffiles")).read().split() == [CONF]
    finally:
        shutil.rmtree(scratch)


def install(sb, deb):
    for d in PRIVATE[:3]:
        shutil.copytree(d, sb.path(d), symlinks=True, dirs_exist_ok=True)
    r = sb.run("node", ["dpkg", "-i", deb], timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    return r


def test_install_enable_and_keep_the_operators_configuration(sandbox_factory, deb):
    sb = sandbox_factory(extra_dirs=PRIVATE)
    sb.netns("node")
    r = install(sb, deb)
    assert "run /opt/velkarn-server/1.6.3/bin/velinit" in r.stdout
    conf = sb.read_file(CONF)
    words = " ".join(conf.split())
    for prog in NODE_DAEMONS:
        assert f"{prog} {BIN}/{prog} {prog} -F" in words, prog
    assert sb.exists("/etc/systemd/system/multi-user.target.wants/velkarn-server.service")
    if shutil.which("systemd-analyze"):
        r = sb.run("node", ["systemd-analyze", "verify", UNIT])
        assert r.returncode == 0, r.stderr
    r = sb.run("node", [f"{BIN}/velwatchdog", "-v"])
    assert r.returncode == 0 and "velwatchdog v1.6.3" in r.stderr
    # An operator's edit survives reinstalling the package.
    sb.write_file(CONF, conf + "# operator was here\n")
    r = sb.run("node", ["dpkg", "-i", deb], timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert sb.read_file(CONF).endswith("# operator was here\n")
    r = sb.run("node", ["dpkg", "-r", "velkarn-server"], timeout=120)
    assert r.returncode == 0, r.stdout + r.stderr
    assert not sb.exists("/etc/systemd/system/multi-user.target.wants/velkarn-server.service")
    assert sb.exists(CONF)  # removed, not purged: the configuration stays


def test_installed_node_runs_every_daemon_under_velwatchdog(sandbox_factory, deb):
    sb = sandbox_factory(extra_dirs=PRIVATE)
    net = NodeNet(sb, clients=1)          # the node's addresses and velinit's two node files
    install(sb, deb)
    sb.write_file("/etc/velkarn-server/country", "KR")
    sb.write_file("/var/velkarn-server/velumond/GeoIPCountryWhois.csv",
                  '"1.0.0.0","1.0.0.255","16777216","16777471","KR","Korea, Republic of"\n')
    r = sb.run("node", [f"{BIN}/velwatchdog"])  # detaches, as the unit runs it
    assert r.returncode == 0, r.stderr
    expected = ("velwatchdog",) + NODE_DAEMONS

    def all_running():
        r = sb.run("node", [f"{BIN}/velstatus", "-j"])
        doc = json.loads(r.stdout)
        states = {d["name"]: d["state"] for d in doc["daemons"]}
        return doc if all(states[n] == "running" for n in expected) else None
    doc = sb.wait_until(all_running, 60, "every daemon of the node to run")
    pids = {d["name"]: d["pid"] for d in doc["daemons"]}
    # A daemon that ends is started again by the packaged supervisor.
    os.kill(pids["velechod"], signal.SIGKILL)

    def restarted():
        doc = json.loads(sb.run("node", [f"{BIN}/velstatus", "-j"]).stdout)
        d = {d["name"]: d for d in doc["daemons"]}["velechod"]
        return d["state"] == "running" and d["pid"] != pids["velechod"]
    sb.wait_until(restarted, 30, "velechod started again")
    sb.log.wait(r"^\[ERROR\] velechod\[\d+\]: exited, signal 9$", ident="velwatchdog")
    # And the tunnel works, from the packaged veld.
    net.start_client(0, "udp")
    net.wait_ping(0, NODE_TAPIP)
