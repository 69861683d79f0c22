#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
# With --asan the same tests run on the AddressSanitizer/UBSan build.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
if [ "${1:-}" = "--asan" ]; then
    preset=asan
fi
scripts/setup.sh
scripts/build.sh "$preset"
ctest --preset "$preset"
