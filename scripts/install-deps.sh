#!/usr/bin/env bash
# Installs, from Debian's archive, every package the build, the tests and the
# tools need. Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    libjsoncpp-dev libboost-date-time-dev libmodbus-dev
    libgtest-dev libgmock-dev libbenchmark-dev
    clang libclang-rt-14-dev
    socat mbpoll python3-pymodbus
    valgrind file time
    g++-mipsel-linux-gnu qemu-user
)

missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
$sudo apt-get update -qq || { echo "install-deps: apt-get update failed" >&2; exit 1; }
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    || { echo "install-deps: apt-get install failed for: ${missing[*]}" >&2; exit 1; }
