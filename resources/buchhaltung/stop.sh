#!/bin/bash
# Stops this project's report server and nothing else: of the processes that
# LISTEN on the port (HARLUNE_PORT, default 8765), only one that runs this
# project's serve.py - found by its command line and working folder - gets
# SIGTERM, and SIGKILL after a bounded wait. Any
# other program on the port is named and left alone, and the script then
# ends with status 1: the port is not free for a new server. Prints German
# lines for the user.
#
# Plain POSIX sh on purpose: macOS runs this with bash 3.2, which has no
# mapfile, no associative arrays and no ${x,,}; the tests run it under dash
# as well, which has none of bash's own features.
set -u

port=${HARLUNE_PORT:-8765}
given=$port
while :; do
    case $port in
        0?*) port=${port#0} ;;
        *) break ;;
    esac
done
case $port in
    '' | *[!0-9]*) port=0 ;;
esac
if [ ${#port} -gt 5 ] || [ "$port" -lt 1 ] || [ "$port" -gt 65535 ]; then
    # shellcheck disable=SC1111 # German quotation marks, meant as text
    echo "Ungültiger Port in HARLUNE_PORT: „${given}“ (erlaubt: 1–65535)."
    exit 2
fi

# The project folder is where this script lies; serve.py writes its PID there.
case $0 in
    */*) root=${0%/*} ;;
    *) root=. ;;
esac
root=$(cd "$root" && pwd -P) || exit 1
pid_file="$root/logs/server.pid"

lsof=""
for candidate in /usr/bin/lsof /usr/sbin/lsof; do
    if [ -x "$candidate" ]; then
        lsof=$candidate
        break
    fi
done
if [ -z "$lsof" ]; then
    echo "lsof fehlt – ohne lsof lässt sich der Server auf Port $port nicht sicher finden."
    exit 1
fi

recorded=""
if [ -f "$pid_file" ]; then
    read -r recorded <"$pid_file" || true
fi
case $recorded in
    '' | *[!0-9]*) recorded="" ;;
esac

listeners() {
    "$lsof" -nP -t -iTCP:"$port" -sTCP:LISTEN 2>/dev/null
}

working_folder() {
    "$lsof" -a -p "$1" -d cwd -Fn 2>/dev/null | while IFS= read -r field; do
        case $field in
            n*) printf '%s\n' "${field#n}" ;;
        esac
    done
}

# True when process $1 runs this project's serve.py: the program and a user
# in a terminal start it as "python3 serve.py" in the project folder, a user
# elsewhere perhaps by a relative or full path. The PID file alone does not
# tell: another project's server may have left its PID there, or the PID may
# have been reused.
is_report_server() {
    command_line=$(/bin/ps -ww -o args= -p "$1" 2>/dev/null) || return 1
    case $command_line in
        *" serve.py" | *"/serve.py") ;;
        *) return 1 ;;
    esac
    interpreter=${command_line%% *}
    case ${interpreter##*/} in
        *[Pp]ython*) ;;
        *) return 1 ;;
    esac
    case $command_line in
        *" $root/serve.py") return 0 ;;
    esac
    script=${command_line##* }
    case $script in
        /*) ;;
        *) script="$(working_folder "$1")/$script" ;;
    esac
    [ "$(cd "${script%/*}" 2>/dev/null && pwd -P)" = "$root" ]
}

program_name() {
    name=$(/bin/ps -o comm= -p "$1" 2>/dev/null)
    name=${name##*/}
    printf '%s\n' "${name:-unbekanntes Programm}"
}

# True while one of the PIDs given still listens on the port.
any_listening() {
    for listener in $(listeners); do
        for pid in "$@"; do
            [ "$listener" = "$pid" ] && return 0
        done
    done
    return 1
}

# Polls in steps of 0.1 s; true once none of the PIDs after $1 listens.
wait_until_gone() {
    steps=$1
    shift
    i=0
    while [ "$i" -lt "$steps" ]; do
        any_listening "$@" || return 0
        /bin/sleep 0.1
        i=$((i + 1))
    done
    ! any_listening "$@"
}

forget_pid_file() {
    # Only the file we read: a server started meanwhile may have written its own.
    now=""
    [ -f "$pid_file" ] || return 0
    read -r now <"$pid_file" || true
    [ "$now" = "$recorded" ] && /bin/rm -f -- "$pid_file"
}

servers=""
others=""
for pid in $(listeners); do
    if is_report_server "$pid"; then
        # The recorded server first, so the message names it first.
        if [ "$pid" = "$recorded" ]; then servers="$pid $servers"; else servers="$servers $pid"; fi
    else
        others="$others $pid"
    fi
done

status=0
if [ -z "$servers" ]; then
    [ -z "$others" ] && echo "Kein Server lief auf Port $port."
    forget_pid_file
else
    # shellcheck disable=SC2086 # word splitting makes the list of PIDs
    set -- $servers
    names=""
    for pid in "$@"; do
        names="${names:+$names, }$pid"
    done
    kill -TERM "$@" 2>/dev/null
    if ! wait_until_gone 50 "$@"; then
        # Asked again: only what still listens and still is our server is killed,
        # never a PID reused meanwhile.
        for pid in "$@"; do
            any_listening "$pid" && is_report_server "$pid" && kill -KILL "$pid" 2>/dev/null
        done
    fi
    if wait_until_gone 30 "$@"; then
        forget_pid_file
        echo "Server gestoppt (PID $names)"
    else
        echo "Server (PID $names) ließ sich nicht stoppen – Port $port ist noch belegt."
        status=1
    fi
fi

for pid in $others; do
    echo "Port $port ist von $(program_name "$pid") (PID $pid) belegt – das ist nicht der Berichtsserver;" \
        "er wurde nicht beendet."
    status=1
done
exit $status
