#!/bin/sh
# Runs clang-tidy (checks in .clang-tidy) over every source file of ours in
# the build's compile_commands.json, two files at a time; fails on any
# finding. Needs a built tree (the moc files), by default build/ as
# scripts/build.sh leaves it:
#
#   scripts/tidy.sh [BUILD-FOLDER]
set -eu
cd "$(dirname "$0")/.."
build=${1:-build}
if [ ! -f "$build/compile_commands.json" ]; then
    echo "$0: no $build/compile_commands.json: build first (scripts/build.sh)" >&2
    exit 2
fi
# Only this check needs clang-tidy; the set-up of users' machines does not
# install it.
if ! command -v clang-tidy >/dev/null; then
    sudo_cmd=
    [ "$(id -u)" -eq 0 ] || sudo_cmd=sudo
    $sudo_cmd env DEBIAN_FRONTEND=noninteractive apt-get install -y -q -o DPkg::Lock::Timeout=900 clang-tidy
fi
jobs=$(nproc)
[ "$jobs" -le 2 ] || jobs=2
source_dir=$(pwd)
# Our own sources only: not moc's and rcc's output in the build folder.
list_sources() {
    python3 -c '
import json, sys
root = sys.argv[2] + "/"
files = {e["file"] for e in json.load(open(sys.argv[1]))}
ours = sorted(f for f in files if f.startswith(root) and not f[len(root):].startswith("build"))
sys.stdout.write("".join(f + "\0" for f in ours))' "$build/compile_commands.json" "$source_dir"
}
log=$(mktemp)
trap 'rm -f "$log"' EXIT
start=$(date +%s)
# xargs answers 123 when one of the runs failed; the log says where.
status=0
list_sources | xargs -0 -P "$jobs" -n 1 clang-tidy -p "$build" --quiet >"$log" 2>&1 || status=$?
grep -v '^[0-9]* warnings\{0,1\} generated\.$\|^Suppressed [0-9]* warnings\|^Use -header-filter=\|^[0-9]* warnings\{0,1\} treated as errors$' "$log" || true
echo "clang-tidy: $(list_sources | tr -cd '\0' | wc -c) files in $(( $(date +%s) - start )) s" >&2
exit "$status"
