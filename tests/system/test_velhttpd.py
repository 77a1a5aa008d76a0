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
# (fails unless nothing arrives for s seconds), ["close"] (leave without reading), ["trickle",
# hex, s] (one byte every s seconds, stopping early when the server has closed). Then reads to
# the end and prints {"response": hex, "reset": bool, "sent": bytes trickled}.
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
    elif step[0] == "trickle":
        sent = 0
        for b in bytes.fromhex(step[1]):
            try:
                s.sendall(bytes([b]))
            except (BrokenPipeError, ConnectionResetError):
                break
            sent += 1
            time.sleep(step[2])
out, reset = b"", False
try:
    while True:
        d = s.recv(65536)
        if not d:
            break
        out += d
except ConnectionResetError:
    reset = True
print(json.dumps({"response": out.hex(), "reset": reset, "sent": locals().get("sent")}))
"""

# argv: host, then groups "SRC:N". Per group holds N idle connections from source address SRC,
# then one more from it; prints what each extra one got ("extra SRC:" and the hex of the data, or
# "reset"), waits for stdin to close, then closes them all.
HOLD = r"""
import socket, sys
host = sys.argv[1]
held = []
for group in sys.argv[2:]:
    src, n = group.split(":")
    held += [socket.create_connection((host, 10005), timeout=10, source_address=(src, 0))
             for _ in range(int(n))]
    extra = socket.create_connection((host, 10005), timeout=10, source_address=(src, 0))
    try:
        print(f"extra {src}:" + extra.recv(100).hex(), flush=True)
    except ConnectionResetError:
        print(f"extra {src}:reset", flush=True)
    held.append(extra)
sys.stdin.read()
for s in held:
    s.close()
"""

# argv: host, n, body length. n clients from as many addresses ask for a body of that length
# and read nothing; prints "held" once all have sent, then waits for stdin to close.
NOREAD = r"""
import socket, sys, time
host, n, blen = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
held = []
for i in range(n):
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
    s.bind((f"10.71.0.{10 + i}", 0))
    s.connect((host, 10005))
    s.sendall(b"GET / HTTP/1.1\r\ncontent-filter: -bodylen %d\r\n\r\n" % blen)
    held.append(s)
print("held", flush=True)
sys.stdin.read()
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
    # A byte every 12 s of the daemon's clock never lets one wait expire, but the request as a
    # whole ends 60 s after it began: the connection is closed long before the request is whole.
    r = sb.run("client", [sys.executable, "-c", RAW, NODE, json.dumps(
        [["trickle", request().hex(), 0.2]])], check=True)
    out = json.loads(r.stdout)
    assert out["response"] == "" and out["sent"] < 12
    assert sb.log.count(r"^HTTP select failed", since=mark) == 3
    assert httpd.alive()


def test_connections_beyond_the_limits_are_refused_at_accept(sandbox):
    """One address holds at most 16 connections; all addresses together at most 256."""
    sb = sandbox
    httpd = start(sb)
    srcs = [f"10.71.0.{i}" for i in range(10, 27)]
    for src in srcs:
        sb.addr_add("client", "eth0", f"{src}/24")
    mark = sb.log.mark()
    # 16 addresses with 16 connections each (each one's 17th refused), then one more address.
    holder = sb.start("client", [sys.executable, "-c", HOLD, NODE,
                                 *[f"{s}:16" for s in srcs[:16]], f"{srcs[16]}:0"],
                      name="holder", stdin=subprocess.PIPE)
    for src in srcs:
        m = holder.wait_stdout(rf"^extra {re.escape(src)}:(\S*)$")
        assert m.group(1) in ("", "reset")
    per_addr = sb.log.find(r"^\[WARN\] Too many connections from", ident="velhttpd", since=mark)
    assert per_addr and per_addr[0].level == 4
    assert re.fullmatch(rf"\[WARN\] Too many connections from {srcs[0]} \(16\), refused "
                        rf"{srcs[0]}:\d+", per_addr[0].msg)
    # The last two extras find all 256 slots taken.
    lines = sb.log.wait(r"^Too many connections \(", ident="velhttpd", since=mark, count=2)
    lines = sb.log.find(r"^Too many connections \(", ident="velhttpd", since=mark)
    assert [re.sub(r":\d+$", "", l.msg) for l in lines] == [
        f"Too many connections (256), refused {src}" for src in srcs[15:]]
    assert [l.level for l in lines] == [3, 3]
    holder.popen.stdin.close()
    assert holder.wait() == 0
    # Once the held connections end, new ones are served again.
    sb.wait_until(lambda: raw(sb, *send(request())) == OK_EMPTY, 10, "an answer after the limit")
    assert httpd.alive()


def test_memory_per_connection_does_not_grow_with_the_body(sandbox):
    """Eight clients ask for 16 MiB bodies and read nothing: the bodies are made while sending,
    so velhttpd's resident memory grows by well under a mebibyte per connection."""
    sb = sandbox
    httpd = start(sb)
    for i in range(8):
        sb.addr_add("client", "eth0", f"10.71.0.{10 + i}/24")

    def rss():
        with open(f"/proc/{httpd.popen.pid}/status") as f:
            return int(next(l for l in f if l.startswith("VmRSS:")).split()[1])
    before = rss()
    holder = sb.start("client", [sys.executable, "-c", NOREAD, NODE, "8", "16777216"],
                      name="noread", stdin=subprocess.PIPE)
    holder.wait_stdout("^held")
    # Each connection has sent what its socket buffers take and waits for its reader.
    # Each connection has filled its socket buffers and waits for its reader.
    sb.wait_until(lambda: sb.run("node", ["ss", "-tnH", "state", "established", "sport",
                                          "= :10005"]).stdout.count("\n") >= 8, 10,
                  "8 connections")
    sb.wait_until(lambda: all(int(l.split()[1]) > 0 for l in sb.run(
        "node", ["ss", "-tnH", "state", "established", "sport", "= :10005"]).stdout.splitlines()),
        10, "every answer under way")
    grown = rss() - before
    assert grown < 8 * 1024, f"resident memory grew by {grown} kB for 8 connections"
    holder.popen.stdin.close()
    assert holder.wait() == 0
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
