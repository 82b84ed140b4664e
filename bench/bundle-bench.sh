#!/usr/bin/env bash
# Bundle benchmark: packing (CreateBundle) and unpacking (ExtractBundles) against
# the zip tools an operator would otherwise use: Info-ZIP (`zip -r -q`,
# `unzip -q`), libarchive's `bsdtar` and 7-Zip (`7z`, two threads), on the same
# trees and the same archive (the relay's), with whole-process wall time, peak
# resident memory and archive sizes.
#
#   bench/bundle-bench.sh                    the small and mixed trees, 3 runs each
#   RUNS=5 TREES=small bench/bundle-bench.sh
#   SMALL_FILES=2000 MIXED_MIB=64 ...        smaller trees, for a quick check
#   BUILD=build-x (or an absolute path) BENCH_DIR=/var/tmp/b TMPFS_DIR=/dev/shm/b
#
# The small tree (20,000 files of 4 KiB) lives on tmpfs: on this disk every tool
# waits about as long on creating the files. The mixed tree (1 GiB: half random,
# half text) lives in BENCH_DIR. The order of the tools rotates from run to run
# and the disk is synced before each command, so one tool's writeback does not
# land on the next. Prints a markdown table: medians of RUNS runs (with the
# range); the relay's speed is the fastest peer's time divided by the relay's in
# the same run (above 1: the relay is faster). Then checks that the relay's
# archives read back with each peer and with Python's zipfile.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

