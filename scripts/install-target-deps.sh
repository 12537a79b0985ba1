#!/usr/bin/env bash
# Unpacks the gateway's (mipsel) libraries from Debian's archive into a
# sysroot for the cross build:
#   scripts/install-target-deps.sh [SYSROOT]     default build-mipsel/sysroot
# The packages are fetched with apt-get download and unpacked with dpkg -x,
# never installed: apt keeps its mipsel package lists in a private state
# folder beside the sysroot, so the machine's own apt setup (architectures,
# lists, installed packages) is left as it is. Idempotent: a sysroot that
# already holds these packages is left alone.
set -euo pipefail
cd "$(dirname "$0")/.."

arch=mipsel
sysroot=$(realpath -m "${1:-build-mipsel/sysroot}")
work=$(dirname "$sysroot")/target-apt
# Headers and libraries the build links against, with the libraries theirs
# need at link time (libmosquitto: OpenSSL and cJSON; libmicrohttpd and
# qmhost's client: GnuTLS and its own, with the -dev packages its pkg-config
# file requires); Boost is headers only.
packages=(libjsoncpp-dev libjsoncpp25 libmodbus-dev libmodbus5 libsqlite3-dev libsqlite3-0 libmicrohttpd-dev libmicrohttpd12 libgnutls28-dev libgnutls30 nettle-dev libtasn1-6-dev libidn2-dev libp11-kit-dev libnettle8 libhogweed6 libgmp10 libp11-kit0 libidn2-0 libunistring2 libtasn1-6 libffi8 libmosquitto-dev libmosquitto1 libssl3 libcjson1 libzstd-dev libzstd1 libgtest-dev libgmock-dev)
marker=$sysroot/.qm-packages

mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/debs"
touch "$work/status"
apt_options=(
    -o "APT::Architecture=$arch" -o "APT::Architectures::=$arch"
    -o "Dir::State::Lists=$work/lists" -o "Dir::State::status=$work/status"
    -o "Dir::Cache=$work/cache"
)
# As root apt hands downloads to its _apt user, who cannot write the build tree.
if [ "$(id -u)" -eq 0 ]; then apt_options+=(-o "APT::Sandbox::User=root"); fi
target_apt() { "$1" "${apt_options[@]}" "${@:2}"; }
update_lists() {
    echo "install-target-deps: fetching the $arch package lists"
    target_apt apt-get update -qq || { echo "install-target-deps: apt-get update for $arch failed" >&2; exit 1; }
}

if [ -z "$(find "$work/lists" -maxdepth 1 -name '*_Packages*' -print -quit)" ]; then
    update_lists
fi

# The Boost headers' package is named after its version: take it from the
# unversioned package's dependency.
boost=$(target_apt apt-cache depends libboost-dev 2>/dev/null | awk '$1 == "Depends:" && $2 ~ /^libboost[0-9.]+-dev$/ {print $2; exit}')
[ -n "$boost" ] || { echo "install-target-deps: no Boost headers package for $arch" >&2; exit 1; }
packages+=("$boost")

# One "package version" line per package, in the order asked.
wanted=$(target_apt apt-cache policy "${packages[@]}" \
    | awk '/^[^ ]/ {name = $1; sub(/:$/, "", name)} $1 == "Candidate:" && $2 != "(none)" {print name, $2}')
missing=$(comm -23 <(printf '%s\n' "${packages[@]}" | sort) <(cut -d' ' -f1 <<<"$wanted" | sort))
if [ -n "$missing" ]; then
    echo "install-target-deps: not in the $arch lists: $(tr '\n' ' ' <<<"$missing")" >&2
    exit 1
fi
if [ -f "$marker" ] && [ "$(cat "$marker")" = "$wanted" ]; then
    echo "install-target-deps: $sysroot already holds the $arch packages"
    exit 0
fi

echo "install-target-deps: downloading ${packages[*]} ($arch)"
download() { (cd "$work/debs" && rm -f ./*.deb && target_apt apt-get download -qq "${packages[@]}"); }
# Lists kept from an earlier run may name versions the archive no longer has.
download || { update_lists && download; } || { echo "install-target-deps: apt-get download failed" >&2; exit 1; }

rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$work/debs"/*.deb; do
    dpkg -x "$deb" "$sysroot" || { echo "install-target-deps: dpkg -x $deb failed" >&2; exit 1; }
done
printf '%s\n' "$wanted" >"$marker"
echo "install-target-deps: unpacked ${#packages[@]} packages into $sysroot"
