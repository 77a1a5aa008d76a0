#!/bin/sh
# Installs what building, testing and the demo need on a Debian 12 machine.
set -eu
packages="build-essential cmake g++ libgtest-dev libgmock-dev libbenchmark-dev libssl-dev openssl \
python3 python3-pytest iproute2 iptables iputils-ping iputils-arping curl net-tools procps kmod \
faketime"
# The libFuzzer harnesses: clang with its fuzzer and sanitizer runtimes.
packages="$packages clang libclang-rt-14-dev"
# Checking the package, its logrotate rule and its metrics: lintian, man, logrotate, promtool
# and a Prometheus server with the node exporter.
packages="$packages lintian man-db logrotate prometheus prometheus-node-exporter"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
    apt-get update -q
    apt-get install -y -q --no-install-recommends $missing
fi
