"""What the daemons' tests share about the master side: the master's addresses compiled into the
build, the "master" namespace linked to the node, and the two stand-ins that run there
(tools/velmaster.py on 443, tools/veltalkd.py on 10010), each writing one JSON line per request
it records."""

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
NODE_IP = "192.0.2.1"  # the node's end of its link to the master


def link_master(sb, node="node", alt=False, **link):
    """A "master" namespace joined to `node`: the node on NODE_IP, the master on MASTER_IP, which
    MASTER_HOST names; with alt also the node on .1 of ALT_IP's /24 and the master on ALT_IP.
    link: more arguments of Sandbox.link (such as name_a). Returns the pair of device names."""
    sb.netns("master")
    devs = sb.link(node, f"{NODE_IP}/24", "master", f"{MASTER_IP}/24", **link)
    if alt:
        sb.addr_add(node, devs[0], f"{ALT_IP.rsplit('.', 1)[0]}.1/24")
        sb.addr_add("master", devs[1], f"{ALT_IP}/24")
    sb.hosts({MASTER_HOST: MASTER_IP})
    return devs


def tool(name):
    return os.path.join(repo_dir(), "tools", name)


def records(sb, path):
    """The whole lines of a record file in the sandbox, decoded ([] before it exists)."""
    try:
        text = sb.read_file(path)
    except FileNotFoundError:
        return []
    return [json.loads(l) for l in text.splitlines(keepends=True) if l.endswith("\n")]


class MasterRecord:
    """The requests a stand-in recorded in `path`, read back; `proc` is the stand-in."""

    def __init__(self, sb, path, proc=None, default=None):
        self.sb = sb
        self.path = path
        self.proc = proc
        self.default = default  # the request path asked for when none is given

    def requests(self, path=None):
        path = path or self.default
        return [r for r in records(self.sb, self.path) if path is None or r.get("path") == path]

    def wait(self, path=None, count=1, timeout=20):
        """Until `count` requests for path are recorded; returns them all."""
        return self.sb.wait_until(lambda: self.requests(path)[count - 1:] and self.requests(path),
                                  timeout, f"{count} request(s) for {path or self.default}")


def start_velmaster(sb, ns, record, control=None, alt=True, listen=None, extra=()):
    """velmaster in ns on MASTER_IP (and ALT_IP), or on the addresses listed in listen, with
    MASTER_HOST resolving to MASTER_IP; extra: more arguments (such as --answer)."""
    listen = listen or (MASTER_IP, ALT_IP)[:1 + alt]
    argv = ["/usr/bin/python3", tool("velmaster.py"), "--record", record]
    for addr in listen:
        argv += ["--listen", addr]
    if control:
        argv += ["--control", control]
    argv += extra
    sb.hosts({MASTER_HOST: MASTER_IP})
    proc = sb.start(ns, argv, name="velmaster")
    sb.wait_until(lambda: len([p for _, p in sb.sockets(ns, "tcp") if p == "443"]) >= len(listen),
                  20, "velmaster listening")
    return proc


def start_veltalkd(sb, ns, record, *args):
    """The veltalkd stand-in in ns on MASTER_IP:10010; args name its answer files."""
    proc = sb.start(ns, ["/usr/bin/python3", tool("veltalkd.py"), "--listen", MASTER_IP,
                         "--record", record, *args], name="veltalkd")
    proc.wait_stdout(r"veltalkd: listening on %s:10010" % re.escape(MASTER_IP))
    return proc
