#!/bin/sh
# Runs a whole node in a sandbox, the way an operator brings one up:
#  1. the test master server (velmaster) in a "master" namespace, reached by its host name;
#  2. the node checked and provisioned by velinit, which writes /etc/velkarn-server/;
#  3. veld started from those files, vellogtail following its usage records and velumond
#     reporting them, with a GeoIP table that puts one web host in the node's country;
#  4. a tunnel client (veltun) pinging and fetching pages through veld, over UDP, then TCP;
#  5. the usage records vellogtail printed, and the usage report the master received, split
#     into local and remote traffic.
# Then everything is torn down. Needs root; touches nothing outside the namespaces it makes
# (see tests/system/sandbox.py and tests/system/nodenet.py).
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: run as root (it creates network and mount namespaces)" >&2
    exit 1
fi
scripts/install-deps.sh
scripts/build.sh build
export VEL_BUILD_DIR="$PWD/build" VEL_SOURCE_DIR="$PWD"
exec /usr/bin/python3 - <<'PY'
import json
import os
import re
import sys
import time

sys.path.insert(0, "tests/system")
from sandbox import Sandbox, build_dir
from nodenet import INTERNET_HOST, NODE_PUBLIC, NODE_TAPIP, NodeNet, client_tapip

CONF = "/etc/velkarn-server"
NODE_FILES = ("varnishd_listen_address", "v2_tapip", "country", "public_ip", "adn_userauth")
GEOIP_CSV = "/var/velkarn-server/velumond/GeoIPCountryWhois.csv"
RECORDS = "/run/velmaster/requests.jsonl"
FAR_HOST = "203.0.113.81"  # a second web host, outside the node's country
COUNTRY = "KR"
with open(os.path.join(build_dir(), "generated", "vel_config.h")) as f:
    cfg = dict(re.findall(r'#define (VEL_\w+) "([^"]*)"', f.read()))
MASTER_HOST, MASTER_IP, MASTER_ALT_IP = (cfg["VEL_MASTER_HOST"], cfg["VEL_MASTER_IP"],
                                         cfg["VEL_MASTER_ALT_IP"])


def section(title):
    print(f"\n== {title}", flush=True)


def show(title, r):
    out = f"{r.stdout.rstrip()}{r.stderr.rstrip()}" or f"(no output, exit status {r.returncode})"
    print(f"\n$ {title}\n{out}", flush=True)
    if r.returncode != 0:
        raise SystemExit(f"demo failed: {title} ended with status {r.returncode}")


def ip_num(a):
    return int.from_bytes(bytes(int(x) for x in a.split(".")), "big")


def master_requests(sb, path):
    if not sb.exists(RECORDS):
        return []
    reqs = [json.loads(l) for l in sb.read_file(RECORDS).splitlines() if l.strip()]
    return [r for r in reqs if r.get("path") == path]


