#!/usr/bin/env bash
# Sets everything up and rips the built-in demo disc: in the window when a
# display is there, otherwise with the command-line front end.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$top/scripts/setup.sh"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$top/build/src/ui/vindral" ]; then
    exec "$top/build/src/ui/vindral" --demo
fi

out="${VINDRAL_DEMO_OUT:-$top/demo-rip}"
mkdir -p "$out"
echo "No display found: ripping the demo disc with vindral-cli into $out"
exec "$top/build/src/cli/vindral-cli" rip --demo --verify --out "$out" --log "$out/status.txt"
