#!/usr/bin/python3
"""veltalkd: a stand-in for the service's node-list and reserved-node service.

Serves both line protocols of TCP port 10010 on one listener, answering from
files that a test or the demo writes, and records what the nodes send. Python 3
standard library only.

    node list        the node sends "UN v2\\r\\n"; the answer is the lines of
                     --nodes FILE, then the end line "UO"
    reserved nodes   the node sends "R2\\r\\n"; the answer is the lines of
                     --reserved FILE (such as "R2 7 inet 198.51.100.9 443 TCP"),
                     then the end line "RO"
    results          the node connects and sends "RU ..." lines, then closes;
                     every line is recorded

The kind of a connection is told by its first line: "UN..." asks for the node
list, "R2..." for the reserved nodes, "RU..." starts a result report (that line
and every following one are recorded until the node closes). Anything else is
recorded as kind "other" and the connection is closed. A connection that sends
nothing is recorded as "connect" and "close" only.

Usage:
    veltalkd.py [options]

Options:
    --listen ADDR        address to listen on (repeatable; default 0.0.0.0)
    --port N             TCP port (default 10010)
    --nodes FILE         node-list answer (default: none, i.e. only the end line)
    --reserved FILE      reserved-node answer (default: none, i.e. only the end line)
    --nodes-end TEXT     end line of the node list (default "UO"; "" sends none)
    --reserved-end TEXT  end line of the reserved-node answer (default "RO"; "" sends none)
    --eol crlf|lf        line end put after each answer line (default crlf)
    --record FILE        append one JSON line per event, keys: time, peer, local,
                         conn (a number per connection), kind, line (the bytes as
                         latin-1 characters, line end included). Kinds:
                           connect   a connection was accepted (line "")
                           UN, R2    a request line
                           RU        a result line (begins with "RU")
                           other     any other complete line
                           partial   bytes left without a line feed at close
                           overlong  a line over 65536 bytes (the connection is closed)
                           close     the node closed; "lines" gives the count of
                                     complete lines received
                           timeout   the node sent nothing for 30 seconds (the
                                     connection is closed; "lines" as for close)
    --pidfile FILE       write the server's pid there once it listens

The answer files are read again at every request, so a test can change them
while the server runs. A missing file counts as empty. Each line of a file is
sent followed by the line end, except directive lines beginning with "#!":
    #!raw TEXT        send TEXT as it is, no line end added (escapes \\r \\n \\t
                      \\\\ and \\xHH), e.g. a line cut short or binary garbage
    #!long N [TEXT]   send TEXT padded with "x" to N bytes, then the line end
    #!sleep SECONDS   wait before sending the rest
    #!close           close the connection at once (no end line)
    #!noend           do not send the end line after the file

Once every socket listens, "veltalkd: listening on ADDR:PORT" is printed on
standard output for each. SIGTERM or SIGINT ends the server.
"""

import argparse
import json
import os
import signal
import socket
import sys
import threading
import time

MAX_LINE = 65536
IO_TIMEOUT = 30.0


def unescape(text):
    """Bytes of TEXT with \\r, \\n, \\t, \\\\ and \\xHH escapes resolved."""
    out, i = bytearray(), 0
    table = {"r": b"\r", "n": b"\n", "t": b"\t", "\\": b"\\"}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            if nxt in table:
                out += table[nxt]
                i += 2
                continue
            if nxt == "x" and _is_hex(text[i + 2:i + 4]):
                out.append(int(text[i + 2:i + 4], 16))
                i += 4
                continue
        out += c.encode("latin-1", "replace")
        i += 1
    return bytes(out)


def _is_hex(s):
    return len(s) == 2 and all(ch in "0123456789abcdefABCDEF" for ch in s)


class Recorder:
    def __init__(self, path):
        self.path = path
        self.lock = threading.Lock()
        if path:
            os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)

    def write(self, entry):
        if not self.path:
            return
        line = json.dumps(entry, ensure_ascii=True) + "\n"
        with self.lock, open(self.path, "a", encoding="ascii") as f:
            f.write(line)
            f.flush()


def read_answer(path):
    """Lines of an answer file (decoded as latin-1), [] when there is none."""
    if not path:
        return []
    try:
        with open(path, "rb") as f:
            data = f.read()
    except FileNotFoundError:
        return []
    except OSError as e:
        print("veltalkd: %s: %s" % (path, e), file=sys.stderr, flush=True)
        return []
    return data.decode("latin-1").splitlines()


