# A throw-away X session with an XEmbed tray (Xvfb, trayer), and a hand to
# use the tray program in it (xdotool, xwininfo). Sourced by the end-to-end
# tests and the app benchmark.

session_helpers=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
port=8765 # the program's own, fixed

fail() { echo "FAIL: $*" >&2 && exit 1; }

port_taken() { [ -n "$(/usr/bin/lsof -t -iTCP:$port -sTCP:LISTEN 2>/dev/null)" ]; }

# Runs the calling script ($1, arguments after it) again under a session bus
# of its own, in a network namespace of its own where the port is surely
# free; without one, here if the port is free, else skipped (77).
run_isolated() {
    [ -n "${HARLUNE_SESSION:-}" ] && return
    local flags
    for flags in -n -rn; do
        unshare "$flags" true 2>/dev/null && exec unshare "$flags" -- bash -c \
            '/usr/sbin/ip link set lo up && HARLUNE_SESSION=namespace exec dbus-run-session -- bash "$@"' _ "$@"
    done
    port_taken && echo "SKIP: no private network namespace, and port $port is in use here" && exit 77
    HARLUNE_SESSION=1 exec dbus-run-session -- bash "$@"
}

# Runs "$@" until it succeeds, at most $1 seconds.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@"; do
        [ "$SECONDS" -lt "$deadline" ] || { echo "gave up waiting for: $*" >&2 && return 1; }
        sleep 0.1
    done
}

# True when a tray host owns the system tray selection of screen 0.
tray_owned() {
    /usr/bin/python3 -c 'import ctypes as c, ctypes.util, sys
x = c.cdll.LoadLibrary(ctypes.util.find_library("X11"))
x.XOpenDisplay.restype = x.XInternAtom.restype = x.XGetSelectionOwner.restype = c.c_void_p
x.XInternAtom.argtypes = [c.c_void_p, c.c_char_p, c.c_int]
x.XGetSelectionOwner.argtypes = [c.c_void_p, c.c_void_p]
d = x.XOpenDisplay(None)
sys.exit(0 if d and x.XGetSelectionOwner(d, x.XInternAtom(d, b"_NET_SYSTEM_TRAY_S0", 0)) else 1)'
}

