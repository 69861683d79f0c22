#!/usr/bin/env bash
# The tray program against a bare Qt 6 tray program (bench/bare_tray.cpp:
# same menu, icon, timer and welcome alert, nothing else), both measured from
# outside in one run, on one X display with one tray host, and printed side
# by side with their ratio:
#
#   - launch: from starting the process until its icon sits in the tray,
#     several starts of each, taken in turns; resident memory and CPU time
#     at that moment;
#   - resident memory once the welcome alert has been shown and dismissed;
#   - idle CPU of both over the same stretch, the program's children
#     included: first with the server stopped, then with it running (the
#     program's poll and API probe every 5 s).
#
# Run after a build, as root or where user namespaces are allowed:
#
#   bash bench/app_bench.sh build/bin/harlune-kommandozentrale build/bench/bare_tray [idle-seconds] [launches] [rounds]
#
# idle-seconds defaults to 60, launches to 7, rounds to 1. With several
# rounds each idle phase is measured that many times over, both programs
# over the same stretches, and the rows give the median with the lowest and
# highest in brackets: on a machine others load too, one stretch of the bare
# program has measured anything from 0.9 to 8 ms per minute. It uses the
# end-to-end test's X session (Xvfb, trayer, xdotool) and a copy of the
# shipped project, whose server (as users run it, keeping connections
# alive) listens on the program's port inside a network namespace of its own.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
program=$(readlink -f "$1")
bare=$(readlink -f "$2")
idle_seconds=${3:-60}
launches=${4:-7}
rounds=${5:-1}

# shellcheck source=../tests/e2e/x11_session.sh
source "$repo/tests/e2e/x11_session.sh"
run_isolated "$0" "$program" "$bare" "$idle_seconds" "$launches" "$rounds"
start_session harlune-bench
cp -R "$repo/resources/buchhaltung" "$work/shipped"
export HARLUNE_PROJECT="$work/shipped"
# The program's lines about its menu and notices, with their times of day.
export TZ=UTC QT_LOGGING_RULES='harlune.app.debug=true' QT_MESSAGE_PATTERN='%{time hh:mm:ss.zzz} %{message}'
BARE_PID='' LAUNCHED=''
trap 'status=$?; stop_pid "$BARE_PID"; stop_pid "$LAUNCHED"; (exit "$status"); end_session' EXIT

name_of() { [ "$1" = "$program" ] && echo Harlune || echo bare-tray; }
memory_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Nanoseconds of CPU: "tid ns" per thread of process $1, then "children ns"
# for the children it has waited for (utime + stime of the reaped ones).
cpu_snapshot() {
    local task stat
    for task in /proc/"$1"/task/*; do
        echo "${task##*/} $(cut -d' ' -f1 "$task/schedstat" 2>/dev/null || echo 0)"
    done
    stat=$(cat "/proc/$1/stat")
    stat=${stat##*) }
    awk -v hz="$(getconf CLK_TCK)" '{ printf "children %d\n", ($14 + $15) * 1e9 / hz }' <<<"$stat"
}

# Milliseconds of CPU between two snapshots (threads born in between count
# from zero; one that ended in between is lost, which only an idle pool
# thread would do).
cpu_ms_between() {
    awk 'NR == FNR { before[$1] = $2; next } { total += $2 - before[$1] } END { printf "%.1f", total / 1e6 }' \
        <(echo "$1") <(echo "$2")
}

# Starts $1 and sets LAUNCHED (its pid), LAUNCH_MS, and LAUNCH_CPU_MS and
# LAUNCH_KIB (CPU time and resident memory once its icon is in the tray).
launch() {
    local watcher start
    : >"$work/icon"
    /usr/bin/python3 "$repo/bench/icon_appears.py" "$(name_of "$1")" >"$work/icon" &
    watcher=$!
    wait_for 20 grep -q ready "$work/icon"
    start=$(date +%s%N)
    "$1" >>"$work/program.out" 2>&1 &
    LAUNCHED=$!
    wait "$watcher"
    LAUNCH_KIB=$(memory_kib "$LAUNCHED" VmRSS)
    LAUNCH_CPU_MS=$(cpu_ms_between "" "$(cpu_snapshot "$LAUNCHED")")
    LAUNCH_MS=$((($(tail -n 1 "$work/icon") - start) / 1000000))
}

icon_gone() { ! xwininfo -root -tree | grep -q "^ *0x[0-9a-f]* \"$1\": (\""; }

row() { # what, ours, bare, unit, goal
    # With a spread, the ratio is that of the medians (awk reads a number's leading digits).
    awk -v what="$1" -v a="$2" -v b="$3" -v unit="$4" -v goal="$5" 'BEGIN {
        ratio = b + 0 > 0 ? sprintf("%.2f", a / b) : "n/a"
        printf "%-44s %18s %-5s %18s %-5s %6s   %s\n", what, a, unit, b, unit, ratio, goal }'
}

# --- launches, in turns, each ended again at once
ours_ms=() bare_ms=() ours_cpu=() bare_cpu=() ours_kib=() bare_kib=()
for ((i = 0; i < launches; ++i)); do
    for subject in "$program" "$bare"; do
        launch "$subject"
        if [ "$subject" = "$program" ]; then
            ours_ms+=("$LAUNCH_MS") ours_cpu+=("$LAUNCH_CPU_MS") ours_kib+=("$LAUNCH_KIB")
        else
            bare_ms+=("$LAUNCH_MS") bare_cpu+=("$LAUNCH_CPU_MS") bare_kib+=("$LAUNCH_KIB")
        fi
        stop_pid "$LAUNCHED"
        LAUNCHED=''
        wait_for 20 icon_gone "$(name_of "$subject")"
    done
