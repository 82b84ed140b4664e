#!/bin/sh
# Lays out the installed tree (prefix /usr, in OUT_DIR/staging) and builds the .deb
# from a finished build, once for all package tests: make-package.sh BUILD_DIR OUT_DIR
set -eu
rm -rf "$2" && mkdir -p "$2"
DESTDIR="$2/staging" cmake --install "$1" --prefix /usr >/dev/null
cpack --config "$1/CPackConfig.cmake" -G DEB -B "$2/cpack" >/dev/null
cp "$2"/cpack/kwagent_*.deb "$2/" && touch "$2/ready"
