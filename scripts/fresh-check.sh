#!/usr/bin/env bash
# Proves the README's commands on a fresh machine: a minimal Debian 12 root
# (debootstrap, minbase) under .fresh/, a clean clone of the committed tree
# (HEAD; uncommitted changes are not part of the check) in it, then
# scripts/demo.sh, scripts/test.sh and scripts/package.sh run inside it with
# chroot. The package is then installed with apt in a second fresh root,
# where the installed qmhost runs --version and the demo and its manual page
# is shown. Fails when a step pulls in a package it does not need (cross
# compiler, qemu-user, clang, valgrind, Google Benchmark; for the package's
# install also compilers and -dev packages). Needs root.
#   scripts/fresh-check.sh
# The bootstrapped root is kept as .fresh/pristine.tar and reused; each run
# starts from new copies of it in .fresh/root and .fresh/install-root, left
# in place afterwards for a look inside and removed by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

step="start"
fail() { echo "fresh-check: FAILED at $step: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, mount, chroot)"
case "$repo" in *[[:space:]]*) fail "the checkout's path $repo holds white space" ;; esac

fresh=$repo/.fresh
root=$fresh/root
target=$fresh/install-root
pristine=$fresh/pristine.tar
mirror=http://deb.debian.org/debian
suite=bookworm
src=/src/qm

# Mount points at or below a folder, deepest first.
mounts_under() { awk -v d="$1" '$2 == d || index($2, d "/") == 1 {print $2}' /proc/self/mounts | sort -r; }
# Removes a folder only when nothing is mounted in it.
remove_root() {
    [ -e "$1" ] || return 0
    if [ -n "$(mounts_under "$1")" ]; then
        fail "$1 still has mounts, not deleting it: $(mounts_under "$1" | tr '\n' ' ')"
    fi
    rm -rf --one-file-system "$1"
}
unmount_all() {
    local m dir
    for dir in "$root" "$target"; do
        for m in $(mounts_under "$dir"); do
            umount "$m" 2>/dev/null || umount --lazy "$m" || echo "fresh-check: cannot unmount $m" >&2
        done
        if [ -n "$(mounts_under "$dir")" ]; then echo "fresh-check: still mounted under $dir" >&2; return 1; fi
    done
}
# The agents the package check started in the install root, by their pids.
stop_agents() {
    local pid
    [ -f "$target/tmp/agent.pids" ] || return 0
    for pid in $(cat "$target/tmp/agent.pids"); do kill "$pid" 2>/dev/null || true; done
}
trap 'stop_agents; unmount_all' EXIT

start=$SECONDS
timing=()
took() { timing+=("$1 $((SECONDS - $2)) s"); }

step="installing debootstrap"
scripts/install-deps.sh freshcheck || fail "scripts/install-deps.sh freshcheck"
head=$(git rev-parse HEAD) || fail "not a git checkout"
if [ -n "$(git status --porcelain --untracked-files=no)" ]; then
    echo "fresh-check: uncommitted changes are left out; checking $head"
fi

if [ ! -f "$pristine" ]; then
    step="debootstrap"
    t=$SECONDS
    mkdir -p "$fresh"
    remove_root "$fresh/bootstrap"
    debootstrap --variant=minbase "$suite" "$fresh/bootstrap" "$mirror" >"$fresh/debootstrap.log" 2>&1 \
        || fail "debootstrap $suite from $mirror (log: $fresh/debootstrap.log)"
    # The archive as a freshly installed Debian 12 has it, updates and security fixes included.
    rm -f "$fresh/bootstrap/etc/apt/sources.list"
    cat >"$fresh/bootstrap/etc/apt/sources.list.d/debian.sources" <<EOF
Types: deb
URIs: $mirror
Suites: $suite $suite-updates
Components: main

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: $suite-security
Components: main
EOF
    tar -C "$fresh/bootstrap" -cf "$pristine.tmp" . || fail "packing the pristine root"
    mv "$pristine.tmp" "$pristine"
    remove_root "$fresh/bootstrap"
    took debootstrap "$t"
fi

# A new copy of the pristine root in a folder, with /proc and the machine's
# /dev: new_root DIR
new_root() {
    remove_root "$1"
    mkdir -p "$1"
    tar -C "$1" -xf "$pristine" || fail "unpacking $pristine"
    cp /etc/resolv.conf "$1/etc/resolv.conf"
    # debootstrap leaves no /etc/hosts; an installed machine has one naming
    # localhost (the broker tests connect by that name, the one in its certificate).
    [ -f "$1/etc/hosts" ] || printf '127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n' >"$1/etc/hosts"
    mount -t proc proc "$1/proc" || fail "mounting /proc"
    # The machine's /dev, pseudo-terminals included; a slave mount, so that
    # unmounting it never reaches the machine's own /dev.
    mount --rbind /dev "$1/dev" || fail "binding /dev"
    mount --make-rslave "$1/dev" || fail "making $1/dev a slave mount"
}

