#!/usr/bin/env bash
# The tray program on GNOME Shell 43 or 48 (headless, Wayland) with Debian's
# AppIndicator extension, GNOME's own notification service, clicked through
# mutter's remote-desktop pointer; what the Shell shows is read from it
# (org.gnome.Shell.Eval, Screenshot: a test extension switches on the
# Shell's unsafe mode, which GNOME 43 has no command-line switch for):
#   bash tests/e2e/run_gnome.sh build/bin/harlune-kommandozentrale
set -euo pipefail

program=$(readlink -f "$1") here=$(dirname "$0")
# shellcheck source=desktop_session.sh
source "$here/desktop_session.sh"
desktop_test harlune-gnome
width=1280 indicators=ubuntu-appindicators@ubuntu.com
export XDG_CURRENT_DESKTOP=GNOME XDG_SESSION_DESKTOP=gnome XDG_SESSION_TYPE=wayland

# The Shell will not run without a system bus: one of ours, with nothing on it.
session_start dbus-daemon --nofork --config-file="$session_helpers/session-bus.conf" --print-address=3 \
    3>"$work/system-bus"
wait_for 10 test -s "$work/system-bus"
DBUS_SYSTEM_BUS_ADDRESS=$(head -n 1 "$work/system-bus") && export DBUS_SYSTEM_BUS_ADDRESS
session_start /usr/libexec/dconf-service
wait_for 10 name_owned ca.desrt.dconf
# GNOME 45 and later load ES modules only: their extensions, and the
# notification service, which imports modules; 43 and 44 the older scripts.
shell_version=$(gnome-shell --version | grep -o '[0-9]*' | head -n 1)
mkdir -p "$XDG_DATA_HOME/gnome-shell/extensions"
cp -r "$here/gnome/harlune-hand@harlune.de" "$XDG_DATA_HOME/gnome-shell/extensions/"
as_module=-m
if [ "$shell_version" -lt 45 ]; then
    cp "$here/gnome/legacy/extension.js" "$XDG_DATA_HOME/gnome-shell/extensions/harlune-hand@harlune.de/"
    as_module=''
fi
gsettings set org.gnome.shell enabled-extensions "['$indicators', 'harlune-hand@harlune.de']"
session_start gnome-shell --headless --wayland --no-x11 --virtual-monitor "${width}x800"
# pipewire carries the screen stream the pointer's positions refer to
session_start pipewire
watch_notices "type='method_call',interface='org.kde.StatusNotifierItem'"

# What the Shell answers to the JavaScript $1 (a string, or what JSON makes of it).
shell() { # the code as a GVariant text, or gdbus takes it apart
    gdbus call --session --dest org.gnome.Shell --object-path /org/gnome/Shell --method org.gnome.Shell.Eval \
        "$(/usr/bin/python3 -c 'import json, sys; print(json.dumps(sys.argv[1]))' "$1")" | /usr/bin/python3 -c 'import ast, json, sys
ok, value = ast.literal_eval(sys.stdin.read().replace("(true,", "(True,", 1).replace("(false,", "(False,", 1))
value = json.loads(value) if ok and value else value
print(value if isinstance(value, str) else json.dumps(value)) if ok else sys.exit(value)'
}
wait_for 60 eval 'shell "Main.layoutManager._startingUp === false" 2>/dev/null | grep -qx true' ||
    fail "GNOME Shell did not start"
export WAYLAND_DISPLAY=wayland-0
# GNOME's notification service, which serves only while the Shell is there
session_start gjs $as_module /usr/share/gnome-shell/org.gnome.Shell.Notifications
# Our item's panel button and its menu; the windows of our program.
shell 'globalThis.harlune = {
    item: () => Object.entries(Main.panel.statusArea).find(([id]) => id.startsWith("appindicator-"))?.[1],
    box: actor => [...actor.get_transformed_position(), ...actor.get_transformed_size()].map(Math.round).join(" "),
    entries: () => harlune.item().menu._getMenuItems().filter(e => e.label).map(e => e.label.text),
    entry: text => harlune.box(harlune.item().menu._getMenuItems().find(e => e.label?.text === text)),
    windows: pid => global.get_window_actors().map(a => a.meta_window).filter(w => w.get_pid() === pid),
    titles: pid => harlune.windows(pid).map(w => w.get_title()).join("\n"),
    // as a close button in the title bar does
    close: (pid, title) => harlune.windows(pid).filter(w => w.get_title().startsWith(title))
        .forEach(w => w.delete(global.get_current_time())),
}; Main.overview.hide(); true' >/dev/null
wait_for 10 eval '[ "$(shell "Main.overview.visible || Main.overview.animationInProgress")" = false ]' ||
    fail "the overview stayed"
bar=$(shell 'Main.panel.height')
wait_for 10 name_owned org.freedesktop.Notifications || fail "GNOME's notification service did not start"
wait_for 10 test -S "$XDG_RUNTIME_DIR/pipewire-0"
coproc HAND { exec gjs "$here/gnome/mutter_hand.js" 2>"$work/hand.log"; }
SESSION_PIDS+=("$HAND_PID")
read -r -t 20 answer <&"${HAND[0]}" && [ "$answer" = ready ] || fail "no hand on the Shell: $(cat "$work/hand.log")"
# The Shell's button for ending the hand's session is there: the bar is laid out.
wait_for 10 eval '[ "$(shell "Main.panel.statusArea.screenSharing.visible")" = true ]' ||
    fail "the Shell shows no remote session"