with Sandbox() as sb:
    # -- the topology: node, client, internet (two web hosts), master ---------------------------
    net = NodeNet(sb, clients=1, internet=True, node_files=False)
    sb.addr_add("internet", "eth0", f"{FAR_HOST}/24")
    sb.netns("master")
    node_dev, master_dev = sb.link("node", "192.0.2.1/24", "master", f"{MASTER_IP}/24")
    sb.addr_add("node", node_dev, MASTER_ALT_IP.rsplit(".", 1)[0] + ".1/24")
    sb.addr_add("master", master_dev, f"{MASTER_ALT_IP}/24")
    sb.hosts({MASTER_HOST: MASTER_IP})
    print(f"node {NODE_PUBLIC}, client {client_tapip(0)} (inside the tunnel), web hosts "
          f"{INTERNET_HOST} and {FAR_HOST}, master {MASTER_HOST} ({MASTER_IP}, {MASTER_ALT_IP})",
          flush=True)

    section("1. the master server")
    info = f"{NODE_TAPIP}:{COUNTRY}:{NODE_PUBLIC}:adnuser:adnsecret"
    master = sb.start("master", ["/usr/bin/python3", os.path.abspath("tools/velmaster.py"),
                                 "--listen", MASTER_IP,
                                 "--listen", MASTER_ALT_IP, "--record", RECORDS, "--info", info],
                      name="velmaster")
    master.wait_stdout(r"velmaster: listening on .*\n.*listening on")
    print(master.stdout().rstrip())
    print(f'it answers "/get/info.php" with "{info}"\n'
          "(TAP address : country : public address : ADN user : ADN secret)")

    section("2. provisioning the node with velinit")
    # What velinit checks; NodeNet set these up as an operator would.
    show("sysctl net.ipv4.ip_forward net.ipv4.icmp_echo_ignore_all   (in the node namespace)",
         sb.run("node", ["sysctl", "net.ipv4.ip_forward", "net.ipv4.icmp_echo_ignore_all"]))
    show("iptables -t nat -S POSTROUTING",
         sb.run("node", ["iptables", "-t", "nat", "-S", "POSTROUTING"]))
    sb.write_file(f"{CONF}/version", "1.6.3")
    sb.write_file(f"{CONF}/name", "demo-node")
    show("velinit", sb.run("node", [os.path.join(build_dir(), "velinit", "velinit")], timeout=90))
    (req,) = master_requests(sb, "/get/info.php")
    print(f"the master received POST /get/info.php from {req['peer']}: {req['body']!r}")
    show(f"cd {CONF} && grep -H '' {' '.join(NODE_FILES)}",
         sb.run("node", ["sh", "-c", f"cd {CONF} && grep -H '' {' '.join(NODE_FILES)}"]))

    section("3. veld, vellogtail and velumond")
    sb.write_file(GEOIP_CSV,
                  f'"{INTERNET_HOST}","{INTERNET_HOST}","{ip_num(INTERNET_HOST)}",'
                  f'"{ip_num(INTERNET_HOST)}","{COUNTRY}","Korea, Republic of"\n'
                  f'"{FAR_HOST}","{FAR_HOST}","{ip_num(FAR_HOST)}","{ip_num(FAR_HOST)}",'
                  '"JP","Japan"\n')
    print(f"GeoIP table {GEOIP_CSV}:\n{sb.read_file(GEOIP_CSV).rstrip()}")
    veld = net.start_veld("-i", "5")  # a usage round every 5 seconds instead of 300
    print(f"$ veld -F -i 5   (pid {veld.pid}; reads {CONF}/v2_tapip and public_ip, TAP device "
          f"{net.tapname()}, log /var/velkarn-server/veld/_.vsm)")
    tail = sb.start("node", [os.path.join(build_dir(), "velumond", "vellogtail")],
                    name="vellogtail")

    def tail_mapped():
        if not tail.alive():
            raise SystemExit(f"demo failed: vellogtail ended: {tail.stderr()}")
        with open(f"/proc/{tail.pid}/maps") as f:
            return "_.vsm" in f.read()

    sb.wait_until(tail_mapped, 20, "vellogtail to map veld's log")
    print(f"$ vellogtail   (pid {tail.pid}; prints every usage record from now on)")
    umon = sb.start("node", [sb.binary("velumond"), "-F"], name="velumond")
    sb.log.wait(r"^\d+ GeoCountry loaded\.$", ident="velumond", timeout=30)
    print(f"$ velumond -F   (pid {umon.pid}; waited for veld's pid-file lock, "
          f"{sb.log.find('GeoCountry', ident='velumond')[0].msg})")

    section("4. traffic through the tunnel")
    sb.write_file("/run/www/index.html", "<h1>Hello through the velkarn tunnel</h1>\n")
    web = sb.start("internet", ["python3", "-m", "http.server", "80", "--bind", "0.0.0.0",
                                "--directory", "/run/www"],
                   name="web")
    sb.wait_listen("internet", 80)
    for transport in ("udp", "tcp"):
        client = net.start_client(0, transport)
        print(f"\n-- veltun over {transport.upper()}: {client.stderr().strip()}")
        show(f"ping -c 3 {INTERNET_HOST}   (in the client namespace)",
             net.ping(0, INTERNET_HOST, count=3))
        show(f"curl http://{INTERNET_HOST}/",
             sb.run("client0", ["curl", "-sS", "--max-time", "30", f"http://{INTERNET_HOST}/"]))
        show(f"ping -c 2 {FAR_HOST}", net.ping(0, FAR_HOST, count=2))
        sb.stop(client)
        net.clients.pop(0)

    section("5. usage records, as vellogtail printed them")
    # Every count is written once a round after the traffic wrote nothing more.
    sb.log.wait(r"^\[INFO\] Stat is written\. \(nsess \d+, nentry 0\)$", ident="veld",
                since=sb.log.mark(), timeout=40)
    written = sum(int(re.search(r"nentry (\d+)", l.msg).group(1))
                  for l in sb.log.find(r"^\[INFO\] Stat is written\.", ident="veld"))
    rx = re.compile(r"^\s*\d+ TrafficUsage\s+- (.*)$", re.M)
    sb.wait_until(lambda: len(rx.findall(tail.stdout())) >= written, 10,
                  f"vellogtail to print {written} records")
    records = rx.findall(tail.stdout())
    print(tail.stdout().rstrip())
    print(f"({len(records)} records; veld wrote {written}. Fields: time; wall and monotonic "
          "seconds; client address; port; MAC; K with a remote address or U; bytes in; bytes "
          "out; D)")

    section("6. the usage report velumond posted to the master")
    # What the report must hold: the records summed per client and remote address, split by
    # the GeoIP table (U records count as local).
    expected = {}
    for rec in records:
        f = rec.split(";")
        dst = f[7] if f[6] == "K" else "255.255.255.255"
        local = f[6] == "U" or dst == INTERNET_HOST
        s = expected.setdefault((f[5], f[3], dst), [0, 0, 0, 0])
        s[0 if local else 2] += int(f[8])
        s[1 if local else 3] += int(f[9])

    def reported():
        sums = {}
        for r in master_requests(sb, "/report/umon.php"):
            for part in r["body"].rstrip("&").split("&"):
                mac, li, lo, ri, ro, src, dst = part.partition("=")[2].split(";")
                s = sums.setdefault((mac, src, dst), [0, 0, 0, 0])
                for i, v in enumerate((li, lo, ri, ro)):
                    s[i] += int(v)
        return sums

    sb.wait_until(lambda: reported() == expected, 60, "the report to match the records")
    reports = master_requests(sb, "/report/umon.php")
    for r in reports:
        print(f"POST /report/umon.php: {r['body']}")
    print("\ndecoded (MAC; client; remote address; local in/out; remote in/out):")
    for (mac, src, dst), (li, lo, ri, ro) in reported().items():
        print(f"  {mac:12} {src:15} {dst:15}  local {li:6} / {lo:6}   remote {ri:6} / {ro:6}")
    tot = [sum(v[i] for v in expected.values()) for i in range(4)]
    print(f"totals: local in {tot[0]}, out {tot[1]}; remote in {tot[2]}, out {tot[3]} "
          f"(= the records above; the client's own address counts the tunnel transport)")
    print(f"velumond's daily file and watermark: "
          f"{sb.run('node', ['sh', '-c', 'ls /var/velkarn-server/stat_*.log']).stdout.strip()}, "
          f"t_lastcommitted {sb.read_file('/var/velkarn-server/velumond/t_lastcommitted')}")

    section("7. pid files, and what veld logged")
    show("grep -H '' /var/run/veld.pid /var/run/velumond.pid",
         sb.run("node", ["grep", "-H", "", "/var/run/veld.pid", "/var/run/velumond.pid"]))
    rounds = 0
    for line in sb.log.find("", ident="veld"):
        if line.msg.startswith("[INFO] Stat is written."):
            rounds += 1
        else:
            print("  " + line.msg)
    print(f"  ... and {rounds} lines \"[INFO] Stat is written. (nsess N, nentry M)\", one a round")
    print("\n== what the web server saw (the node's masqueraded address):")
    print("  " + "\n  ".join(l for l in web.stderr().splitlines() if "GET" in l))
print("\ndemo done; every namespace is gone.")
PY
