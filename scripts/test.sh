#!/usr/bin/env bash
# Installs what is needed, builds, and runs the whole test suite.
#   scripts/test.sh                 the suite
#   KWA_SANITIZE=1 scripts/test.sh  the suite under AddressSanitizer and UBSan
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

build=build
options=()
if [ "${KWA_SANITIZE:-0}" = "1" ]; then
    build=build-asan
    options+=(-DKWA_SANITIZE=ON -DCMAKE_BUILD_TYPE=Debug)
fi
jobs=$(nproc 2>/dev/null || echo 2)

cmake -S . -B "$build" "${options[@]}"
cmake --build "$build" -j "$jobs"
cd "$build"
ctest --output-on-failure -j "$jobs" --timeout 600