build=${BUILD:-build}
case $build in /*) bin="$build/bin" ;; *) bin="$root/$build/bin" ;; esac
runs=${RUNS:-3}
trees=${TREES:-"small mixed"}
work=${BENCH_DIR:-/tmp/kwa-bundle-bench}
tmpfs=${TMPFS_DIR:-/dev/shm/kwa-bundle-bench}
small_files=${SMALL_FILES:-20000}
mixed_mib=${MIXED_MIB:-1024}
python=$(command -v /usr/bin/python3 || command -v python3)

for tool in lua5.2 zip unzip bsdtar 7z /usr/bin/time; do
    command -v "$tool" >/dev/null || { echo "missing: $tool (scripts/install-deps.sh)" >&2; exit 1; }
done
[ -f "$bin/relay.so" ] || { echo "build first: $bin/relay.so is missing" >&2; exit 1; }
mkdir -p "$work" "$tmpfs"
log="$work/bench.log"

# seconds and peak KiB of one command, as "S KB"
measure() {
    /usr/bin/time -o "$work/time.out" -f "%e %M" "$@" >>"$log" 2>&1 ||
        { echo "failed: $* (see $log)" >&2; exit 1; }
    tail -1 "$work/time.out"
}
# "median min max" of the numbers on stdin
stats() { sort -g | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)], v[1], v[NR] }'; }
mib() { awk -v b="$1" 'BEGIN { printf "%.1f", b / 1048576 }'; }

tools=(relay zip bsdtar 7z)
peers=(zip bsdtar 7z)
declare -A target=([small:create]=">= 2x" [small:extract]=">= 1.2x" [mixed:create]=">= 5x"
                   [mixed:extract]=">= 1.5x" [random:create]="" [random:extract]="")

pack() { # tool archive source
    case $1 in
    relay) measure lua5.2 bench/relay-bundle.lua "$bin" create ;;
    zip) measure sh -c "cd '$3' && exec zip -r -q '$2' ." ;;
    bsdtar) measure bsdtar -c --format zip -f "$2" -C "$3" . ;;
    7z) measure sh -c "cd '$3' && exec 7z a -tzip -mmt=2 -bd -bso0 -bsp0 '$2' ." ;;
    esac
}
unpack() { # tool archive target (the relay unpacks into its own bundle directory)
    [ "$1" = relay ] || mkdir -p "$3"
    case $1 in
    relay) measure lua5.2 bench/relay-bundle.lua "$bin" extract ;;
    zip) measure sh -c "cd '$3' && exec unzip -q '$2'" ;;
    bsdtar) measure bsdtar -xf "$2" -C "$3" ;;
    7z) measure 7z x -mmt=2 -bd -bso0 -bsp0 "-o$3" "$2" ;;
    esac
}

printf '| %-26s | %-30s | %-30s | %-30s | %-30s | %-22s | %-7s |\n' step relay "zip / unzip" bsdtar 7z \
    "relay speed vs fastest" target
echo "|---|---|---|---|---|---|---|"
notes=()
peak_kb=0
for tree in $trees; do
    case $tree in
    small) base="$tmpfs/small-$small_files"; amount=$small_files; what="$small_files files of 4 KiB" ;;
    *) base="$work/$tree-$mixed_mib"; amount=$mixed_mib; what="$mixed_mib MiB $tree" ;;
    esac
    home="$base/home"
    www="$home/plugins/relay/www"
    agent="$base/agent"
    out="$base/out"
    if [ ! -f "$base/.built" ]; then
        rm -rf "$base"
        mkdir -p "$www" "$agent"
        echo "building the $tree tree ($what)..." >&2
        "$python" bench/make-tree.py "$tree" "$www/packages" "$amount"
        touch "$base/.built"
    fi
    mkdir -p "$out"
    export KWA_HOME="$home"
    # The first construction makes the certificate; keep it out of the figures.
    lua5.2 -e "package.cpath='$bin/?.so;'..package.cpath; local h = require 'kwacore'; require 'relay';
               SLB.RelayServer(); h.set('app.path.bin', '$agent')" >>"$log" 2>&1
    declare -A times=() kbs=() sizes=() ratios=()
    for run in $(seq "$runs"); do
        order=("${tools[@]:$((run % 4))}" "${tools[@]:0:$((run % 4))}")
        declare -A run_s=()
        for tool in "${order[@]}"; do
            rm -f "$home"/plugins/relay/kwupdate_*.zip "$out/$tool.zip"
            sync
            read -r s kb < <(pack "$tool" "$out/$tool.zip" "$www")
            run_s[create:$tool]=$s
            times[create:$tool]+="$s "
            kbs[create:$tool]+="$kb "
            [ "$tool" = relay ] && mv "$home"/plugins/relay/kwupdate_*.zip "$out/relay.zip"
            sizes[$tool]=$(stat -c %s "$out/$tool.zip")
        done
        rm -f "$agent"/kwupdate_*.zip
        bundle="$agent/kwupdate_bench.zip"
        mv "$out/relay.zip" "$bundle"
        for tool in "${order[@]}"; do
            rm -rf "$home/plugins/relay/bundle" "$out/x-$tool"
            sync
            read -r s kb < <(unpack "$tool" "$bundle" "$out/x-$tool")
            run_s[extract:$tool]=$s
            times[extract:$tool]+="$s "
            kbs[extract:$tool]+="$kb "
        done
        rm -rf "$home/plugins/relay/bundle" "$out"/x-*
        for step in create extract; do
            ratios[$step]+="$(for p in "${peers[@]}"; do echo "${run_s[$step:$p]}"; done | sort -g | head -1 |
                awk -v r="${run_s[$step:relay]}" '{ printf "%.2f", (r > 0 ? $1 / r : 0) }') "
        done
    done

    for step in create extract; do
        cells=()
        best="" best_s=""
        for tool in "${tools[@]}"; do
            read -r med lo hi < <(echo "${times[$step:$tool]}" | tr ' ' '\n' | grep . | stats)
            kb=$(echo "${kbs[$step:$tool]}" | tr ' ' '\n' | grep . | sort -n | tail -1)
            [ "$tool" = relay ] && [ "$kb" -gt "$peak_kb" ] && peak_kb=$kb
            cell="$med s ($lo-$hi), $(mib $((kb * 1024))) MiB"
            [ "$step" = create ] && cell+=", $(mib "${sizes[$tool]}") MiB zip"
            cells+=("$cell")
            if [ "$tool" != relay ] && { [ -z "$best_s" ] || awk -v a="$med" -v b="$best_s" 'BEGIN { exit !(a < b) }'; }; then
                best=$tool best_s=$med
            fi
        done
        read -r med lo hi < <(echo "${ratios[$step]}" | tr ' ' '\n' | grep . | stats)
        label="$step, $what"
        printf '| %-26s | %-30s | %-30s | %-30s | %-30s | %-22s | %-7s |\n' "$label" "${cells[@]}" \
            "${med}x ($lo-$hi; $best)" "${target[$tree:$step]}"
    done

    # What Info-ZIP and the relay make of the text files (the random half is stored).
    if [ "$tree" != small ]; then
        notes+=("$("$python" - "$bundle" "$out/zip.zip" "$what" <<'EOF'
import sys, zipfile
def text(path):
    return sum(i.compress_size for i in zipfile.ZipFile(path).infolist() if i.filename.endswith('.log'))
relay, info = text(sys.argv[1]), text(sys.argv[2])
if info:
    print("deflated text entries, %s: relay %.1f MiB, zip -r -q %.1f MiB: %.4fx (target <= 1.03x)"
          % (sys.argv[3], relay / 1048576, info / 1048576, relay / info))
EOF
)")
    fi
    # Every peer and Python's zipfile read the relay's archive back, checksums included.
    if unzip -tq "$bundle" >>"$log" 2>&1 && bsdtar -tf "$bundle" >/dev/null 2>>"$log" &&
        7z t -bd -bso0 -bsp0 "$bundle" >>"$log" 2>&1 &&
        "$python" -c 'import sys, zipfile; sys.exit(zipfile.ZipFile(sys.argv[1]).testzip() is not None)' "$bundle"; then
        notes+=("the relay's $tree archive reads back with unzip -t, bsdtar -t, 7z t and Python's zipfile")
    else
        notes+=("FAILED: the relay's $tree archive does not read back with every reader (see $log)")
    fi
    unset times kbs sizes ratios
done
printf '| %-26s | %-30s | %-30s | %-30s | %-30s | %-22s | %-7s |\n' "peak memory, relay" \
    "$(mib $((peak_kb * 1024))) MiB" "" "" "" "" "< 32 MiB"
echo
echo "peers: zip -r -q / unzip -q; bsdtar -c --format zip / bsdtar -x; 7z a -tzip -mmt=2 / 7z x -mmt=2"
for note in "${notes[@]}"; do
    [ -n "$note" ] && echo "$note"
done
exit 0