step="preparing the root"
t=$SECONDS
new_root "$root"
git clone --quiet --no-checkout "$repo" "$root$src" || fail "git clone of $repo"
git -C "$root$src" checkout --quiet --detach "$head" || fail "checking out $head"
took "root ready" "$t"

# Runs a command in a root: in_chroot DIR FOLDER COMMAND
in_chroot() {
    chroot "$1" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd $2 && $3"
}
in_root() { in_chroot "$root" "$src" "$1"; }
in_target() { in_chroot "$target" /tmp "$1"; }
installed_in() { in_chroot "$1" / "dpkg-query -W -f='\${db:Status-Abbrev} \${Package}\n'" | awk '$1 == "ii" {print $2}' | sort; }
installed() { installed_in "$root"; }
heavy_packages='.*-mipsel-linux-gnu.*|qemu-.*|clang.*|libclang.*|llvm.*|valgrind.*|libbenchmark.*'
# What a command added to the root, failing when that includes a package of
# the cross build, the emulator, fuzzing or benchmarks (or of the extra
# pattern given): check_added NAME BEFORE AFTER [EXTRA]
check_added() {
    local added heavy
    added=$(comm -13 "$2" "$3")
    echo "fresh-check: $1 installed $(grep -c . <<<"$added" || true) packages"
    heavy=$(grep -E "^($heavy_packages${4:+|$4})\$" <<<"$added" || true)
    [ -z "$heavy" ] || fail "$1 installed packages it does not need: $(tr '\n' ' ' <<<"$heavy")"
    echo "fresh-check: $1 installed no cross, emulator, fuzzing or benchmark package${4:+, nor $4}"
}

step="scripts/demo.sh"
t=$SECONDS
installed >"$fresh/packages.before"
in_root scripts/demo.sh || fail "scripts/demo.sh in the fresh root"
installed >"$fresh/packages.demo"
took "demo.sh" "$t"
check_added scripts/demo.sh "$fresh/packages.before" "$fresh/packages.demo"

step="scripts/test.sh"
t=$SECONDS
in_root scripts/test.sh || fail "scripts/test.sh in the fresh root"
installed >"$fresh/packages.test"
took "test.sh" "$t"
check_added scripts/test.sh "$fresh/packages.demo" "$fresh/packages.test"

step="scripts/package.sh"
t=$SECONDS
in_root scripts/package.sh || fail "scripts/package.sh in the fresh root"
installed >"$fresh/packages.package"
took "package.sh" "$t"
check_added scripts/package.sh "$fresh/packages.test" "$fresh/packages.package"

# The package on a machine that has built nothing: its Depends must bring
# every library, and nothing for building.
step="installing the package"
t=$SECONDS
new_root "$target"
cp "$root$src"/build-package/qmhost_*.deb "$target/tmp/" || fail "no package in $root$src/build-package"
installed_in "$target" >"$fresh/packages.bare"
in_target "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt install -y -q ./qmhost_*.deb" \
    || fail "apt install ./qmhost_*.deb in a fresh root"
installed_in "$target" >"$fresh/packages.installed"
check_added "apt install ./qmhost_*.deb" "$fresh/packages.bare" "$fresh/packages.installed" \
    'build-essential|g\+\+(-[0-9]+)?|gcc(-[0-9]+)?|cmake|.*-dev'
# man-db is the reader's, not a dependency of the package.
in_target "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends man-db >/dev/null" \
    || fail "installing man-db in the package's root"
step="the installed qmhost"
in_target "cd / && qmhost --version" || fail "qmhost --version"
in_target "cd / && qmhost demo >/tmp/demo.out && grep -q 'control result: 1' /tmp/demo.out" \
    || fail "qmhost demo"
in_target "man -P cat qmhost | grep -q 'qmhost poll' && man -P cat qmsim | grep -q 'qmsim --tcp'" \
    || fail "man qmhost, man qmsim"
in_target "getent passwd qmhost >/dev/null" || fail "the service's user qmhost"
echo "fresh-check: the installed qmhost ran the demo; man qmhost shows its page"

