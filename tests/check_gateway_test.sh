#!/usr/bin/env bash
# scripts/check-gateway.sh against five gateway roots made here from the
# target's libraries: a complete one, one without the framework's library,
# one whose libc is an older one (a stub whose version nodes stop at
# GLIBC_2.0), one whose framework was built with the pre-C++11 string ABI,
# and one with a library built for another machine.
#   check_gateway_test.sh CHECK PLUGIN FRAMEWORK OLD_ABI_FRAMEWORK TARGET_LIBS... -- CC
set -euo pipefail
export LC_ALL=C
check=$1 plugin=$2 framework=$3 old_abi_framework=$4
shift 4
target_libs=()
while [ "$1" != "--" ]; do target_libs+=("$1"); shift; done
cc=$2

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# ROOT/usr/lib/mipsel-linux-gnu with every target library, and the framework.
make_root() {
    local root=$work/$1 dir
    mkdir -p "$root/usr/lib/mipsel-linux-gnu"
    for dir in "${target_libs[@]}"; do
        find "$dir" -maxdepth 1 -name '*.so*' -exec ln -sf {} "$root/usr/lib/mipsel-linux-gnu/" \;
    done
    [ -z "${2:-}" ] || cp "$2" "$root/usr/lib/"
    echo "$root"
}
# Runs the check; its output goes to $work/out, its status to $status.
run_check() { status=0; "$check" "$1" "$plugin" >"$work/out" 2>&1 || status=$?; }
missing_lines() { grep '^  missing ' "$work/out" || true; }

root=$(make_root complete "$framework")
run_check "$root"
[ "$status" -eq 0 ] || fail "complete root: status $status"$'\n'"$(cat "$work/out")"

root=$(make_root no-framework)
run_check "$root"
[ "$status" -eq 1 ] || fail "root without the framework: status $status"
grep -q '^  missing framework symbol: _ZN8SPModbus7processEv ' "$work/out" \
    || fail "root without the framework: SPModbus::process not listed"
missing_lines | grep -v '^  missing framework symbol: ' && fail "root without the framework: more than framework symbols listed"

root=$(make_root old-libc "$framework")
stub=$work/libc-stub
mkdir -p "$stub"
readelf -W --dyn-syms "$plugin" | awk '$7 == "UND" && $8 ~ /@GLIBC_/ {sub(/@.*/, "", $8); print $8}' | sort -u >"$stub/names"
{ echo '.text'; while read -r name; do printf '.globl %s\n%s:\n' "$name" "$name"; done <"$stub/names"; } >"$stub/libc.s"
{ echo 'GLIBC_2.0 { global:'; sed 's/$/;/' "$stub/names"; echo 'local: *; };'; } >"$stub/libc.map"
"$cc" -shared -nostdlib -o "$stub/libc.so.6" "$stub/libc.s" -Wl,--version-script="$stub/libc.map" -Wl,-soname,libc.so.6
ln -sf "$stub/libc.so.6" "$root/usr/lib/mipsel-linux-gnu/libc.so.6"
run_check "$root"
[ "$status" -eq 1 ] || fail "older libc: status $status"
later=$(readelf -W --dyn-syms "$plugin" | awk '$7 == "UND" && $5 == "GLOBAL" && $8 ~ /@GLIBC_/ && $8 !~ /@GLIBC_2\.0$/ {print $8}' | sort -u)
[ -n "$later" ] || fail "older libc: the plug-in needs nothing after GLIBC_2.0, nothing to check"
for symbol in $later; do
    grep -qF "  missing symbol: $symbol (in libc.so.6)" "$work/out" || fail "older libc: $symbol not listed"
done
[ "$(missing_lines | wc -l)" -eq "$(wc -w <<<"$later")" ] || fail "older libc: other lines listed"$'\n'"$(cat "$work/out")"

root=$(make_root old-abi "$old_abi_framework")
run_check "$root"
[ "$status" -eq 1 ] || fail "pre-C++11 ABI framework: status $status"
grep -q '^  missing framework symbol: _ZN10ZKVVDevice5InitVERKNSt7__cxx1112basic_string' "$work/out" \
    || fail "pre-C++11 ABI framework: ZKVVDevice::InitV not listed"
missing_lines | grep -v '__cxx11' && fail "pre-C++11 ABI framework: a symbol without a string listed"

root=$(make_root other-machine "$framework")
ln -sf "$(readlink -f /bin/sh)" "$root/usr/lib/mipsel-linux-gnu/libgcc_s.so.1"
run_check "$root"
[ "$status" -eq 1 ] || fail "a library for another machine: status $status"
grep -q '^  missing library: libgcc_s.so.1 for this machine' "$work/out" \
    || fail "a library for another machine: libgcc_s.so.1 not listed"

[ "$failures" -eq 0 ] || exit 1
echo "ok: check-gateway tells all five roots apart"
