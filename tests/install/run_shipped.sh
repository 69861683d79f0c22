#!/usr/bin/env bash
# An installed program with an empty data folder, driven through its tray:
# the first start fills the data folder from the installed project, "Server
# starten" fills it again after it was deleted and brings up the shipped
# server, "Beenden" stops it.
#   bash tests/install/run_shipped.sh /usr/bin/harlune-kommandozentrale
set -euo pipefail
program=$1 # run through its link, as a user does
# shellcheck source=../e2e/x11_session.sh
source "$(dirname "$0")/../e2e/x11_session.sh"
run_isolated "$0" "$program"
start_session harlune-shipped
packaged=$(dirname "$(readlink -f "$program")")/Resources/buchhaltung
data=$XDG_DATA_HOME/Harlune-Buchhaltung

port_taken && fail "port $port is in use before the start"
env -u HARLUNE_PROJECT "$program" >"$work/program.out" 2>&1 &
PROGRAM_PID=$!
dismiss_alert '^Harlune Buchhaltung läuft'
diff -r -x .harlune-initialized -x .harlune-projekt.json -x .harlune-projekt.lock "$packaged" "$data" || fail "the data folder is no copy of $packaged"
grep -q '"serve.py"' "$data/.harlune-projekt.json" || fail "no record of the program's own files"
# Deleted while the program runs, the data folder is filled again by the
# next command that runs the project's scripts.
rm -r "$data"
choose_from_menu Down Return
wait_for 30 visible_window '^Server gestartet' >/dev/null || fail 'no alert "Server gestartet"'
wait_for 20 server_answers || fail "the shipped server does not answer"
dismiss_alert '^Server gestartet'
choose_from_menu Up Return
program_ends
wait_for 20 eval '! port_taken' || fail "the shipped server still listens after quitting"
echo "PASS: $program provisions (again after a deletion), starts the shipped server and stops it"
