#!/usr/bin/env bash
# The agent's unit as systemd-analyze sees it: an exposure of 2.5 or less,
# the lock-downs named below in force, and what the agent needs left open
# (the network for the units, the broker and the HTTP side; the serial
# devices). Skipped (77) without systemd-analyze (package systemd).
#   check_service_unit.sh UNIT_FILE
set -euo pipefail
export LC_ALL=C.UTF-8
unit=$1
highest=2.5
command -v systemd-analyze >/dev/null || { echo "skipped: no systemd-analyze (package systemd)"; exit 77; }

report=$(systemd-analyze security --offline=true "$unit")
score=$(sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\) .*/\1/p' <<<"$report")
[ -n "$score" ] || { echo "$report"; echo "FAIL: no exposure level in systemd-analyze's report" >&2; exit 1; }
failed=0
if ! awk -v s="$score" -v h="$highest" 'BEGIN {exit !(s <= h)}'; then
    echo "$report" | grep '✗' >&2
    echo "FAIL: exposure $score, above $highest" >&2
    failed=1
fi
# Checks that must pass (✓) and checks that must stay open (✗) for the agent to work.
while read -r mark name; do
    if ! grep -qF "$mark $name " <<<"$report"; then
        echo "FAIL: expected $mark $name" >&2
        failed=1
    fi
done <<'CHECKS'
✓ NoNewPrivileges=
✓ PrivateTmp=
✓ ProtectSystem=
✓ ProtectHome=
✓ ProtectKernelTunables=
✓ ProtectKernelModules=
✓ ProtectKernelLogs=
✓ ProtectControlGroups=
✓ ProtectProc=
✓ RestrictNamespaces=~user
✓ RestrictAddressFamilies=~AF_PACKET
✓ RestrictAddressFamilies=~AF_NETLINK
✓ SystemCallFilter=~@privileged
✓ SystemCallFilter=~@mount
✓ CapabilityBoundingSet=~CAP_SYS_ADMIN
✓ CapabilityBoundingSet=~CAP_NET_ADMIN
✓ CapabilityBoundingSet=~CAP_SET(UID|GID|PCAP)
✓ MemoryDenyWriteExecute=
✓ UMask=
✗ PrivateNetwork=
✗ IPAddressDeny=
✗ RestrictAddressFamilies=~AF_(INET|INET6)
✗ PrivateDevices=
✗ SupplementaryGroups=
CHECKS
# What the unit runs besides the agent: the check before it, the reload,
# and no restart loop on a refusal (status 2).
for line in 'ExecStartPre=-.* serve --check --site ' 'ExecReload=/bin/kill -HUP \$MAINPID' \
    'RestartPreventExitStatus=2'; do
    grep -q "^$line" "$unit" || { echo "FAIL: no line $line in $unit" >&2; failed=1; }
done
[ "$failed" = 0 ] && echo "ok: $unit exposure $score (at most $highest)"
exit "$failed"
