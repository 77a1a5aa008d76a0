"""What the daemons' tests share about the master side: the master's addresses compiled into the
build, and the two stand-ins that run there (tools/velmaster.py on 443, tools/veltalkd.py on
10010), each writing one JSON line per request it records."""

import json
import os
import re

from sandbox import build_dir, repo_dir


def build_value(name, default):
    """A deployment value compiled into the build (generated/vel_config.h)."""
    try:
        with open(os.path.join(build_dir(), "generated", "vel_config.h")) as f:
            m = re.search(rf'#define {name} "([^"]*)"', f.read())
            return m.group(1) if m else default
    except OSError:
        return default


MASTER_IP = build_value("VEL_MASTER_IP", "192.0.2.10")
MASTER_HOST = build_value("VEL_MASTER_HOST", "master.velkarn.example")
ALT_IP = build_value("VEL_MASTER_ALT_IP", "10.255.0.10")


def tool(name):
    return os.path.join(repo_dir(), "tools", name)


def records(sb, path):
    """The whole lines of a record file in the sandbox, decoded ([] before it exists)."""
    try:
        text = sb.read_file(path)
    except FileNotFoundError:
        return []
    return [json.loads(l) for l in text.splitlines(keepends=True) if l.endswith("\n")]


def start_velmaster(sb, ns, record, control=None, alt=True):
    """velmaster in ns on MASTER_IP (and ALT_IP), with MASTER_HOST resolving to MASTER_IP."""
    argv = ["/usr/bin/python3", tool("velmaster.py"), "--record", record, "--listen", MASTER_IP]
    if control:
        argv += ["--control", control]
    if alt:
        argv += ["--listen", ALT_IP]
    sb.hosts({MASTER_HOST: MASTER_IP})
    proc = sb.start(ns, argv, name="velmaster")
    sb.wait_until(lambda: len([p for _, p in sb.sockets(ns, "tcp") if p == "443"]) >= 1 + alt,
                  20, "velmaster listening")
    return proc


def start_veltalkd(sb, ns, record, *args):
    """The veltalkd stand-in in ns on MASTER_IP:10010; args name its answer files."""
    proc = sb.start(ns, ["/usr/bin/python3", tool("veltalkd.py"), "--listen", MASTER_IP,
                         "--record", record, *args], name="veltalkd")
    proc.wait_stdout(r"veltalkd: listening on %s:10010" % re.escape(MASTER_IP))
    return proc
