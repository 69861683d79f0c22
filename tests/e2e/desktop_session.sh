# Real desktops from Debian's packages, headless, for the end-to-end tests
# run_DESKTOP.sh; what they share with the XEmbed test is x11_session.sh's.
# shellcheck source=x11_session.sh
source "$(dirname "${BASH_SOURCE[0]}")/x11_session.sh"

SESSION_PIDS=()
# Where the screenshots are kept for a look: beside the program's build.
shots=${HARLUNE_SHOTS:-$(dirname "$program")/../e2e-shots}

# Like run_isolated, but as an unprivileged user (sway refuses to run as
# root), created here when we are root. That user may not read the checkout
# or the build (a clone in /root or in a private home): it gets a copy of
# these helpers and of the program ($2) in a folder of its own, and hands
# the screenshots back through it. $1 is the calling script, beside us.
run_as_desktop_user() {
    [ -n "${HARLUNE_SESSION:-}" ] && return
    if [ "$(id -u)" -ne 0 ]; then
        run_isolated "$@"
        return
    fi
    local user=harlune-e2e status=0
    id "$user" >/dev/null 2>&1 ||
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" 2>/dev/null ||
        id "$user" >/dev/null || fail "cannot create the user $user"
    stage=$(mktemp -d /tmp/harlune-desktop.XXXXXX)
    trap 'rm -rf "$stage"' EXIT
    cp -r "$session_helpers" "$stage/e2e"
    mkdir "$stage/bin"
    cp "$2" "$stage/bin/"
    mkdir "$stage/shots"
    chown -R "$user:" "$stage"
    cd "$stage"
    HARLUNE_SHOTS=$stage/shots unshare -n -- bash -c '/usr/sbin/ip link set lo up &&
        exec setpriv --reuid="$0" --regid="$0" --init-groups env HOME=/nonexistent HARLUNE_SESSION=namespace \
            dbus-run-session --config-file="$1" -- bash "${@:2}"' "$user" "$stage/e2e/session-bus.conf" \
        "$stage/e2e/$(basename "$1")" "$stage/bin/$(basename "$2")" "${@:3}" &
    # A time-out's signal goes on to the test in the session, which then
    # cleans up, and to the session's bus.
    session=$!
    trap 'kill $(ps -o pid= --ppid "$session") "$session" 2>/dev/null; wait "$session"; exit 143' TERM INT HUP
    wait "$session" || status=$?
    mkdir -p "$shots"
    find "$stage/shots" -maxdepth 1 -type f -name '*.png' -exec cp {} "$shots/" \;
    exit "$status"
}

# Begins the test: as a desktop user, in a session and a fresh workspace
# (its folder named after $1) of its own, which its end clears.
desktop_test() {
    run_as_desktop_user "$0" "$program"
    prepare_workspace "$1"
    trap end_desktop_session EXIT
}

# Runs "$@" in the background as part of the session, its output in
# $work/NAME.log (NAME the program's own).
session_start() {
    "$@" >"$work/$(basename "$1").log" 2>&1 &
    SESSION_PIDS+=($!)
}

