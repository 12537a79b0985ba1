#!/usr/bin/env bash
# What the target plug-in asks of the gateway (the libraries it names and the
# symbol versions it needs from each) must be what the README states, kept in
# the floor file; a change that raises or lowers it shows here.
#   check_plugin_floor.sh PLUGIN FLOOR_FILE      QM_UPDATE_FLOOR=1 rewrites the file
set -euo pipefail
export LC_ALL=C
plugin=$1 floor=$2

actual=$(
    readelf -W -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/library \1/p'
    readelf -W -V "$plugin" | awk '
        /^Version needs/ {inside = 1; next}
        /^Version/ {inside = 0}
        inside && /File:/ {for (i = 1; i <= NF; ++i) if ($i == "File:") file = $(i + 1)}
        inside && /Name:/ {for (i = 1; i <= NF; ++i) if ($i == "Name:") print "version", file, $(i + 1)}'
)
actual=$(sort <<<"$actual")
if [ "${QM_UPDATE_FLOOR:-}" = 1 ]; then
    printf '%s\n' "$actual" >"$floor"
    echo "rewrote $floor"
    exit 0
fi
if ! diff -u "$floor" <(printf '%s\n' "$actual"); then
    echo "$plugin needs another floor than $floor states (- stated, + needed);" \
         "update the README's floor and rerun with QM_UPDATE_FLOOR=1" >&2
    exit 1
fi
echo "ok: $plugin needs exactly the floor in $floor"
