#!/usr/bin/env bash
# The tray program on a real Wayland desktop: headless sway with waybar's
# tray and dunst, used by pointer and keys through wayvnc, checked in
# screenshots where only pixels tell:
#   bash tests/e2e/run_sway.sh build/bin/harlune-kommandozentrale
set -euo pipefail

program=$(readlink -f "$1") here=$(dirname "$0")
# shellcheck source=desktop_session.sh
source "$here/desktop_session.sh"
desktop_test harlune-sway
width=1280 bar=30

printf 'output HEADLESS-1 resolution %sx800\nxwayland disable\n' "$width" >"$work/sway.conf"
WLR_BACKENDS=headless WLR_LIBINPUT_NO_DEVICES=1 WLR_RENDERER=pixman session_start sway -c "$work/sway.conf"
wait_for 20 eval 'ls "$XDG_RUNTIME_DIR"/sway-ipc.* >/dev/null 2>&1 && test -S "$XDG_RUNTIME_DIR/wayland-1"'
export WAYLAND_DISPLAY=wayland-1 SWAYSOCK
SWAYSOCK=$(ls "$XDG_RUNTIME_DIR"/sway-ipc.*)
session_start wayvnc -u "$work/vnc.sock"
start_dunst
watch_notices "type='signal',interface='org.freedesktop.Notifications'"
hand() { /usr/bin/python3 "$here/rfb_hand.py" "$work/vnc.sock" "$@"; }
wait_for 20 test -S "$work/vnc.sock"
# waybar's default look (its dark bar), only its tray in it
printf '{"height": %s, "modules-right": ["tray"], "tray": {"icon-size": 22, "spacing": 8}}' "$bar" \
    >"$work/waybar.json"

# Sway's windows: "title<TAB>floating<TAB>width x height<TAB>focused<TAB>
# x<TAB>y<TAB>app_id" a line (x, y: the content's top left).
windows() {
    swaymsg -t get_tree | /usr/bin/python3 -c 'import json, sys
def walk(node, floating=False):
    if node.get("pid"):
        r, c = node["rect"], node["window_rect"]
        print(node.get("name"), floating, "%(width)dx%(height)d" % r, node["focused"], r["x"] + c["x"],
              r["y"] + c["y"], node.get("app_id"), sep="\t")
    for child in node.get("nodes", []):
        walk(child, floating)
    for child in node.get("floating_nodes", []):
        walk(child, True)
walk(json.load(sys.stdin))'
}
window_shown() { windows | grep "^$1" >/dev/null; }
focused_window() { windows | awk -F '\t' '$4 == "True" { print $1 }'; }
window_gone() { local list && list=$(windows) && ! grep -q "^$1" <<<"$list"; }
close_window() { swaymsg "[title=\"^$1\"] kill" >/dev/null; } # as sway's close binding does

# --- started before any panel: it says so, then gets into a panel that
# comes later (within moments; the wait allows for a busy machine)
export E2E_BROWSER="chromium --ozone-platform=wayland --no-first-run --no-default-browser-check --disable-gpu"
reopen() { env HARLUNE_PROJECT="$project" QT_QPA_PLATFORM=wayland "$program"; }
launch_program QT_QPA_PLATFORM=wayland
answer_alert 'Kein Infobereich'
answer_alert 'Harlune Buchhaltung läuft'
session_start waybar -c "$work/waybar.json"
wait_for 20 item_registered || fail "the item did not register with a watcher that came later"
item_is_named_harlune
labels_are_verbatim
# Sharp at scale 1 and 2: the pixmaps come in the panel sizes up to 64 px.
for size in 16 22 32 44 64; do
    item_property IconPixmap | grep -q "($size, $size, \[" || fail "no ${size}px icon for the panel"
done

# --- at output scale 2: the icon drawn from a picture of its size, not a
# 22 px one blown up; a reopen's welcome with a sharp information symbol,
# named for the desktop entry (where Wayland desktops find its icon)
swaymsg output HEADLESS-1 scale 2 >/dev/null
wait_for 10 eval 'shoot sway-scale2 && pixels icon "$work/sway-scale2.png" $((width - 200)) 0 "$width" $((2 * bar - 6)) \
    >"$work/icon2" && [ "$(cut -d " " -f 3 "$work/icon2")" -ge 36 ]' || fail "no icon of twice the size in the bar at scale 2"
read -r x y w h _ <"$work/icon2"
is_sharp sway-scale2 "$x" "$y" $((x + w)) $((y + h)) || fail "the icon is blurred at scale 2"
reopen
wait_for 30 window_shown 'Harlune Buchhaltung läuft' || fail "no welcome on a reopen"
welcome_symbol_sharp() {
    IFS=$'\t' read -r _ _ _ _ x y app < <(windows | grep '^Harlune Buchhaltung läuft')
    [ "$app" = de.harlune.kommandozentrale ] || fail "the welcome's app id is $app"
    shoot sway-welcome-scale2 && is_sharp sway-welcome-scale2 $((2 * x + 8)) $((2 * y + 8)) $((2 * x + 124)) $((2 * y + 124))
}
wait_for 10 welcome_symbol_sharp || fail "the welcome's information symbol is blurred at scale 2"
answer_alert 'Harlune Buchhaltung läuft'
swaymsg output HEADLESS-1 scale 1 >/dev/null

