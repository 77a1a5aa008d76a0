#!/bin/sh
# Installs what bench/tunnel_bench.py needs beyond scripts/install-deps.sh: OpenVPN as the
# baseline tunnel, iperf3 as the load, perf (or strace) to count veld's system calls, and
# ethtool to switch off the offloads of the plain veth pair that gives the machine's ceiling.
# Benchmarks are not part of CI, so these stay out of install-deps.sh.
set -eu
packages="openvpn iperf3 strace linux-perf ethtool"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends $missing
fi
