#!/usr/bin/env bash
# Full RELRO: each file has a GNU_RELRO segment and binds every symbol at
# load time (BIND_NOW), so its GOT is read-only once it runs.
#   check_full_relro.sh ELF_FILE...
set -euo pipefail
export LC_ALL=C
failed=0
for file in "$@"; do
    segments=$(readelf -lW "$file") dynamic=$(readelf -dW "$file")
    grep -q GNU_RELRO <<<"$segments" || { echo "FAIL: $file has no GNU_RELRO segment" >&2; failed=1; }
    grep -Eq '\(FLAGS\).*BIND_NOW|\(FLAGS_1\).*\bNOW\b' <<<"$dynamic" \
        || { echo "FAIL: $file is not linked with -z now (partial RELRO only)" >&2; failed=1; }
done
[ "$failed" = 0 ] && echo "ok: full RELRO in $*"
exit "$failed"
