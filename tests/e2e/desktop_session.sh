# Real desktops from Debian's packages, headless, for the end-to-end tests:
# sway + waybar (Wayland) and xfwm4 + xfce4-panel (X11), dunst for notices.
# Sourced after x11_session.sh, whose workspace and helpers it shares.

SESSION_PIDS=()
shots=${HARLUNE_SHOTS:-/work/shots}

# Like run_isolated, but as an unprivileged user (sway refuses to run as
# root), created here when we are root.
run_as_desktop_user() {
    [ -n "${HARLUNE_SESSION:-}" ] && return
    if [ "$(id -u)" -ne 0 ]; then
        run_isolated "$@"
        return
    fi
    local user=harlune-e2e
    id "$user" >/dev/null 2>&1 ||
        useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin "$user" 2>/dev/null ||
        id "$user" >/dev/null || fail "cannot create the user $user"
    mkdir -p "$shots" && chmod 1777 "$shots" 2>/dev/null || true
    exec unshare -n -- bash -c '/usr/sbin/ip link set lo up &&
        exec setpriv --reuid="$0" --regid="$0" --init-groups env HOME=/nonexistent HARLUNE_SESSION=namespace \
            dbus-run-session --config-file="$1" -- bash "${@:2}"' "$user" "$session_helpers/session-bus.conf" "$@"
}

# Runs "$@" in the background as part of the session, its output in
# $work/NAME.log (NAME the program's own).
session_start() {
    "$@" >"$work/$(basename "$1").log" 2>&1 &
    SESSION_PIDS+=($!)
}

end_desktop_session() {
    local status=$? pid
    end_program "$status"
    [ "$status" -eq 0 ] || tail -n 20 "$work"/*.log >&2 2>/dev/null
    for pid in "${SESSION_PIDS[@]}"; do stop_pid "$pid"; done
    rm -rf "$work"
    exit "$status"
}

# Saves the screen as $shots/desktop-$1.png and in $work/$1.png.
shoot() {
    case "${WAYLAND_DISPLAY:-}" in
    '') import -window root "$work/$1.png" ;;
    *) grim "$work/$1.png" ;;
    esac
    cp "$work/$1.png" "$shots/desktop-$1.png" 2>/dev/null || true
}

pixels() { /usr/bin/python3 "$session_helpers/pixels.py" "$@"; }

# The item names the watcher holds, one a line.
registered_items() {
    gdbus call --session --dest org.kde.StatusNotifierWatcher --object-path /StatusNotifierWatcher \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierWatcher \
        RegisteredStatusNotifierItems 2>/dev/null | grep -o "'[^']*'" | tr -d "'"
}
item_registered() { [ -n "$(registered_items)" ]; }

# A property of our item ($1), as gdbus prints it.
item_property() {
    local item
    item=$(registered_items | head -n 1)
    gdbus call --session --dest "${item%%/*}" --object-path "/${item#*/}" \
        --method org.freedesktop.DBus.Properties.Get org.kde.StatusNotifierItem "$1"
}

# What programs send to the notification service, as dbus-monitor prints it.
watch_notices() {
    session_start dbus-monitor --session "type='method_call',interface='org.freedesktop.Notifications',member='Notify'"
}
notices_sent() { grep -c 'member=Notify' "$work/dbus-monitor.log"; }

# Where the icon appeared in the bar: "x y w h", from screenshots before and
# after ($1, $2) within the bar's region ($3…).
icon_box() { pixels box "$work/$1.png" "$work/$2.png" "${@:3}"; }
