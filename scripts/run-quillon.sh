#!/usr/bin/env bash
# Sets up, builds and starts Quillon. Without an iPhone at hand, point QUILLON_SIM_DEVICES
# at a folder of simulated devices (see docs/simulated-device.md).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug --target Quillon
exec build/debug/bin/Quillon "$@"
