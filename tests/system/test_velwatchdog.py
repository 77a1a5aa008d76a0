"""velwatchdog end to end: `velwatchdog -d` in a sandbox supervising small shell services.

Each service runs /bin/sh on the recorder script below, so that /proc/$$/cmdline shows the whole
argument vector the supervisor gave (argument 0 included). Every start appends one line to
/opt/velkarn/rec/TAG.starts: pid, core-file limit, ignored and blocked signal masks, the targets
of descriptors 0, 1, 2, and the argument vector joined with "|". A service ends when the test
writes an exit code into /opt/velkarn/rec/TAG.exit.
"""

import os
import signal
import time

CONF = "/opt/velkarn/1.6.3/etc/velwatchdog.conf"
REC = "/opt/velkarn/rec"
SCRIPT = "/opt/velkarn/svc.sh"
RECORDER = r"""#!/bin/sh
tag=$1
rec=/opt/velkarn/rec/$tag
cmd=$(tr '\0' '|' < /proc/$$/cmdline)
ign=$(awk '/^SigIgn/ {print $2}' /proc/$$/status)
blk=$(awk '/^SigBlk/ {print $2}' /proc/$$/status)
echo "$$ $(ulimit -c) $ign $blk $(readlink /proc/$$/fd/0) $(readlink /proc/$$/fd/1) $(readlink /proc/$$/fd/2) $cmd" >> $rec.starts
while [ ! -e $rec.exit ]; do sleep 0.05; done
code=$(cat $rec.exit)
rm -f $rec.exit
exit $code
"""
SIGHUP_BIT = 1 << (signal.SIGHUP - 1)
SIGPIPE_BIT = 1 << (signal.SIGPIPE - 1)
LOG_DAEMON = 3
LOG_ERR = 3


def entry(tag, *args):
    """A configuration line running the recorder as service TAG (argument 0: TAG-sh)."""
    return f"{tag} /bin/sh {tag}-sh {SCRIPT} {tag} " + " ".join(args) + "\n"


class Watch:
    """A sandbox with the recorder script and a configuration file, and velwatchdog in it."""

    def __init__(self, sb, conf=None):
        self.sb = sb
        sb.netns("node")
        sb.write_file(SCRIPT, RECORDER, 0o755)
        os.makedirs(sb.path(REC), exist_ok=True)
        if conf is not None:
            self.conf(conf)
        self.proc = None

    def conf(self, text):
        self.sb.write_file(CONF, text)

    def start(self, *args, ignore=""):
        """velwatchdog -d ARGS, started from a shell that first ignores the signals named."""
        cmd = f"trap '' {ignore}; " if ignore else ""
        cmd += "exec " + " ".join([self.sb.binary("velwatchdog"), "-d", *args])
        self.proc = self.sb.start("node", ["sh", "-c", cmd], name="velwatchdog")
        return self.proc

    def hup(self):
        """SIGHUP to velwatchdog, once its handler is in place (before, it would end it)."""
        def caught():
            with open(f"/proc/{self.proc.pid}/status") as f:
                cgt = [l for l in f if l.startswith("SigCgt:")][0].split()[1]
            return int(cgt, 16) & SIGHUP_BIT
        self.sb.wait_until(caught, 10, "the SIGHUP handler of velwatchdog")
        self.proc.signal(signal.SIGHUP)

    def starts(self, tag):
        """One dict per start of TAG so far."""
        try:
            text = self.sb.read_file(f"{REC}/{tag}.starts")
        except FileNotFoundError:
            return []
        out = []
        for line in text.splitlines():
            pid, core, ign, blk, fd0, fd1, fd2, cmd = line.split(" ", 7)
            out.append({"pid": int(pid), "core": core, "ign": int(ign, 16), "blk": int(blk, 16),
                        "fds": (fd0, fd1, fd2), "argv": cmd.rstrip("|").split("|")})
        return out

    def wait_starts(self, tag, n, timeout=10):
        return self.sb.wait_until(lambda: len(self.starts(tag)) >= n and self.starts(tag),
                                  timeout, f"start {n} of {tag}")[n - 1]

    def end(self, tag, code):
        """Orders the running TAG to exit with code, after it ran over a second (so that its
        restart is not paced)."""
        self.sb.wait_until(lambda: not self.sb.exists(f"{REC}/{tag}.exit"), 5, f"{tag} idle")
        time.sleep(1.1)
        self.sb.write_file(f"{REC}/{tag}.exit", str(code))

    def alive(self, pid):
        return os.path.exists(f"/proc/{pid}") and "State:\tZ" not in open(f"/proc/{pid}/status").read()


