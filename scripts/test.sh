#!/usr/bin/env bash
# Sets everything up and runs every test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$top/scripts/setup.sh"

# The Windows build: cross-compiled with mingw-w64, its tests run under Wine.
bash "$top/tests/wine/run.sh" "$top/build-wine"
# The 32-bit Windows build, the one that ships, in a 32-bit Wine prefix.
bash "$top/tests/wine/run.sh" i686 "$top/build-wine-i686"

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$top/build" -j"$(nproc)" --output-on-failure --timeout 600