# Prints "X Y", the middle of the program's icon inside trayer's "panel".
tray_icon_center() {
    xwininfo -root -tree | awk '
        /"panel": \("panel" "trayer"\)/ { inside = 1; next }
        inside && /^     0x/ { inside = 0 }
        inside && /"Harlune": \(/ {
            split($(NF - 1), size, "[x+]"); split($NF, at, "+")
            print at[2] + int(size[1] / 2), at[3] + int(size[2] / 2)
            found = 1; exit
        }
        END { exit found ? 0 : 1 }'
}

# The open tray menu: a viewable top-level "Harlune" taller than a helper.
menu_open() {
    xwininfo -root -children | awk '/"Harlune": \(/ { split($(NF - 1), size, "[x+]"); if (size[2] > 30) print $1 }' |
        xargs -r -n 1 xwininfo -id | grep 'Map State: IsViewable' >/dev/null
}

visible_window() { xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1 | grep .; }
window_gone() { ! visible_window "$1" >/dev/null; }

# The server answers on the port.
server_answers() {
    /usr/bin/python3 -c "import urllib.request, sys
sys.exit(urllib.request.urlopen('http://127.0.0.1:$port/api/version', timeout=5).status != 200)" 2>/dev/null
}

# Waits until the program has ended, and fails unless with status 0.
program_ends() {
    wait_for 30 eval '! kill -0 "$PROGRAM_PID" 2>/dev/null' || fail "the program did not end"
    local status=0 && wait "$PROGRAM_PID" || status=$?
    PROGRAM_PID='' && [ "$status" -eq 0 ] || fail "the program ended with status $status"
}

# Waits for the alert titled $1 (a regex) and answers it with Return.
dismiss_alert() {
    wait_for 30 visible_window "$1" >/dev/null
    xdotool windowfocus --sync "$(visible_window "$1")" key Return
    wait_for 20 window_gone "$1"
}

# Opens the tray menu by a click on the icon and presses the keys given.
choose_from_menu() {
    wait_for 20 tray_icon_center >/dev/null
    # shellcheck disable=SC2046
    xdotool mousemove --sync $(tray_icon_center) click 1
    wait_for 20 menu_open
    # Away from the menu, so the pointer does not pick an entry itself.
    xdotool mousemove --sync 5 700 key "$@"
}

# Sets up in a fresh folder $work: a copy of the recording test project
# ($project, whose path holds spaces, "&", "_" and "&&"), home and XDG folders,
# a browser that notes what it is asked to open ($work/browser.log), a
# display with an XEmbed tray (trayer).
start_session() {
    TRAYER_PID=''
    prepare_workspace "$1"
    trap end_session EXIT
    start_xvfb 1024x768 >"$work/xvfb.log" 2>&1
    trayer --edge top --align right --widthtype request --height 24 >"$work/trayer.log" 2>&1 &
    TRAYER_PID=$!
    wait_for 20 tray_owned
}

# Starts Xvfb with a screen of $1 (WxH) as $XVFB_PID, and exports its
# DISPLAY once it takes connections.
start_xvfb() {
    Xvfb -displayfd 3 -screen 0 "${1}x24" -nolisten tcp 3>"$work/display" &
    XVFB_PID=$!
    wait_for 20 test -s "$work/display"
    export DISPLAY=:$(cat "$work/display")
}

# Starts the program ("$@" before it: the environment) for the test
# project, in the background as $PROGRAM_PID, its output in $work/program.out.
launch_program() {
    env HARLUNE_PROJECT="$project" "$@" "$program" >"$work/program.out" 2>&1 &
    PROGRAM_PID=$!
}

# The fresh folder $work of start_session, without a display.
prepare_workspace() {
    work=$(mktemp -d "/tmp/$1.XXXXXX")
    project="$work/Buchhaltung & Co_mit_Belegen && Leerzeichen"
    PROGRAM_PID='' XVFB_PID=''
    trap 'exit 143' TERM INT HUP # so that a time-out still cleans up
    mkdir -p "$project/logs"
    cp "$session_helpers"/project/* "$project/"

    export HOME="$work/home" XDG_CONFIG_HOME="$work/config" XDG_DATA_HOME="$work/data"
    export XDG_RUNTIME_DIR="$work/runtime" BROWSER="$work/browser.sh"
    mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME/applications"
    mkdir -m 700 "$XDG_RUNTIME_DIR"
    unset XDG_CURRENT_DESKTOP DESKTOP_SESSION GNOME_DESKTOP_SESSION_ID KDE_FULL_SESSION
    unset QT_QPA_PLATFORM HARLUNE_PORT HARLUNE_HOST

    # Debian's xdg-open prefers a registered browser over $BROWSER: make
    # the recorder this user's default browser as well. Given a browser
    # ($E2E_BROWSER), it also starts that once for a web page, noting its pid.
    printf '%s\n' '#!/bin/sh' "printf '%s\\n' \"\$@\" >>'$work/browser.log'" \
        'case "$1" in http*) [ -n "${E2E_BROWSER:-}" ] || exit 0 ;; *) exit 0 ;; esac' \
        "[ -e '$work/browser.pids' ] && exit 0" \
        "\$E2E_BROWSER --user-data-dir='$work/browser' \"\$1\" >'$work/browser.out' 2>&1 &" \
        "echo \$! >>'$work/browser.pids'" >"$BROWSER"
    chmod +x "$BROWSER"
    printf '%s\n' '[Desktop Entry]' 'Type=Application' 'Name=Recorder' "Exec=$BROWSER %u" \
        'MimeType=x-scheme-handler/http;x-scheme-handler/https;inode/directory;' \
        >"$XDG_DATA_HOME/applications/harlune-test-browser.desktop"
    # (KDE's KIO asks for the https handler when it opens an http address.)
    printf '%s\n' '[Default Applications]' 'x-scheme-handler/http=harlune-test-browser.desktop' \
        'x-scheme-handler/https=harlune-test-browser.desktop' 'inode/directory=harlune-test-browser.desktop' \
        >"$XDG_CONFIG_HOME/mimeapps.list"
}

end_session() {
    local status=$?
    end_program "$status"
    stop_pid "$TRAYER_PID"
    stop_pid "$XVFB_PID"
    rm -rf "$work"
    exit "$status"
}

# Ends the program and its server; on a failure ($1) shows what they left.
end_program() {
    if [ "$1" -ne 0 ]; then
        echo "--- failed; what the program and its server left:" >&2
        cat "$work/program.out" "$project/logs/server-app.log" >&2 2>/dev/null || true
    fi
    stop_pid "$PROGRAM_PID"
    [ -f "$project/server.pid" ] && kill "$(cat "$project/server.pid")" 2>/dev/null || true
    # In a namespace of our own whatever still listens is our server, also
    # one that failed before it wrote its pid file.
    [ "${HARLUNE_SESSION:-}" != namespace ] ||
        /usr/bin/lsof -t -iTCP:$port -sTCP:LISTEN 2>/dev/null | xargs -r kill 2>/dev/null || true
}

# Ends $1, a process of ours: asked first, killed after 10 s (a GNOME Shell
# whose main loop hangs never takes the request), then reaped.
stop_pid() {
    [ -n "$1" ] && kill "$1" 2>/dev/null || return 0
    wait_for 10 pid_ended "$1" 2>/dev/null || kill -KILL "$1" 2>/dev/null
    wait "$1" 2>/dev/null || true
}
pid_ended() { case $(ps -o stat= -p "$1") in '' | Z*) true ;; *) false ;; esac; }
