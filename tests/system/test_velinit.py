"""velinit against the test master server, each in a namespace of its own.

Topology: "node" (192.0.2.1 and 10.255.0.1 on eth0) and "master" (the master's
public address and its private address on eth0); the master's host name
resolves through the sandbox's /etc/hosts. The node's checks see real
per-namespace settings: ip_forward, icmp_echo_ignore_all and the nat table.
"""

import json
import os
import re
import shutil
import sys

import pytest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from masters import ALT_IP, MASTER_HOST as HOST, MASTER_IP, link_master, records  # noqa: E402
from sandbox import binary, repo_dir  # noqa: E402

CONF = "/etc/velkarn-server"
RECORD = "/run/velmaster/requests.jsonl"
CONTROL = "/run/velmaster/control.json"
OUTPUTS = ("varnishd_listen_address", "v2_tapip", "country", "public_ip", "adn_userauth")
EXAMPLE = "10.9.0.1:KR:203.0.113.5:adnuser:s3cret"

NAT_MSG = ("[ERROR] Couldn't find NAT setting from iptables(8).\n"
           "        Please run the following command with root permission.\n\n"
           "            # /sbin/iptables -t nat -A POSTROUTING -o eth0 -j MASQUERADE -s 10.252.0.0/14\n")
FORWARD_MSG = ("[ERROR] IPv4 forwarding feature disabled.\n"
               "        Please run `/sbin/sysctl net.ipv4.ip_forward=1' command\n"
               "        with root permission to be enable.\n")
ICMP_MSG = ("[ERROR] 'ICMP echo ignore all' feature disabled.\n"
            "        Please run `/sbin/sysctl net.ipv4.icmp_echo_ignore_all=1' command\n"
            "        with root permission to be enable.\n")
ROOT_MSG = "[ERROR] Required to be executed with root permission.\n"


class Provision:
    def __init__(self, sb):
        self.sb = sb
        sb.netns("node")
        link_master(sb, alt=True)
        self.master = None
        self.node_ready(True)

    def node_ready(self, ok=True):
        """All four checks pass (ok) or are set up to be fixed by the test."""
        self.sb.sysctl("node", "net.ipv4.ip_forward", 1)
        self.sb.sysctl("node", "net.ipv4.icmp_echo_ignore_all", 1)
        self.sb.sh("node", "iptables -t nat -A POSTROUTING -o eth0 -j MASQUERADE -s 10.252.0.0/14")

    def start_master(self, *extra):
        self.master = self.sb.start("master", [
            "/usr/bin/python3", os.path.join(repo_dir(), "tools", "velmaster.py"),
            "--record", RECORD, "--control", CONTROL, "--info", EXAMPLE, *extra])
        self.master.wait_stdout(r"velmaster: listening on")
        self.sb.wait_listen("master", 443)

    def answer(self, table):
        self.sb.write_file(CONTROL, json.dumps(table))

    def requests(self):
        return records(self.sb, RECORD)

    def velinit(self, *args, user=None):
        argv = [binary("velinit"), *args]
        if user is not None:
            # Run a copy that the user can reach, whatever the build tree's permissions.
            copy = self.sb.path("/run/velinit-copy")
            shutil.copyfile(argv[0], copy)
            os.chmod(copy, 0o755)
            argv = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups",
                    "/run/velinit-copy", *args]
        return self.sb.run("node", argv, timeout=90)

    def conf(self, name):
        return self.sb.read_file(f"{CONF}/{name}", binary=True)

    def outputs(self):
        return {n: self.conf(n) for n in OUTPUTS if self.sb.exists(f"{CONF}/{n}")}

    def inputs(self, files):
        for name, content in files.items():
            self.sb.write_file(f"{CONF}/{name}", content)


@pytest.fixture
def prov(sandbox):
    return Provision(sandbox)


def expected_header(body):
    return ("POST /get/info.php HTTP/1.1\r\nAccept: text/plain\r\nConnection: close\r\n"
            f"Content-Length: {len(body)}\r\n"
            "Content-Type: application/x-www-form-urlencoded\r\n"
            f"Host: {HOST}\r\n\r\n")


def test_provisions_the_node(prov):
    prov.start_master()
    prov.inputs({
        "version": "1.6.3\n",
        "commercial_node": "1",
        "commercial_node_currency": "KRW",
        "commercial_node_price_domestic": "10",
        "commercial_node_price_international": "20",
        "users_allow": "alice\n\nbob\ncarol",
        "users_deny": "mallory\r\n",
        "name": "seoul-1 & more",
        "owner_name": "Kim",
        "owner_email": "kim@example.org",
    })
    r = prov.velinit()
    assert (r.returncode, r.stdout, r.stderr) == (0, "", "")
    assert prov.outputs() == {
        "varnishd_listen_address": b"10.254.254.1:7878,10.9.0.1:8080,10.9.0.1:8081",
        "v2_tapip": b"10.9.0.1",
        "country": b"KR",
        "public_ip": b"203.0.113.5",
        "adn_userauth": b"adnuser\ts3cret",
    }
    (req,) = prov.requests()
    body = ("version=1.6.3\n&commercial_node=1&commercial_node_currency=KRW&"
            "commercial_node_price_domestic=10&commercial_node_price_international=20&"
            "users_allow[]=alice&users_allow[]=bob&users_deny[]=mallory\r&"
            "name=seoul-1 & more&owner_name=Kim&owner_email=kim@example.org&")
    assert req["raw"] == expected_header(body) + body
    assert req["local"] == MASTER_IP

    # A second run rewrites the files whole.
    prov.answer({"/get/info.php": "200:10.9.0.2:JP:203.0.113.6:u2:a2\n"})
    r = prov.velinit()
    assert r.returncode == 0, r.stdout
    assert prov.conf("v2_tapip") == b"10.9.0.2"
    assert prov.conf("adn_userauth") == b"u2\ta2\n"


