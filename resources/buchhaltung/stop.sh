#!/bin/bash
# Stops this project's report server and nothing else: of the processes that
# LISTEN on the port (HARLUNE_PORT, default 8765), only this project's
# serve.py gets SIGTERM, and SIGKILL after a bounded wait. It is known by
# what it wrote itself, its PID and start in logs/server.pid; a server whose
# PID file is gone, by its command line and working folder. Any other
# program on the port is named (another project's server by its folder) and
# left alone, and the script then ends with status 1: the port is not free
# for a new server. Prints German lines for the user.
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

# serve.py writes its PID and, on the next line, what process_identity
# says about itself. A PID alone may have been reused by now.
recorded=""
identity=""
if [ -f "$pid_file" ]; then
    { read -r recorded && read -r identity; } 2>/dev/null <"$pid_file"
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

# When process $1 began, in words no later process with its PID shares:
# on Linux the boot and the clock tick of its start, elsewhere the start
# time that ps gives, in a fixed language and zone. serve.py says the same
# words about itself.
process_identity() {
    if [ -r "/proc/$1/stat" ]; then
        read -r stat 2>/dev/null <"/proc/$1/stat" || return 1
        read -r boot </proc/sys/kernel/random/boot_id || return 1
        # After the command name, which may hold spaces and brackets, the
        # start time is the 20th field.
        # shellcheck disable=SC2086 # splitting makes the fields
        set -- ${stat##*) }
        [ $# -ge 20 ] || return 1
        shift 19
        printf 'proc %s %s\n' "$boot" "$1"
    else
        started=$(LC_ALL=C TZ=UTC0 /bin/ps -o lstart= -p "$1" 2>/dev/null) || return 1
        # shellcheck disable=SC2086 # splitting evens out the spaces
        set -- $started
        [ $# -gt 0 ] && printf 'ps %s\n' "$*"
    fi
}

# True when process $1 is the server that wrote the PID file.
is_recorded_server() {
    [ -n "$identity" ] && [ "$1" = "$recorded" ] && [ "$(process_identity "$1")" = "$identity" ]
}

# The folder of the serve.py that process $1 runs as a Python script, from
# its command line: the interpreter (its path may hold spaces, and so may a
# folder named after Python: each candidate is tried), its options, then the
# script, then the script's own arguments. With -c, -m or - the interpreter
# runs something else, whatever the line names after it.
served_folder() {
    command_line=$(/bin/ps -ww -o args= -p "$1" 2>/dev/null) || return 1
    after=$command_line
    while :; do
        case $after in
            *" "*) ;;
            *) return 1 ;;
        esac
        word=${after%% *}
        after=${after#* }
        case ${word##*/} in
            *[Pp]ython*) script_folder "$1" "$after" && return 0 ;;
        esac
    done
}

script_folder() {
    words=$2
    while :; do
        word=${words%% *}
        case $word in
            -W | -X) words=${words#* } ;;
            -W?* | -X?* | --?*) ;;
            --) words=${words#* }
                break ;;
            - | -*c* | -*m*) return 1 ;;
            -?*) ;;
            *) break ;;
        esac
        case $words in
            *" "*) words=${words#* } ;;
            *) return 1 ;;
        esac
    done
    script=""
    while :; do
        script="${script:+$script }${words%% *}"
        case $script in
            serve.py | */serve.py) break ;;
        esac
        case $words in
            *" "*) words=${words#* } ;;
            *) return 1 ;;
        esac
    done
    case $script in
        /*) ;;
        *) script="$(working_folder "$1")/$script" ;;
    esac
    (cd "${script%/*}" 2>/dev/null && pwd -P)
}

# True when process $1 is this project's server: the one its PID file names,
# or, for a server whose PID file is gone, one whose command line runs this
# folder's serve.py.
is_report_server() {
    is_recorded_server "$1" || [ "$(served_folder "$1")" = "$root" ]
}

# The project folder of another project's report server that process $1
# is: it runs a serve.py that lies beside that project's other scripts.
other_project() {
    folder=$(served_folder "$1") || return 1
    [ "$folder" != "$root" ] && [ -f "$folder/generate_buchhaltung.py" ] && [ -f "$folder/stop.sh" ] &&
        printf '%s\n' "$folder"
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
    if folder=$(other_project "$pid"); then
        echo "Port $port ist vom Berichtsserver in $folder belegt (PID $pid) – er gehört zu einem anderen" \
            "Projektordner und wurde nicht beendet."
    else
        echo "Port $port ist von $(program_name "$pid") (PID $pid) belegt – das ist nicht der Berichtsserver;" \
            "er wurde nicht beendet."
    fi
    status=1
done
exit $status
