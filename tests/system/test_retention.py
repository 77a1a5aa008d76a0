"""Bounded disk use on a node: velumond's retention of the daily usage files (old files go once
every record in them is reported, an unreported one stays), and the package's logrotate rule for
the daemons' captured output, which vellmond follows across the rotation without losing a
line."""

import os
import time

from sandbox import repo_dir
from test_velumond import GEO_CSV, LogWriter, start_velumond, wait_reading
from test_vellmond import STDOUT_TXT, Node
from usage_helpers import node_country

DELIVERED = "/var/velkarn-server/velumond/t_delivered"


def daily(day):
    return f"/var/velkarn-server/stat_{day}.log"


def test_velumond_removes_old_reported_daily_files_and_keeps_an_unreported_one(sandbox):
    sb = sandbox
    sb.netns("node")
    node_country(sb, GEO_CSV, "KR\n")
    month_ago = time.time() - 30 * 86400
    for day in ("20200101", "20200102", "20200103"):
        sb.write_file(daily(day), "old records\n")
        os.utime(sb.path(daily(day)), (month_ago, month_ago))
    # The last delivered report ended inside 2 January's file: the 3rd is not reported yet.
    sb.write_file(DELIVERED, "stat_20200102.log 6 1577923200 12345")
    writer = LogWriter(sb)
    try:
        writer.lock()
        writer.create()
        um = start_velumond(sb, "-R", "3")
        wait_reading(sb, um)
        sb.log.wait(r"^\[INFO\] Retention: removed /var/velkarn-server/stat_20200101\.log "
                    r"\(older than 3 days, every record reported\)$", ident="velumond", level=6)
        for day in ("20200102", "20200103"):
            sb.log.wait(rf"^\[WARN\] Retention: keeping /var/velkarn-server/stat_{day}\.log past 3 "
                        r"days: not all its records are reported yet$", ident="velumond", level=4)
        assert not sb.exists(daily("20200101"))
        assert sb.exists(daily("20200102")) and sb.exists(daily("20200103"))
        assert um.alive()
    finally:
        writer.close()
    r = sb.run("node", [sb.binary("velumond"), "-F", "-R", "7d"])
    assert r.returncode == 1 and r.stderr.startswith("-R 7d: not a number of days (0 to 36500)\n")


def test_logrotate_rotates_the_captured_output_that_vellmond_follows(sandbox_factory):
    sb = sandbox_factory(extra_dirs=("/var/log",))
    node = Node(sb)
    sb.write_file(STDOUT_TXT, "")
    node.start()
    node.append(STDOUT_TXT, "[ERROR] before the rotation\n")
    node.wait_delivered(["[ERROR] before the rotation"])
    conf = os.path.join(repo_dir(), "packaging", "velkarn-server.logrotate")
    r = sb.run("node", ["logrotate", "-f", "-s", "/run/logrotate.state", conf])
    assert r.returncode == 0, r.stdout + r.stderr
    assert sb.exists(STDOUT_TXT + ".1") and sb.read_file(STDOUT_TXT) == ""
    # A writer that still holds the old file, then one that opens the new one.
    node.append(STDOUT_TXT + ".1", "[ERROR] late line of the rotated file\n")
    node.append(STDOUT_TXT, "[ERROR] first line of the new file\n")
    expect = ["[ERROR] before the rotation", "[ERROR] late line of the rotated file",
              "[ERROR] first line of the new file"]
    node.wait_delivered(expect)
    assert node.delivered() == expect  # each once
    # The next rotation compresses the first one (delaycompress) and keeps the newest plain.
    node.append(STDOUT_TXT, "[ERROR] second round\n")
    node.wait_delivered(["[ERROR] second round"])
    r = sb.run("node", ["logrotate", "-f", "-s", "/run/logrotate.state", conf])
    assert r.returncode == 0, r.stdout + r.stderr
    assert sb.exists(STDOUT_TXT + ".2.gz") and sb.exists(STDOUT_TXT + ".1")