def test_restarts_with_inherited_environment(sandbox):
    w = Watch(sandbox, "# the node\n" + entry("alpha", "'a b'", '"c d"', "#x") + entry("beta") +
              "bad /nonexistent/prog prog -F\n")
    t0 = time.monotonic()
    wd = w.start(ignore="PIPE HUP")
    first = w.wait_starts("alpha", 1)
    assert first["argv"] == ["alpha-sh", SCRIPT, "alpha", "a b", "c d", "#x"]
    assert first["core"] == "unlimited"
    # Signals the supervisor found ignored stay ignored in its children; nothing is blocked;
    # standard output and error are copies of standard input.
    assert first["ign"] & (SIGHUP_BIT | SIGPIPE_BIT) == SIGHUP_BIT | SIGPIPE_BIT
    assert first["blk"] == 0
    assert first["fds"] == ("/dev/null",) * 3
    w.wait_starts("beta", 1)
    for rx in (r"ADD : alpha server=/bin/sh$", r"registered alpha on fd\[0\] \d+ fd\[1\] \d+$",
               r"enabling alpha, fd\[0\] \d+ fd\[1\] \d+$", r"someone wants alpha$",
               rf"{first['pid']} execl /bin/sh$"):
        wd.wait_stderr("^velwatchdog: " + rx)

    # Exit 0: started again, no error line.
    w.end("alpha", 0)
    second = w.wait_starts("alpha", 2)
    wd.wait_stderr(rf"^velwatchdog: {first['pid']} reaped, status 0$")
    assert second["argv"] == first["argv"]
    # Exit 3 and SIGKILL: started again with an error line each.
    w.end("alpha", 3)
    third = w.wait_starts("alpha", 3)
    line = sandbox.log.wait(rf"^\[ERROR\] alpha\[{second['pid']}\]: exited, status 3$",
                            ident="velwatchdog")
    assert (line.facility, line.level) == (LOG_DAEMON, LOG_ERR)
    time.sleep(1.1)
    os.kill(third["pid"], signal.SIGKILL)
    w.wait_starts("alpha", 4)
    sandbox.log.wait(rf"^\[ERROR\] alpha\[{third['pid']}\]: exited, signal 9$", ident="velwatchdog")
    wd.wait_stderr(rf"^velwatchdog: {third['pid']} reaped, signal 9$")
    wd.wait_stderr(r"^velwatchdog: handling signal flag C$")
    assert sandbox.log.count(r"alpha\[\d+\]: exited", ident="velwatchdog") == 2
    assert len(w.starts("beta")) == 1 and wd.alive()
    # A program that cannot be executed is tried about once a second, not in a fork loop.
    tries = sandbox.log.count(r"^\[ERROR\] cannot execute /nonexistent/prog: No such file or "
                              r"directory$")
    assert 2 <= tries <= time.monotonic() - t0 + 2, sandbox.log.text()
    assert sandbox.log.count(r"ended within") == 1
    assert sandbox.log.count(r"^\[WARN\] bad: ended within 1 s of its start") == 1


def test_sighup_changes_adds_and_drops(sandbox):
    w = Watch(sandbox, entry("alpha", "v1") + entry("beta"))
    wd = w.start()
    a1 = w.wait_starts("alpha", 1)
    b1 = w.wait_starts("beta", 1)
    w.conf(entry("alpha", "v2", "more") + entry("gamma"))
    w.hup()
    w.wait_starts("gamma", 1)
    for rx in (r"handling signal flag H$", r"REDO: alpha server=/bin/sh$",
               r"disabling alpha, fd\[0\] \d+ fd\[1\] \d+$", r"FREE: beta server=/bin/sh$",
               r"ADD : gamma server=/bin/sh$"):
        wd.wait_stderr("^velwatchdog: " + rx)
    # The running children are left alone; the new arguments wait for alpha's next start.
    assert w.alive(a1["pid"]) and w.alive(b1["pid"])
    assert len(w.starts("alpha")) == 1
    w.end("alpha", 0)
    assert w.wait_starts("alpha", 2)["argv"] == ["alpha-sh", SCRIPT, "alpha", "v2", "more"]
    # The dropped service's child is collected silently and never started again.
    w.end("beta", 3)
    wd.wait_stderr(rf"^velwatchdog: {b1['pid']} reaped, status 3$")
    time.sleep(1.5)
    assert len(w.starts("beta")) == 1
    assert sandbox.log.count(r"beta", ident="velwatchdog") == 0
    assert wd.alive()


