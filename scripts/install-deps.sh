#!/usr/bin/env bash
# Installs, from Debian's archive, the packages a job needs, by group:
#   scripts/install-deps.sh [GROUP...]          default: demo test
#   scripts/install-deps.sh --list [GROUP...]   prints the groups' packages, installs nothing
#     demo        build the plug-in, qmhost and qmsim; run the demo
#     test        the test suite, end-to-end tests included (needs demo too)
#     cross       the gateway's build (mipsel) and its tests under emulation
#     fuzz        libFuzzer builds with clang
#     bench       benchmarks and measuring scripts
#     freshcheck  scripts/fresh-check.sh
#     package     scripts/package.sh: the Debian package, its manual pages, lintian
#     all         every group
# Every package that a build, test, tool or script uses is named here
# directly: installs run with --no-install-recommends, so nothing may arrive
# only as a Recommends. Idempotent: when every package is present nothing is
# fetched and apt's lists are not updated.
set -euo pipefail

declare -A group=(
    # libzstd-dev: the store packs record bodies with zstd; the package gets
    # libzstd1 in its Depends from dpkg-shlibdeps.
    # libpq-dev: qmhost ingest and history write and read a PostgreSQL centre
    # through libpq, PostgreSQL's own C client (built without it when missing).
    [demo]="build-essential cmake pkg-config libjsoncpp-dev libboost-date-time-dev libmodbus-dev libsqlite3-dev libmicrohttpd-dev libmosquitto-dev libzstd-dev libpq-dev"
    # pymodbus's serial server imports pyserial and serial-asyncio, which
    # python3-pymodbus only recommends.
    # The agent's HTTP side is tested with real clients: Prometheus (and its
    # promtool), Alertmanager delivering the alerting rules' alerts, and
    # headless Chromium, with a font for the units' alarm names.
    # groff-base: the manual pages' warnings check; systemd: systemd-analyze
    # scores the agent's unit (the test is skipped without it).
    # faketime: libfaketime steps the agent's wall clock in the clock trial.
    # postgresql-15: the ingest trials run against a PostgreSQL centre too,
    # a server the test starts in a folder of its own (util-linux's setpriv
    # runs it as nobody when the tests run as root).
    [test]="libgtest-dev libgmock-dev socat mbpoll python3 python3-pymodbus python3-serial python3-serial-asyncio prometheus prometheus-alertmanager chromium fonts-wqy-microhei groff-base mosquitto mosquitto-clients openssl systemd faketime postgresql-15 util-linux"
    # install-target-deps.sh needs only apt and dpkg; cross-test.sh checks the plug-in with file.
    [cross]="g++-mipsel-linux-gnu qemu-user file"
    [fuzz]="clang libclang-rt-14-dev"
    [bench]="libbenchmark-dev valgrind strace time python3 mosquitto mosquitto-clients postgresql-15"
    [freshcheck]="debootstrap git tar"
    # CPack's Depends come from dpkg-shlibdeps (dpkg-dev), which it runs on
    # the files file calls ELF; the manual pages are written by python3.
    [package]="dpkg-dev file fakeroot lintian python3 groff-base man-db"
)
order=(demo test cross fuzz bench freshcheck package)

usage() { echo "usage: $0 [--list] [$(IFS='|'; echo "${order[*]}")|all]..." >&2; exit 2; }

list=false
if [ "${1:-}" = "--list" ]; then list=true; shift; fi
wanted=("$@")
[ ${#wanted[@]} -gt 0 ] || wanted=(demo test)
packages=()
for g in "${wanted[@]}"; do
    case "$g" in
        all) for each in "${order[@]}"; do read -ra more <<<"${group[$each]}"; packages+=("${more[@]}"); done ;;
        -h|--help) usage ;;
        *)
            [ -n "${group[$g]+set}" ] || { echo "install-deps: unknown group \"$g\"" >&2; usage; }
            read -ra more <<<"${group[$g]}"
            packages+=("${more[@]}")
            ;;
    esac
done

if $list; then printf '%s\n' "${packages[@]}" | sort -u; exit 0; fi

missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
    echo "install-deps: all packages present (${wanted[*]})"
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
echo "install-deps: installing for ${wanted[*]}: ${missing[*]}"
$sudo apt-get update -qq || { echo "install-deps: apt-get update failed" >&2; exit 1; }
# dpkg's progress goes to a log, shown only when the install fails.
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    echo "install-deps: apt-get install failed for: ${missing[*]}" >&2
    exit 1
fi
echo "install-deps: installed ${#missing[@]} packages and their dependencies"
