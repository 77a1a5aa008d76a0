#!/usr/bin/python3
"""velmaster: a test master server for velkarn nodes.

Serves the master server's HTTPS interface on port 443 with a throwaway
certificate made at start (openssl CLI), records every request and answers the
way a test asks. Python 3 standard library only.

Usage:
    velmaster.py [options]

Options:
    --listen ADDR        address to listen on (repeatable; default 0.0.0.0)
    --port N             HTTPS port (default 443)
    --hostname NAME      name in the certificate (default master.velkarn.example);
                         the certificate also names every --listen address
    --cert-out FILE      copy the certificate (PEM) there, e.g. as a CA file for a
                         node built with VEL_MASTER_CAFILE
    --record FILE        append one JSON line per request (default: none), with
                         keys time, peer, local, method, path, version, headers
                         (list of [name, value]), body and raw (the body and the
                         whole request, bytes as latin-1 characters), answer
                         (what was done) and tls (true)
    --info TEXT          settings body of a 200 answer to "/get/info.php"
                         (default "10.9.0.1:KR:203.0.113.5:adnuser:adnsecret")
    --answer PATH=SPEC   how to answer PATH (repeatable), SPEC one of:
                           STATUS[:BODY]  that status with BODY ("418:refused",
                                          "500", "200:10.9.0.1:KR:...")
                           garble         a status line that does not parse
                           raw:TEXT       TEXT as it is (\\r, \\n, \\t, \\\\ escapes)
                           close          close the connection without an answer
                           delay:SECONDS:SPEC  wait, then answer as SPEC
                         Default: "/get/info.php" 200 with --info, any other path
                         200 with the body "OK".
    --control FILE       JSON object {PATH: SPEC, ...} read at every request;
                         it wins over --answer, so a test can change answers
                         while the server runs. "*" matches any path.
    --pidfile FILE       write the server's pid there once it listens

Once every socket listens, "velmaster: listening on ADDR:PORT" is printed on
standard output for each. SIGTERM or SIGINT ends the server.

More services (such as the node-list and RTT line protocols on port 10010) go
in as further Listener subclasses started by main().
"""

import argparse
import json
import os
import shutil
import signal
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time

DEFAULT_HOST = "master.velkarn.example"
DEFAULT_INFO = "10.9.0.1:KR:203.0.113.5:adnuser:adnsecret"
MAX_REQUEST = 1 << 20
IO_TIMEOUT = 30.0


def unescape(text):
    out, i = [], 0
    table = {"r": "\r", "n": "\n", "t": "\t", "\\": "\\"}
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text) and text[i + 1] in table:
            out.append(table[text[i + 1]])
            i += 2
            continue
        out.append(c)
        i += 1
    return "".join(out)


REASONS = {200: "OK", 400: "Bad Request", 403: "Forbidden", 404: "Not Found",
           418: "I'm a teapot", 500: "Internal Server Error", 503: "Service Unavailable"}


def http_answer(status, body):
    body_b = body.encode("latin-1")
    head = "HTTP/1.1 %d %s\r\nContent-Type: text/plain\r\nContent-Length: %d\r\n" \
           "Connection: close\r\n\r\n" % (status, REASONS.get(status, "Status"), len(body_b))
    return head.encode("latin-1") + body_b


def render(spec):
    """Bytes to send for an answer spec, or None to close without answer."""
    if spec == "close":
        return None
    if spec == "garble":
        return b"HTTP/1.1\r\nthis is no status line\r\n\r\n"
    if spec.startswith("raw:"):
        return unescape(spec[4:]).encode("latin-1")
    if spec.startswith("delay:"):
        _, secs, rest = spec.split(":", 2)
        time.sleep(float(secs))
        return render(rest)
    status, _, body = spec.partition(":")
    return http_answer(int(status), body)


def check_spec(spec):
    """Reject a malformed answer spec at start rather than at the first request."""
    if spec in ("close", "garble") or spec.startswith("raw:"):
        return
    if spec.startswith("delay:"):
        parts = spec.split(":", 2)
        if len(parts) == 3:
            try:
                float(parts[1])
                return check_spec(parts[2])
            except ValueError:
                pass
        raise SystemExit("velmaster: bad delay spec %r" % spec)
    status = spec.partition(":")[0]
    if not status.isdigit() or not 100 <= int(status) <= 999:
        raise SystemExit("velmaster: bad answer spec %r" % spec)


def make_certificate(workdir, hostname, addresses):
    key = os.path.join(workdir, "key.pem")
    cert = os.path.join(workdir, "cert.pem")
    san = ["DNS:" + hostname] + ["IP:" + a for a in addresses if a not in ("0.0.0.0", "::")]
    subprocess.run(
        ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
         "-nodes", "-keyout", key, "-out", cert, "-days", "2", "-subj", "/CN=" + hostname,
         "-addext", "subjectAltName=" + ",".join(san),
         "-addext", "basicConstraints=critical,CA:TRUE"],
        check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return cert, key


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


