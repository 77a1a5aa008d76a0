#!/bin/sh
# Runs a whole node in a sandbox, the way an operator brings one up (scripts/demo_node.py):
#  1. the test master server (velmaster) and the veltalkd stand-in at the master's addresses;
#  2. the node checked and provisioned by velinit, which writes /etc/velkarn-server/;
#  3. two peer nodes running velechod;
#  4. velwatchdog starting every daemon of the node from its configuration file: veld,
#     velumond, velcrond, vellmond, velmeshd, velrttd, velechod, velhttpd and velurd;
#  5. a tunnel client (veltun) pinging and fetching pages through veld over TCP, then UDP;
#     velhttpd answering curl, velurd relaying a datagram;
#  6. veld's usage records and the usage reports velumond posted to the master;
#  7. velmeshd and velrttd measuring the peers, the RU lines the stand-in received;
#  8. velstatus, velcrond's process and core reports;
#  9. veld killed and started again by velwatchdog, velumond following its new log, and the
#     error line vellmond reported.
# It takes about half a minute after the build. Then everything is torn down. Needs root;
# touches nothing outside the namespaces it makes (see tests/system/sandbox.py and
# tests/system/nodenet.py).
set -eu
cd "$(dirname "$0")/.."
if [ "$(id -u)" -ne 0 ]; then
    echo "demo.sh: run as root (it creates network and mount namespaces)" >&2
    exit 1
fi
scripts/install-deps.sh
scripts/build.sh build
export VEL_BUILD_DIR="$PWD/build" VEL_SOURCE_DIR="$PWD"
exec /usr/bin/python3 scripts/demo_node.py
