#!/usr/bin/env bash
# The tray program on a real X11 desktop: xfwm4 and xfce4-panel (its tray a
# StatusNotifier host) under Xvfb, dunst for notices, used by mouse and keys
# through xdotool, checked in screenshots where only pixels tell:
#   bash tests/e2e/run_xfce.sh build/bin/harlune-kommandozentrale
set -euo pipefail

program=$(readlink -f "$1") here=$(dirname "$0")
# shellcheck source=desktop_session.sh
source "$here/desktop_session.sh"
desktop_test harlune-xfce
width=1024 bar=30
start_xvfb "${width}x768" >"$work/Xvfb.log" 2>&1
export QT_QPA_PLATFORM=xcb
mkdir -p "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml"
cp "$here/xfce/xfce4-panel.xml" "$XDG_CONFIG_HOME/xfce4/xfconf/xfce-perchannel-xml/"
# The bus here starts nothing by itself: the settings daemon neither.
session_start /usr/lib/x86_64-linux-gnu/xfce4/xfconf/xfconfd
session_start xfwm4 --compositor=off
start_dunst
watch_notices
session_start xfce4-panel
wait_for 20 name_owned org.kde.StatusNotifierWatcher ||
    fail "xfce4-panel's tray did not come up"
wait_for 10 eval 'shoot xfce-empty && pixels icon "$work/xfce-empty.png" 0 0 "$width" "$bar" >/dev/null' ||
    fail "xfce4-panel is not drawn"

export E2E_BROWSER="chromium --no-first-run --no-default-browser-check --disable-gpu"
launch_program
dismiss_alert '^Harlune Buchhaltung läuft'
window_gone '^Kein Infobereich' || fail "the tray notice came although a tray host runs"
wait_for 10 item_registered || fail "the item did not register with xfce4-panel"
item_is_named_harlune
labels_are_verbatim

# --- the icon, legible on xfce4-panel's light panel: what came, with the
# panel around it
wait_for 10 eval 'shoot xfce-item && changed_box xfce-empty xfce-item 0 0 "$width" "$bar" >"$work/item"' ||
    fail "no icon appeared in the panel"
read -r x y w h <"$work/item"
icon_is_legible xfce-bar $((x - 5)) $((y - 5 < 0 ? 0 : y - 5)) $((x + w + 5)) $((y + h + 5))

# --- a left click opens the panel's menu at the icon, and no window of ours
xdotool mousemove --sync "$icon_x" "$icon_y" click 1
menu_shows xfce-left-click
visible_window '^Harlune$' >/dev/null && fail "a left click opened a window of ours"

# --- "Server starten", the first entry that can be chosen: the browser
# shows the dashboard, the alert that follows ends up in front of it,
# focused, and carries the program's icon
xdotool key Down Return
wait_for 30 visible_window '^Server gestartet' >/dev/null || fail 'no alert "Server gestartet"'
wait_for 60 visible_window '^127.0.0.1:8765' >/dev/null || fail "the browser showed no dashboard"
wait_for 20 eval 'xdotool getactivewindow getwindowname | grep -q "^Server gestartet"' ||
    fail "the alert is behind the browser: $(xdotool getactivewindow getwindowname)"
shoot xfce-alert-over-browser
xprop -id "$(visible_window '^Server gestartet')" _NET_WM_ICON | grep "Icon (64 x 64)" >/dev/null ||
    fail "the alert has no icon of its own"
dismiss_alert '^Server gestartet'
close_browser
wait_for 20 server_answers || fail "the server does not answer"

# --- a server that ends by itself: one notice, a click on it (dunst: the
# middle button) opens the logs folder
server_dies
wait_for 10 eval 'xdotool search --onlyvisible --class Dunst >"$work/notice-window"'
notice=$(head -n 1 "$work/notice-window")
[ -n "$notice" ] || fail "dunst shows no notice"
sleep 0.5
shoot xfce-notice
xdotool mousemove --window "$notice" --sync 20 10 click 2
wait_for 10 grep -q '/logs' "$work/browser.log" || fail "a click on the notice did not open the logs folder"

# --- "Beenden", the last entry of the menu a right click opens
xdotool mousemove --sync "$icon_x" "$icon_y" click 3
menu_shows xfce-right-click
xdotool key Up Return
program_ends
echo "PASS: xfwm4 + xfce4-panel + dunst: a legible icon, verbatim labels, the menu at the icon," \
    "the alert in front of the browser, a notice that opens the logs"