def send_answer(conn, lines, end, eol):
    """Sends the answer lines and, unless a directive says otherwise, the end line."""
    send_end = True
    for line in lines:
        if not line.startswith("#!"):
            conn.sendall(line.encode("latin-1") + eol)
            continue
        word, _, rest = line[2:].partition(" ")
        if word == "raw":
            conn.sendall(unescape(rest))
        elif word == "long":
            count, _, text = rest.partition(" ")
            n = int(count)
            data = text.encode("latin-1")
            conn.sendall(data + b"x" * max(0, n - len(data)) + eol)
        elif word == "sleep":
            time.sleep(float(rest))
        elif word == "close":
            return
        elif word == "noend":
            send_end = False
        else:
            raise ValueError("unknown directive %r" % line)
    if send_end and end:
        conn.sendall(end.encode("latin-1") + eol)


class LineReader:
    """Reads lines ending in a line feed from a socket, keeping what is left at the end."""

    def __init__(self, conn):
        self.conn = conn
        self.buf = b""
        self.eof = False

    def readline(self):
        """A complete line (with its line feed), b"" at end of stream, None when too long."""
        while b"\n" not in self.buf:
            if len(self.buf) > MAX_LINE:
                return None
            if self.eof:
                return b""
            chunk = self.conn.recv(65536)
            if not chunk:
                self.eof = True
                continue
            self.buf += chunk
        line, _, self.buf = self.buf.partition(b"\n")
        if len(line) > MAX_LINE:
            return None
        return line + b"\n"


class TalkServer:
    """One listening socket; each connection is served on a thread of its own."""

    def __init__(self, addr, port, args, recorder):
        family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((addr, port))
        self.sock.listen(64)
        self.name = "%s:%d" % (addr, port)
        self.args = args
        self.recorder = recorder
        self.eol = b"\r\n" if args.eol == "crlf" else b"\n"

    counter_lock = threading.Lock()
    counter = 0

    @classmethod
    def next_conn(cls):
        with cls.counter_lock:
            cls.counter += 1
            return cls.counter

    def start(self):
        threading.Thread(target=self.accept_loop, daemon=True).start()

    def accept_loop(self):
        while True:
            try:
                conn, peer = self.sock.accept()
            except OSError:
                return
            threading.Thread(target=self.serve_safely, args=(conn, peer), daemon=True).start()

    def serve_safely(self, conn, peer):
        base = {"peer": peer[0], "local": None, "conn": self.next_conn()}
        try:
            base["local"] = conn.getsockname()[0]
            conn.settimeout(IO_TIMEOUT)
            self.serve(conn, base)
        except (OSError, ValueError) as e:
            print("veltalkd: %s: %s" % (peer[0], e), file=sys.stderr, flush=True)
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def record(self, base, kind, line, **extra):
        entry = dict(base, time=time.time(), kind=kind, line=line.decode("latin-1"))
        entry.update(extra)
        self.recorder.write(entry)

    def serve(self, conn, base):
        self.record(base, "connect", b"")
        reader = LineReader(conn)
        count = 0
        first = True
        while True:
            try:
                line = reader.readline()
            except socket.timeout:
                if reader.buf:
                    self.record(base, "partial", reader.buf)
                self.record(base, "timeout", b"", lines=count)
                return
            if line is None:
                self.record(base, "overlong", reader.buf[:256], length=len(reader.buf))
                return
            if not line:
                break
            count += 1
            if line.startswith(b"RU"):
                kind = "RU"
            elif first and line.startswith(b"UN"):
                kind = "UN"
            elif first and line.startswith(b"R2"):
                kind = "R2"
            else:
                kind = "other"
            self.record(base, kind, line)
            if kind == "UN":
                send_answer(conn, read_answer(self.args.nodes), self.args.nodes_end, self.eol)
                return
            if kind == "R2":
                send_answer(conn, read_answer(self.args.reserved), self.args.reserved_end,
                            self.eol)
                return
            if first and kind == "other":
                return
            first = False
        if reader.buf:
            self.record(base, "partial", reader.buf)
        self.record(base, "close", b"", lines=count)


def main(argv=None):
    ap = argparse.ArgumentParser(prog="veltalkd.py", description="node-list service stand-in")
    ap.add_argument("--listen", action="append", default=[])
    ap.add_argument("--port", type=int, default=10010)
    ap.add_argument("--nodes")
    ap.add_argument("--reserved")
    ap.add_argument("--nodes-end", default="UO")
    ap.add_argument("--reserved-end", default="RO")
    ap.add_argument("--eol", choices=("crlf", "lf"), default="crlf")
    ap.add_argument("--record")
    ap.add_argument("--pidfile")
    args = ap.parse_args(argv)

    recorder = Recorder(args.record)
    servers = [TalkServer(a, args.port, args, recorder) for a in (args.listen or ["0.0.0.0"])]

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    for srv in servers:
        srv.start()
    if args.pidfile:
        with open(args.pidfile, "w", encoding="ascii") as f:
            f.write("%d\n" % os.getpid())
    for srv in servers:
        print("veltalkd: listening on %s" % srv.name, flush=True)
    while not done.wait(1.0):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
