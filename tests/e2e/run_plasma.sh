#!/usr/bin/env bash
# The tray program on KDE Plasma 6 (kwin on X11 under Xvfb, plasmashell with
# its system tray and its notices, kded's StatusNotifier watcher), started
# as in a Plasma session: XDG_CURRENT_DESKTOP=KDE with KDE's Qt platform
# theme. Used by mouse through xdotool, checked in screenshots:
#   bash tests/e2e/run_plasma.sh build/bin/harlune-kommandozentrale
set -euo pipefail

program=$(readlink -f "$1")
here=$(dirname "$0")
# shellcheck source=x11_session.sh
source "$here/x11_session.sh"
# shellcheck source=desktop_session.sh
source "$here/desktop_session.sh"
theme=/usr/lib/x86_64-linux-gnu/qt6/plugins/platformthemes/KDEPlasmaPlatformTheme6.so
if ! command -v plasmashell >/dev/null || ! command -v kwin_x11 >/dev/null || [ ! -e "$theme" ]; then
    echo "SKIP: no KDE Plasma 6 here (plasmashell, kwin_x11, plasma-integration)"
    exit 77
fi
run_as_desktop_user "$0" "$program"
prepare_workspace harlune-plasma
trap end_desktop_session EXIT
width=1280 height=800
export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_DESKTOP=KDE XDG_SESSION_TYPE=x11 KDE_FULL_SESSION=true \
    KDE_SESSION_VERSION=6 DESKTOP_SESSION=plasma QT_QPA_PLATFORM=xcb

session_start Xvfb -displayfd 3 -screen 0 "${width}x${height}x24" -nolisten tcp 3>"$work/display"
wait_for 20 test -s "$work/display"
export DISPLAY=:$(cat "$work/display")
session_start kwin_x11
session_start kded6
session_start plasmashell --no-respawn
watch_notices
wait_for 60 name_owned org.kde.StatusNotifierWatcher || fail "Plasma's StatusNotifier watcher did not come up"
host_registered() {
    gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered |
        grep -q true
}
wait_for 60 host_registered || fail "plasmashell's tray did not register as a host"
wait_for 30 name_owned org.freedesktop.Notifications || fail "plasmashell serves no notices"
# The panel, at the bottom: drawn when its pixels stop changing.
panel_top=$((height - 60))
sleep_until_still() {
    shoot "$1-a" && wait_for 30 eval 'shoot "$1" && ! changed_box "$1-a" "$1" 0 "$panel_top" "$width" "$height" >/dev/null ||
        { cp "$work/$1.png" "$work/$1-a.png" && false; }'
}
sleep_until_still plasma-empty || fail "the panel did not settle"

env HARLUNE_PROJECT="$project" "$program" >"$work/program.out" 2>&1 &
PROGRAM_PID=$!
wait_for 30 item_registered || fail "the item did not register with Plasma"
item_is_named_harlune
labels_are_verbatim
