#!/bin/sh
# Lays out the installed tree (cmake --install into a staging directory, prefix
# /usr) and builds the .deb (cpack) from a finished build, once for all package
# tests. Nothing is installed on this machine.
#   make-package.sh BUILD_DIR OUT_DIR
set -eu
build=$1
out=$2
rm -rf "$out"
mkdir -p "$out"
DESTDIR="$out/staging" cmake --install "$build" --prefix /usr >"$out/install.log" 2>&1 ||
    { cat "$out/install.log"; exit 1; }
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$out/cpack" >"$out/cpack.log" 2>&1 ||
    { cat "$out/cpack.log"; exit 1; }
cp "$out"/cpack/kwagent_*.deb "$out/"
touch "$out/ready"