def test_configuration_errors(sandbox):
    w = Watch(sandbox)
    wd = w.start()
    # No file at start: said once, the supervisor runs with no service, a reread fixes it.
    sandbox.log.wait(rf"^\[ERROR\] Accessing {CONF}: No such file or directory, continuing anyway\.$")
    sandbox.log.wait(rf"^\[ERROR\] {CONF}: No such file or directory$")
    w.conf(entry("alpha"))  # the reader's own messages are unit-tested
    w.hup()
    w.wait_starts("alpha", 1)
    a1 = w.wait_starts("alpha", 1)
    vw = sandbox.binary("velwatchdog")
    # The check an operator runs before a reload, on the file as it is now: fine.
    r = sandbox.run("node", [vw, "-t"])
    assert (r.returncode, r.stderr) == (0, f"velwatchdog: {CONF}: syntax OK, 1 service\n")
    # A reread of a file that does not parse, or of a directory in its place, keeps what runs:
    # alpha keeps its child and is still started again when it ends.
    w.conf(entry("alpha") + "# x\nlonely\n")
    r = sandbox.run("node", [vw, "-t", CONF])
    assert r.returncode == 65
    assert r.stderr.endswith(f"velwatchdog: {CONF} line 3: syntax error, a service name without "
                             "a program\n"), r.stderr
    w.hup()
    sandbox.log.wait(rf"^\[ERROR\] {CONF}: syntax error$", level=LOG_ERR)
    sandbox.log.wait(rf"^\[ERROR\] {CONF} line 3: syntax error, a service name without a "
                     r"program; the running configuration stays in force$", level=LOG_ERR)
    sandbox.remove(CONF)
    os.makedirs(sandbox.path(CONF))
    r = sandbox.run("node", [vw, "-t"])
    assert (r.returncode, r.stderr) == (65, f"velwatchdog: {CONF}: not a regular file\n")
    w.hup()
    sandbox.log.wait(rf"^\[ERROR\] {CONF}: not a regular file; the running configuration "
                     r"stays in force$", level=LOG_ERR)
    assert wd.alive() and w.alive(a1["pid"])
    w.end("alpha", 0)
    w.wait_starts("alpha", 2)
    os.rmdir(sandbox.path(CONF))
    # At start a name without a program still ends it, before it runs anything.
    w.conf("lonely\n")
    assert w.start().wait(10) == 65
    # SIGTERM: every service stopped, then exit 0.
    wd.signal(signal.SIGTERM)
    assert wd.wait(10) == 0
    sandbox.log.wait(r"^\[INFO\] Every service is stopped; exiting$", ident="velwatchdog")


    r = sandbox.run("node", [vw, "-v", "-x"])
    assert (r.returncode, r.stderr) == (0, "velwatchdog v1.6.3\n")
    r = sandbox.run("node", [vw, "-x"])
    assert r.returncode == 64 and r.stderr.endswith("usage: velwatchdog [-v]\n")


def test_background_with_pid_file(sandbox):
    w = Watch(sandbox, entry("alpha"))
    vw = sandbox.binary("velwatchdog")
    r = sandbox.run("node", [vw, "-P", "/var/run/wd.pid"])
    assert r.returncode == 0
    pid = int(sandbox.wait_until(lambda: sandbox.exists("/var/run/wd.pid") and
                                 sandbox.read_file("/var/run/wd.pid"), 10, "the pid file"))
    a1 = w.wait_starts("alpha", 1)
    # Detached: standard streams on the null device, so its children's are too.
    assert a1["fds"] == ("/dev/null",) * 3
    assert open(f"/proc/{a1['pid']}/status").read().count(f"PPid:\t{pid}\n") == 1
    w.end("alpha", 3)
    line = sandbox.log.wait(r"^\[ERROR\] alpha\[\d+\]: exited, status 3$", ident="velwatchdog")
    assert line.pid == pid and line.facility == LOG_DAEMON
    w.wait_starts("alpha", 2)
    os.kill(pid, signal.SIGKILL)
    # A file that would end it is refused before detaching, so the caller sees the status.
    w.conf("lonely\n")
    r = sandbox.run("node", [vw, "-P", "/var/run/wd2.pid"])
    assert r.returncode == 65 and f"[ERROR] {CONF}: syntax error" in r.stderr
    assert not sandbox.exists("/var/run/wd2.pid")
