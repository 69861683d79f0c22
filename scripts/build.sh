#!/usr/bin/env bash
# Configures and builds one preset ("default" unless named). Warnings stop
# the build only with HARLUNE_WERROR=ON in the environment (CI sets it): a
# user's build must not fail on a newer compiler's new warning. It is
# given on every configure, so a build folder never keeps it from an
# earlier run.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-default}
cmake --preset "$preset" -DHARLUNE_WERROR="${HARLUNE_WERROR:-OFF}" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
