"""velhttpd on TCP port 10005, driven by curl and by raw sockets: the responses a request
describes, byte for byte; requests it must not answer; the connection limit; the read time-out
(the daemon runs on a sped-up clock for that one)."""

import base64
import json
import os
import re
import subprocess
import sys

import pytest

NODE, CLIENT = "10.71.0.1", "10.71.0.2"
URL = f"http://{NODE}:10005/path?q=1"
FAKETIME_LIB = "/usr/lib/x86_64-linux-gnu/faketime/libfaketimeMT.so.1"
OK_EMPTY = b"HTTP/1.1 200 Ok\r\nContent-Length: 0\r\n\r\n"

# Raw client. argv: host, then a JSON list of steps: ["send", hex], ["sleep", s], ["quiet", s]
# (fails unless nothing arrives for s seconds), ["close"] (leave without reading). Then reads to
# the end and prints {"response": hex, "reset": bool}.
RAW = r"""
import json, socket, sys, time
s = socket.create_connection((sys.argv[1], 10005), timeout=30)
for step in json.loads(sys.argv[2]):
    if step[0] == "send":
        s.sendall(bytes.fromhex(step[1]))
    elif step[0] == "sleep":
        time.sleep(step[1])
    elif step[0] == "quiet":
        s.settimeout(step[1])
        try:
            data = s.recv(1)
            sys.exit("data or end early: %r" % data)
        except socket.timeout:
            pass
        s.settimeout(30)
    elif step[0] == "close":
        s.close()
        print(json.dumps({"response": "", "reset": False}))
        sys.exit(0)
out, reset = b"", False
try:
    while True:
        d = s.recv(65536)
        if not d:
            break
        out += d
except ConnectionResetError:
    reset = True
print(json.dumps({"response": out.hex(), "reset": reset}))
"""

# Holds n idle connections open, then one more; prints what the extra one got, waits for stdin
# to close, then closes them all.
HOLD = r"""
import socket, sys
host, n = sys.argv[1], int(sys.argv[2])
held = [socket.create_connection((host, 10005), timeout=10) for _ in range(n)]
extra = socket.create_connection((host, 10005), timeout=10)
try:
    print("extra:" + extra.recv(100).hex(), flush=True)
except ConnectionResetError:
    print("extra:reset", flush=True)
sys.stdin.read()
for s in held:
    s.close()
"""


# The generated body of 130 bytes: two lines of 63 characters, each starting one later.
SYNTH_130 = bytes(range(33, 96)) + b"\n" + bytes(range(34, 97)) + b"\n#\n"


def request(desc=None, extra="", method="GET"):
    h = f"{method} /x HTTP/1.1\r\nHost: node\r\n"
    if desc is not None:
        h += f"content-filter: {desc}\r\n"
    return (h + extra + "\r\n").encode()


def start(sb, prefix=()):
    sb.netns("node")
    sb.netns("client")
    sb.link("client", f"{CLIENT}/24", "node", f"{NODE}/24")
    p = sb.start("node", [*prefix, sb.binary("velhttpd"), "-F"], name="velhttpd")
    sb.wait_listen("node", 10005)
    return p


def raw(sb, *steps):
    r = sb.run("client", [sys.executable, "-c", RAW, NODE, json.dumps(list(steps))], check=True)
    out = json.loads(r.stdout)
    return bytes.fromhex(out["response"])


def send(data, *more):
    return [["send", data.hex()], *more]


def curl(sb, *args):
    r = sb.run("client", ["sh", "-c", 'curl -s -i --max-time 20 "$@" | base64 -w0', "curl",
                          *args, URL], check=True)
    return base64.b64decode(r.stdout)


def test_curl_requests(sandbox):
    sb = sandbox
    httpd = start(sb)
    assert curl(sb) == OK_EMPTY
    assert curl(sb, "-H", 'content-filter: -status 404 -msg "Not Found" -hdr "X-Test: 1" '
                          "-bodylen 130") == (
        b"HTTP/1.1 404 Not Found\r\nX-Test: 1\r\nContent-Length: 130\r\n\r\n" + SYNTH_130)
    # Bodies are read and have no effect on the answer.
    assert curl(sb, "-H", "content-filter: -body posted", "--data-binary", "x" * 5000) == (
        b"HTTP/1.1 200 Ok\r\nContent-Length: 6\r\n\r\nposted")
    assert curl(sb, "-H", "Transfer-Encoding: chunked", "-H", "content-filter: -nolen -body c",
                "--data-binary", "abcdefg") == b"HTTP/1.1 200 Ok\r\n\r\nc"
    head = b"HTTP/1.1 200 Ok\r\nContent-Length: 1048576\r\n\r\n"
    big = curl(sb, "-H", "Content-Filter: -bodylen 0x100000")  # the pattern is unit-tested
    assert big.startswith(head + SYNTH_130[:-3]) and len(big) == len(head) + 1048576
    assert httpd.alive()