done
echo "launch ms, ours: ${ours_ms[*]}; bare: ${bare_ms[*]}"

# --- one long run of each, side by side
"$bare" >>"$work/program.out" 2>&1 &
BARE_PID=$!
dismiss_alert '^Harlune Buchhaltung läuft'
"$program" >>"$work/program.out" 2>&1 &
PROGRAM_PID=$!
dismiss_alert '^Harlune Buchhaltung läuft'
sleep 2
ours_alert_kib=$(memory_kib "$PROGRAM_PID" VmRSS)
bare_alert_kib=$(memory_kib "$BARE_PID" VmRSS)

# "median [lowest-highest]" of the numbers on standard input; the median alone for one.
spread() {
    sort -n | awk '{ v[NR] = $1 } END {
        m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        if (NR == 1) print m; else printf "%s [%s-%s]\n", m, v[1], v[NR] }'
}

idle_stretches() { # sets OURS_CPU_MS and BARE_CPU_MS over `rounds` stretches of idle_seconds
    local ours_before bare_before ours=() bare=() round
    for ((round = 0; round < rounds; ++round)); do
        ours_before=$(cpu_snapshot "$PROGRAM_PID")
        bare_before=$(cpu_snapshot "$BARE_PID")
        sleep "$idle_seconds"
        ours+=("$(cpu_ms_between "$ours_before" "$(cpu_snapshot "$PROGRAM_PID")")")
        bare+=("$(cpu_ms_between "$bare_before" "$(cpu_snapshot "$BARE_PID")")")
    done
    echo "idle CPU ms per stretch, ours: ${ours[*]}; bare: ${bare[*]}"
    OURS_CPU_MS=$(printf '%s\n' "${ours[@]}" | spread)
    BARE_CPU_MS=$(printf '%s\n' "${bare[@]}" | spread)
}
idle_stretches
stopped_ours=$OURS_CPU_MS stopped_bare=$BARE_CPU_MS

choose_from_menu Down Return
dismiss_alert '^Server gestartet'
sleep 2
idle_stretches
running_ours=$OURS_CPU_MS running_bare=$BARE_CPU_MS
ours_started_kib=$(memory_kib "$PROGRAM_PID" VmRSS)
ours_peak_kib=$(memory_kib "$PROGRAM_PID" VmHWM)
bare_peak_kib=$(memory_kib "$BARE_PID" VmHWM)

# The server dies: how soon the menu and the notice follow (the program's
# own log lines, with their times, against the moment of the kill).
server_pid=$(/usr/bin/lsof -t -iTCP:$port -sTCP:LISTEN | head -1)
killed_ms=$(date +%s%3N)
kill -KILL "$server_pid"
noticed() { grep -q 'Notice: Server unerwartet beendet' "$work/program.out"; }
wait_for 20 noticed
since_kill() { # milliseconds from the kill to the last line that says $1
    grep -a "$1" "$work/program.out" | tail -1 | awk -v k="$killed_ms" '{
        split($1, t, /[:.]/); print (t[1] * 3600000 + t[2] * 60000 + t[3] * 1000 + t[4]) - k % 86400000 }'
}
menu_ms=$(since_kill 'Menu shows: Server gestoppt')
notice_ms=$(since_kill 'Notice: Server unerwartet beendet')
dismiss_alert '^Server unerwartet beendet' 2>/dev/null || true
choose_from_menu Down Return
dismiss_alert '^Server gestartet'

choose_from_menu Up Return
program_ended() { ! kill -0 "$PROGRAM_PID" 2>/dev/null; }
wait_for 30 program_ended
PROGRAM_PID=''

echo
printf "%-44s %24s %24s %6s   %s\n" "" "program" "bare Qt tray" "ratio" "goal"
row "launch until the icon is in the tray (median)" "$(printf '%s\n' "${ours_ms[@]}" | median)" \
    "$(printf '%s\n' "${bare_ms[@]}" | median)" ms "<= 1.5"
row "CPU time until then (median)" "$(printf '%s\n' "${ours_cpu[@]}" | median)" \
    "$(printf '%s\n' "${bare_cpu[@]}" | median)" ms ""
row "resident memory then (median)" "$(printf '%s\n' "${ours_kib[@]}" | median)" \
    "$(printf '%s\n' "${bare_kib[@]}" | median)" KiB "<= 1.2"
row "resident memory after the welcome alert" "$ours_alert_kib" "$bare_alert_kib" KiB "<= 1.2"
row "idle CPU over ${idle_seconds} s, server stopped" "$stopped_ours" "$stopped_bare" ms "<= 2"
row "idle CPU over ${idle_seconds} s, server running" "$running_ours" "$running_bare" ms "<= 2"
row "peak resident memory (VmHWM)" "$ours_peak_kib" "$bare_peak_kib" KiB ""
echo "program after the \"Server gestartet\" alert: $ours_started_kib KiB resident"
echo "server killed: the menu said \"Server gestoppt\" after $menu_ms ms, the notice came after $notice_ms ms"
awk -v s="${stopped_ours%% *}" -v r="${running_ours%% *}" -v t="$idle_seconds" 'BEGIN {
    printf "program, CPU per 5-s update (all threads): %.2f ms server stopped, %.2f ms running\n", s / (t / 5), r / (t / 5) }'
