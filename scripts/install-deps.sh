#!/usr/bin/env bash
# Installs the Debian packages the relay needs to build, run and test.
# Safe to run again: apt-get skips what is already there.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libwxgtk3.2-dev          # wxWidgets 3.2; only the base library is linked
    liblua5.2-dev lua5.2
    libssl-dev openssl
    zlib1g-dev               # checksums of the zip layer of the core library
    libisal-dev              # deflate, inflate and CRC-32 of the zip layer (ISA-L)
    nginx-light
    nlohmann-json3-dev
    googletest libgtest-dev libgmock-dev
    curl zip unzip python3 wrk time
    p7zip-full libarchive-tools  # other zip tools: the compatibility test, bench/run's peers
    libdeflate-dev           # bench/codecs compares it
    clang libclang-rt-dev
    procps iproute2 file dpkg-dev
    systemd adduser util-linux  # systemd-analyze checks the unit; the package adds a user; setpriv, unshare
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
# nginx's own service must not grab port 80 on machines where policy-rc.d allows starts.
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
