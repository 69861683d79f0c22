#!/usr/bin/env bash
# The tray program on KDE Plasma 6 (kwin on X11 under Xvfb, plasmashell with
# its system tray and its notices, kded's StatusNotifier watcher), started
# as in a Plasma session: XDG_CURRENT_DESKTOP=KDE with KDE's Qt platform
# theme. Used by mouse through xdotool, checked in screenshots:
#   bash tests/e2e/run_plasma.sh build/bin/harlune-kommandozentrale
set -euo pipefail

program=$(readlink -f "$1") here=$(dirname "$0")
# shellcheck source=desktop_session.sh
source "$here/desktop_session.sh"
theme=/usr/lib/x86_64-linux-gnu/qt6/plugins/platformthemes/KDEPlasmaPlatformTheme6.so
if ! command -v plasmashell >/dev/null || ! command -v kwin_x11 >/dev/null || [ ! -e "$theme" ]; then
    echo "SKIP: no KDE Plasma 6 here (plasmashell, kwin_x11, plasma-integration)"
    exit 77
fi
desktop_test harlune-plasma
width=1280 height=800
export XDG_CURRENT_DESKTOP=KDE XDG_SESSION_DESKTOP=KDE XDG_SESSION_TYPE=x11 KDE_FULL_SESSION=true \
    KDE_SESSION_VERSION=6 DESKTOP_SESSION=plasma XDG_MENU_PREFIX=plasma- QT_QPA_PLATFORM=xcb
start_xvfb "${width}x${height}" >"$work/Xvfb.log" 2>&1
# kwin without its compositor, as xfwm4 in the Xfce test: with no GPU it
# would draw in software, on the CPU plasmashell needs for the popups.
KWIN_COMPOSE=N session_start kwin_x11
# The bus here starts nothing by itself: what a Plasma session's bus would
# start for plasmashell, which will not load without its activities.
libexec=/usr/lib/x86_64-linux-gnu/libexec
session_start "$libexec/kactivitymanagerd"
session_start "$libexec/kglobalacceld"
session_start kded6
wait_for 30 name_owned org.kde.ActivityManager || fail "no activity manager"
# Notice popups stay until clicked, as for a reader who looks a little
# later: Plasma's own default hides them after 5 s, which the screenshots
# of a busy machine can outlast.
printf '%s\n' '[Notifications]' 'PopupTimeout=600000' >"$XDG_CONFIG_HOME/plasmanotifyrc"
# Xvfb has no GPU: Qt Quick draws in software, or the panel stays black.
QT_QUICK_BACKEND=software session_start plasmashell --no-respawn
# and what becomes of the notices: a failure shows whether Plasma closed ours
watch_notices "type='signal',interface='org.freedesktop.Notifications'"
wait_for 60 name_owned org.kde.StatusNotifierWatcher || fail "Plasma's StatusNotifier watcher did not come up"
host_registered() {
    gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher IsStatusNotifierHostRegistered |
        grep -q true
}
wait_for 60 host_registered || fail "plasmashell's tray did not register as a host"
wait_for 30 name_owned org.freedesktop.Notifications || fail "plasmashell serves no notices"
# The panel, at the bottom, is drawn (no longer black) and settled: its
# pixels stopped changing.
panel_top=$((height - 80))
wait_for 90 eval 'still plasma-empty 0 "$panel_top" "$width" "$height" &&
    convert "$work/plasma-empty.png" -crop "${width}x80+0+$panel_top" -format "%[fx:mean > 0.2]" info: | grep -qx 1' ||
    fail "Plasma's panel was not drawn"
# Plasma's welcome window on a first start, where it is installed (kded
# starts it, late on a busy machine): closed, as a new user would.
if command -v plasma-welcome >/dev/null && wait_for 60 visible_window '^Welcome Center$' >/dev/null; then
    xdotool windowclose "$(visible_window '^Welcome Center$')"
    wait_for 10 window_gone '^Welcome Center$'
fi
shoot plasma-empty

launch_program
wait_for 30 item_registered || fail "the item did not register with Plasma"
item_is_named_harlune
dismiss_alert '^Harlune Buchhaltung läuft'

# --- the fifteen entries, verbatim: no access key, "__" for each '_' of
# the data path, its '&' and "&&" as they are
wait_for 10 eval '[ "$(menu_labels | head -n 1)" = "Server gestoppt" ]' ||
    fail "the menu shows no status: $(menu_labels)"
