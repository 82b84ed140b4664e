#!/usr/bin/env bash
# Two extremes of the bundle path, too slow for the test suite, each packed with
# CreateBundle and unpacked with ExtractBundles (bench/relay-bundle.lua):
#   large    a 4.5 GiB sparse file (Zip64 sizes and offsets) beside a small one, in
#            BENCH_DIR (default /var/tmp; several GiB pass through the disk)
#   million  1,000,000 empty files in 1,000 directories, on /dev/shm
# Prints the peak resident memory of each step; fails when what comes back differs.
#
#   bench/zip-extremes.sh [large] [million]     BUILD=build  LARGE_MIB=4608  FILES=1000000
set -euo pipefail
cd "$(dirname "$0")/.."
bin=$(pwd)/${BUILD:-build}/bin
large_size=$((${LARGE_MIB:-4608} * 1048576 + 3))
files=${FILES:-1000000}
python=$(command -v /usr/bin/python3 || command -v python3)

step() { # create|extract: the peak MiB of the step
    /usr/bin/time -o "$base/time" -f %M lua5.2 bench/relay-bundle.lua "$bin" "$1" >>"$base/log" 2>&1 ||
        { echo "$1 failed (see $base/log)" >&2; exit 1; }
    echo $(($(tail -1 "$base/time") / 1024))
}

for case in ${*:-large million}; do
    case $case in
    large) base=$(mktemp -d "${BENCH_DIR:-/var/tmp}/kwa-large-XXXXXX") ;;
    million) base=$(mktemp -d /dev/shm/kwa-million-XXXXXX) ;;
    *) echo "usage: $0 [large] [million]" >&2; exit 2 ;;
    esac
    export KWA_HOME=$base/home
    www=$KWA_HOME/plugins/relay/www
    mkdir -p "$www" "$base/agent"
    lua5.2 -e "package.cpath='$bin/?.so;'..package.cpath; local h = require 'kwacore';
               require 'relay'; SLB.RelayServer(); h.set('app.path.bin', '$base/agent')"
    if [ "$case" = large ]; then
        truncate -s $((large_size - 3)) "$www/huge.iso.gz"
        printf end >>"$www/huge.iso.gz"
        echo after >"$www/after.txt"
    else
        "$python" bench/make-tree.py empty "$www" "$files"
    fi
    packed=$(step create)
    mv "$KWA_HOME"/plugins/relay/kwupdate_*.zip "$base/agent/"
    rm -rf "$www"
    unpacked=$(step extract)
    out=$(echo "$KWA_HOME"/plugins/relay/bundle/tmp/kwupdate_*)
    if [ "$case" = large ]; then
        [ "$(stat -c %s "$out/huge.iso.gz")" = "$large_size" ] && [ "$(tail -c 3 "$out/huge.iso.gz")" = end ] &&
            [ "$(cat "$out/after.txt")" = after ] || { echo "large: the files differ" >&2; exit 1; }
    else
        [ "$(find "$out" -type f | wc -l)" = "$files" ] || { echo "million: files missing" >&2; exit 1; }
    fi
    echo "$case: peak $packed MiB packing, $unpacked MiB unpacking"
    rm -rf "$base"
done