# Upgrading (dpkg -i again) and removing the package with the agent running.
# systemd does not run in a chroot: first without it, where the maintainer
# scripts must leave services alone; then with its marker
# /run/systemd/system and a stand-in deb-systemd-invoke (first on PATH) that
# runs the agent as the unit would (user qmhost, its pid kept), where the
# upgrade must restart a running agent on the new files and the removal
# stop it: never an agent left running a deleted /usr/bin/qmhost.
step="the package's upgrade and removal with the agent running"
cat >"$target/usr/local/sbin/deb-systemd-invoke" <<'STUB'
#!/bin/sh
# Stand-in for systemd, for qmhost-serve only: start, stop, try-restart.
echo "deb-systemd-invoke $*" >>/tmp/service.calls
# Running, not a zombie waiting for its parent: it still has its program.
running() { [ -s /tmp/agent.pid ] && readlink "/proc/$(cat /tmp/agent.pid)/exe" >/dev/null 2>&1; }
start() {
    setpriv --reuid=qmhost --regid=qmhost --init-groups /usr/bin/qmhost serve --site /tmp/agent/site.json \
        --driver-log /dev/null </dev/null >>/tmp/agent/log 2>&1 &
    echo $! >/tmp/agent.pid
    echo $! >>/tmp/agent.pids
}
stop() {
    running || return 0
    kill "$(cat /tmp/agent.pid)"
    for _ in $(seq 100); do running || return 0; sleep 0.1; done
    return 1
}
case "$1" in
    start) start ;;
    stop) stop ;;
    try-restart) if running; then stop && start; fi ;;
esac
STUB
printf '#!/bin/sh\necho "systemctl $*" >>/tmp/service.calls\n' >"$target/usr/local/sbin/systemctl"
chmod 0755 "$target/usr/local/sbin/deb-systemd-invoke" "$target/usr/local/sbin/systemctl"
cat >"$target/tmp/service-check.sh" <<'CHECK'
set -eu
mkdir -p /tmp/agent
# One unit on a closed loopback port: the agent runs, polls and finds it lost.
printf '%s\n' '{"site": "fresh", "store": {"path": "/tmp/agent/store.db"},' \
    ' "lines": [{"link": {"type": "tcp", "host": "127.0.0.1", "port": 1, "timeout_ms": 200},' \
    '            "interval_s": 1, "units": [{"slave": 1, "name": "crac-1"}]}]}' >/tmp/agent/site.json
chown -R qmhost:qmhost /tmp/agent
: >/tmp/service.calls
exe() { readlink "/proc/$1/exe" 2>/dev/null || echo gone; }
agent_runs() {  # pid: up to 5 s for it to run /usr/bin/qmhost
    for _ in $(seq 50); do [ "$(exe "$1")" = /usr/bin/qmhost ] && return 0; sleep 0.1; done
    echo "the agent $1 does not run /usr/bin/qmhost ($(exe "$1")): $(tail -n 3 /tmp/agent/log)"; return 1
}
deleted_agents() { for p in /proc/[0-9]*; do [ "$(readlink "$p/exe" 2>/dev/null)" = "/usr/bin/qmhost (deleted)" ] && echo "${p#/proc/}"; done; true; }

# Without systemd: the scripts call no service helper.
rm -rf /run/systemd/system
deb-systemd-invoke start qmhost-serve.service && : >/tmp/service.calls
by_hand=$(cat /tmp/agent.pid)
agent_runs "$by_hand"
dpkg -i /tmp/qmhost_*.deb >/dev/null
[ ! -s /tmp/service.calls ] || { echo "without systemd the upgrade called: $(cat /tmp/service.calls)"; exit 1; }
deb-systemd-invoke stop qmhost-serve.service

# With systemd: the upgrade restarts the agent, the removal stops it.
mkdir -p /run/systemd/system
: >/tmp/service.calls
deb-systemd-invoke start qmhost-serve.service
before=$(cat /tmp/agent.pid)
agent_runs "$before"
dpkg -i /tmp/qmhost_*.deb >/dev/null
grep -q "try-restart qmhost-serve.service" /tmp/service.calls || { echo "the upgrade did not restart the agent"; exit 1; }
after=$(cat /tmp/agent.pid)
[ "$after" != "$before" ] && [ "$(exe "$before")" = gone ] || { echo "the agent $before was not restarted"; exit 1; }
agent_runs "$after"
dpkg -r qmhost >/dev/null
grep -q "stop qmhost-serve.service" /tmp/service.calls || { echo "the removal did not stop the agent"; exit 1; }
[ "$(exe "$after")" = gone ] || { echo "the agent $after runs on after the removal"; exit 1; }
[ -z "$(deleted_agents)" ] || { echo "agents running a deleted qmhost: $(deleted_agents)"; exit 1; }
rm -rf /run/systemd/system
echo "fresh-check: the upgrade restarted the running agent, the removal stopped it; without systemd no service was touched"
CHECK
in_target "bash /tmp/service-check.sh" || fail "see above"
took "package install" "$t"

step="unmounting"
unmount_all || fail "unmounting"
echo "fresh-check: passed for $head in $((SECONDS - start)) s ($(IFS=,; echo "${timing[*]}" | sed 's/,/, /g'))"
