#!/usr/bin/env bash
# The Debian package of this build: its name and dependencies, lintian, and
# the program run from a root the package was extracted into (run_shipped.sh).
#   bash tests/install/test_package.sh <build dir>
set -euo pipefail
build=$(cd "$1" && pwd) here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/harlune-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail() { echo "FAIL: $*" >&2 && exit 1; }
(cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work" >cpack.log 2>&1) ||
    { cat "$work/cpack.log" && fail "cpack"; }
deb=$(echo "$work/harlune-kommandozentrale_"*"_$(dpkg --print-architecture).deb")
[ -f "$deb" ] || fail "no package named harlune-kommandozentrale_<version>_<arch>.deb"
depends=", $(dpkg-deb -f "$deb" Depends),"
for needed in lsof python3 xdg-utils bash qt6-qpa-plugins libqt6widgets6 libc6; do
    [[ $depends =~ ,\ $needed[\ ,] ]] || fail "Depends lacks $needed: $depends"
done
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 || { cat "$work/lintian.log" && fail "lintian"; }
dpkg-deb -x "$deb" "$work/root"
bash "$here/run_shipped.sh" "$work/root/usr/bin/harlune-kommandozentrale"