def test_raw_requests(sandbox):
    """What the request reader refuses is unit-tested; here each way of refusing ends its own
    connection only, without an answer (with the line that says why, where there is one)."""
    sb = sandbox
    httpd = start(sb)
    chunked = request("# comment only", "Transfer-Encoding: chunked\r\n", "POST")
    # A chunked body arriving in parts is read to its end before the answer goes.
    assert raw(sb, *send(chunked + b"3\r\nabc\r\n"), ["quiet", 0.3],
               *send(b"4\r\ndefg\r\n"), ["quiet", 0.3], *send(b"0\r\n\r\n")) == OK_EMPTY
    refused = [
        (b"GET\r\n\r\n", None),
        (request(None, "".join(f"X-{i}: 1\r\n" for i in range(47))),
         r"^Too many HTTP header lines \(more than 47\)$"),
        (request(None, "Content-Length: 3000000\r\n"), r"^HTTP request too large"),
        (request("-bodylen 16777217"), r"^Bad http txresp spec: -bodylen must be"),
    ]
    for data, why in refused:
        mark = sb.log.mark()
        assert raw(sb, *send(data)) == b"", data
        assert not why or sb.log.wait(why, ident="velhttpd", since=mark).level == 3
    # Clients that leave before a large answer cost only their connection (no SIGPIPE).
    mark = sb.log.mark()
    for _ in range(3):
        raw(sb, *send(request("-bodylen 16777216")), ["close"])
    sb.log.wait(r"^Write to velrun failed: ", ident="velhttpd", since=mark)
    assert raw(sb, *send(request("-bodylen 5"))) == (
        b"HTTP/1.1 200 Ok\r\nContent-Length: 5\r\n\r\n!\"#$\n")
    assert httpd.alive()


def test_silent_client_dropped_after_the_read_timeout(sandbox):
    """60 s of the daemon's clock; its clock runs 60 times faster here."""
    sb = sandbox
    assert os.path.exists(FAKETIME_LIB), "libfaketime is missing (scripts/install-deps.sh)"
    # (verify_asan_link_order: the preload is fine in a sanitizer build too)
    httpd = start(sb, prefix=["env", f"LD_PRELOAD={FAKETIME_LIB}", "FAKETIME=+0 x60",
                              "ASAN_OPTIONS=verify_asan_link_order=0"])
    mark = sb.log.mark()
    # Still connected after 0.5 s real (30 s of the daemon's), dropped without an answer after.
    assert raw(sb, ["send", b"GET / HT".hex()], ["quiet", 0.5]) == b""
    line = sb.log.wait(r"^HTTP select failed", ident="velhttpd", since=mark)
    assert (line.msg, line.level) == ("HTTP select failed (i 0 poll: 110 Connection timed out)", 3)
    assert raw(sb, ["quiet", 0.5]) == b""
    assert sb.log.count(r"^HTTP select failed", since=mark) == 2
    assert httpd.alive()


def test_connections_beyond_the_limit_are_refused_at_accept(sandbox):
    sb = sandbox
    httpd = start(sb)
    mark = sb.log.mark()
    holder = sb.start("client", [sys.executable, "-c", HOLD, NODE, "256"], name="holder",
                      stdin=subprocess.PIPE)
    m = holder.wait_stdout(r"^extra:(\S*)$")
    assert m.group(1) in ("", "reset")
    line = sb.log.wait(r"^Too many connections", ident="velhttpd", since=mark)
    assert re.fullmatch(rf"Too many connections \(256\), refused {CLIENT}:\d+", line.msg)
    assert line.level == 3
    holder.popen.stdin.close()
    assert holder.wait() == 0
    # Once the held connections end, new ones are served again.
    sb.wait_until(lambda: raw(sb, *send(request())) == OK_EMPTY, 10, "an answer after the limit")
    assert httpd.alive()


@pytest.mark.parametrize("prog", ["velhttpd", "velurd"])
@pytest.mark.parametrize("args,stderr", [
    (["-x"], r"{p}: invalid option -- 'x'\n{u}$"),
    (["-d", "stray"], r"^Too many arguments \(stray\.\.\.\)\n{u}$"),
    (["-F", "-d"], r"^Only one of -d or -F can be specified\n{u}$"),
], ids=["unknown", "stray", "both"])
def test_command_line_errors(sandbox, prog, args, stderr):
    sandbox.netns("node")
    r = sandbox.run("node", [sandbox.binary(prog), *args])
    assert r.returncode == 1
    usage = re.escape(f"{prog} [-d] [-F] [-P pid]\n")
    assert re.search(stderr.format(p=prog, u=usage), r.stderr), r.stderr
