"""velechod end to end: the echo service on TCP and UDP port 10007 in namespace "echo", used from
namespace "client" across a veth link, as another node's velmeshd uses it.
"""

import json
import os
import re
import time

ECHO_IP = "198.51.100.1"
CLIENT_IP = "198.51.100.2"
PORT = 10007

# Runs in the client namespace; one case per call, a JSON result on stdout.
CLIENT = r'''
import json, os, socket, struct, sys, time
case, host, port = sys.argv[1], sys.argv[2], int(sys.argv[3])

def tcp(data):
    s = socket.create_connection((host, port), timeout=5)
    s.sendall(data)
    got = b""
    try:
        while True:
            b = s.recv(65536)
            if not b:
                break
            got += b
    except ConnectionResetError:
        pass
    return got

if case == "tcp":
    n = int(sys.argv[4])
    data = os.urandom(n)
    got = tcp(data)
    print(json.dumps({"sent": n, "got": len(got), "prefix": data.startswith(got)}))
elif case == "idle":
    s = socket.create_connection((host, port), timeout=30)
    t0 = time.monotonic()
    b = s.recv(16)
    print(json.dumps({"waited": time.monotonic() - t0, "got": len(b)}))
elif case == "udp":
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(3)
    s.connect((host, port))
    ok = 0
    for i, n in enumerate([1, 65000] * 25):
        data = os.urandom(n)
        s.send(data)
        if s.recv(65536) == data:
            ok += 1
    print(json.dumps({"ok": ok}))
elif case == "port0":
    # A datagram whose source port is 0: nothing can be sent back to it.
    r = socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP)
    payload = b"from port zero"
    r.sendto(struct.pack("!HHHH", 0, port, 8 + len(payload), 0) + payload, (host, 0))
    print(json.dumps({"sent": True}))
'''


def client(sb, *args, timeout=30):
    r = sb.run("client", ["python3", "-c", CLIENT, args[0], ECHO_IP, str(PORT), *map(str, args[1:])],
               timeout=timeout)
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout)


def test_tcp_and_udp_echo_the_idle_close_and_an_unanswerable_sender(sandbox):
    sb = sandbox
    sb.netns("echo")
    sb.netns("client")
    sb.link("echo", f"{ECHO_IP}/24", "client", f"{CLIENT_IP}/24")
    p = sb.start("echo", [sb.binary("velechod"), "-F"])
    sb.wait_listen("echo", PORT, "tcp")
    sb.wait_listen("echo", PORT, "udp")
    idle = sb.start("client", ["python3", "-c", CLIENT, "idle", ECHO_IP, str(PORT)], name="idle")

    assert client(sb, "tcp", 10) == {"sent": 10, "got": 10, "prefix": True}
    big = client(sb, "tcp", 20000)
    assert 0 < big["got"] <= 8192 and big["prefix"], big
    # A datagram that cannot be answered costs only itself.
    assert client(sb, "port0") == {"sent": True}
    sb.log.wait(rf"^\[WARN\] sendto\(2\) to {re.escape(CLIENT_IP)}:0 failed: 22 Invalid argument$",
                ident="velechod", level=4)
    assert client(sb, "udp") == {"ok": 50}

    assert idle.wait(20) == 0
    r = json.loads(idle.stdout())
    assert r["got"] == 0
    # Closed on the wheel 1000 ticks after accept, checked once a second.
    assert 8.5 <= r["waited"] <= 11.5, r
    assert p.alive()
    assert sb.read_file("/var/run/velechod.pid") == str(p.pid)  # the lock is lib-tested
    r = sb.run("echo", [sb.binary("velechod"), "-d", "-F"])
    assert r.returncode == 1
    assert r.stderr == "Only one of -d or -F can be specified\nvelechod [-d] [-F] [-P pid]\n"


# Holds 14 idle connections, then one more that sends "x"; prints "held" and waits for a line on
# stdin, closes the idle ones and prints what the last one got back.
HOLD = r'''
import socket, sys
host, port = sys.argv[1], int(sys.argv[2])
held = [socket.create_connection((host, port), timeout=10) for _ in range(14)]
extra = socket.create_connection((host, port), timeout=10)
extra.sendall(b"x")
print("held", flush=True)
sys.stdin.readline()
for s in held:
    s.close()
print("extra:" + extra.recv(16).decode(), flush=True)
'''


def test_out_of_descriptors_the_listener_rests_instead_of_spinning(sandbox):
    """16 descriptors: 14 idle clients take what is left; the one more waits in the backlog while
    velechod sleeps, says so once, and is served once the idle ones have gone."""
    import subprocess
    sb = sandbox
    sb.netns("echo")
    sb.netns("client")
    sb.link("echo", f"{ECHO_IP}/24", "client", f"{CLIENT_IP}/24")
    p = sb.start("echo", ["prlimit", "--nofile=16:16", "--", sb.binary("velechod"), "-F"])
    sb.wait_listen("echo", PORT, "tcp")
    holder = sb.start("client", ["python3", "-c", HOLD, ECHO_IP, str(PORT)], name="hold",
                      stdin=subprocess.PIPE)
    holder.wait_stdout("^held")
    line = sb.log.wait(r"^\[WARN\] accept\(2\) error: 24 ", ident="velechod")
    assert line.msg == ("[WARN] accept(2) error: 24 Too many open files; new TCP connections wait "
                        "until descriptors are free") and line.level == 4

    def cpu():
        with open(f"/proc/{p.popen.pid}/stat") as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    c0 = cpu()
    time.sleep(2)
    assert cpu() - c0 < 0.5  # it spun at one core before
    holder.popen.stdin.write(b"go\n")
    holder.popen.stdin.flush()
    assert holder.wait_stdout("^extra:(.*)$").group(1) == "x"
    sb.log.wait(r"^\[INFO\] TCP connections are accepted again \(\d+ accept\(2\) calls failed\)$",
                ident="velechod", level=6)
    assert sb.log.count(r"accept\(2\) error", ident="velechod") == 1
    assert p.alive()
