"""Sandbox for system tests: private network namespaces, a private file tree, a syslog catcher.

Every daemon of a node runs here the way it runs on a real node (fixed paths, /dev/log, /var/run
pid files, TAP devices, raw sockets), without touching the host. Tests run as root.

Quick start::

    from sandbox import Sandbox

    with Sandbox() as sb:                      # or use the `sandbox` fixture of conftest.py
        sb.netns("node")
        sb.netns("client")
        sb.link("client", "node", "198.51.100.2/24", "198.51.100.1/24")
        sb.write_file("/etc/velkarn-server/public_ip", "198.51.100.1")
        veld = sb.start("node", [sb.binary("veld"), "-F"])
        sb.log.wait(r"\\[INFO\\] ", ident="veld")          # a syslog line of veld
        sb.wait_listen("node", 10008, "udp")
        r = sb.run("client", ["ping", "-c1", "-W2", "198.51.100.1"])
        assert r.returncode == 0
        sb.stop(veld)

Isolation
    One private mount namespace per sandbox, shared by all of its network namespaces, has
    - tmpfs over "/etc/velkarn-server", "/var/velkarn-server", "/opt/velkarn-server",
      "/opt/velkarn" and "/run" (so also "/var/run"); where such a directory does not exist on the
      host its parent (/etc, /var, /opt) gets a private overlay first, so nothing is created on
      the host;
    - its own "/etc/hosts" (see `hosts()`), initially only the loopback names;
    - its own tmpfs on /dev with null, zero, urandom, random, tty and net/tun bind-mounted back from
      the host, a tmpfs /dev/shm, the fd/stdin/stdout/stderr links, and a datagram socket at
      /dev/log that records every syslog line (see `LogCatcher`).
    Everything else (/usr, /tmp, /proc, /sys, the build tree) is the host's. /sys/class/net shows
    the host's interfaces: use `link_stats()` for the counters of an interface in a namespace.
    Host paths inside the sandbox: `path("/etc/velkarn-server/x")` gives the name under which the
    test process reaches that file; `write_file`, `read_file` and `exists` use it.

Network namespaces
    `netns(name)` creates one (loopback up). No route leads out of the machine: a namespace only
    has the links that `link()` makes between namespaces of this sandbox. Namespaces and the mount
    namespace are each held by a holder process that dies with the test process (parent-death
    signal), and nothing is registered in /run/netns, so even a killed test run leaves nothing.
    Labels carry the run's pid (`Netns.label`, e.g. "vel4242-node"); `describe()` lists the holder
    pids, for `nsenter -t PID -n -m` while debugging.

Processes
    `start(ns, argv)` starts a program inside a namespace (and the mount namespace) and returns a
    `Proc`; its standard output and error are captured to files in the sandbox (`Proc.stderr()`,
    `Proc.stdout()`, `Proc.wait_stderr(regex)`). `run(ns, argv)` runs one to completion and returns
    a `subprocess.CompletedProcess` (text output). `stop(proc)` sends SIGTERM, waits, then SIGKILL.
    `sh(ns, "cmd")` runs a shell line and raises on a non-zero status. Close (or the fixture)
    stops every process it started and kills whatever else still runs in its namespaces (for
    example a daemon that detached).

Waiting (every wait is bounded; on timeout an AssertionError tells what was awaited)
    `wait_until(pred, timeout, what)`; `log.wait(regex, ...)`; `Proc.wait_stderr(regex)`;
    `wait_listen(ns, port, proto)` polls `ss` for a listening TCP port or a bound UDP/raw socket;
    `wait_file(path)`; `Proc.wait(timeout)` for an exit status.

Helpers
    `sysctl(ns, key, value)` writes a per-namespace sysctl; `addr_add(ns, dev, cidr)`,
    `route_add(ns, dest, via)`, `link_stats(ns, dev)` returns the kernel's counters of a device
    (rx_packets, tx_packets, rx_bytes, tx_bytes, ...); `hosts({"name": "addr"})` rewrites
    /etc/hosts. `binary("veld")` finds a built program (BUILD/veld/veld or BUILD/tools/NAME, BUILD
    from VEL_BUILD_DIR, default <repo>/build).
"""

