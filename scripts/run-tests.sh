#!/usr/bin/env bash
# Sets up, builds and runs every test. Tests run offscreen in throw-away home folders.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug
export QT_QPA_PLATFORM=offscreen
ctest --preset debug -j "$(nproc)"
