# A throw-away X session with a tray host, and a hand to use the tray
# program in it. Sourced by the end-to-end test and the app benchmark.
#
# Needs: Xvfb, trayer, xdotool, xwininfo (x11-utils), python3.

session_helpers=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The port the program's server listens on; fixed in the program.
port=8765

port_taken() {
    [ -n "$(/usr/bin/lsof -t -iTCP:$port -sTCP:LISTEN 2>/dev/null)" ]
}

# Runs the calling script ($1, with the arguments after it) again where the
# program's fixed port is surely free: in a network namespace of its own
# (as root, or as a user where user namespaces are allowed), whose loopback
# nobody else uses. X and D-Bus talk over abstract sockets, which belong to
# a namespace, so the whole session lives in there, under a session bus of
# its own that ends with the script. Returns only in that final stage.
# Without a namespace the script runs on the machine's loopback if the port
# is free there, and ends with 77 (skipped) otherwise.
run_isolated() {
    local script=$1
    shift
    case "${HARLUNE_SESSION_STAGE:-outside}" in
    outside)
        if [ "$(id -u)" -eq 0 ] && unshare -n true 2>/dev/null; then
            exec unshare -n -- env HARLUNE_SESSION_STAGE=namespace bash "$script" "$@"
        fi
        if unshare -rn true 2>/dev/null; then
            exec unshare -rn -- env HARLUNE_SESSION_STAGE=namespace bash "$script" "$@"
        fi
        if port_taken; then
            echo "SKIP: no private network namespace, and port $port is in use here"
            exit 77
        fi
        exec env HARLUNE_SESSION_STAGE=session dbus-run-session -- bash "$script" "$@"
        ;;
    namespace)
        /usr/sbin/ip link set lo up
        exec env HARLUNE_SESSION_STAGE=session dbus-run-session -- bash "$script" "$@"
        ;;
    session) ;;
    esac
}

# Runs "$@" until it succeeds, at most $1 seconds. Fails after that.
wait_for() {
    local seconds=$1
    shift
    local deadline=$((SECONDS + seconds))
    until "$@"; do
        if [ "$SECONDS" -ge "$deadline" ]; then
            echo "gave up waiting ($seconds s) for: $*" >&2
            return 1
        fi
        sleep 0.1
    done
}

# Starts Xvfb on a display number it picks itself and exports DISPLAY.
# Sets XVFB_PID.
start_display() {
    local number_file=$1/display-number
    Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp 3>"$number_file" \
        >"$1/xvfb.log" 2>&1 &
    XVFB_PID=$!
    wait_for 20 test -s "$number_file"
    export DISPLAY=:$(cat "$number_file")
    wait_for 20 xwininfo -root >/dev/null 2>&1
}

# True when some tray host owns the system tray selection of screen 0.
tray_owned() {
    /usr/bin/python3 - <<'EOF'
import ctypes, ctypes.util, sys
x11 = ctypes.cdll.LoadLibrary(ctypes.util.find_library('X11'))
x11.XOpenDisplay.restype = ctypes.c_void_p
x11.XInternAtom.restype = ctypes.c_ulong
x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
x11.XGetSelectionOwner.restype = ctypes.c_ulong
x11.XGetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong]
display = x11.XOpenDisplay(None)
if not display:
    sys.exit(1)
atom = x11.XInternAtom(display, b'_NET_SYSTEM_TRAY_S0', 0)
sys.exit(0 if x11.XGetSelectionOwner(display, atom) else 1)
EOF
}

# Starts trayer as the tray host, top right, and waits until it serves.
# Sets TRAYER_PID.
start_tray_host() {
    trayer --edge top --align right --widthtype request --height 24 \
        >"$1/trayer.log" 2>&1 &
    TRAYER_PID=$!
    wait_for 20 tray_owned
}

