#!/bin/sh
# The whole test suite on a fresh machine: installs, builds, runs the unit and
# system tests, then the unit tests once more under the sanitizers.
set -eu
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build
(cd build && ctest --output-on-failure --timeout 900 -j3)
scripts/build.sh build-sanitize -DVEL_SANITIZE=ON -DVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=Debug
(cd build-sanitize && ctest --output-on-failure -LE system -j2)
# Each libFuzzer harness for a short while from its seeds; a crash fails the run.
scripts/fuzz.sh 15