end_desktop_session() {
    local status=$? pid child
    end_program "$status"
    [ "$status" -eq 0 ] || tail -n 20 "$work"/*.log >&2 2>/dev/null
    for pid in "${SESSION_PIDS[@]}"; do
        # and what it started (GNOME Shell's ibus-daemon may outlive it)
        for child in $(ps -o pid= --ppid "$pid"); do stop_pid "$child"; done
        stop_pid "$pid"
    done
    stop_pid "$XVFB_PID"
    close_browser
    rm -rf "$work"
    exit "$status"
}

# Ends the browser the recorder started, if any.
close_browser() {
    [ -s "$work/browser.pids" ] || return 0
    kill $(cat "$work/browser.pids") 2>/dev/null || true
    wait_for 20 eval '! kill -0 $(cat "$work/browser.pids") 2>/dev/null'
}

# Saves the screen as $shots/desktop-$1.png and in $work/$1.png.
shoot() {
    case "${XDG_CURRENT_DESKTOP:-}:${WAYLAND_DISPLAY:-}" in
    GNOME:*) gdbus call --session --dest org.gnome.Shell.Screenshot --object-path /org/gnome/Shell/Screenshot \
        --method org.gnome.Shell.Screenshot.Screenshot false false "$work/$1.png" >/dev/null ;;
    *:) import -window root "$work/$1.png" ;;
    *) grim "$work/$1.png" ;;
    esac
    mkdir -p "$shots" && cp "$work/$1.png" "$shots/desktop-$1.png"
}

pixels() { /usr/bin/python3 "$session_helpers/pixels.py" "$@"; }

# The session bus name $1 has an owner.
name_owned() {
    gdbus call --session --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
        --method org.freedesktop.DBus.NameHasOwner "$1" | grep -q true
}

# The item names the watcher holds, one a line.
registered_items() {
    gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
        RegisteredStatusNotifierItems 2>/dev/null | grep -o "'[^']*'" | tr -d "'"
}
item_registered() { [ -n "$(registered_items)" ]; }

# A property of our item ($1), as gdbus prints it. GNOME's watcher names
# an item "service@/path", the others "service/path".
item_property() {
    local item service
    item=$(registered_items | head -n 1)
    service=${item%%/*}
    gdbus call --session --dest "${service%@}" --object-path "/${item#*/}" \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$1"
}

# dunst for notices, with ours kept until it is clicked, as for a reader who
# looks a little later: dunst's own default hides it after 10 s, which the
# screenshots of a busy machine can outlast.
start_dunst() {
    mkdir -p "$XDG_CONFIG_HOME/dunst"
    printf '%s\n' '[urgency_normal]' '    timeout = 0' >"$XDG_CONFIG_HOME/dunst/dunstrc"
    session_start dunst
}

# What programs send to the notification service, and what the further
# match rules "$@" catch, as dbus-monitor prints it.
watch_notices() {
    session_start dbus-monitor --session "type='method_call',interface='org.freedesktop.Notifications',member='Notify'" "$@"
}
notices_sent() { grep -c 'member=Notify' "$work/dbus-monitor.log"; }

# Kills the server behind the program's back, runs "$@", and waits for the
# one notice: the program's name, a click action, its desktop entry, the
# German text.
server_dies() {
    kill "$(cat "$project/server.pid")"
    "$@"
    wait_for 15 eval '[ "$(notices_sent)" -ge 1 ]' || fail "no notice of the unexpected stop"
    local part
    grep -A 40 'member=Notify' "$work/dbus-monitor.log" >"$work/notice"
    for part in 'string "Harlune"' 'string "default"' 'string "desktop-entry"' \
        'string "de.harlune.kommandozentrale"' 'Server unerwartet beendet' 'läuft nicht mehr' \
        'Ein Klick auf diese Meldung öffnet den Logs-Ordner'; do
        grep -qF "$part" "$work/notice" || fail "the notice lacks $part: $(cat "$work/notice")"
    done
    ! grep -q 'GET /api' "$work/notice" || fail "the notice shows request lines: $(cat "$work/notice")"
}

# The item's menu as GetLayout gives it, $1 levels deep (-1: all).
menu_layout() {
    local item menu
    item=$(registered_items | head -n 1)
    menu=$(item_property Menu | grep -o "/[^']*")
    gdbus call --session --dest "${item%%/*}" --object-path "$menu" \
        --method com.canonical.dbusmenu.GetLayout 0 "int32 $1" '[]'
}

# The labels of the item's menu as hosts get them, one a line.
menu_labels() { menu_layout -1 | grep -o "'label': <'[^']*'>" | sed "s/^'label': <'//; s/'>\$//"; }

# How many entries the item's menu has at its top.
menu_entries() { menu_layout 1 | grep -o '<(' | wc -l; }

# The data path, '&' before '_' in it, reaches the hosts as it is: with no
# access key (which GTK hosts would make of the '&'), "__" for each '_'.
labels_are_verbatim() {
    menu_labels | grep -qxF "Daten: ${project//_/__}" || fail "the data path's label is not verbatim: $(menu_labels)"
}

# The requests for the server's interface so far (the server notes each).
api_requests() { grep -c 'GET /api/version' "$project/logs/server-app.log"; }