import contextlib
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import threading
import time

DEFAULT_TIMEOUT = 20.0
FIXED_DIRS = ("/etc/velkarn-server", "/var/velkarn-server", "/opt/velkarn-server", "/opt/velkarn")
DEV_NODES = ("null", "zero", "urandom", "random", "tty", "net/tun")
STAGE = "/run/.velsbx"
LEVELS = {0: "EMERG", 1: "ALERT", 2: "CRIT", 3: "ERROR", 4: "WARN", 5: "NOTICE", 6: "INFO", 7: "DEBUG"}
_PATH = "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin"

_SYSLOG_RE = re.compile(
    r"^<(\d+)>(?:[A-Z][a-z]{2} [ \d]\d \d\d:\d\d:\d\d |\S+ )?([^\s:\[]+)(?:\[(\d+)\])?: ?(.*)$", re.S)


def repo_dir():
    return os.environ.get("VEL_SOURCE_DIR") or os.path.dirname(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build_dir():
    return os.environ.get("VEL_BUILD_DIR") or os.path.join(repo_dir(), "build")


def binary(name):
    """Path of a built program: BUILD/NAME/NAME for node programs, BUILD/tools/NAME for tools."""
    for cand in (os.path.join(build_dir(), name, name), os.path.join(build_dir(), "tools", name)):
        if os.access(cand, os.X_OK):
            return cand
    raise AssertionError(f"program {name} is not built in {build_dir()} (build it first)")


def wait_until(pred, timeout=DEFAULT_TIMEOUT, what="condition", interval=0.02):
    """Polls pred() until it returns a true value, which is returned; raises after timeout."""
    deadline = time.monotonic() + timeout
    while True:
        v = pred()
        if v:
            return v
        if time.monotonic() >= deadline:
            raise AssertionError(f"timed out after {timeout:.0f}s waiting for {what}")
        time.sleep(interval)
        interval = min(interval * 1.5, 0.25)


class LogLine:
    """One syslog datagram: prio (facility * 8 + level), level, facility, ident, pid, msg, raw."""

    def __init__(self, raw, when):
        self.raw = raw
        self.when = when
        m = _SYSLOG_RE.match(raw)
        if m:
            self.prio = int(m.group(1))
            self.ident = m.group(2)
            self.pid = int(m.group(3)) if m.group(3) else None
            self.msg = m.group(4).rstrip("\n")
        else:
            self.prio, self.ident, self.pid, self.msg = -1, None, None, raw
        self.level = self.prio & 7 if self.prio >= 0 else -1
        self.facility = self.prio >> 3 if self.prio >= 0 else -1

    @property
    def level_name(self):
        return LEVELS.get(self.level, "?")

    def __repr__(self):
        return f"<{self.prio}> {self.ident}[{self.pid}] {self.msg!r}"


class LogCatcher:
    """Records every datagram that arrives at the sandbox's /dev/log, in arrival order."""

    def __init__(self, sock_path):
        self._sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        self._sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4 << 20)
        self._sock.bind(sock_path)
        os.chmod(sock_path, 0o666)
        self._sock.settimeout(0.1)
        self.lines = []
        self._cond = threading.Condition()
        self._stop = False
        self._thread = threading.Thread(target=self._loop, name="devlog", daemon=True)
        self._thread.start()

    def _loop(self):
        while not self._stop:
            try:
                data = self._sock.recv(65536)
            except socket.timeout:
                continue
            except OSError:
                break
            line = LogLine(data.decode("utf-8", "replace"), time.monotonic())
            with self._cond:
                self.lines.append(line)
                self._cond.notify_all()

    def close(self):
        self._stop = True
        self._thread.join(2)
        self._sock.close()

    def mark(self):
        """Index of the next line; pass as `since` to look only at later lines."""
        with self._cond:
            return len(self.lines)

    def find(self, regex, ident=None, level=None, since=0):
        """Every recorded line (since the mark) whose message matches regex (re.search)."""
        rx = re.compile(regex)
        with self._cond:
            lines = self.lines[since:]
        return [l for l in lines if (ident is None or l.ident == ident)
                and (level is None or l.level == level) and rx.search(l.msg)]

    def count(self, regex, ident=None, level=None, since=0):
        return len(self.find(regex, ident, level, since))

    def wait(self, regex, timeout=DEFAULT_TIMEOUT, ident=None, level=None, since=0, count=1):
        """Waits until `count` matching lines are recorded; returns the last one of them."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while True:
                found = self.find(regex, ident, level, since)
                if len(found) >= count:
                    return found[count - 1]
                left = deadline - time.monotonic()
                if left <= 0:
                    tail = "\n  ".join(repr(l) for l in self.lines[-15:])
                    raise AssertionError(
                        f"timed out after {timeout:.0f}s waiting for log line /{regex}/"
                        f" (ident={ident}, level={level}, count={count}); last lines:\n  {tail}")
                self._cond.wait(min(left, 0.5))

    def text(self, since=0):
        with self._cond:
            return "\n".join(repr(l) for l in self.lines[since:])


class Netns:
    def __init__(self, name, label, holder):
        self.name = name
        self.label = label
        self.holder = holder

    @property
    def pid(self):
        return self.holder.pid

    @property
    def nsfile(self):
        return f"/proc/{self.holder.pid}/ns/net"


class Proc:
    """A process started in the sandbox. `popen` is the subprocess.Popen; `pid` its pid."""

    def __init__(self, sb, name, argv, popen, out_path, err_path):
        self.sb = sb
        self.name = name
        self.argv = argv
        self.popen = popen
        self.pid = popen.pid
        self._out = out_path
        self._err = err_path

    def _read(self, path):
        try:
            with open(path, "r", errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def stderr(self):
        return self._read(self._err)

    def stdout(self):
        return self._read(self._out)

    def poll(self):
        return self.popen.poll()

    @property
    def returncode(self):
        return self.popen.poll()

    def alive(self):
        return self.popen.poll() is None

    def wait(self, timeout=DEFAULT_TIMEOUT):
        """Waits for the exit status (negative: killed by that signal)."""
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{self.name} (pid {self.pid}) did not end within {timeout:.0f}s")

    def _wait_stream(self, read, regex, timeout, what):
        rx = re.compile(regex, re.M)

        def probe():
            m = rx.search(read())
            if m or self.alive():
                return m
            m = rx.search(read())  # the last lines may land just as it ends
            return m or self._dead(regex)

        return wait_until(probe, timeout, f"/{regex}/ on {what} of {self.name}")

    def wait_stderr(self, regex, timeout=DEFAULT_TIMEOUT):
        """Waits until standard error matches regex (re.M); returns the match."""
        return self._wait_stream(self.stderr, regex, timeout, "standard error")

    def wait_stdout(self, regex, timeout=DEFAULT_TIMEOUT):
        return self._wait_stream(self.stdout, regex, timeout, "standard output")

    def _dead(self, regex):
        raise AssertionError(f"{self.name} ended with status {self.popen.returncode} before /{regex}/"
                             f" appeared; stderr:\n{self.stderr()[-2000:]}")

    def signal(self, sig):
        if self.alive():
            os.kill(self.pid, sig)

    def __repr__(self):
        return f"<Proc {self.name} pid {self.pid} rc {self.popen.poll()}>"


def _holder(args):
    """A process that keeps a namespace alive and dies with the test process."""
    return subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "unshare", *args, "--",
                             "sleep", "infinity"],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            env={"PATH": _PATH})


def _ns_inode(pid, kind):
    try:
        return os.stat(f"/proc/{pid}/ns/{kind}").st_ino
    except OSError:
        return None


class Sandbox:
    def __init__(self, label=None, extra_dirs=()):
        """extra_dirs: more directories (such as "/var/log") that get a private tmpfs."""
        self.label = label or f"vel{os.getpid()}"
        self._dirs = FIXED_DIRS + tuple(extra_dirs)
        self.namespaces = {}
        self.procs = []
        self._mnt = None
        self.log = None
        self._seq = 0
        self._ifcount = {}
        self._hosts = {}
        self._closed = False
        try:
            self._setup_mounts()
            self.log = LogCatcher(self.path("/dev/log"))
            self.hosts({})
        except BaseException:
            self.close()
            raise

    # ---- set-up and teardown -------------------------------------------------------------

    def _setup_mounts(self):
        if os.geteuid() != 0:
            raise AssertionError("system tests run as root")
        self._mnt = _holder(["--mount", "--propagation", "private"])
        wait_until(lambda: _ns_inode(self._mnt.pid, "mnt") != _ns_inode(os.getpid(), "mnt"),
                   10, "the mount namespace holder")
        lines = ["set -eu",
                 "mount -t tmpfs -o mode=755 velsbx /run",
                 f"mkdir -p {STAGE}/olddev {STAGE}/out"]
        if not os.path.islink("/var/run"):
            lines.append("mount -t tmpfs -o mode=755 velsbx /var/run")
        overlaid = set()
        for d in self._dirs:
            parent = os.path.dirname(d)
            if not os.path.isdir(d) and parent not in overlaid:
                overlaid.add(parent)
                tag = parent.strip("/")
                lines += [f"mkdir -p {STAGE}/ovl-{tag}/up {STAGE}/ovl-{tag}/work",
                          f"mount -t overlay overlay -o lowerdir={parent},upperdir={STAGE}/ovl-{tag}/up,"
                          f"workdir={STAGE}/ovl-{tag}/work {parent}"]
        for d in self._dirs:
            lines += [f"mkdir -p {d}", f"mount -t tmpfs -o mode=755 velsbx {d}"]
        lines += [f": > {STAGE}/hosts", f"mount --bind {STAGE}/hosts /etc/hosts",
                  f"mount --bind /dev {STAGE}/olddev",
                  "mount -t tmpfs -o mode=755,nosuid velsbx /dev",
                  "mkdir -p /dev/net /dev/shm /dev/pts",
                  "mount -t tmpfs -o mode=1777,nosuid,nodev velsbx /dev/shm"]
        for n in DEV_NODES:
            lines += [f"[ -e {STAGE}/olddev/{n} ] && {{ : > /dev/{n}; mount --bind {STAGE}/olddev/{n} /dev/{n}; }} || true"]
        lines += ["ln -s /proc/self/fd /dev/fd", "ln -s /proc/self/fd/0 /dev/stdin",
                  "ln -s /proc/self/fd/1 /dev/stdout", "ln -s /proc/self/fd/2 /dev/stderr",
                  f"umount -l {STAGE}/olddev"]
        r = subprocess.run(["nsenter", f"--mount=/proc/{self._mnt.pid}/ns/mnt", "--", "sh", "-c",
                            "\n".join(lines)], capture_output=True, text=True, env={"PATH": _PATH})
        if r.returncode != 0:
            raise AssertionError(f"sandbox mounts failed: {r.stderr.strip()}")

    def close(self):
        """Stops every process, kills stragglers in the namespaces, drops the namespaces."""
        if self._closed:
            return
        self._closed = True
        for p in reversed(self.procs):
            with contextlib.suppress(Exception):
                self.stop(p, timeout=5)
        self._kill_stragglers()
        if self.log:
            self.log.close()
        for ns in self.namespaces.values():
            self._end(ns.holder)
        if self._mnt:
            self._end(self._mnt)

    def _kill_stragglers(self):
        inodes = set()
        for ns in self.namespaces.values():
            inodes.add(("net", _ns_inode(ns.pid, "net")))
        if self._mnt:
            inodes.add(("mnt", _ns_inode(self._mnt.pid, "mnt")))
        holders = {ns.pid for ns in self.namespaces.values()} | ({self._mnt.pid} if self._mnt else set())
        for _ in range(3):
            victims = []
            for d in os.listdir("/proc"):
                if not d.isdigit() or int(d) in holders or int(d) == os.getpid():
                    continue
                pid = int(d)
                if ("net", _ns_inode(pid, "net")) in inodes or ("mnt", _ns_inode(pid, "mnt")) in inodes:
                    victims.append(pid)
            if not victims:
                return
            for pid in victims:
                with contextlib.suppress(OSError):
                    os.kill(pid, signal.SIGKILL)
            with contextlib.suppress(Exception):
                wait_until(lambda: not any(os.path.exists(f"/proc/{v}") and
                                           _state(v) != "Z" for v in victims), 5, "stragglers")

    @staticmethod
    def _end(popen):
        if popen.poll() is None:
            popen.kill()
        with contextlib.suppress(Exception):
            popen.wait(5)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def describe(self):
        lines = [f"sandbox {self.label}: mount holder pid {self._mnt.pid if self._mnt else '-'}"]
        for ns in self.namespaces.values():
            lines.append(f"  netns {ns.name} ({ns.label}): holder pid {ns.pid}")
        for p in self.procs:
            lines.append(f"  {p!r}: {' '.join(p.argv)}")
        return "\n".join(lines)

    def diagnostics(self):
        """Text for a failed test: topology, processes with their stderr, the syslog lines."""
        out = [self.describe()]
        for p in self.procs:
            err = p.stderr()
            if err:
                out.append(f"--- stderr of {p.name} (pid {p.pid}):\n{err[-4000:]}")
        if self.log:
            out.append("--- /dev/log:\n" + "\n".join(repr(l) for l in self.log.lines[-200:]))
        return "\n".join(out)

    # ---- files -----------------------------------------------------------------------------

    def path(self, p):
        """Name under which the test process reaches path p of the sandbox's file tree."""
        if not p.startswith("/"):
            raise ValueError(f"absolute path expected: {p}")
        root = f"/proc/{self._mnt.pid}/root"
        # Symbolic links (such as /var/run -> /run) must resolve inside the sandbox, not against
        # the test process's own root.
        parts, done, hops = [c for c in p.split("/") if c], [], 0
        while parts:
            c = parts.pop(0)
            if c == ".":
                continue
            if c == "..":
                if done:
                    done.pop()
                continue
            cur = root + "/" + "/".join(done + [c])
            if os.path.islink(cur):
                hops += 1
                if hops > 40:
                    raise OSError(f"too many symbolic links in {p}")
                target = os.readlink(cur)
                if target.startswith("/"):
                    done = []
                parts = [x for x in target.split("/") if x] + parts
                continue
            done.append(c)
        return root + "/" + "/".join(done)

    def write_file(self, p, data, mode=0o644):
        hp = self.path(p)
        os.makedirs(os.path.dirname(hp), exist_ok=True)
        with open(hp, "wb" if isinstance(data, bytes) else "w") as f:
            f.write(data)
        os.chmod(hp, mode)

    def read_file(self, p, binary=False):
        with open(self.path(p), "rb" if binary else "r") as f:
            return f.read()

    def exists(self, p):
        return os.path.lexists(self.path(p))

    def remove(self, p):
        hp = self.path(p)
        if os.path.isdir(hp) and not os.path.islink(hp):
            shutil.rmtree(hp)
        elif os.path.lexists(hp):
            os.unlink(hp)

    def wait_file(self, p, timeout=DEFAULT_TIMEOUT, nonempty=False):
        hp = self.path(p)
        return wait_until(lambda: os.path.exists(hp) and (not nonempty or os.path.getsize(hp) > 0),
                          timeout, f"file {p}")

    def hosts(self, entries):
        """Adds host names ({"name": "addr"}) to the sandbox's /etc/hosts (rewritten in place)."""
        self._hosts.update(entries)
        text = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n"
        text += "".join(f"{a}\t{n}\n" for n, a in self._hosts.items())
        with open(self.path(f"{STAGE}/hosts"), "w") as f:
            f.write(text)

    # ---- namespaces and links ------------------------------------------------------------------

    def netns(self, name):
        """Creates network namespace `name` (loopback up) and returns it."""
        if name in self.namespaces:
            raise ValueError(f"namespace {name} exists")
        h = _holder(["--net"])
        ns = Netns(name, f"{self.label}-{name}", h)
        self.namespaces[name] = ns
        wait_until(lambda: _ns_inode(h.pid, "net") not in (None, _ns_inode(os.getpid(), "net")),
                   10, f"holder of namespace {name}")
        self.sh(name, "ip link set lo up")
        return ns

    def _ns(self, name):
        try:
            return self.namespaces[name]
        except KeyError:
            raise ValueError(f"no namespace {name}; create it with netns()") from None

    def _ifname(self, ns):
        n = self._ifcount.get(ns, 0)
        self._ifcount[ns] = n + 1
        return f"eth{n}"

    def link(self, ns_a, addr_a=None, ns_b=None, addr_b=None, name_a=None, name_b=None, mtu=None):
        """A veth pair between two namespaces, each end with an optional address ("a.b.c.d/len").
        Returns the pair of interface names (default eth0, eth1, ... per namespace)."""
        a, b = self._ns(ns_a), self._ns(ns_b)
        name_a = name_a or self._ifname(ns_a)
        name_b = name_b or self._ifname(ns_b)
        tmp_a, tmp_b = f"vs{os.getpid() % 100000}a{self._seq}", f"vs{os.getpid() % 100000}b{self._seq}"
        self._seq += 1
        # Created inside ns_a so that no end ever appears in the host's namespace.
        self.sh(ns_a, f"ip link add {tmp_a} type veth peer name {tmp_b} netns {b.pid}")
        self.sh(ns_a, f"ip link set {tmp_a} name {name_a}")
        self.sh(ns_b, f"ip link set {tmp_b} name {name_b}")
        for ns, dev, addr in ((ns_a, name_a, addr_a), (ns_b, name_b, addr_b)):
            if mtu:
                self.sh(ns, f"ip link set {dev} mtu {mtu}")
            if addr:
                self.addr_add(ns, dev, addr)
            self.sh(ns, f"ip link set {dev} up")
        return name_a, name_b

    def addr_add(self, ns, dev, cidr):
        self.sh(ns, f"ip addr add {cidr} dev {dev}")

    def route_add(self, ns, dest, via=None, dev=None):
        cmd = f"ip route add {dest}" + (f" via {via}" if via else "") + (f" dev {dev}" if dev else "")
        self.sh(ns, cmd)

    def sysctl(self, ns, key, value):
        self.sh(ns, f"sysctl -q -w {key}={value}")

    def sysctl_get(self, ns, key):
        return self.run(ns, ["sysctl", "-n", key], check=True).stdout.strip()

    def link_stats(self, ns, dev):
        """Kernel counters of a device in a namespace: rx_packets, tx_packets, rx_bytes, ..."""
        r = self.run(ns, ["ip", "-j", "-s", "link", "show", "dev", dev], check=True)
        info = json.loads(r.stdout)[0]
        st = info["stats64"]
        out = {f"rx_{k}": v for k, v in st["rx"].items()}
        out.update({f"tx_{k}": v for k, v in st["tx"].items()})
        return out

    def interfaces(self, ns):
        r = self.run(ns, ["ip", "-j", "link", "show"], check=True)
        return [i["ifname"] for i in json.loads(r.stdout)]

    # ---- processes --------------------------------------------------------------------------

    def _argv(self, ns, argv):
        n = self._ns(ns)
        return ["setpriv", "--pdeathsig", "KILL", "nsenter", f"--net={n.nsfile}",
                f"--mount=/proc/{self._mnt.pid}/ns/mnt", "--wd=/", "--", *[str(a) for a in argv]]

    def _env(self, env):
        e = {"PATH": _PATH, "LANG": "C", "LC_ALL": "C", "HOME": "/root"}
        if env:
            e.update(env)
        return e

    def start(self, ns, argv, name=None, env=None, stdin=subprocess.DEVNULL):
        """Starts argv in namespace ns; returns a Proc with captured stdout and stderr."""
        name = name or os.path.basename(str(argv[0]))
        self._seq += 1
        out = f"{STAGE}/out/{self._seq}-{name}.out"
        err = f"{STAGE}/out/{self._seq}-{name}.err"
        with open(self.path(out), "wb") as fo, open(self.path(err), "wb") as fe:
            popen = subprocess.Popen(self._argv(ns, argv), stdin=stdin, stdout=fo, stderr=fe,
                                     env=self._env(env))
        p = Proc(self, name, [str(a) for a in argv], popen, self.path(out), self.path(err))
        self.procs.append(p)
        return p

    def run(self, ns, argv, timeout=60, check=False, input=None, env=None):
        """Runs argv to completion in namespace ns; returns a CompletedProcess (text)."""
        try:
            r = subprocess.run(self._argv(ns, argv), capture_output=True, text=True,
                               timeout=timeout, input=input, env=self._env(env),
                               stdin=None if input is not None else subprocess.DEVNULL)
        except subprocess.TimeoutExpired:
            raise AssertionError(f"{' '.join(map(str, argv))} in {ns} did not end within {timeout}s")
        if check and r.returncode != 0:
            raise AssertionError(f"{' '.join(map(str, argv))} in {ns} failed with status "
                                 f"{r.returncode}: {r.stderr.strip()}")
        return r

    def sh(self, ns, cmd, timeout=60):
        """Runs a shell line in namespace ns; raises unless it succeeds; returns its stdout."""
        return self.run(ns, ["sh", "-c", cmd], timeout=timeout, check=True).stdout

    def stop(self, proc, sig=signal.SIGTERM, timeout=10):
        """Ends a process: sig, then SIGKILL after timeout. Returns its exit status."""
        if proc.popen.poll() is None:
            with contextlib.suppress(ProcessLookupError):
                proc.popen.send_signal(sig)
            try:
                proc.popen.wait(timeout)
            except subprocess.TimeoutExpired:
                proc.popen.kill()
                proc.popen.wait(timeout)
        return proc.popen.returncode

    def binary(self, name):
        return binary(name)

    # ---- readiness -------------------------------------------------------------------------

    def sockets(self, ns, proto="tcp"):
        """Local (addr, port) of listening TCP sockets, or of bound UDP / raw sockets."""
        flag = {"tcp": "-ltn", "udp": "-lun", "raw": "-lwn"}[proto]
        r = self.run(ns, ["ss", "-H", flag], check=True)
        out = []
        for line in r.stdout.splitlines():
            f = line.split()
            if len(f) >= 4:
                addr, _, port = f[3].rpartition(":")
                out.append((addr, port))
        return out

    def wait_listen(self, ns, port, proto="tcp", timeout=DEFAULT_TIMEOUT):
        """Waits for a listening TCP port, a bound UDP port or (proto "raw") a raw socket of
        that protocol number (1 for ICMP)."""
        keys = {str(port)} | ({"icmp"} if proto == "raw" and str(port) == "1" else set())
        return wait_until(lambda: any(p in keys for _, p in self.sockets(ns, proto)),
                          timeout, f"{proto} socket on port {port} in {ns}")

    def wait_until(self, pred, timeout=DEFAULT_TIMEOUT, what="condition"):
        return wait_until(pred, timeout, what)


def _state(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rsplit(")", 1)[1].split()[0]
    except OSError:
        return None
