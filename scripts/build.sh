#!/bin/sh
# Configures and builds into build/ (or the directory given as $1, with extra cmake options after it).
set -eu
cd "$(dirname "$0")/.."
dir=${1:-build}
[ $# -gt 0 ] && shift
cmake -S . -B "$dir" -DVEL_WERROR=ON "$@"
cmake --build "$dir" -j"$(nproc)"
