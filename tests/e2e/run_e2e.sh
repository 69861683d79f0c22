#!/usr/bin/env bash
# Drives the real tray program as a user would, against a temporary project
# whose scripts note how they were started: by mouse and keys on an XEmbed
# tray (trayer), the path no desktop of run_sway.sh / run_xfce.sh takes:
#   bash tests/e2e/run_e2e.sh build/bin/harlune-kommandozentrale
set -euo pipefail

program=$(readlink -f "$1")
# shellcheck source=x11_session.sh
source "$(dirname "$0")/x11_session.sh"
run_isolated "$0" "$program"
start_session harlune-e2e
records="$project/records" log="$project/logs/server-app.log"

expect_record() { # script program args host port: how the script was started
    diff -u <(printf '%s\n' "program=$2" "args=$3" "cwd=$project" HARLUNE_AUTH=e2e-geheim \
        "HARLUNE_HOST=$4" "HARLUNE_PORT=$5") "$records/$1.txt" || fail "$1 was started wrongly"
}
printf 'alte Zeile\n' >"$log"
port_taken && fail "port $port is in use before the start"

# --- launch: the welcome comes, and no complaint about a missing tray
launch_program HARLUNE_AUTH=e2e-geheim
dismiss_alert '^Harlune Buchhaltung läuft'
window_gone '^Kein Infobereich' || fail "the tray notice came although a tray host runs"

# --- "Server starten": first enabled entry
choose_from_menu Down Return
wait_for 30 visible_window '^Server gestartet' >/dev/null || fail 'no alert "Server gestartet"'
wait_for 20 server_answers || fail "the server does not answer" # it notes its start before
diff -u <(printf 'stop\ngenerate\nserve\n') "$records/calls.log" || fail "unexpected script runs"
expect_record stop "$project/stop.sh" '' 127.0.0.1 "$port"
expect_record generate /usr/bin/python3 generate_buchhaltung.py 127.0.0.1 "$port"
# The server gets the program's own environment with the address it is watched on.
expect_record serve /usr/bin/python3 serve.py 127.0.0.1 "$port"
# Both of the server's output channels are appended to the log.
wait_for 20 grep -q 'Protokoll auf stderr' "$log" || fail "stderr is not in the log"
grep -q "Server hört auf 127.0.0.1:$port" "$log" || fail "stdout is not in the log"
[ "$(head -n 1 "$log")" = 'alte Zeile' ] || fail "the log lost its earlier content"
wait_for 20 grep -qx "http://127.0.0.1:$port/" "$work/browser.log" || fail "the browser was not asked for the dashboard"
dismiss_alert '^Server gestartet'

# --- a second start hands a reopen to the running program and ends
timeout 20 env HARLUNE_PROJECT="$project" HARLUNE_AUTH=e2e-geheim "$program" || fail "the second start did not end with status 0"
dismiss_alert '^Harlune Buchhaltung läuft'
kill -0 "$PROGRAM_PID" || fail "the running program ended on the reopen"

# --- "Beenden": last entry; the server is stopped first, then the end
choose_from_menu Up Return
program_ends
[ "$(tail -n 1 "$records/calls.log")" = stop ] || fail "quitting did not run the stop script"
server_answers && fail "the server still answers after quitting"
[ -e "$project/server.pid" ] && fail "the server was not stopped"

echo "PASS: start, dashboard, log, reopen and quit work through an XEmbed tray"
