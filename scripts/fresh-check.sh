#!/usr/bin/env bash
# Proves the README's commands on a fresh machine: a minimal Debian 12 root
# (debootstrap, minbase) under .fresh/, a clean clone of the committed tree
# (HEAD; uncommitted changes are not part of the check) in it, then
# scripts/demo.sh and scripts/test.sh run inside it with chroot. Fails when
# either pulls in a package it does not need (cross compiler, qemu-user,
# clang, valgrind, Google Benchmark). Needs root.
#   scripts/fresh-check.sh
# The bootstrapped root is kept as .fresh/pristine.tar and reused; each run
# starts from a new copy of it in .fresh/root, left in place afterwards for
# a look inside and removed by the next run.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

step="start"
fail() { echo "fresh-check: FAILED at $step: $*" >&2; exit 1; }
[ "$(id -u)" -eq 0 ] || fail "needs root (debootstrap, mount, chroot)"
case "$repo" in *[[:space:]]*) fail "the checkout's path $repo holds white space" ;; esac

fresh=$repo/.fresh
root=$fresh/root
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
    local m
    for m in $(mounts_under "$root"); do
        umount "$m" 2>/dev/null || umount --lazy "$m" || echo "fresh-check: cannot unmount $m" >&2
    done
    if [ -n "$(mounts_under "$root")" ]; then echo "fresh-check: still mounted under $root" >&2; return 1; fi
}
trap unmount_all EXIT

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

step="preparing the root"
t=$SECONDS
remove_root "$root"
mkdir -p "$root"
tar -C "$root" -xf "$pristine" || fail "unpacking $pristine"
cp /etc/resolv.conf "$root/etc/resolv.conf"
git clone --quiet --no-checkout "$repo" "$root$src" || fail "git clone of $repo"
git -C "$root$src" checkout --quiet --detach "$head" || fail "checking out $head"
mount -t proc proc "$root/proc" || fail "mounting /proc"
# The machine's /dev, pseudo-terminals included; a slave mount, so that
# unmounting it never reaches the machine's own /dev.
mount --rbind /dev "$root/dev" || fail "binding /dev"
mount --make-rslave "$root/dev" || fail "making $root/dev a slave mount"
took "root ready" "$t"

in_root() {
    chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 TERM=dumb \
        PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
        /bin/bash -c "cd $src && $1"
}
installed() { in_root "dpkg-query -W -f='\${db:Status-Abbrev} \${Package}\n'" | awk '$1 == "ii" {print $2}' | sort; }
# What a command added to the root, failing when that includes a package of
# the cross build, the emulator, fuzzing or benchmarks: check_added NAME BEFORE AFTER
check_added() {
    local added heavy
    added=$(comm -13 "$2" "$3")
    echo "fresh-check: $1 installed $(grep -c . <<<"$added" || true) packages"
    heavy=$(grep -E '^(.*-mipsel-linux-gnu.*|qemu-.*|clang.*|libclang.*|llvm.*|valgrind.*|libbenchmark.*)$' <<<"$added" || true)
    [ -z "$heavy" ] || fail "$1 installed packages it does not need: $(tr '\n' ' ' <<<"$heavy")"
    echo "fresh-check: $1 installed no cross, emulator, fuzzing or benchmark package"
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

step="unmounting"
unmount_all || fail "unmounting"
echo "fresh-check: passed for $head in $((SECONDS - start)) s ($(IFS=,; echo "${timing[*]}" | sed 's/,/, /g'))"