class Listener:
    """A TCP listener; each connection is served on a thread of its own."""

    def __init__(self, addr, port):
        family = socket.AF_INET6 if ":" in addr else socket.AF_INET
        self.sock = socket.socket(family, socket.SOCK_STREAM)
        self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.sock.bind((addr, port))
        self.sock.listen(64)
        self.name = "%s:%d" % (addr, port)

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
        try:
            conn.settimeout(IO_TIMEOUT)
            self.serve(conn, peer)
        except (OSError, ValueError) as e:
            print("velmaster: %s: %s" % (peer[0], e), file=sys.stderr, flush=True)
        finally:
            try:
                conn.close()
            except OSError:
                pass

    def serve(self, conn, peer):
        raise NotImplementedError


class MasterHttps(Listener):
    def __init__(self, addr, port, tls, answers, control, info, recorder):
        super().__init__(addr, port)
        self.tls = tls
        self.answers = answers
        self.control = control
        self.info = info
        self.recorder = recorder

    def spec_for(self, path):
        if self.control and os.path.exists(self.control):
            try:
                with open(self.control, encoding="utf-8") as f:
                    table = json.load(f)
            except (OSError, ValueError) as e:
                print("velmaster: control file: %s" % e, file=sys.stderr, flush=True)
                table = {}
            if path in table:
                return table[path]
            if "*" in table:
                return table["*"]
        if path in self.answers:
            return self.answers[path]
        if "*" in self.answers:
            return self.answers["*"]
        if path == "/get/info.php":
            return "200:" + self.info
        return "200:OK"

    @staticmethod
    def read_request(tconn):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = tconn.recv(65536)
            if not chunk:
                return data, None
            data += chunk
            if len(data) > MAX_REQUEST:
                raise ValueError("request header too long")
        head, _, rest = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        if length > MAX_REQUEST:
            raise ValueError("body too long")
        while len(rest) < length:
            chunk = tconn.recv(65536)
            if not chunk:
                break
            rest += chunk
        return head + b"\r\n\r\n" + rest, (head, rest)

    def serve(self, conn, peer):
        tconn = self.tls.wrap_socket(conn, server_side=True)
        raw, parts = self.read_request(tconn)
        entry = {"time": time.time(), "peer": peer[0], "local": tconn.getsockname()[0],
                 "tls": True, "raw": raw.decode("latin-1")}
        if parts is None:
            entry.update(method=None, path=None, answer="incomplete request")
            self.recorder.write(entry)
            return
        head, body = parts
        lines = head.decode("latin-1").split("\r\n")
        method, path, version = (lines[0].split(" ") + ["", "", ""])[:3]
        headers = [[n, v.lstrip(" ")] for n, _, v in (l.partition(":") for l in lines[1:])]
        spec = self.spec_for(path)
        entry.update(method=method, path=path, version=version, headers=headers,
                     body=body.decode("latin-1"), answer=spec)
        self.recorder.write(entry)
        answer = render(spec)
        if answer is None:
            return  # close without a word
        tconn.sendall(answer)
        try:
            tconn.unwrap()
        except (OSError, ssl.SSLError):
            pass


def parse_answers(items):
    table = {}
    for item in items:
        path, sep, spec = item.partition("=")
        if not sep or not path.startswith(("/", "*")):
            raise SystemExit("velmaster: --answer wants PATH=SPEC, got %r" % item)
        table[path] = spec
    return table


def main(argv=None):
    ap = argparse.ArgumentParser(prog="velmaster.py", description="test master server")
    ap.add_argument("--listen", action="append", default=[])
    ap.add_argument("--port", type=int, default=443)
    ap.add_argument("--hostname", default=DEFAULT_HOST)
    ap.add_argument("--cert-out")
    ap.add_argument("--record")
    ap.add_argument("--info", default=DEFAULT_INFO)
    ap.add_argument("--answer", action="append", default=[])
    ap.add_argument("--control")
    ap.add_argument("--pidfile")
    args = ap.parse_args(argv)
    addresses = args.listen or ["0.0.0.0"]
    answers = parse_answers(args.answer)
    for spec in answers.values():
        check_spec(spec)

    workdir = tempfile.mkdtemp(prefix="velmaster.")
    try:
        cert, key = make_certificate(workdir, args.hostname, addresses)
        if args.cert_out:
            shutil.copyfile(cert, args.cert_out)
        tls = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        tls.load_cert_chain(cert, key)
        recorder = Recorder(args.record)
        listeners = [MasterHttps(a, args.port, tls, answers, args.control, args.info, recorder)
                     for a in addresses]
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    done = threading.Event()
    signal.signal(signal.SIGTERM, lambda *_: done.set())
    signal.signal(signal.SIGINT, lambda *_: done.set())
    for lst in listeners:
        lst.start()
    if args.pidfile:
        with open(args.pidfile, "w", encoding="ascii") as f:
            f.write("%d\n" % os.getpid())
    for lst in listeners:
        print("velmaster: listening on %s" % lst.name, flush=True)
    while not done.wait(1.0):
        pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