diff -u <(printf '%s\n' 'Server gestoppt' 'API: offline' 'Server starten' 'Server stoppen' 'Server neu starten' \
    'Berichte neu generieren' 'Dashboard im Browser' 'Belege-Upload öffnen' 'Logs-Ordner öffnen' \
    "Daten: ${project//_/__}" 'Beenden') <(menu_labels) || fail "Plasma gets other labels"
[ "$(menu_entries)" -eq 15 ] || fail "the menu has $(menu_entries) entries, not 15"

# --- the icon in Plasma's tray: what came into the panel
wait_for 20 eval 'shoot plasma-item && changed_box plasma-empty plasma-item 0 "$panel_top" "$width" "$height" >"$work/item"' ||
    fail "no icon appeared in the panel"
read -r x y w h <"$work/item"
# Ours comes first in the tray and moves the others on: the left square of
# what changed.
echo "icon in the panel: ${h}x${h} at $x,$y"
icon_x=$((x + h / 2)) icon_y=$((y + h / 2))

# --- a left click opens the menu above the icon; "Server starten", the
# first entry that can be chosen, starts the server
xdotool mousemove --sync "$icon_x" "$icon_y" click 1
wait_for 10 eval 'shoot plasma-menu && changed_box plasma-item plasma-menu $((icon_x < 300 ? 0 : icon_x - 300)) 0 "$width" "$panel_top" >"$work/menu"' ||
    fail "a left click opened no menu"
read -r x y w h <"$work/menu"
echo "menu: ${w}x${h} at $x,$y"
[ "$h" -gt 200 ] || fail "what opened is no menu of fifteen entries (${w}x${h})"
xdotool key Down Return
dismiss_alert '^Server gestartet'
wait_for 20 server_answers || fail "the server does not answer"

# --- a server that ends by itself: one notice, Plasma's popup, and a click
# on it opens the logs folder
# The pointer leaves the tray first: the icon's tool tip, in the same
# corner, would be taken for the popup.
xdotool mousemove --sync $((width / 2)) 10
corner=($((width - 400)) 0 "$width" "$panel_top")
wait_for 10 still plasma-before-notice "${corner[@]}" || fail "the corner above the tray did not settle"
server_dies
# plasmashell's visible windows as the window manager has them: "type x y
# w h" a line. A failure names them, so it tells a popup that never came
# from one placed where no one looks.
plasma_windows() {
    local w type geometry
    for w in $(xdotool search --onlyvisible --class plasmashell 2>/dev/null); do
        type=$(xprop -id "$w" _NET_WM_WINDOW_TYPE | sed 's/.*= //; s/,.*//')
        geometry=$(xdotool getwindowgeometry --shell "$w" | awk -F= '/^(X|Y|WIDTH|HEIGHT)=/ { printf " %s", $2 }')
        echo "$type$geometry"
    done
}
wait_for 60 eval 'plasma_windows | grep "^_NET_WM_WINDOW_TYPE_NOTIFICATION " >"$work/popup"' ||
    fail "Plasma shows no notice; its windows: $(plasma_windows)"
read -r _ x y w h <"$work/popup"
echo "notice: ${w}x${h} at $x,$y"
# Drawn there, and no longer fading in: what changed in its place stays the
# same (within it, the time-out's bar keeps moving).
notice_settled() {
    shoot plasma-notice && changed_box plasma-before-notice plasma-notice "$x" "$y" $((x + w)) $((y + h)) >"$work/box" &&
        cmp -s "$work/box" "$work/box-before" || { cp "$work/box" "$work/box-before" 2>/dev/null; false; }
}
wait_for 20 notice_settled || fail "Plasma's notice at $x,$y was not drawn; its windows: $(plasma_windows)"
xdotool mousemove --sync $((x + w / 2)) $((y + h / 2)) click 1
wait_for 10 grep -q '/logs' "$work/browser.log" || fail "a click on the notice did not open the logs folder"

# --- "Beenden", the last entry
xdotool mousemove --sync "$icon_x" "$icon_y" click 1
wait_for 10 eval 'shoot plasma-menu-again && changed_box plasma-item plasma-menu-again 0 0 "$width" "$panel_top" >/dev/null' ||
    fail "a left click opened no menu"
xdotool key Up Return
program_ends
echo "PASS: KDE Plasma 6: the item in the tray, fifteen entries verbatim, a left click opens the menu," \
    "a notice that opens the logs"
