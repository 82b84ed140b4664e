#!/usr/bin/env bash
# Builds the zip fuzzer (libFuzzer, clang, AddressSanitizer and UBSan) and runs
# it over the seed corpus of tests/fuzz/corpus for a bounded time.
#
#   scripts/fuzz-unzip.sh [SECONDS [BUILD_DIR]]     default: 60 s, build-fuzz
#
# Inputs it finds interesting go to BUILD_DIR/corpus (the kept corpus is only
# read); a crash, hang or escape leaves its input as BUILD_DIR/crash-* or
# timeout-* and fails. Exits 77 (CTest: skipped) when clang or its fuzzer
# runtime is missing.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-60}
build=${2:-$root/build-fuzz}

if ! command -v clang++ >/dev/null || ! command -v clang >/dev/null; then
    echo "clang is not installed: the zip fuzzer is skipped"
    exit 77
fi
probe=$(mktemp -d)
trap 'rm -rf "$probe"' EXIT
printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
    >"$probe/probe.cpp"
if ! clang++ -fsanitize=fuzzer,address "$probe/probe.cpp" -o "$probe/probe" 2>/dev/null; then
    echo "clang's fuzzer runtime (libclang-rt-dev) is missing: the zip fuzzer is skipped"
    exit 77
fi

cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang >/dev/null
cmake --build "$build" -j "${KWA_FUZZ_JOBS:-2}" >/dev/null
mkdir -p "$build/corpus"

# Leaks are LeakSanitizer's to find in the sanitizer build of the suite; here
# wxWidgets' own globals would only be noise.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
# The target's scratch directories go below the build (a crashing input leaves
# its own behind).
export TMPDIR="$build/tmp"
rm -rf "$TMPDIR"
mkdir -p "$TMPDIR"
exec "$build/fuzz_unzip" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -max_len=65536 -print_final_stats=1 -artifact_prefix="$build/" \
    "$build/corpus" "$root/tests/fuzz/corpus"
