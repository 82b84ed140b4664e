#!/usr/bin/env bash
# Bundle benchmark: packing (CreateBundle) against Info-ZIP `zip -r -q` and
# unpacking (ExtractBundles) against `unzip -q`, on three web roots, measured in
# the same run with whole-process wall time and peak resident memory.
#
#   bench/bundle-bench.sh                 all three trees, 3 runs each
#   RUNS=5 TREES="small" bench/bundle-bench.sh
#   BUILD=build-foo BENCH_DIR=/var/tmp/b bench/bundle-bench.sh
#
# Speed is the baseline's time divided by the relay's (above 1: the relay is
# faster). Each figure is the median of RUNS runs; relay and baseline runs
# alternate so that a drift of the machine hits both.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=${BUILD:-build}
runs=${RUNS:-3}
trees=${TREES:-"small mixed random"}
work=${BENCH_DIR:-/tmp/kwa-bundle-bench}
bin="$root/$build/bin"
python=$(command -v /usr/bin/python3 || command -v python3)

for tool in lua5.2 zip unzip /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing: $tool" >&2; exit 1; }
done
[ -f "$bin/relay.so" ] || { echo "build first: $bin/relay.so is missing" >&2; exit 1; }

# seconds and peak KiB of one command, as "S KB"
measure() {
    /usr/bin/time -o "$work/time.out" -f "%e %M" "$@" >/dev/null 2>>"$work/bench.log" ||
        { echo "failed: $* (see $work/bench.log)" >&2; exit 1; }
    tail -1 "$work/time.out"
}
median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
max() { sort -n | tail -1; }

mkdir -p "$work"
printf '%-7s %-7s %9s %9s %7s %10s\n' tree step relay_s base_s speed relay_MiB
for tree in $trees; do
    home="$work/$tree/home"
    www="$home/plugins/relay/www"
    agent="$work/$tree/agent"
    if [ ! -f "$work/$tree/.built" ]; then
        rm -rf "$work/$tree"
        mkdir -p "$www" "$agent"
        echo "building the $tree tree..." >&2
        "$python" bench/make-tree.py "$tree" "$www/packages"
        touch "$work/$tree/.built"
    fi
    export KWA_HOME="$home"
    # The first construction makes the certificate; keep it out of the figures.
    lua5.2 -e "package.cpath='$bin/?.so;'..package.cpath; local h = require 'kwacore'; require 'relay';
               SLB.RelayServer(); h.set('app.path.bin', '$agent')"
    graveyard="$work/$tree/old"
    mkdir -p "$graveyard"
    pack_r=() pack_b=() pack_m=() unpack_r=() unpack_b=() unpack_m=()
    for run in $(seq "$runs"); do
        rm -f "$home"/plugins/relay/kwupdate_*.zip "$agent"/kwupdate_*.zip "$work/$tree/base.zip"
        sync
        read -r s kb < <(measure lua5.2 bench/relay-bundle.lua "$bin" create)
        pack_r+=("$s"); pack_m+=("$kb")
        read -r s kb < <(measure sh -c "cd '$www' && exec zip -r -q '$work/$tree/base.zip' .")
        pack_b+=("$s")

        mv "$home"/plugins/relay/kwupdate_*.zip "$agent/"
        bundle=$(ls "$agent"/kwupdate_*.zip)
        sync
        read -r s kb < <(measure lua5.2 bench/relay-bundle.lua "$bin" extract)
        unpack_r+=("$s"); unpack_m+=("$kb")
        mkdir -p "$graveyard/base$run"
        read -r s kb < <(measure sh -c "cd '$graveyard/base$run' && exec unzip -q '$bundle'")
        unpack_b+=("$s")
        # Set the outputs aside (deleting many files slows the next creations).
        mv "$home/plugins/relay/bundle/tmp" "$graveyard/relay$run"
        if [ "$tree" != small ]; then rm -rf "$graveyard"/*; fi
    done
    for step in pack unpack; do
        if [ $step = pack ]; then r=("${pack_r[@]}"); b=("${pack_b[@]}"); m=("${pack_m[@]}")
        else r=("${unpack_r[@]}"); b=("${unpack_b[@]}"); m=("${unpack_m[@]}"); fi
        rs=$(printf '%s\n' "${r[@]}" | median)
        bs=$(printf '%s\n' "${b[@]}" | median)
        mk=$(printf '%s\n' "${m[@]}" | max)
        awk -v t="$tree" -v s="$step" -v r="$rs" -v b="$bs" -v m="$mk" \
            'BEGIN { printf "%-7s %-7s %9.2f %9.2f %6.2fx %10.1f\n", t, s, r, b, (r > 0 ? b / r : 0), m / 1024 }'
    done
    rm -rf "$graveyard"
done
