#!/usr/bin/env bash
# Sets up, builds, installs and starts Quillon. It is installed into ~/.local (the program and
# its helper in bin/, the device library in lib/), with an entry in the application menu.
# Without an iPhone at hand, point QUILLON_SIM_DEVICES at a folder of simulated devices (see
# docs/simulated-device.md).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset debug >/dev/null
cmake --build --preset debug --target Quillon QuillonHelper mobiledevice
prefix="$HOME/.local"
cmake --install build/debug --prefix "$prefix" >/dev/null
# The desktop picks the new entry and icon up now rather than at its next scan.
update-desktop-database -q "$prefix/share/applications" 2>/dev/null || true
exec "$prefix/bin/Quillon" "$@"
