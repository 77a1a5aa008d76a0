"""veld's command line and start-up: usage texts, exit statuses, pid file, working directory,
node files and socket set-up, run as a node runs it."""

import os
import signal

import pytest

from nodenet import NODE_PUBLIC, NODE_TAPIP, NodeNet

USAGE = ("usage: veld [options]\n"
         "    -c seconds                   # Interval to cleanup the sessions\n"
         "    -d                           # debug\n"
         "    -F                           # Run in foreground\n"
         "    -i seconds                   # Interval to emit usages\n"
         "    -l shl,free,fill             # Size of shared memory file\n"
         "    -P file                      # PID file\n")
TAPIP = "/etc/velkarn-server/v2_tapip"
PUBLIC = "/etc/velkarn-server/public_ip"


@pytest.fixture
def node(sandbox):
    return NodeNet(sandbox, clients=0)


def veld(sb, *args, timeout=30):
    return sb.run("node", [sb.binary("veld"), *args], timeout=timeout)


@pytest.mark.parametrize("args, first", [
    (["-x"], None),
    (["-c"], None),
    (["-F", "stray", "more"], "Too many arguments (stray...)\n"),
    (["-d", "-F"], "Only one of -d or -F can be specified\n"),
])
def test_bad_command_lines_print_the_usage(sandbox, node, args, first):
    r = veld(sandbox, *args)
    assert r.returncode == 1
    if first is None:
        # getopt's own complaint comes first.
        assert r.stderr.endswith(USAGE) and r.stderr.count("usage:") == 1, r.stderr
        assert r.stderr.startswith(sandbox.binary("veld") + ":")
    else:
        assert r.stderr == first + USAGE
    assert not sandbox.exists("/var/run/veld.pid")


def test_foreground_start_writes_the_pid_file(sandbox, node):
    p = node.start_veld("-d", "-F")  # "-F -d -F": the toggles cancel, -d keeps it in front
    assert p.alive()
    assert sandbox.read_file("/var/run/veld.pid").strip() == str(p.pid)
    assert sandbox.exists("/var/velkarn-server/veld")
    tap = node.tapname()
    show = sandbox.sh("node", f"ip -4 addr show dev {tap}")
    assert f"inet {NODE_TAPIP}/20" in show and "inet 10.254.254.1/16" in show and f"{tap}:0" in show
    assert "mtu 1450" in sandbox.sh("node", f"ip link show dev {tap}")
    sandbox.stop(p)


def test_double_foreground_toggle_detaches(sandbox, node):
    p = sandbox.start("node", [sandbox.binary("veld"), "-F", "-F", "-P", "/run/other.pid"])
    assert p.wait() == 0
    sandbox.wait_file("/run/other.pid", nonempty=True)
    pid = int(sandbox.read_file("/run/other.pid").strip())
    assert pid != p.pid and os.path.exists(f"/proc/{pid}")
    node.veld = p
    sandbox.wait_listen("node", 10008, "udp")
    assert not sandbox.exists("/var/run/veld.pid")
    os.kill(pid, signal.SIGTERM)
    sandbox.wait_until(lambda: not os.path.exists(f"/proc/{pid}") or
                       open(f"/proc/{pid}/stat").read().split(") ")[1][0] == "Z", 10,
                       "the detached veld to end")


def test_signals_pipe_and_hup_are_ignored(sandbox, node):
    p = node.start_veld()
    for sig in (signal.SIGHUP, signal.SIGPIPE):
        p.signal(sig)
    r = sandbox.run("node", ["ping", "-n", "-c", "1", "-w", "10", NODE_PUBLIC])
    assert r.returncode == 0, "veld no longer answers after SIGHUP/SIGPIPE"
    assert p.alive()


def test_pid_file_that_cannot_be_opened(sandbox, node):
    r = veld(sandbox, "-F", "-P", "/run/missing/veld.pid")
    assert (r.returncode, r.stderr) == (1, "/run/missing/veld.pid: No such file or directory\n")


def test_working_directory_errors(sandbox, node):
    sb = sandbox
    sb.sh("node", "mount -o remount,ro /var/velkarn-server")
    r = veld(sb, "-F")
    assert (r.returncode, r.stderr) == (
        1, "Cannot create working directory '/var/velkarn-server/veld/': Read-only file system\n")
    sb.sh("node", "mount -o remount,rw /var/velkarn-server")
    sb.write_file("/var/velkarn-server/veld", "not a directory")
    r = veld(sb, "-F")
    assert (r.returncode, r.stderr) == (
        1, "Cannot change to working directory '/var/velkarn-server/veld/': Not a directory\n")


