#!/usr/bin/env bash
# Builds the fuzzers and runs each one for a while on a copy of the seed corpus.
# Usage: fuzz/run.sh [seconds per target, default 60] [build dir, default build-fuzz]
# Exits non-zero when a target finds a crash or a failed check; the reproducer is left in
# <build dir>/artifacts/<target>/ and the log in <build dir>/logs/<target>.log.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
seconds=${1:-60}
build=${2:-"$here/../build-fuzz"}
mkdir -p "$build"
build=$(cd "$build" && pwd)

CC=${CC:-clang-14} CXX=${CXX:-clang++-14} \
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
cmake --build "$build" --parallel "$(nproc)" || exit 2

status=0
for target in ini row; do
    exe="$build/fuzz_$target"
    corpus="$build/corpus/$target"
    artifacts="$build/artifacts/fuzz_$target"
    log="$build/logs/fuzz_$target.log"
    # A copy: what the run finds stays in the build folder, never in the repository.
    mkdir -p "$corpus" "$artifacts" "$(dirname "$log")"
    cp -n "$here/corpus/$target/"* "$corpus/"
    echo "== fuzz_$target for ${seconds}s (log: $log)"
    ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1} UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1} \
        "$exe" -max_len=65536 -timeout=10 -rss_limit_mb=2048 -max_total_time="$seconds" \
        -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" >"$log" 2>&1
    rc=$?
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' | tail -1)
    speed=$(grep -Eo 'stat::average_exec_per_sec: *[0-9]+' "$log" | grep -Eo '[0-9]+$' | tail -1)
    echo "   executions: ${runs:-?}  exec/s: ${speed:-?}  corpus: $(ls "$corpus" | wc -l) files"
    if [ "$rc" -ne 0 ]; then
        echo "   FAILED (exit $rc): see $log and $artifacts"
        grep -E 'ERROR|fuzz_(ini|row):|SUMMARY' "$log" | head -5 | sed 's/^/   /'
        status=1
    fi
done
exit $status
