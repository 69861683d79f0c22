#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test through ctest.
# With --asan the same tests run on the AddressSanitizer/UBSan build; with
# --tsan the Qt tests of the core and the app on the ThreadSanitizer
# build. HARLUNE_WERROR=ON in the environment makes warnings errors, as in CI.
set -euo pipefail
cd "$(dirname "$0")/.."
preset=default
case "${1:-}" in
    --asan) preset=asan ;;
    --tsan) preset=tsan ;;
    "") ;;
    *) echo "usage: $0 [--asan | --tsan]" >&2; exit 2 ;;
esac
scripts/setup.sh
scripts/build.sh "$preset"
ctest --preset "$preset"
