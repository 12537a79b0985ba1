#!/usr/bin/env bash
# The plug-in exports get_providers and defines none of the host's code: every
# host operation it uses is left for the loader to resolve against the host.
# And it defines no unique symbols, so that the host can unload it.
set -euo pipefail
nm_tool=$1 plugin=$2 host=$3

defined() { "$nm_tool" -D --defined-only "$1" | awk '$2 ~ /^[TDRB]$/ {print $3}' | sort -u; }

if ! defined "$plugin" | grep -qx 'get_providers'; then
    echo "get_providers is not exported by $plugin" >&2
    exit 1
fi
# Strong definitions both objects carry: host code compiled into the plug-in.
# (Header-inline operations are weak and may appear in both.)
common=$(comm -12 <(defined "$plugin") <(defined "$host") | grep -v -E '^_(init|fini|edata|end|_bss_start)$' || true)
if [ -n "$common" ]; then
    echo "the plug-in defines host symbols:" >&2
    echo "$common" >&2
    exit 1
fi
# STB_GNU_UNIQUE symbols (nm's "u") would keep the plug-in mapped after dlclose.
unique=$("$nm_tool" -D --defined-only "$plugin" | awk '$2 == "u" {print $3}')
if [ -n "$unique" ]; then
    echo "the plug-in defines unique symbols, so it can never be unloaded:" >&2
    echo "$unique" >&2
    exit 1
fi
undefined_host=$("$nm_tool" -D --undefined-only "$plugin" | grep -c -E 'ZKVVDevice|SPModbus|ZKVSPDevice|get_ttime' || true)
if [ "$undefined_host" -eq 0 ]; then
    echo "the plug-in resolves no host symbols at load time; is the host linked in?" >&2
    exit 1
fi
echo "ok: get_providers exported, $undefined_host host symbols left to the loader"
