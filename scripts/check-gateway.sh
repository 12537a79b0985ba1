#!/usr/bin/env bash
# Says whether the plug-in will load on a gateway, from a copy of the
# gateway's libraries (its /lib and /usr/lib, with the framework's library):
#   scripts/check-gateway.sh ROOT [PLUGIN]     PLUGIN: build-mipsel/qm4700rx2va9.so
# Lists what is missing: each library the plug-in (or a library it needs)
# names, each versioned symbol (GLIBC_, GLIBCXX_, CXXABI_, GCC_) that the
# library carrying that version lacks, and each unversioned symbol (the
# framework's, jsoncpp's) that no library in ROOT defines, by its mangled name.
# Exit status: 0 nothing missing, 1 something missing, 2 usage.
set -euo pipefail
export LC_ALL=C

usage() { echo "usage: $0 ROOT [PLUGIN]" >&2; exit 2; }
[ $# -ge 1 ] && [ $# -le 2 ] || usage
root=$1
plugin=${2:-$(dirname "$0")/../build-mipsel/qm4700rx2va9.so}
[ -d "$root" ] || { echo "check-gateway: no folder $root" >&2; exit 2; }
[ -f "$plugin" ] || { echo "check-gateway: no plug-in $plugin" >&2; exit 2; }
command -v readelf >/dev/null || { echo "check-gateway: readelf (binutils) is needed" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The loader's default folders, with Debian's multiarch ones beneath them.
dirs=()
for d in "$root"/lib "$root"/usr/lib "$root"/lib/*-linux-gnu* "$root"/usr/lib/*-linux-gnu*; do
    [ -d "$d" ] && dirs+=("$d")
done

find_library() {
    local d
    for d in "${dirs[@]}"; do
        if [ -f "$d/$1" ]; then echo "$d/$1"; return 0; fi
    done
    return 1
}
# Files that are no ELF objects (linker scripts such as libc.so) yield nothing.
needed() { { readelf -W -d "$1" 2>/dev/null || true; } | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p'; }
# Defined dynamic symbols as name@VERSION (default or not) or a bare name.
defined_symbols() {
    { readelf -W --dyn-syms "$1" 2>/dev/null || true; } \
        | awk '$7 != "UND" && $5 != "LOCAL" && NF >= 8 {sub(/@@/, "@", $8); print $8}'
}

missing=0
report() { echo "  missing $1"; missing=$((missing + 1)); }

# Libraries: the plug-in's, and theirs in turn, built for the same machine.
machine() { readelf -W -h "$1" 2>/dev/null | awk -F: '$1 ~ /^ *(Class|Data|Machine)$/ {gsub(/^ +/, "", $2); printf "%s; ", $2}'; }
target=$(machine "$plugin")
declare -A found=()
queue=($(needed "$plugin"))
while [ ${#queue[@]} -gt 0 ]; do
    lib=${queue[0]}
    queue=("${queue[@]:1}")
    [ -n "${found[$lib]+x}" ] && continue
    if path=$(find_library "$lib"); then
        found[$lib]=$path
        queue+=($(needed "$path"))
        built_for=$(machine "$path")
        [ "$built_for" = "$target" ] || report "library: $lib for this machine (${path#"$root"/} is ${built_for%; })"
    else
        found[$lib]=""
        report "library: $lib"
    fi
done

# Versioned symbols, checked against the library that carries the version.
readelf -W -V "$plugin" | awk '
    /^Version needs/ {inside = 1; next}
    /^Version/ {inside = 0}
    inside && /File:/ {for (i = 1; i <= NF; ++i) if ($i == "File:") file = $(i + 1)}
    inside && /Name:/ {for (i = 1; i <= NF; ++i) if ($i == "Name:") print $(i + 1), file}
' >"$work/version-files"
readelf -W --dyn-syms "$plugin" \
    | awk '$7 == "UND" && $5 == "GLOBAL" && $8 ~ /@/ {print $8}' | sort -u >"$work/versioned"
versioned=$(wc -l <"$work/versioned")
while read -r version file; do
    path=${found[$file]:-}
    [ -n "$path" ] || continue
    defined_symbols "$path" | grep "@$version\$" | sort -u >"$work/provided" || true
    grep "@$version\$" "$work/versioned" | comm -23 - "$work/provided" >"$work/lacking" || true
    while read -r symbol; do
        report "symbol: $symbol (in $file)"
    done <"$work/lacking"
done <"$work/version-files"

# Unversioned symbols: the framework's and jsoncpp's, from any library in ROOT.
readelf -W --dyn-syms "$plugin" \
    | awk '$7 == "UND" && $5 == "GLOBAL" && NF >= 8 && $8 !~ /@/ {print $8}' | sort -u >"$work/plain"
# One readelf over all of them: "File: PATH" heads each one's table.
for d in "${dirs[@]}"; do
    find -L "$d" -maxdepth 1 -type f -name '*.so*' -print0
done | sort -zu | { xargs -0 -r readelf -W --dyn-syms 2>/dev/null || true; } \
    | awk '/^File: / {n = split($2, parts, "/"); lib = parts[n]; next}
           $7 != "UND" && $5 != "LOCAL" && NF >= 8 {sub(/@.*/, "", $8); print $8, lib}' \
    | sort -u -k1,1 >"$work/everywhere"
join -v 1 "$work/plain" "$work/everywhere" >"$work/unresolved" || true
framework='^(typeinfo (name )?for |vtable for )?(VDeviceInterface|ZKVVDevice|ZKVSPDevice|SPModbus|ZKVController|Provider|ZKVSPDeviceProvider|get_ttime)\b'
while read -r symbol; do
    readable=$(c++filt "$symbol")
    kind="symbol"
    grep -Eq "$framework" <<<"$readable" && kind="framework symbol"
    report "$kind: $symbol ($readable)"
done <"$work/unresolved"

if [ "$missing" -gt 0 ]; then
    echo "check-gateway: $plugin will NOT load in $root: $missing missing (above)"
    exit 1
fi
providers=$(join "$work/plain" "$work/everywhere" | awk '{print $2}' | sort -u | tr '\n' ' ')
echo "check-gateway: $plugin will load in $root: ${#found[@]} libraries, $versioned versioned" \
     "symbols, $(wc -l <"$work/plain") unversioned ones (from ${providers% })"