# Prints "X Y", the middle of the program's icon inside the tray host.
# The icon is a window of the program's, embedded in trayer's "panel".
tray_icon_center() {
    xwininfo -root -tree | awk '
        /"panel": \("panel" "trayer"\)/ { inside = 1; next }
        inside && /^     0x/ { inside = 0 }
        inside && /"Harlune": \(/ {
            split($(NF - 1), size, "[x+]")
            split($NF, at, "+")
            print at[2] + int(size[1] / 2), at[3] + int(size[2] / 2)
            found = 1
            exit
        }
        END { exit found ? 0 : 1 }'
}

# Prints the id of the program's open tray menu: a top-level window named
# exactly "Harlune", larger than a helper window, that is on screen.
open_menu_window() {
    local id
    for id in $(xwininfo -root -children |
        awk '/"Harlune": \(/ { split($(NF - 1), size, "[x+]"); if (size[2] > 30) print $1 }'); do
        if xwininfo -id "$id" | grep -q 'Map State: IsViewable'; then
            echo "$id"
            return 0
        fi
    done
    return 1
}

# Prints the id of a visible window whose title matches the regex $1.
visible_window() {
    xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 | grep .
}

window_gone() {
    ! visible_window "$1" >/dev/null
}

# Waits for the alert titled $1 (a regex) and answers it with Return.
dismiss_alert() {
    wait_for 30 visible_window "$1" >/dev/null
    local id
    id=$(visible_window "$1")
    xdotool windowfocus --sync "$id"
    xdotool key Return
    wait_for 20 window_gone "$1"
}

# Opens the tray menu with a click on the icon and presses the keys given,
# e.g. "Down Return" for the first enabled entry, "Up Return" for the last.
choose_from_menu() {
    local center
    wait_for 20 tray_icon_center >/dev/null
    center=$(tray_icon_center)
    # shellcheck disable=SC2086
    xdotool mousemove --sync $center click 1
    wait_for 20 open_menu_window >/dev/null
    # Away from the menu, so the pointer does not pick an entry itself.
    xdotool mousemove --sync 5 700
    # shellcheck disable=SC2086
    xdotool key $*
}

# Sets up everything around the program in a fresh folder ($work): a copy
# of the recording test project ($project, with a space in its path), a home
# and XDG folders of its own, a browser that only notes what it was asked to
# open ($work/browser.log), an X display with a tray host. Cleans all of it
# up when the script ends, on failure showing what the program printed
# ($work/program.out). $1 names the folder.
start_session() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    project="$work/Buchhaltung mit Leerzeichen"
    XVFB_PID='' TRAYER_PID='' PROGRAM_PID=''
    trap end_session EXIT
    trap 'exit 143' TERM INT HUP # so that a time-out still cleans up

    mkdir -p "$project/logs"
    cp "$session_helpers"/project/* "$project/"

    export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    unset XDG_CURRENT_DESKTOP DESKTOP_SESSION GNOME_DESKTOP_SESSION_ID KDE_FULL_SESSION
    unset QT_QPA_PLATFORM HARLUNE_PORT HARLUNE_HOST

    # Debian's xdg-open prefers a registered browser over $BROWSER: make
    # the recorder this user's web browser as well.
    printf '#!/bin/sh\nprintf "%%s\\n" "$@" >>"%s"\n' "$work/browser.log" >"$work/browser.sh"
    chmod +x "$work/browser.sh"
    export BROWSER="$work/browser.sh"
    printf '%s\n' '[Desktop Entry]' 'Type=Application' 'Name=Recorder' \
        "Exec=$work/browser.sh %u" 'MimeType=x-scheme-handler/http;x-scheme-handler/https;' \
        >"$XDG_DATA_HOME/applications/harlune-test-browser.desktop"
    printf '%s\n' '[Default Applications]' \
        'x-scheme-handler/http=harlune-test-browser.desktop' \
        'x-scheme-handler/https=harlune-test-browser.desktop' \
        >"$XDG_CONFIG_HOME/mimeapps.list"

    start_display "$work"
    start_tray_host "$work"
}

end_session() {
    local status=$?
    if [ "$status" -ne 0 ]; then
        echo "--- failed; what the program and its server left:" >&2
        cat "$work/program.out" "$project/logs/server-app.log" 2>/dev/null >&2 || true
    fi
    stop_pid "$PROGRAM_PID"
    if [ -f "$project/server.pid" ]; then
        kill "$(cat "$project/server.pid")" 2>/dev/null || true
    fi
    stop_pid "$TRAYER_PID"
    stop_pid "$XVFB_PID"
    rm -rf "$work"
    exit "$status"
}

# Ends a process we started, by its id, and waits until it is gone.
stop_pid() {
    local pid=$1
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null || return 0
    wait "$pid" 2>/dev/null || true
}
