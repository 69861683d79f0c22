#!/usr/bin/env bash
# Installs what is missing, builds, and starts the tray program.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh default
exec build/bin/harlune-kommandozentrale
