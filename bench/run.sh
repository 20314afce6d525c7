#!/bin/sh
# Builds Kelvara in Release (build-bench/) and runs the benchmark: our worklist server on
# 127.0.0.1 with 1,000 / 10,000 / 32,767 / 100,000 entries for today, findscu against it, our
# find, the whole refresh, the list fill, peak memory, start-up and the longest UI block.
# Prints one table and writes it to build-bench/bench-results.md. Extra arguments go to
# kelvara-bench (for example --reps 5, --sizes 1000,10000, --big 0 to skip the in-memory list
# or --tls 0 to skip the plain-versus-TLS query of 10,000 entries).
set -eu
cd "$(dirname "$0")/.."
build=${KELVARA_BENCH_BUILD:-build-bench}
command -v findscu >/dev/null || { echo "findscu (dcmtk) is needed" >&2; exit 1; }
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" --target kelvara-bench kelvara-wlserver
# exec: a signal meant for this script reaches the benchmark, which then stops its server.
export QT_QPA_PLATFORM=offscreen
exec "$build/bench/kelvara-bench" \
    --wlserver "$build/tools/kelvara-wlserver" --out "$build/bench-results.md" --reps 3 --big 1000000 "$@"
