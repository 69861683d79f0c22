#!/usr/bin/env bash
# The tray program on a StatusNotifierItem tray (KDE, GNOME with the
# AppIndicator extension, XFCE, …), which reads the menu over D-Bus: every
# text shows verbatim, the project path with "_" and "&&" too, and an entry
# chosen there works:
#   bash tests/e2e/run_sni.sh build/bin/harlune-kommandozentrale
set -euo pipefail

program=$(readlink -f "$1")
# shellcheck source=x11_session.sh
source "$(dirname "$0")/x11_session.sh"
run_isolated "$0" "$program"
start_session harlune-sni sni

HARLUNE_PROJECT="$project" "$program" >"$work/program.out" 2>&1 &
PROGRAM_PID=$!
dismiss_alert '^Harlune Buchhaltung läuft'
window_gone '^Kein Infobereich' || fail "the tray notice came although a StatusNotifier host runs"
wait_for 20 test -s "$work/sni/item" || fail "the program registered no StatusNotifierItem"

sni menu >"$work/menu"
diff -u <(printf '%s\n' 'Server gestoppt' 'API: offline' '' 'Server starten' 'Server stoppen' \
    'Server neu starten' 'Berichte neu generieren' '' 'Dashboard im Browser' 'Belege-Upload öffnen' \
    'Logs-Ordner öffnen' '' "Daten: $project" '' Beenden) <(cut -f 2 "$work/menu") ||
    fail "the menu does not read as the program's texts"

# --- "Beenden" chosen on the host: with no server running, the end at once
sni click "$(awk -F '\t' '$2 == "Beenden" { print $1 }' "$work/menu")"
wait_for 30 eval '! kill -0 "$PROGRAM_PID" 2>/dev/null' || fail "the program did not end"
status=0
wait "$PROGRAM_PID" || status=$?
PROGRAM_PID=''
[ "$status" -eq 0 ] || fail "the program ended with status $status"
echo "PASS: the menu reads verbatim on a StatusNotifier tray, and quitting works there"
