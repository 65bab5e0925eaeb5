#!/usr/bin/env bash
# Renders the application icon at the sizes the desktop's icon theme uses,
# into hicolor/<size>x<size>/apps/. Run again after changing the SVG and commit
# the PNGs with it (rsvg-convert comes with librsvg2-bin, see scripts/setup.sh).
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
name=org.vindral.Vindral
for size in 16 22 24 32 48 64 128 256; do
    mkdir -p "$here/hicolor/${size}x${size}/apps"
    rsvg-convert -w "$size" -h "$size" "$here/$name.svg" \
        -o "$here/hicolor/${size}x${size}/apps/$name.png"
done
