#!/bin/sh
# Runs a whole node in a sandbox: veld in a "node" network namespace with its TAP device,
# IPv4 forwarding and MASQUERADE, a tunnel client (veltun) in a "client" namespace and a web
# server in an "internet" namespace. Shows a ping and an HTTP fetch through the tunnel (over
# UDP, then over TCP), then tears everything down. Needs root; touches nothing outside the
# namespaces it makes (see tests/system/sandbox.py).
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
import sys
sys.path.insert(0, "tests/system")
from sandbox import Sandbox
from nodenet import INTERNET_HOST, NODE_PUBLIC, NODE_TAPIP, NodeNet, client_tapip

def show(title, r):
    print(f"\n$ {title}\n{r.stdout.rstrip()}{r.stderr.rstrip()}", flush=True)
    if r.returncode != 0:
        raise SystemExit(f"demo failed: {title} ended with status {r.returncode}")

with Sandbox() as sb:
    net = NodeNet(sb, clients=1, internet=True)
    print(f"node {NODE_PUBLIC} (TAP {NODE_TAPIP}/20), client {client_tapip(0)}, "
          f"web server {INTERNET_HOST}", flush=True)
    sb.write_file("/run/www/index.html", "<h1>Hello through the velkarn tunnel</h1>\n")
    web = sb.start("internet", ["python3", "-m", "http.server", "80", "--bind", INTERNET_HOST,
                                "--directory", "/run/www"], name="web")
    sb.wait_listen("internet", 80)
    veld = net.start_veld()
    for transport in ("udp", "tcp"):
        client = net.start_client(0, transport)
        print(f"\n== veltun over {transport.upper()}: {client.stderr().strip()}")
        show(f"ping -c 3 {INTERNET_HOST}   (in the client namespace)",
             net.ping(0, INTERNET_HOST, count=3))
        show(f"curl http://{INTERNET_HOST}/   (in the client namespace)",
             sb.run("client0", ["curl", "-sS", "--max-time", "30", f"http://{INTERNET_HOST}/"]))
        sb.stop(client)
        net.clients.pop(0)
    print("\n== what veld logged:")
    for line in sb.log.find("", ident="veld"):
        print("  " + line.msg)
    print("\n== what the web server saw (the node's masqueraded address):")
    print("  " + "\n  ".join(l for l in web.stderr().splitlines() if "GET" in l))
print("\ndemo done; every namespace is gone.")
PY
