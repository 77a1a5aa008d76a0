#!/bin/sh
# Builds the libFuzzer harnesses of tests/fuzz/ with clang into build-fuzz/ and
# runs each for SECONDS (default 60), two at a time, from its committed seeds.
# New inputs go to a scratch folder, so the committed corpus stays as it is.
# Fails when a harness finds a crash; the crashing input is kept in build-fuzz/crashes/.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DVEL_FUZZ=ON -DVEL_BUILD_TESTS=OFF \
    -DVEL_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build-fuzz -j"$(nproc)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p build-fuzz/crashes
run_one() {
    name=$1
    mkdir -p "$work/$name" "tests/fuzz/corpus/$name"
    if build-fuzz/tests/fuzz/fuzz_"$name" -max_total_time="$seconds" -timeout=10 \
        -rss_limit_mb=2048 -print_final_stats=0 -artifact_prefix=build-fuzz/crashes/"$name"- \
        "$work/$name" "tests/fuzz/corpus/$name" >"$work/$name.log" 2>&1; then
        echo "fuzz $name: ok ($(grep -c . "$work/$name.log") log lines)"
    else
        echo "fuzz $name: FAILED"
        tail -n 40 "$work/$name.log"
        return 1
    fi
}
status=0
names=$(for f in tests/fuzz/*.cpp; do basename "$f" .cpp; done)
# Two at a time: the machine has two cores.
set -- $names
while [ $# -gt 0 ]; do
    a=$1; shift
    if [ $# -gt 0 ]; then
        b=$1; shift
        run_one "$a" >"$work/out.a" 2>&1 & pa=$!
        run_one "$b" >"$work/out.b" 2>&1 || status=1
        wait $pa || status=1
        cat "$work/out.a" "$work/out.b"
    else
        run_one "$a" || status=1
    fi
done
exit $status
