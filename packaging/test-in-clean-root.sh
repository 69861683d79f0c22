#!/usr/bin/env bash
# Installs the Debian package into a clean Debian 12 root (debootstrap) with
# `apt-get install ./….deb`, without recommended packages, so that its own
# dependencies must carry it; then runs the end-to-end tests there against
# /usr/bin/harlune-kommandozentrale: the tray test on its recording project,
# and the shipped project provisioned, started and stopped. Slow (it
# downloads a base system), needs root and the network; not part of CI.
#
#   sudo packaging/test-in-clean-root.sh build-release/harlune-kommandozentrale_0.1.0_amd64.deb
#
# MIRROR picks the Debian mirror (default http://deb.debian.org/debian);
# KEEP_ROOT=1 keeps the root for a look around afterwards.
set -euo pipefail
[ $# -eq 1 ] && [ -f "$1" ] || { echo "usage: $0 <package.deb>" >&2 && exit 2; }
deb=$(readlink -f "$1") repo=$(cd "$(dirname "$0")/.." && pwd)
mirror=${MIRROR:-http://deb.debian.org/debian}
root=$(mktemp -d /var/tmp/harlune-clean-root.XXXXXX)
program=/usr/bin/harlune-kommandozentrale

cleanup() {
    local status=$? dir
    for dir in dev sys proc; do
        mountpoint -q "$root/$dir" && umount -R "$root/$dir"
    done
    if [ "${KEEP_ROOT:-}" = 1 ]; then echo "root kept: $root"; else rm -rf --one-file-system "$root"; fi
    exit "$status"
}
trap cleanup EXIT
step() { printf '\n=== %s\n' "$*"; }
in_root() {
    chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/root LANG=C.UTF-8 \
        DEBIAN_FRONTEND=noninteractive "$@"
}
quietly() { # runs "$@", showing its output only when it fails
    local log
    log=$(mktemp)
    "$@" >"$log" 2>&1 || { cat "$log" >&2 && rm -f "$log" && return 1; }
    rm -f "$log"
}

step "Debian 12 base system from $mirror into $root"
quietly /usr/sbin/debootstrap --variant=minbase bookworm "$root" "$mirror"
printf '%s\n' "deb $mirror bookworm main" "deb $mirror bookworm-updates main" \
    "deb ${mirror%/debian}/debian-security bookworm-security main" >"$root/etc/apt/sources.list"
cp /etc/resolv.conf "$root/etc/resolv.conf"
for dir in proc sys dev; do
    mount --rbind "/$dir" "$root/$dir" && mount --make-rslave "$root/$dir"
done
quietly in_root apt-get update

step "apt-get install ./$(basename "$deb") (no recommended packages)"
cp "$deb" "$root/tmp/"
in_root apt-get install -y -q --no-install-recommends "/tmp/$(basename "$deb")" |
    grep -E '^(Setting up harlune|[0-9]+ upgraded)'
in_root dpkg-query -W -f='${Package} ${Version} ${Status}\n' harlune-kommandozentrale

step "As a desktop sees it"
in_root ls -l "$program"
in_root sh -c 'ls /usr/share/applications/*harlune* /usr/share/metainfo/*harlune* /usr/share/icons/hicolor/*/apps/*harlune*'
in_root sh -c "! ldd /usr/lib/harlune-kommandozentrale/harlune-kommandozentrale | grep 'not found'"
in_root "$program" --version
in_root env XDG_CONFIG_HOME=/tmp/config "$program" --autostart on
in_root grep '^Exec=' /tmp/config/autostart/de.harlune.kommandozentrale.desktop
in_root env XDG_CONFIG_HOME=/tmp/config "$program" --autostart off

step "End-to-end tests against $program"
quietly in_root apt-get install -y -q --no-install-recommends xvfb trayer xdotool x11-utils dbus iproute2
mkdir -p "$root/opt/harlune-tests"
cp -r "$repo/tests/e2e" "$repo/tests/install" "$root/opt/harlune-tests/"
in_root bash /opt/harlune-tests/e2e/run_e2e.sh "$program"
in_root bash /opt/harlune-tests/install/run_shipped.sh "$program"
step "PASS: the package installs into a clean Debian 12 and runs there"
