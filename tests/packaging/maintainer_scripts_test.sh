#!/usr/bin/env bash
# The package's maintainer scripts, run with stand-ins for systemd's helpers
# that log their calls: the service is stopped before removal and restarted
# after an upgrade only when systemd runs (the marker /run/systemd/system,
# here a folder of the test's), never touched on a fresh install or an
# upgrade's prerm. The real dpkg runs are in scripts/fresh-check.sh.
#   maintainer_scripts_test.sh DEBIAN_FOLDER
set -euo pipefail
debian=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/bin" "$work/systemd-runs/run/systemd/system" "$work/no-systemd"
for tool in deb-systemd-invoke deb-systemd-helper systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"$CALLS"\n' "$tool" >"$work/bin/$tool"
done
printf '#!/bin/sh\nexit 0\n' >"$work/bin/getent"  # the user qmhost exists
chmod +x "$work/bin"/*

# run SCRIPT SYSTEMD(yes|no) ARGS...: prints the helpers' calls, one a line.
run() {
    local script=$1 root=$work/no-systemd
    [ "$2" = yes ] && root=$work/systemd-runs
    shift 2
    sed -e "s|/run/systemd/system|$root/run/systemd/system|g" \
        -e "s|/usr/bin/deb-systemd-helper|$work/bin/deb-systemd-helper|g" \
        -e "s|/var/lib/qmhost|$work/state|g" "$debian/$script" >"$work/script"
    : >"$work/calls"
    CALLS=$work/calls PATH="$work/bin:$PATH" sh "$work/script" "$@" >/dev/null
    tr '\n' ';' <"$work/calls"
}

failed=0
while IFS='|' read -r script systemd args expected; do
    # shellcheck disable=SC2086  # the arguments are words
    got=$(run "$script" "$systemd" $args)
    if [ "$got" != "$expected" ]; then
        echo "FAIL: $script $args (systemd: $systemd): called \"$got\", expected \"$expected\"" >&2
        failed=1
    fi
done <<'CASES'
prerm|yes|remove|deb-systemd-invoke stop qmhost-serve.service;
prerm|no|remove|
prerm|yes|upgrade 0.1.0-1|
postinst|yes|configure|deb-systemd-helper update-state qmhost-serve.service;systemctl --system daemon-reload;
postinst|yes|configure 0.1.0-1|deb-systemd-helper update-state qmhost-serve.service;systemctl --system daemon-reload;deb-systemd-invoke try-restart qmhost-serve.service;
postinst|no|configure 0.1.0-1|deb-systemd-helper update-state qmhost-serve.service;
postrm|yes|remove|systemctl --system daemon-reload;deb-systemd-helper mask qmhost-serve.service;
postrm|no|purge|deb-systemd-helper purge qmhost-serve.service;deb-systemd-helper unmask qmhost-serve.service;
CASES
[ "$failed" = 0 ] && echo "ok: the maintainer scripts stop and restart the service only under systemd"
exit "$failed"
