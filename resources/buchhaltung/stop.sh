#!/bin/bash
# Stops the report server: whatever process LISTENS on the port (HARLUNE_PORT,
# default 8765). SIGTERM first, SIGKILL after a bounded wait; returns when the
# port is free or the wait is over. A process that merely holds a connection
# to the port, or a PID file naming some other process, is never signalled.
# Prints one German line for the user.
set -u

port="${HARLUNE_PORT:-8765}"
if [[ ! $port =~ ^[0-9]{1,5}$ ]] || ((10#$port < 1 || 10#$port > 65535)); then
    # shellcheck disable=SC1111 # German quotation marks, meant as text
    echo "Ungültiger Port in HARLUNE_PORT: „${port}“ (erlaubt: 1–65535)."
    exit 2
fi
port=$((10#$port))

# The project folder is where this script lies; serve.py writes its PID there.
script="${BASH_SOURCE[0]}"
root="."
[[ $script == */* ]] && root="${script%/*}"
pid_file="$root/logs/server.pid"

lsof=""
for candidate in /usr/bin/lsof /usr/sbin/lsof; do
    if [[ -x $candidate ]]; then
        lsof=$candidate
        break
    fi
done
if [[ -z $lsof ]]; then
    echo "lsof fehlt – ohne lsof lässt sich der Server auf Port $port nicht sicher finden."
    exit 1
fi

listeners() {
    "$lsof" -nP -t -iTCP:"$port" -sTCP:LISTEN 2>/dev/null
}

# Polls in steps of 0.1 s; true once nothing listens on the port any more.
wait_until_free() {
    local i
    for ((i = 0; i < $1; i++)); do
        [[ -z $(listeners) ]] && return 0
        /bin/sleep 0.1
    done
    [[ -z $(listeners) ]]
}

recorded=""
if [[ -f $pid_file ]]; then
    read -r recorded <"$pid_file" || true
fi

forget_pid_file() {
    # Only the file we read: a server started meanwhile may have written its own.
    local now=""
    [[ -f $pid_file ]] || return 0
    read -r now <"$pid_file" || true
    [[ $now == "$recorded" ]] && /bin/rm -f -- "$pid_file"
}

mapfile -t targets < <(listeners)
if ((${#targets[@]} == 0)); then
    forget_pid_file
    echo "Kein Server lief auf Port $port."
    exit 0
fi

# The recorded server first, so the message names it first.
ordered=()
for pid in "${targets[@]}"; do
    [[ $pid == "$recorded" ]] && ordered=("$pid")
done
for pid in "${targets[@]}"; do
    [[ $pid != "$recorded" ]] && ordered+=("$pid")
done
names=$(IFS=,; echo "${ordered[*]}")
names=${names//,/, }

kill -TERM "${ordered[@]}" 2>/dev/null
if ! wait_until_free 50; then
    # Asked again: only what listens now is killed, never a PID reused meanwhile.
    mapfile -t stubborn < <(listeners)
    ((${#stubborn[@]} > 0)) && kill -KILL "${stubborn[@]}" 2>/dev/null
    if ! wait_until_free 30; then
        echo "Server (PID $names) ließ sich nicht stoppen – Port $port ist noch belegt."
        exit 1
    fi
fi
forget_pid_file
echo "Server gestoppt (PID $names)"