# --- a panel that restarts gets the item again
stop_pid "${SESSION_PIDS[-1]}"
wait_for 10 eval '! item_registered'
session_start waybar -c "$work/waybar.json"
wait_for 20 item_registered || fail "the item did not register again after the panel restarted"

# --- the icon, legible on waybar's dark bar
icon_is_legible sway-bar $((width - 200)) 0 "$width" $((bar - 3))

# --- a left click opens the menu at the icon, and no window
hand click "$icon_x" "$icon_y" 1
menu_shows sway-left-click
[ -z "$(windows)" ] || fail "a left click opened a window: $(windows)"

# The menu waybar shows gets no keys: a click on entry $1 (from 0 at the
# top, $2 separators above it) of the menu shown in screenshot $3. It hangs
# from the bar, its first row's middle at the bar's edge; GTK's rows are
# 24 px, a separator 1 px.
choose_entry() {
    local x y w h
    read -r x y w h < <(pixels box "$work/sway-bar.png" "$work/$3.png" $((width / 2)) "$bar" "$width" 800) ||
        fail "no menu to choose from"
    hand click $((x + 60)) $((bar + 24 * $1 + $2)) 1
}

# --- "Server starten" from that menu: the browser shows the dashboard, the
# alert that follows ends up in front of its window, focused
choose_entry 2 1 sway-left-click
browser_shows_dashboard() { windows | awk -F '\t' '$7 == "chromium" && $1 ~ /^127.0.0.1:8765/' | grep -q .; }
wait_for 60 browser_shows_dashboard || fail "the browser showed no dashboard"
wait_for 20 eval 'focused_window | grep -q "^Server gestartet"' || fail "the alert is behind the browser: $(windows)"
shoot sway-alert-over-browser
answer_alert 'Server gestartet'
wait_for 20 server_answers || fail "the server does not answer"

# --- one welcome at a time: a reopen shows it, the next brings that one
# back in front of the browser
for round in first again; do
    swaymsg '[app_id="chromium"] focus' >/dev/null
    reopen
    wait_for 20 eval 'focused_window | grep -q "^Harlune Buchhaltung läuft"' || fail "the welcome is not in front ($round)"
    [ "$(windows | grep -c '^Harlune Buchhaltung läuft')" -eq 1 ] || fail "welcomes stacked: $(windows)"
done
answer_alert 'Harlune Buchhaltung läuft'
close_browser

# --- the server's interface is asked after the menu was open; a server
# that ends by itself: the menu opened at once says so; one notice, in
# German, a click on it (dunst: the middle button) opens the logs
shoot sway-before-notice
open_menu() { hand click "$icon_x" "$icon_y" 1 && menu_shows sway-menu-polls; }
close_menu() { # a click away (its left part is seen: a notice may be beside it)
    hand click 100 700 1
    wait_for 10 eval 'shoot sway-menu-closed && [ "$(pixels share "$work/sway-before-notice.png" \
        "$work/sway-menu-closed.png" $((width - 500)) "$bar" $((width - 340)) 300)" \< 0.05 ]' || fail "the menu stayed open"
}
poll_after_a_look open_menu close_menu
server_dies menu_says_stopped hand click "$icon_x" "$icon_y" 1
shoot sway-fresh-menu
close_menu
wait_for 10 eval 'shoot sway-notice && changed_box sway-before-notice sway-notice $((width / 2)) "$bar" "$width" 800 >"$work/box"' ||
    fail "dunst shows no notice"
read -r x y w h <"$work/box"
hand click $((x + w / 2)) $((y + h / 2)) 2
wait_for 10 grep -q '/logs' "$work/browser.log" || fail "a click on the notice did not open the logs folder"

# --- a stop of ours is never told
hand click "$icon_x" "$icon_y" 1
menu_shows sway-menu-again
choose_entry 2 1 sway-menu-again
answer_alert 'Server gestartet'
hand click "$icon_x" "$icon_y" 1
menu_shows sway-menu-running
choose_entry 3 1 sway-menu-running
answer_alert 'Server gestoppt'
# No second notice within a poll tick (one would end the wait at once).
! wait_for 6 eval '[ "$(notices_sent)" -gt 1 ]' 2>/dev/null || fail "a notice for a stop of ours: $(cat "$work/dbus-monitor.log")"

# --- "Beenden", the last entry of the menu a right click opens, ends the program
hand click "$icon_x" "$icon_y" 3
menu_shows sway-right-click
choose_entry 10 4 sway-right-click
program_ends
echo "PASS: sway + waybar + dunst: a later panel, a legible icon sharp at scale 2, verbatim and fresh labels," \
    "the menu at the icon, alerts in front of the browser, one welcome, a notice that opens the logs"