# Opens the menu by $1 and closes it by $2, then waits for a poll (they
# come every 5 s): it asks the server's interface, as every poll does for a
# minute after an opening where the panel never says the menu closed (the
# server notes each request). Returns when that poll's answer is too old to
# be taken as fresh (a second) and the next poll still about 3 s off.
poll_after_a_look() {
    local before since
    $1
    $2
    before=$(api_requests)
    wait_for 10 eval '[ "$(api_requests)" -gt "$before" ]' || fail "no poll asked the server after the menu was open"
    since=$(date +%s%3N)
    wait_for 5 eval '[ "$(date +%s%3N)" -ge $((since + 2000)) ]'
}

# Opens the menu by "$@" right after the server went: before the next poll
# its status line says what the program found when the host asked for it.
menu_says_stopped() {
    "$@"
    wait_for 2 eval '[ "$(menu_labels | head -n 1)" = "Server gestoppt" ]' ||
        fail "the menu showed an old status: $(menu_labels | head -n 1)"
}

# Whether the region $2… of screenshot $1 is drawn sharp: its edges no
# wider than a picture drawn at the screen's resolution has them.
is_sharp() {
    local edges
    edges=$(pixels edges "$work/$1.png" "${@:2}") && echo "edge width in $1: $edges"
    awk -v e="$edges" 'BEGIN { exit !(e < 3) }'
}

# The item's Id, the application's, and Title: the program's name, no macOS label space.
item_is_named_harlune() {
    [ "$(item_property Id)" = "(<'de.harlune.kommandozentrale'>,)" ] || fail "the item's Id is $(item_property Id)"
    [ "$(item_property Title)" = "(<'Harlune'>,)" ] || fail "the item's Title is $(item_property Title)"
}

# The icon in screenshot $1 stands out from the bar ($2…: its region) by
# at least 3:1 (the least for graphics to be told apart); sets icon_x, icon_y.
icon_is_legible() {
    local x y w h contrast
    shot=$1 bar_region=("${@:2}")
    wait_for 10 eval 'shoot "$shot" && pixels icon "$work/$shot.png" "${bar_region[@]}" >"$work/icon"' ||
        fail "no icon appeared in the bar"
    read -r x y w h contrast <"$work/icon"
    echo "icon in $1: ${w}x${h} at $x,$y, contrast $contrast:1"
    awk -v c="$contrast" 'BEGIN { exit !(c >= 3) }' || fail "the icon is not legible on the bar ($contrast:1)"
    icon_x=$((x + w / 2)) icon_y=$((y + h / 2)) bar_shot=$1
}

# Between screenshots $1 and $2 a menu opened below the icon: a fifth at
# least of the 300 px on either side of it changed.
menu_at_icon() {
    local share x0=$((icon_x < 300 ? 0 : icon_x - 300)) x1=$((icon_x + 300 > width ? width : icon_x + 300))
    share=$(pixels share "$work/$1.png" "$work/$2.png" "$x0" "$bar" "$x1" 400)
    awk -v s="$share" 'BEGIN { exit !(s > 0.2) }'
}

# Waits for a menu at the icon, and keeps the screen in screenshot $1.
menu_shows() {
    local shot=$1
    wait_for 10 eval 'shoot "$shot" && menu_at_icon "$bar_shot" "$shot"' || fail "no menu at the icon ($shot)"
}

# What changed between screenshots $1 and $2 within the region $3…: "x y w h".
changed_box() { pixels box "$work/$1.png" "$work/$2.png" "${@:3}"; }

# Shoots $1, and is true when the region $2… looks as in the shot before:
# what is drawn there has settled.
still() {
    shoot "$1" || return
    [ -e "$work/$1-before.png" ] && ! changed_box "$1-before" "$1" "${@:2}" >/dev/null && return
    cp "$work/$1.png" "$work/$1-before.png" && false
}

# Closes the alert titled $1 (a prefix) as its close button does: the
# alerts carry only an "OK" (the tray notice also "Beenden", which a close
# does not choose). How windows are seen and closed is the desktop's
# (window_shown, window_gone, close_window, windows).
answer_alert() {
    wait_for 30 window_shown "$1" || fail "no alert \"$1\": $(windows)"
    close_window "$1"
    wait_for 20 window_gone "$1" || fail "the alert \"$1\" stayed: $(windows)"
}
