"""vellmond end to end: the node's log files in a private /var/log and /opt/velkarn-server,
followed with inotify, their error lines (and every dmesg line) reported to the test master,
which can answer 500 for a while through its control file."""

import json
import os

import pytest

from masters import ALT_IP, MASTER_HOST, link_master, records, start_velmaster
from sandbox import wait_until

STDOUT_TXT = "/opt/velkarn-server/1.6.3/var/velkarn_stdout.txt"
DMESG = "/var/log/dmesg"
MESSAGES = "/var/log/messages"
SYSLOG = "/var/log/syslog"
CONTROL = "/run/velmaster-control.json"
RECORD = "/run/velmaster.jsonl"
LMON = "/report/lmon.php"


class Node:
    """A node namespace with vellmond's files, a master namespace with velmaster on the
    master's address and the alternate one."""

    def __init__(self, sb):
        self.sb = sb
        sb.netns("node")
        link_master(sb, alt=True)
        self.answer(200)
        self.master = start_velmaster(sb, "master", RECORD, control=CONTROL)
        self.proc = None

    def answer(self, status):
        self.sb.write_file(CONTROL, json.dumps({LMON: f"{status}:OK"}))

    def append(self, path, text):
        with open(self.sb.path(path), "a") as f:
            f.write(text)

    def start(self, *args):
        sb = self.sb
        self.proc = sb.start("node", [sb.binary("vellmond"), "-F", *args])
        # Ready once the files that exist are watched.
        want = sum(sb.exists(p) for p in (STDOUT_TXT, DMESG, MESSAGES, SYSLOG))
        sb.wait_until(lambda: self.watches() >= want or not self.proc.alive(), 10,
                      "vellmond's watches")
        assert self.proc.alive(), self.proc.stderr()

    def watches(self):
        pid = self.proc.popen.pid
        n = 0
        try:
            for fd in os.listdir(f"/proc/{pid}/fdinfo"):
                with open(f"/proc/{pid}/fdinfo/{fd}") as f:
                    n += f.read().count("inotify wd:")
        except OSError:
            pass
        return n

    def reports(self):
        return [r for r in records(self.sb, RECORD) if r.get("path") == LMON]

    def delivered(self):
        """The lines of every report the master took (answered 200), in order."""
        return [l for r in self.reports() if r["answer"].startswith("200") for l in lines_of(r)]

    def wait_delivered(self, lines, timeout=20):
        self.sb.wait_until(lambda: all(l in self.delivered() for l in lines), timeout,
                           f"reports of {lines}")


def lines_of(req):
    body = req["body"]
    assert body.endswith("&"), body
    out = []
    for field in body[:-1].split("&"):
        assert field.startswith("result[]="), body
        out.append(field[len("result[]="):])
    return out


@pytest.fixture
def node(sandbox_factory):
    return Node(sandbox_factory(extra_dirs=("/var/log",)))


def test_error_lines_new_files_and_rotation(node):
    sb = node.sb
    sb.write_file(STDOUT_TXT, "[ERROR] logged before start\n")
    sb.write_file(DMESG, "[    0.10] booting\n")
    sb.write_file(MESSAGES, "Dec  8 00:00:00 node app: old [ERROR] before start\n")
    node.start()
    assert node.watches() == 3

    err = "Dec  8 12:00:01 node app[7]: disk check [ERROR] sda gone, retrying"
    node.append(MESSAGES, err + "\nDec  8 12:00:02 node app[7]: plain line\n")
    node.append(DMESG, "[    5.00] eth0: link up\n \t \n")
    node.append(STDOUT_TXT, "worker [FATAL] died\r\nworker [CRIT] gone\n")
    expect = [err, "[    5.00] eth0: link up", "", "worker [FATAL] died", "worker [CRIT] gone"]
    node.wait_delivered(expect)
    expect += ["Dec  8 12:00:03 node x: [CRIT] early line of a new file",
               "[ERROR] late line of the old file", "[ERROR] first line of the new file",
               "[ERROR] after rotation"]

    # A file that appears after start-up is read from its first line, also while another file
    # keeps the monitor busy: its check does not wait for a quiet spell.
    node.append(SYSLOG, expect[5] + "\n")
    ticks = []

    def busy_then_found():
        ticks.append(f"tick {len(ticks)}")
        node.append(DMESG, ticks[-1] + "\n")
        return expect[5] in node.delivered()
    wait_until(busy_then_found, 25, "the new file's line", interval=0.5)
    node.wait_delivered(ticks)

    # Rotation: what the writer still puts in the old file, then the new file from its start.
    mark = sb.log.mark()
    os.rename(sb.path(MESSAGES), sb.path(MESSAGES + ".1"))
    node.append(MESSAGES, "[ERROR] first line of the new file\n")
    node.append(MESSAGES + ".1", "[ERROR] late line of the old file\n")
    node.wait_delivered(expect[6:8])
    sb.log.wait(r"^\[INFO\] /var/log/messages is changed\.$", ident="vellmond", level=6,
                since=mark)
    node.append(MESSAGES, "[ERROR] after rotation\n")
    node.wait_delivered(expect[8:])

    assert [l for l in node.delivered() if not l.startswith("tick ")] == expect  # once, in order
    assert node.proc.alive()


def test_lines_wait_for_the_master(node):
    sb = node.sb
    for p in (STDOUT_TXT, DMESG, MESSAGES, SYSLOG):
        sb.write_file(p, "")
    node.answer(500)
    node.start("-S")

    node.append(DMESG, "A\n")
    sb.wait_until(lambda: len(node.reports()) >= 1, 20, "the first report")
    sb.log.wait(r"^\[WARN\] Unexpected HTTP status: 500$", ident="vellmond", level=4)
    node.append(SYSLOG, "B [ERROR]\n")
    sb.wait_until(lambda: any(lines_of(r) == ["A", "B [ERROR]"] for r in node.reports()), 20,
                  "a second report with both lines")
    assert node.delivered() == []

    node.answer(200)
    node.append(DMESG, "C\n")
    node.wait_delivered(["A", "B [ERROR]", "C"])
    node.append(DMESG, "D\n")
    node.wait_delivered(["D"])
    assert node.delivered() == ["A", "B [ERROR]", "C", "D"]
    assert [lines_of(r) for r in node.reports()][-2:] == [["A", "B [ERROR]", "C"], ["D"]]

    # -S: to the alternate address, still naming the master's host.
    r = node.reports()[-1]
    assert r["local"] == ALT_IP
    assert ["Host", MASTER_HOST] in r["headers"]


@pytest.mark.parametrize("args,first", [
    (["-x"], None),
    (["-P"], None),
    (["stray"], "Too many arguments (stray...)\n"),
])
def test_command_line_errors(sandbox, args, first):
    sandbox.netns("node")
    r = sandbox.run("node", [sandbox.binary("vellmond"), *args])
    assert r.returncode == 1
    usage = ("usage: vellmond [options]\n"
             "    -F                           # Run in foreground\n"
             "    -P file                      # PID file\n"
             "    -S                           # Uses the internal IPv4 address for report\n")
    assert r.stderr.endswith(usage)
    if first:
        assert r.stderr == first + usage
    assert not sandbox.exists("/var/run/vellmond.pid")