def test_endpoint_choice_and_toggles(prov):
    prov.start_master()
    for args, local in ((["-S"], ALT_IP), (["-S", "-S"], MASTER_IP), (["-SkS"], MASTER_IP),
                        (["-k", "-S", "extra", "words"], ALT_IP)):
        r = prov.velinit(*args)
        assert r.returncode == 0, (args, r.stdout)
        req = prov.requests()[-1]
        assert req["local"] == local, args
        assert ["Host", HOST] in req["headers"], args
        assert req["raw"] == expected_header(""), args  # no input files: empty body

    # -k twice runs the checks again.
    prov.sb.sysctl("node", "net.ipv4.ip_forward", 0)
    n = len(prov.requests())
    r = prov.velinit("-k", "-k")
    assert (r.returncode, r.stdout) == (1, FORWARD_MSG)
    assert len(prov.requests()) == n
    r = prov.velinit("-k")
    assert r.returncode == 0, r.stdout


REJECTED = [
    ("10.9.0.1:KR", "[ERROR] Unexpected body: 2\n"),
    ("10.9.0.1:KOR:203.0.113.5:u:a", "[ERROR] Wrong GeoIP country code format: KOR\n"),
    ("255.255.255.255:KR:203.0.113.5:u:a", "[ERROR] Wrong IP address format: 255.255.255.255\n"),
    ("10.9.0.1:KR:203.0.113.500:u:a",
     "[ERROR] Wrong IP address format for public IP: 203.0.113.500\n"),
    ("", "[ERROR] Unexpected body: 0\n"),
    # inet_addr takes it, veld would refuse the file
    ("10.9.0.1 ;reboot:KR:203.0.113.5:u:a", "[ERROR] Wrong IP address format: 10.9.0.1 ;reboot\n"),
]


def test_rejected_settings_leave_the_directory_untouched(prov):
    prov.start_master()
    prov.inputs({"v2_tapip": "10.1.1.1", "name": "n"})
    before = sorted(os.listdir(prov.sb.path(CONF)))
    for body, msg in REJECTED:
        prov.answer({"/get/info.php": "200:" + body})
        r = prov.velinit()
        assert (r.returncode, r.stdout) == (1, msg + "[ERROR] Failed to parse the response format.\n"), body
        assert sorted(os.listdir(prov.sb.path(CONF))) == before
        assert prov.conf("v2_tapip") == b"10.1.1.1"

    # Three fields: four files written, then the missing ADN fields fail the run.
    prov.answer({"/get/info.php": "200:10.9.0.1::KR:203.0.113.5"})
    r = prov.velinit()
    assert (r.returncode, r.stdout) == (1, "[WARN] No authentication information for ADN mode\n"
                                        "[ERROR] Failed to parse the response format.\n")
    assert prov.outputs() == {
        "varnishd_listen_address": b"10.254.254.1:7878,10.9.0.1:8080,10.9.0.1:8081",
        "v2_tapip": b"10.9.0.1", "country": b"KR", "public_ip": b"203.0.113.5"}


def test_answers_other_than_settings(prov):
    prov.start_master()
    cases = [
        ("418:node is not registered\n",
         "[WARN] Failed to emit the client info.\n       Reason: node is not registered\n\n"),
        ("500:oops", "[WARN] Unexpected HTTP status: 500\n"),
        ("201:" + EXAMPLE, "[WARN] Unexpected HTTP status: 201\n"),
        ("garble", "Too early CRLF after PROTO.\n[WARN] Failed to parse HTTP response\n"),
        ("raw:HTTP/1.1 \\r\\n\\r\\n", "Too early CRLF after STATUS.\n"
                                     "[WARN] Failed to parse HTTP response\n"),
        ("raw:HTTP/1.1 200 OK\\n" + "X: y\\n" * 61 + "\\n" + EXAMPLE,
         "Too long headers.\n[WARN] Failed to parse HTTP response\n"),
        ("close", "[WARN] Failed to parse HTTP response\n"),
    ]
    for spec, out in cases:
        prov.answer({"/get/info.php": spec})
        r = prov.velinit()
        assert (r.returncode, r.stdout) == (1, out), spec
        assert prov.outputs() == {}, spec

    # Bare line ends are fine; 60 header lines too.
    prov.answer({"/get/info.php": "raw:HTTP/1.1 200 OK\\n" + "X: y\\n" * 60 + "\\n" + EXAMPLE})
    r = prov.velinit()
    assert (r.returncode, r.stdout) == (0, "")
    assert prov.conf("adn_userauth") == b"adnuser\ts3cret"


