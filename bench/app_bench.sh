#!/usr/bin/env bash
# Figures for the tray program, measured from outside (it prints nothing):
#
#   - launch time: from starting the process until its icon sits in the tray
#     host (the menu is built before the icon is shown), over several starts;
#   - idle CPU (user + system time from /proc/PID/stat) over a stretch with
#     the server stopped, then with the server running (poll and API probe
#     every 5 s);
#   - peak memory (VmHWM from /proc/PID/status) after all of that.
#
# Run after a build, as root or where user namespaces are allowed:
#
#   bash bench/app_bench.sh build/bin/harlune-kommandozentrale [idle-seconds] [launches]
#
# idle-seconds defaults to 60, launches to 5. It uses the end-to-end test's
# X session (Xvfb, trayer, xdotool) and its test project, whose server runs
# on the program's port inside a network namespace of its own.
#
# Measured on Debian 12 (2 cores, Qt 6.4.2, default preset = RelWithDebInfo):
#   launch until the icon is in the tray: 110 111 113 117 121 ms (5 starts)
#   idle CPU, server stopped: 0.02 % own, 0.57 % with lsof children (60 s)
#   idle CPU, server running: 0.03 % own, 0.03 % with lsof children (60 s)
#   memory: peak RSS 34224 KiB (VmHWM, after both minutes and a start)
# With the server stopped every poll runs lsof twice; a live recorded server
# is checked with kill(pid, 0) alone.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
program=$(readlink -f "$1")
idle_seconds=${2:-60}
launches=${3:-5}

# shellcheck source=../tests/e2e/x11_session.sh
source "$repo/tests/e2e/x11_session.sh"
run_isolated "$0" "$program" "$idle_seconds" "$launches"
start_session harlune-bench
export HARLUNE_PROJECT="$project"

now_ms() { echo $(($(date +%s%N) / 1000000)); }
clock_ticks=$(getconf CLK_TCK)

# CPU time of a process in clock ticks: its own (utime + stime), then with
# the children it has waited for (the port probe's lsof runs). The name in
# field 2 may hold spaces, so count from the closing parenthesis: after it,
# state is field 1, utime 12, stime 13, cutime 14, cstime 15.
cpu_ticks() {
    local stat
    stat=$(cat "/proc/$1/stat")
    stat=${stat##*) }
    awk '{ print $12 + $13, $12 + $13 + $14 + $15 }' <<<"$stat"
}

# CPU use of process $1 over $2 seconds, in per cent of one core.
cpu_percent_over() {
    local before after
    before=$(cpu_ticks "$1")
    sleep "$2"
    after=$(cpu_ticks "$1")
    awk -v before="$before" -v after="$after" -v hz="$clock_ticks" -v s="$2" 'BEGIN {
        split(before, b, " "); split(after, a, " ")
        printf "%.2f %% own, %.2f %% with lsof children (%d and %d ticks in %d s)",
            100 * (a[1] - b[1]) / hz / s, 100 * (a[2] - b[2]) / hz / s,
            a[1] - b[1], a[2] - b[2], s }'
}

memory_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }

# --- launch time: several cold starts, each ended again at once
times=()
for ((i = 0; i < launches; ++i)); do
    start=$(now_ms)
    "$program" >"$work/program.out" 2>&1 &
    PROGRAM_PID=$!
    wait_for 30 tray_icon_center >/dev/null
    times+=($(($(now_ms) - start)))
    stop_pid "$PROGRAM_PID"
    PROGRAM_PID=''
    wait_for 20 bash -c '! xwininfo -root -tree | grep -q "\"Harlune\": (\"harlune"'
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n | tr '\n' ' ')
echo "launch until the icon is in the tray: ${sorted}ms (sorted, $launches starts)"

# --- one run: idle with the server stopped, then running
"$program" >"$work/program.out" 2>&1 &
PROGRAM_PID=$!
dismiss_alert '^Harlune Buchhaltung läuft'
echo "idle CPU, server stopped: $(cpu_percent_over "$PROGRAM_PID" "$idle_seconds")"

choose_from_menu Down Return
dismiss_alert '^Server gestartet'
echo "idle CPU, server running: $(cpu_percent_over "$PROGRAM_PID" "$idle_seconds")"

echo "memory: peak RSS $(memory_kib "$PROGRAM_PID" VmHWM) KiB, now $(memory_kib "$PROGRAM_PID" VmRSS) KiB"

choose_from_menu Up Return
program_ended() { ! kill -0 "$PROGRAM_PID" 2>/dev/null; }
wait_for 30 program_ended
PROGRAM_PID=''
