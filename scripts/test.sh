#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite.
#   scripts/test.sh                 the suite
#   KWA_SANITIZE=1 scripts/test.sh  the suite under AddressSanitizer, UBSan and
#                                   LeakSanitizer (build-asan)
#   KWA_BUILD_DIR=dir scripts/test.sh   another build directory
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=${KWA_BUILD_DIR:-build}
options=()
if [ "${KWA_SANITIZE:-0}" = "1" ]; then
    build=${KWA_BUILD_DIR:-build-asan}
    options+=(-DKWA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
    # Leaks fail a test. wxWidgets' own globals and the module's deliberate
    # self-reference are suppressed (tests/lsan.supp); full stack unwinding on
    # every allocation lets the suppressions match whole call chains.
    export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}fast_unwind_on_malloc=0"
    export LSAN_OPTIONS="${LSAN_OPTIONS:+$LSAN_OPTIONS:}suppressions=$(pwd)/tests/lsan.supp:print_suppressions=0"
    export UBSAN_OPTIONS="${UBSAN_OPTIONS:+$UBSAN_OPTIONS:}print_stacktrace=1"
fi
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$build" "${options[@]}"
cmake --build "$build" -j "$jobs"
status=0
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 600) || status=$?
scripts/count-test-lines
exit "$status"