@pytest.mark.parametrize("path", [TAPIP, PUBLIC])
@pytest.mark.parametrize("content, message", [
    (None, "[ERROR] fopen(3) for {path} failed: 2 No such file or directory"),
    ("", "[ERROR] fread(3) for {path} failed (no content): "),
    ("{good}\n", "[ERROR] Wrong IPv4 format ({good}\n)."),
    ("{good} ", "[ERROR] Wrong IPv4 format ({good} )."),
    ("10.x.0.1", "[ERROR] Wrong IPv4 format (10.x.0.1)."),
], ids=["missing", "empty", "newline", "blank", "letter"])
def test_bad_node_files_end_veld(sandbox, node, path, content, message):
    sb = sandbox
    good = NODE_TAPIP if path == TAPIP else NODE_PUBLIC
    if content is None:
        sb.remove(path)
    else:
        sb.write_file(path, content.format(good=good))
    message = message.format(path=path, good=good)
    r = veld(sb, "-F")
    assert r.returncode == 1
    line = sb.log.wait("^" + _re(message), ident="veld", level=3)
    assert line.facility == 1
    assert message in r.stderr
    assert sb.log.count(r"^\[ERROR\]", ident="veld") == 1


@pytest.mark.parametrize("text", ["255.255.255.255", "1.2.3.4.5", "256.1.1.1", "..."])
def test_unusable_public_addresses_are_refused(sandbox, node, text):
    sandbox.write_file(PUBLIC, text)
    r = veld(sandbox, "-F")
    assert r.returncode == 1
    sandbox.log.wait("^" + _re(f"[ERROR] Failed to parse the public IP: {text}") + "$",
                     ident="veld", level=3)


def test_traditional_dotted_forms_are_public_addresses(sandbox, node):
    # inet_addr's rules: "198.51.25601" is 198.51.100.1, so that address counts as the node's own.
    sandbox.write_file(PUBLIC, "198.51.25601")
    sandbox.addr_add("node", "br0", "198.51.100.50/24")
    node.start_veld()
    send = ("import socket,sys\ns=socket.socket(socket.AF_INET,socket.SOCK_DGRAM)\n"
            "s.bind((sys.argv[1],0))\n"
            "s.sendto(bytes.fromhex('0200000000ee'+sys.argv[2]+'0800'+'00'*28),"
            f"('{NODE_PUBLIC}',10008))")
    for src, mac in ((NODE_PUBLIC, "020000000001"), ("198.51.100.50", "020000000002")):
        r = sandbox.run("node", ["python3", "-c", send, src, mac], timeout=20)
        assert r.returncode == 0, r.stderr
    sandbox.log.wait(r"^\[INFO\] The session \(0x[0-9a-f]+\) 2:0:0:0:0:2 is created from "
                     r"198\.51\.100\.50:\d+ \(mode UDP n_sess 1\)$", ident="veld")
    assert sandbox.log.count("is created from") == 1


def test_tap_address_that_the_command_refuses_stops_veld(sandbox, node):
    # Five numbers pass the character rule; ifconfig refuses them and veld stops.
    sandbox.write_file(TAPIP, "10.77.0.1.5")
    r = veld(sandbox, "-F")
    assert r.returncode == -signal.SIGABRT
    assert "Condition(ret == 0) not true." in r.stderr


@pytest.mark.parametrize("proto", ["udp", "tcp"])
def test_port_in_use_ends_start_up(sandbox, node, proto):
    kind = "SOCK_DGRAM" if proto == "udp" else "SOCK_STREAM"
    listen = "" if proto == "udp" else "s.listen(1)\n"
    holder = sandbox.start("node", ["python3", "-c",
                                    f"import socket,time\ns=socket.socket(socket.AF_INET,socket.{kind})\n"
                                    f"s.bind(('0.0.0.0',10008))\n{listen}time.sleep(600)"])
    sandbox.wait_listen("node", 10008, proto)
    r = veld(sandbox, "-F")
    assert (r.returncode, r.stderr.splitlines()[-1]) == (1, "bind: Address already in use")
    sandbox.stop(holder)


def _re(text):
    import re
    return re.escape(text)
