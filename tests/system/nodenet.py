"""A node topology for tests that need veld with tunnel clients (built on sandbox.py).

    net = NodeNet(sb, clients=2, internet=True)   # namespaces, links, node files
    net.start_veld()                              # veld -F in "node", waits for its sockets
    c = net.start_client(0, "udp")                # veltun in "client0", tap 10.77.0.10/20
    net.ping(0, NODE_TAPIP)

Namespaces and addresses:
  node       br0 198.51.100.1/24 (the node's public address, also in public_ip); the TAP device
             that veld makes gets 10.77.0.1/20 (v2_tapip); with internet=True also eth to the
             "internet" namespace (203.0.113.1/24), IPv4 forwarding on and MASQUERADE for the
             client subnet out of that link. icmp_echo_ignore_all=1 as on a real node.
  clientN    eth0 198.51.100.(10+N)/24 bridged to the node's br0; veltun's tap "vtap0" gets
             10.77.0.(10+N)/20 and MAC 02:00:00:00:00:(10+N hex); routes 203.0.113.0/24 via
             the node's TAP address.
  internet   eth0 203.0.113.80/24: servers the clients reach through the tunnel.
IPv6 is off everywhere, so the only frames are the ones a test makes.
The node files v2_tapip and public_ip are written with those addresses; node_files=False leaves
/etc/velkarn-server to velinit.
"""

import re
import signal

NODE_PUBLIC = "198.51.100.1"
NODE_TAPIP = "10.77.0.1"
TAP_PREFIX = 20
INTERNET_NODE = "203.0.113.1"
INTERNET_HOST = "203.0.113.80"
TRANSPORTS = ("udp", "tcp", "icmp")


def client_public(i):
    return f"198.51.100.{10 + i}"


def client_tapip(i):
    return f"10.77.0.{10 + i}"


def client_mac(i):
    return f"02:00:00:00:00:{10 + i:02x}"


def ether_ntoa(mac):
    """The MAC address text as veld prints it (no leading zeros)."""
    return ":".join(f"{int(b, 16):x}" for b in mac.split(":"))


class NodeNet:
    def __init__(self, sb, clients=1, internet=False, tapip=NODE_TAPIP, public_ip=NODE_PUBLIC,
                 node_files=True):
        self.sb = sb
        self.clients = {}
        self.veld = None
        sb.netns("node")
        self._quiet("node")
        sb.sysctl("node", "net.ipv4.icmp_echo_ignore_all", 1)
        sb.sh("node", "ip link add br0 type bridge && ip link set br0 up")
        sb.addr_add("node", "br0", f"{NODE_PUBLIC}/24")
        for i in range(clients):
            self.add_client_ns(i)
        if internet:
            sb.netns("internet")
            self._quiet("internet")
            dev, _ = sb.link("node", f"{INTERNET_NODE}/24", "internet", f"{INTERNET_HOST}/24")
            sb.sysctl("node", "net.ipv4.ip_forward", 1)
            sb.sh("node", f"iptables -t nat -A POSTROUTING -s {NODE_TAPIP}/{TAP_PREFIX} -o {dev} "
                          "-j MASQUERADE")
        if node_files:
            sb.write_file("/etc/velkarn-server/v2_tapip", tapip)
            sb.write_file("/etc/velkarn-server/public_ip", public_ip)

    def _quiet(self, ns):
        self.sb.sysctl(ns, "net.ipv6.conf.all.disable_ipv6", 1)
        self.sb.sysctl(ns, "net.ipv6.conf.default.disable_ipv6", 1)

    def add_client_ns(self, i):
        name = f"client{i}"
        self.sb.netns(name)
        self._quiet(name)
        _, peer = self.sb.link(name, f"{client_public(i)}/24", "node")
        self.sb.sh("node", f"ip link set {peer} master br0")
        return name

    def start_veld(self, *args, prefix=()):
        """Start veld in the foreground with args; prefix goes before it (e.g. an env wrapper)."""
        self.veld = self.sb.start("node", [*prefix, self.sb.binary("veld"), "-F", *args],
                                  name="veld")
        self.wait_veld()
        return self.veld

    def wait_veld(self):
        def listening():
            if not self.veld.alive():
                self.veld_died()
            return any(p == "10008" for _, p in self.sb.sockets("node", "tcp"))
        self.sb.wait_until(listening, 30, "veld to listen on TCP port 10008")
        self.sb.wait_listen("node", 10008, "udp")

    def veld_died(self):
        raise AssertionError(f"veld ended with status {self.veld.returncode}:\n"
                             f"{self.veld.stderr()[-3000:]}")

    def tapname(self):
        """Name of the TAP device that veld made (the first tap* interface of the node)."""
        names = [n for n in self.sb.interfaces("node") if n.startswith("tap") and ":" not in n]
        assert names, "veld made no TAP device"
        return names[0]

    def start_client(self, i, transport, extra=(), routes=True):
        sb = self.sb
        ns = f"client{i}"
        argv = [sb.binary("veltun"), "-s", NODE_PUBLIC, "-t", transport, "-i", "vtap0",
                "-a", f"{client_tapip(i)}/{TAP_PREFIX}", "-m", client_mac(i), *extra]
        p = sb.start(ns, argv, name=f"veltun{i}")
        p.wait_stderr(r"^veltun: vtap0 up")
        if routes:
            sb.sh(ns, f"ip route replace 203.0.113.0/24 via {NODE_TAPIP} dev vtap0")
        self.clients[i] = p
        return p

    def ping(self, i, dst, count=3, size=56, timeout=30):
        r = self.sb.run(f"client{i}", ["ping", "-n", "-q", "-c", str(count), "-i", "0.2", "-s",
                                       str(size), "-w", str(timeout), dst], timeout=timeout + 10)
        return r

    def wait_ping(self, i, dst, timeout=30):
        """Pings until one answer comes (ARP and session set-up may take a moment)."""
        r = self.sb.run(f"client{i}", ["ping", "-n", "-c", "1", "-w", str(timeout), dst],
                        timeout=timeout + 10)
        assert r.returncode == 0, f"client{i} cannot reach {dst}:\n{r.stdout}{r.stderr}"

    def client_stats(self, i):
        """veltun's counters (tap_rx, tap_tx, net_tx, net_rx, dropped, bad, own)."""
        p = self.clients[i]
        n = p.stderr().count("veltun: stats")
        p.signal(signal.SIGUSR1)
        self.sb.wait_until(lambda: p.stderr().count("veltun: stats") > n, 10, "veltun stats")
        line = [l for l in p.stderr().splitlines() if l.startswith("veltun: stats")][-1]
        return {k: int(v) for k, v in re.findall(r"(\w+) (\d+)", line)}
