#!/usr/bin/env bash
# `cmake --install` into a fresh prefix with a space in it: the layout, one
# application id throughout, the desktop files, the command line (without a
# display), and provisioning from the installed project through the bin/ link.
#   bash tests/install/test_install.sh <build dir> <source dir>
set -euo pipefail
build=$1 source=$2
work=$(mktemp -d /tmp/harlune-install.XXXXXX) pid=''
trap '[ -z "$pid" ] || kill "$pid"; rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2 && exit 1; }
prefix="$work/pre fix" name=harlune-kommandozentrale
id=$(sed -n 's/.*applicationId\[\] = "\(.*\)";/\1/p' "$build/generated/app/AppIdentity.h")
cmake --install "$build" --prefix "$prefix" >/dev/null
program=$prefix/bin/$name packaged=$prefix/lib/$name/Resources/buchhaltung

[ "$(readlink "$program")" = "../lib/$name/$name" ] || fail "bin/$name is not a relative link"
for file in "lib/$name/$name" "share/applications/$id.desktop" "share/metainfo/$id.metainfo.xml" \
    "share/icons/hicolor/scalable/apps/$id.svg" "share/icons/hicolor/symbolic/apps/$id-symbolic.svg"; do
    [ -s "$prefix/$file" ] || fail "$file is not installed"
done
grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop" || fail "the desktop entry names another icon"
desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop entry"
appstreamcli validate-tree --no-net "$prefix" >"$work/as.log" || { cat "$work/as.log"; fail "AppStream"; }
# Exactly what the project tracks: no caches, logs or reports of a run in place.
diff <(git -C "$source/resources/buchhaltung" ls-files | sort) \
    <(cd "$packaged" && find . -type f -printf '%P\n' | sort) || fail "packaged project differs"

unset DISPLAY WAYLAND_DISPLAY QT_QPA_PLATFORM HARLUNE_PROJECT
export HOME=$work XDG_DATA_HOME=$work/data XDG_CONFIG_HOME="$work/con fig" XDG_RUNTIME_DIR=$work/run
mkdir -m 700 "$XDG_RUNTIME_DIR"
entry="$XDG_CONFIG_HOME/autostart/$id.desktop"
while IFS='|' read -r status pattern args; do # exit status | the one line printed | arguments
    got=0 && "$program" $args >"$work/out" 2>&1 || got=$?
    [ "$got" = "$status" ] && grep -qE -e "$pattern" "$work/out" || fail "$args: $got, $(cat "$work/out")"
    [ "$args" = --help ] || [ "$(wc -l <"$work/out")" = 1 ] || fail "$args: more than one line"
done <<'CASES'
0|^Aufruf: harlune-kommandozentrale \[Optionen\]|--help
0|^harlune-kommandozentrale [0-9]+\.[0-9]+\.[0-9]+$|--version
2|unbekannte Option „--bogus“|--bogus
2|unbekannte Option „-x“|-x
2|„--autostart“ braucht einen Wert|--autostart
2|--autostart kennt nur „on“ und „off“|--autostart yes
2|unerwartetes Argument „stray“|stray
0|^Autostart eingeschaltet|--autostart on
CASES
grep -qxF "Exec=\"$program\" --login" "$entry" && grep -qx X-GNOME-Autostart-enabled=true "$entry" ||
    fail "autostart entry: $(cat "$entry")"
desktop-file-validate "$entry" || fail "autostart entry"
# A link at the entry's path is replaced, the user's file it names is kept;
# a program path with a control character is refused.
echo mein > "$work/meine-datei" && ln -sf "$work/meine-datei" "$entry"
"$program" --autostart on >/dev/null && [ ! -L "$entry" ] && [ "$(cat "$work/meine-datei")" = mein ] ||
    fail "autostart through a link"
"$program" --autostart off | grep -q '^Autostart ausgeschaltet' && [ ! -e "$entry" ] || fail "off"
"$program" --autostart off | grep -q 'nicht eingeschaltet' || fail "off when absent"
bad="$work/zeilen"$'\n'"umbruch" && mkdir "$bad" && ln -s "$program" "$bad/$name"
status=0; "$bad/$name" --autostart on 2>"$work/bad.err" || status=$?
[ "$status" = 1 ] && grep -q Steuerzeichen "$work/bad.err" && [ ! -e "$entry" ] ||
    fail "control character in the program path: $status $(cat "$work/bad.err")"
[ ! -e "$XDG_DATA_HOME" ] && [ -z "$(ls "$XDG_RUNTIME_DIR")" ] || fail "an option started the program"

QT_QPA_PLATFORM=offscreen "$program" >"$work/program.out" 2>&1 & pid=$!
# The record of the program's files comes last, its staging folder goes then.
data=$XDG_DATA_HOME/Harlune-Buchhaltung
for _ in $(seq 100); do [ -e "$data/.harlune-projekt.json" ] && [ ! -e "$data/.harlune-provisioning" ] && break; sleep 0.1; done
diff -r -x .harlune-initialized -x .harlune-projekt.json -x .harlune-projekt.lock "$packaged" "$data" || fail "not provisioned"
echo "PASS: install tree, desktop files, command line and provisioning through bin/$name"
