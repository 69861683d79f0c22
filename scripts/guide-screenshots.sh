#!/usr/bin/env bash
# Makes the pictures of the user guide (docs/bilder) from the running program:
# a display of its own (Xvfb) with a tray (trayer), the program on the
# shipped project in a fresh data folder, its windows taken with ImageMagick's
# import, the dashboard with headless Chromium.
#
#   scripts/guide-screenshots.sh [build/bin/harlune-kommandozentrale]
#   scripts/guide-screenshots.sh --check PROGRAM   # the same into a temporary folder, checked, kept nowhere
#
# Run it again whenever the program's windows or the dashboard change.
set -euo pipefail

check=''
if [ "${1:-}" = --check ]; then check=--check && shift; fi
here=$(cd "$(dirname "$0")/.." && pwd)
program=$(readlink -f "${1:-$here/build/bin/harlune-kommandozentrale}")
[ -x "$program" ] || { echo "no program at $program (build first: scripts/build.sh)" >&2 && exit 1; }
for tool in /usr/bin/import /usr/bin/convert /usr/bin/chromium; do
    [ -x "$tool" ] || { echo "SKIP: $tool is missing (scripts/setup.sh installs it)" && exit 77; }
done

# shellcheck source=../tests/e2e/x11_session.sh
source "$here/tests/e2e/x11_session.sh"
run_isolated "$0" $check "$program"
start_session harlune-bilder
out="$here/docs/bilder"
[ -n "$check" ] && out="$work/bilder"
mkdir -p "$out"

# Writes a PNG without the metadata that changes on every run.
keep() { /usr/bin/convert "$1" -strip -define png:exclude-chunks=date,time "$out/$2.png" && rm -f "$1"; }
# Takes "$@" (import's arguments) until two takes in a row show the same
# pixels: a window just mapped may not be fully painted yet.
take_settled() {
    local previous='' current
    for _ in $(seq 50); do
        /usr/bin/import "$@" "$work/shot.png"
        current=$(/usr/bin/convert "$work/shot.png" rgba:- | md5sum)
        [ "$current" = "$previous" ] && return
        previous=$current
        sleep 0.2
    done
    fail "the picture did not settle: $*"
}
shoot_window() { take_settled -window "$(visible_window "$1")" && keep "$work/shot.png" "$2"; }

# The open menu with the tray above it: from a little left of the menu to
# the screen's right edge, from the top to just below the menu.
shoot_menu() {
    local id info x y w h
    id=$(xwininfo -root -children | awk '/"Harlune": \(/ { split($(NF - 1), size, "[x+]"); if (size[2] > 30) print $1 }' |
        while read -r id; do xwininfo -id "$id" | grep -q IsViewable && echo "$id"; done | head -n 1)
    info=$(xwininfo -id "$id")
    x=$(awk '/Absolute upper-left X/ { print $NF }' <<<"$info")
    y=$(awk '/Absolute upper-left Y/ { print $NF }' <<<"$info")
    w=$(awk '/^  Width/ { print $NF }' <<<"$info")
    h=$(awk '/^  Height/ { print $NF }' <<<"$info")
    x=$((x > 24 ? x - 24 : 0))
    take_settled -window root -crop "$((1024 - x))x$((y + h + 12))+$x+0"
    keep "$work/shot.png" "$1"
}

# A data folder from before an upgrade: its record says stop.sh came from an
# earlier package, and the user has changed it since. The launch keeps it,
# puts the packaged one beside it and tells so.
# The menu shows the usual path then; the browser stand-in comes along.
mkdir -p "$HOME/.local/share"
mv "$XDG_DATA_HOME/applications" "$HOME/.local/share/"
export XDG_DATA_HOME="$HOME/.local/share"
data="$XDG_DATA_HOME/Harlune-Buchhaltung"
cp -R "$(dirname "$program")/Resources/buchhaltung" "$data"
printf 'initialized' >"$data/.harlune-initialized"
printf '# Eigene Änderung: länger auf das Ende warten\n' >>"$data/stop.sh"
printf '{"fingerprint": "frueher", "files": {"stop.sh": "%s"}}\n' \
    "$(printf 'frühere Fassung' | sha256sum | cut -d ' ' -f 1)" >"$data/.harlune-projekt.json"

"$program" >"$work/program.out" 2>&1 &
PROGRAM_PID=$!
# The notice opens over the welcome: taken first, then out of the way.
wait_for 30 visible_window '^Projektdateien aktualisiert' >/dev/null || fail "no upgrade notice"
shoot_window '^Projektdateien aktualisiert' hinweis-aktualisiert
dismiss_alert '^Projektdateien aktualisiert'
wait_for 30 visible_window '^Harlune Buchhaltung läuft' >/dev/null || fail "no welcome"
shoot_window '^Harlune Buchhaltung läuft' begruessung
dismiss_alert '^Harlune Buchhaltung läuft'
[ -f "$data/stop.sh.neu" ] || fail "the upgrade left no stop.sh.neu"

choose_from_menu Down Return # "Server starten"
wait_for 60 visible_window '^Server gestartet' >/dev/null || fail 'no alert "Server gestartet"'
shoot_window '^Server gestartet' meldung-gestartet
dismiss_alert '^Server gestartet'

# The menu with the server running, "Server stoppen" under the pointer's key.
choose_from_menu Down Down
shoot_menu menue
xdotool key Escape
wait_for 20 eval '! menu_open'

/usr/bin/chromium --headless --no-sandbox --disable-gpu --hide-scrollbars --password-store=basic --user-data-dir="$work/chromium" \
    --window-size=1000,1700 --screenshot="$work/dashboard.png" "http://127.0.0.1:$port/" >"$work/chromium.log" 2>&1 ||
    fail "chromium: $(tail -n 3 "$work/chromium.log")"
keep "$work/dashboard.png" dashboard

choose_from_menu Up Return # "Beenden"
program_ends

if [ -n "$check" ]; then
    for name in hinweis-aktualisiert begruessung meldung-gestartet menue dashboard; do
        size=$(/usr/bin/identify -format '%w %h' "$out/$name.png") || fail "$name.png is no picture"
        [ "${size% *}" -ge 150 ] && [ "${size#* }" -ge 60 ] || fail "$name.png is only $size"
    done
    echo "PASS: the guide's pictures are made from the running program"
else
    echo "Pictures in $out:" && ls -l "$out"
fi