# Clicks the middle of the box "x y w h" ($1), with button $2, $3 times.
click_box() {
    local x y w h answer
    read -r x y w h <<<"$1"
    echo "click $((x + w / 2)) $((y + h / 2)) ${2:-1} ${3:-1}" >&"${HAND[1]}"
    read -r -t 10 answer <&"${HAND[0]}" && [ "$answer" = "done" ] || fail "the hand failed: $(cat "$work/hand.log")"
}

windows() { shell "harlune.titles($PROGRAM_PID)"; }
window_shown() { windows | grep -q "^$1"; }
window_gone() { ! window_shown "$1"; }
close_window() { shell "harlune.close($PROGRAM_PID, \"$1\")" >/dev/null; }
item_shown() { [ "$(shell 'harlune.item()?.visible === true')" = true ]; }
menu_open() { [ "$(shell 'harlune.item().menu.isOpen')" = true ]; }
choose_entry() {
    local box
    box=$(shell "harlune.entry(\"$1\")") || fail "no entry \"$1\" in the menu: $(shell 'harlune.entries()')"
    click_box "$box"
}

launch_program QT_QPA_PLATFORM=wayland
answer_alert 'Harlune Buchhaltung läuft'
window_shown 'Kein Infobereich' && fail "the tray notice came although the extension is a tray"
wait_for 20 item_shown || fail "the item did not come into the top bar"
item_is_named_harlune

# --- the icon, legible on the Shell's black bar
icon=$(shell 'harlune.box(harlune.item())')
read -r x y w h <<<"$icon"
icon_is_legible gnome-bar "$x" 0 $((x + w)) "$bar"
# and it is ours, sharp: one of the pixmaps it exports, drawn unscaled
drawn=$(item_property IconPixmap | pixels drawn "$work/gnome-bar.png" "$x" 0 $((x + w)) "$bar") ||
    fail "the top bar does not show one of the program's pixmaps unscaled"
echo "icon drawn from the ${drawn% *} px pixmap, brightness ${drawn#* }"

# --- a click opens the Shell's menu at the icon, with our labels verbatim
click_box "$icon"
wait_for 10 menu_open || fail "a click on the icon opened no menu"
shoot gnome-menu
shell 'harlune.entries().join("\n")' >"$work/entries"
for label in "Daten: $project" 'Server starten' 'Logs-Ordner öffnen' 'Beenden'; do
    grep -qxF "$label" "$work/entries" || fail "the menu lacks \"$label\": $(cat "$work/entries")"
done
choose_entry 'Server starten'
answer_alert 'Server gestartet'
wait_for 20 server_answers || fail "the server does not answer"

# --- a double click: the item, a menu, has nothing to activate, and the
# Shell knows it -- from the item's introspection (the extension of GNOME
# 48) or from the refused Activate of a first double click (that of 43) --
# and then opens the menu on each press without holding it back for a
# second one; no window of ours
click_box "$icon" 1 2
wait_for 10 eval '[ "$(shell "harlune.item()._indicator.supportsActivation")" = false ]' ||
    fail "the Shell still takes the item for one to activate"
[ -z "$(windows)" ] || fail "a double click opened a window: $(windows)"

# --- a server that ends by itself: one notice, GNOME's banner, and a click
# on it opens the logs folder
shell 'Main.panel.menuManager.activeMenu?.close(); true' >/dev/null
# The notice now follows the server's end at once: let the menu be gone
# first, as a user's would be.
wait_for 10 eval '! menu_open' || fail "the menu did not close"
# The Shell's own notices (of its unsafe mode, and on GNOME 48 "Screen Lock
# disabled") came at its start and stay while no user is active: closed now,
# before ours is due. One closed while ours waits behind it would hold ours
# back: the Shell then hides its banner from within its own state check and
# does not look at the queue again until something else happens.
shell_notices_closed() {
    [ "$(shell '(t => { [...t._notificationQueue, t._notification].forEach(n => n?.destroy());
        return t._notificationState === 0 && t._notificationQueue.length === 0; })(Main.messageTray)')" = true ]
}
wait_for 10 shell_notices_closed || fail "the Shell's own notices stayed"
server_dies
# Our banner, where the Shell shows it (the tray's state SHOWN is 2 in GNOME
# 43 and 48 alike; 45 and later do not reach the Shell's modules through
# imports.ui).
banner() {
    shell '(t => t._notificationState === 2 && t._notification.title === "Server unerwartet beendet"
        ? harlune.box(t._bannerBin) : "")(Main.messageTray)' | grep .
}
wait_for 40 eval 'banner >"$work/banner"' ||
    fail "GNOME shows no banner for the notice: $(shell '(t => JSON.stringify({state: t._notificationState,
        shown: t._notification?.title, queue: t._notificationQueue.map(n => n.title), blocked: t._bannerBlocked,
        busy: t._busy, fullscreen: Main.layoutManager.primaryMonitor.inFullscreen}))(Main.messageTray)')"
shoot gnome-notice
click_box "$(cat "$work/banner")"
wait_for 10 grep -q '/logs' "$work/browser.log" || fail "a click on the notice did not open the logs folder"

# --- the extension switched off and on again (as after an update): the
# item comes back
item=$(registered_items)
gnome-extensions disable "$indicators"
wait_for 10 eval '! item_shown'
gnome-extensions enable "$indicators"
wait_for 10 item_shown || fail "the item did not come back after the extension was re-enabled"
wait_for 10 eval '[ "$(registered_items)" = "$item" ]' || fail "the Shell shows $(registered_items), not the item $item it had"

# --- "Beenden" ends the program
click_box "$(shell 'harlune.box(harlune.item())')"
wait_for 10 menu_open || fail "a click on the icon opened no menu"
choose_entry 'Beenden'
program_ends
echo "PASS: GNOME Shell + AppIndicator: a legible icon, the Shell's menu, a notice that opens the logs, a re-enabled extension"
