#!/usr/bin/env bash
# Installs what is missing, builds Kelvara and runs every test (no display needed):
#   1. the normal build and the whole test suite, once as the environment has it and once
#      under de_DE.UTF-8,
#   2. the same suite built with AddressSanitizer and UndefinedBehaviorSanitizer,
#   3. each fuzzer for a minute (KELVARA_FUZZ_SECONDS to change that, 0 to skip).
set -euo pipefail
top=$(cd "$(dirname "$0")" && pwd)
"$top/scripts/deps.sh" clang-14 libclang-rt-14-dev
export QT_QPA_PLATFORM=offscreen
jobs=$(nproc)
status=0

echo "== Normal build"
"$top/scripts/build.sh" "$top/build" -DKELVARA_TESTS=ON
(cd "$top/build" && ctest --output-on-failure --parallel "$jobs") || status=1
echo "== The same tests under a German locale, where the C library speaks German"
(cd "$top/build" && LANG=de_DE.UTF-8 LC_ALL=de_DE.UTF-8 ctest --output-on-failure --parallel "$jobs") ||
    status=1

echo "== Build with AddressSanitizer and UndefinedBehaviorSanitizer"
"$top/scripts/build.sh" "$top/build-sanitize" -DKELVARA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug
# Qt's and fontconfig's caches live as long as the process; only our own leaks count.
export LSAN_OPTIONS="suppressions=$top/tests/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export ASAN_OPTIONS="detect_leaks=1:strict_string_checks=1"
(cd "$top/build-sanitize" && ctest --output-on-failure --parallel "$jobs" --timeout 600) || status=1
unset LSAN_OPTIONS UBSAN_OPTIONS ASAN_OPTIONS

seconds=${KELVARA_FUZZ_SECONDS:-60}
if [ "$seconds" -gt 0 ]; then
    echo "== Fuzzing, ${seconds}s per target"
    "$top/fuzz/run.sh" "$seconds" "$top/build-fuzz" || status=1
fi

[ "$status" -eq 0 ] && echo "All test stages passed." || echo "Some test stage FAILED."
exit "$status"
