#!/usr/bin/env bash
# The README's test command on Debian 13 "trixie", for CI: a trixie root made
# by debootstrap from Debian's package registry (kept between runs in a cache
# folder outside the checkout), a git clone of this checkout in the root's
# private home (/root, mode 0700), and there `scripts/setup.sh` (with KDE
# Plasma for its desktop test) and `scripts/test.sh`. Needs root.
#
#   scripts/debian13-root.sh            # setup.sh, then test.sh in the root
#   scripts/debian13-root.sh CMD ARG…   # CMD in the clone instead
#
# HARLUNE_CI_CACHE picks the cache folder (default /var/cache/harlune-ci),
# MIRROR the Debian mirror (default: the one this machine's apt uses).
set -euo pipefail
[ "$(id -u)" -eq 0 ] || { echo "$0 needs root (debootstrap, chroot, mounts)" >&2 && exit 2; }
repo=$(cd "$(dirname "$0")/.." && pwd)
cache=${HARLUNE_CI_CACHE:-/var/cache/harlune-ci}
root=$cache/trixie
# The mirror this machine installs from serves trixie too.
host_mirror() {
    awk '/^URIs:/ { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }
         /^deb / { for (i = 2; i <= NF; i++) if ($i ~ /\/debian\/?$/) { print $i; exit } }' \
        /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null | head -n 1
}
mirror=${MIRROR:-$(host_mirror)}
[ -n "$mirror" ] || { echo "$0: no Debian mirror in this machine's apt sources; set MIRROR" >&2 && exit 2; }
# Written once debootstrap has finished: a root without it is half made.
made=$root/.harlune-base-complete
clone=/root/harlune

step() { printf '\n=== %s (%s)\n' "$*" "$(date -u +%T)"; }
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive CI="${CI:-}" HARLUNE_WERROR="${HARLUNE_WERROR:-}" "$@"
}

# The mounts at and below $1, deepest first.
mounts_below() { awk -v top="$1/" 'index($2 "/", top) == 1 { print $2 }' /proc/self/mounts | sort -r; }

# Processes whose root is the trixie root: ours, started in it.
processes_in_root() {
    local dir
    for dir in /proc/[0-9]*; do
        [ "$(readlink "$dir/root" 2>/dev/null)" = "$root" ] && echo "${dir#/proc/}"
    done
    return 0
}

# Nothing keeps running in the root and nothing stays mounted in it, also
# after a failure or an interruption.
undo() {
    local status=$? pids mount
    pids=$(processes_in_root)
    if [ -n "$pids" ]; then
        kill $pids 2>/dev/null || true
        for _ in $(seq 50); do pids=$(processes_in_root) && [ -z "$pids" ] && break; sleep 0.2; done
        [ -z "$pids" ] || kill -KILL $pids 2>/dev/null || true
    fi
    for mount in $(mounts_below "$root"); do umount -l "$mount" 2>/dev/null || true; done
    exit "$status"
}
trap undo EXIT
trap 'exit 143' TERM INT HUP

make_base() {
    [ -f "$made" ] && return
    step "Debian 13 base system from $mirror into $root"
    local mount
    for mount in $(mounts_below "$root"); do umount -l "$mount"; done
    rm -rf --one-file-system "$root"
    mkdir -p "$cache"
    command -v debootstrap >/dev/null || apt-get install -y -q debootstrap >/dev/null
    debootstrap --variant=minbase trixie "$root" "$mirror" >"$cache/debootstrap.log" 2>&1 ||
        { tail -n 20 "$cache/debootstrap.log" >&2 && return 1; }
    printf '%s\n' "deb $mirror trixie main" "deb $mirror trixie-updates main" \
        "deb ${mirror%/debian}/debian-security trixie-security main" >"$root/etc/apt/sources.list"
    # A root for tests: dpkg need not sync each file to disk.
    echo force-unsafe-io >"$root/etc/dpkg/dpkg.cfg.d/harlune-unsafe-io"
    # Only what setup.sh names and what that depends on: a desktop's
    # recommended extras would double the packages and the time on a fresh
    # machine, and a package our tests need but do not name would go unseen.
    echo 'APT::Install-Recommends "false";' >"$root/etc/apt/apt.conf.d/90harlune-no-recommends"
    # Packages are installed, never started as services.
    printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
    chmod 755 "$root/usr/sbin/policy-rc.d"
    touch "$made"
}

mount_all() {
    local dir
    # The root is a mount of its own, as / is on a machine: tests that make
    # a mount namespace's mounts private need / to be a mount point.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    for dir in sys dev; do
        mount --rbind "/$dir" "$root/$dir" && mount --make-rslave "$root/$dir"
    done
    for dir in tmp run; do mount -t tmpfs tmpfs "$root/$dir"; done
    chmod 1777 "$root/tmp"
    cp /etc/resolv.conf "$root/etc/resolv.conf"
}

make_base
mount_all
# A package run that was cut short is finished first.
in_root dpkg --configure -a
step "a clone of $repo in $clone (private: mode 0700)"
rm -rf --one-file-system "$root$clone"
chmod 700 "$root/root"
git clone --quiet "$repo" "$root$clone"
in_clone() { in_root HARLUNE_E2E_PLASMA=1 sh -c 'cd "$0" && exec "$@"' "$clone" "$@"; }
if [ $# -gt 0 ]; then
    in_clone "$@"
    exit
fi
step "in the root: scripts/setup.sh (what is missing)"
in_clone scripts/setup.sh
step "in the root: scripts/test.sh"
in_clone scripts/test.sh
step "done"