def test_long_answer_is_cut_at_8192_bytes(prov):
    prov.start_master()
    body = "10.9.0.1:KR:203.0.113.5:user:" + "a" * 9000
    prov.answer({"/get/info.php": "200:" + body})
    head = ("HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n"
            "Connection: close\r\n\r\n" % len(body))
    r = prov.velinit()
    assert r.returncode == 0, r.stdout
    kept = body[:8192 - len(head)]
    assert prov.conf("adn_userauth") == ("user\t" + kept.rsplit(":", 1)[1]).encode()


def test_unreachable_master(prov):
    r = prov.velinit()
    assert (r.returncode, r.stdout) == (1, "[WARN] VSS_open(2) error: 111 Connection refused\n")
    r = prov.velinit("-S")
    assert (r.returncode, r.stdout) == (1, "[WARN] VSS_open(2) error: 111 Connection refused\n")
    # A host name that does not resolve (the namespace has no route to any name server).
    prov.sb.write_file("/etc/hosts", "127.0.0.1\tlocalhost\n")
    r = prov.velinit()
    assert r.returncode == 1
    assert re.fullmatch(r"\[WARN\] VSS_open\(2\) error: \d+ .*\n", r.stdout), r.stdout
    assert prov.outputs() == {}


def test_master_that_talks_no_tls(prov):
    # Something plain on port 443 that hangs up at once: the write fails.
    prov.sb.start("master", ["/usr/bin/python3", "-c",
                             "import socket\ns=socket.socket();"
                             "s.setsockopt(socket.SOL_SOCKET,socket.SO_REUSEADDR,1)\n"
                             "s.bind(('0.0.0.0',443));s.listen()\n"
                             "while True:\n c,_=s.accept();c.close()"])
    prov.sb.wait_listen("master", 443)
    r = prov.velinit()
    assert r.returncode == 1
    assert r.stdout.startswith("[WARN] SSL_write(3) failed: "), r.stdout
    assert prov.outputs() == {}


def test_system_checks(prov):
    prov.start_master()
    sb = prov.sb

    def run_checks(*args):
        n = len(prov.requests())
        r = prov.velinit(*args)
        return r.returncode, r.stdout, len(prov.requests()) - n

    assert run_checks() == (0, "", 1)

    sb.sysctl("node", "net.ipv4.icmp_echo_ignore_all", 0)
    assert run_checks() == (1, ICMP_MSG, 0)
    sb.sysctl("node", "net.ipv4.icmp_echo_ignore_all", 1)

    sb.sysctl("node", "net.ipv4.ip_forward", 0)
    assert run_checks() == (1, FORWARD_MSG, 0)
    sb.sysctl("node", "net.ipv4.icmp_echo_ignore_all", 0)
    assert run_checks() == (1, FORWARD_MSG, 0)  # the first failing check ends the run

    sb.sh("node", "iptables -t nat -F POSTROUTING")
    assert run_checks() == (1, NAT_MSG, 0)
    # Any MASQUERADE rule counts, whatever its range.
    sb.sh("node", "iptables -t nat -A POSTROUTING -s 192.168.7.0/24 -j MASQUERADE")
    assert run_checks() == (1, FORWARD_MSG, 0)
    sb.sysctl("node", "net.ipv4.ip_forward", 1)
    sb.sysctl("node", "net.ipv4.icmp_echo_ignore_all", 1)
    assert run_checks() == (0, "", 1)

    # Not root: the first check ends it, even with every setting right; -k skips all.
    r = prov.velinit(user=65534)
    assert (r.returncode, r.stdout) == (1, ROOT_MSG)
    sb.sh("node", "iptables -t nat -F POSTROUTING")
    assert run_checks("-k") == (0, "", 1)


def test_usage(prov):
    r = prov.velinit("-x")
    assert r.returncode == 1
    assert r.stdout == ""
    assert r.stderr.endswith("usage: velinit [options]\n"
                             "    -k                           # Skip the system checking\n"
                             "    -S                           # Don't use default hostname\n"), r.stderr
    assert "invalid option" in r.stderr


def test_input_file_limits(prov):
    prov.start_master()
    prov.inputs({"version": "v" * 8191, "name": "n" * 8192, "owner_name": "",
                 "users_allow": "x" * 8192 + "\nlost\n", "users_deny": "d\n" * 40000})
    r = prov.velinit()
    assert r.returncode == 0
    assert r.stdout == ("[ERROR] fread(3) error: too long content\n"  # users_deny: 80000 bytes
                        "[ERROR] fread(3) error: too long content\n"  # name
                        "[ERROR] fread(3) error: no content\n")       # owner_name
    (req,) = prov.requests()
    assert req["body"] == "version=" + "v" * 8191 + "&"
