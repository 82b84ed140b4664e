#!/usr/bin/env bash
# Installs what is needed, builds, and runs the relay in the foreground.
# Stop it with Ctrl-C (or SIGTERM).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -DKWA_BUILD_TESTS=OFF
cmake --build build -j "$(nproc 2>/dev/null || echo 2)"
exec build/bin/kwagent "$@"
