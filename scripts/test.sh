#!/usr/bin/env bash
# Sets everything up and runs every test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
bash "$top/scripts/setup.sh"

# The Windows build: cross-compiled with mingw-w64, its tests run under Wine.
bash "$top/tests/wine/run.sh" "$top/build-wine"
# The 32-bit Windows build, the one that ships, in a 32-bit Wine prefix (only
# built and its exports checked where the kernel runs no 32-bit programs).
bash "$top/tests/wine/run.sh" i686 "$top/build-wine-i686"

# The fuzz targets (clang, sanitizers) for 20 s each (FUZZ_SECONDS), so that
# the whole run stays within 20 minutes on two cores; any crash fails the tests.
FUZZ_SECONDS=${FUZZ_SECONDS:-20} bash "$top/tests/fuzz/run.sh" "$top/build-fuzz"

export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$top/build" -j"$(nproc)" --output-on-failure --timeout 600

# The real-kernel drive test: Debian's kernel in QEMU with IDE, AHCI and
# virtio-scsi CD-ROM drives (downloads the kernel package once into build/).
bash "$top/tests/kernel/run.sh" "$top/build"
# The same kernel serving disc images through its SCSI target (vindral-cli serve):
# rips, read methods, damage, offset, Ctrl+C, media change, cd-paranoia, clean-up.
bash "$top/tests/kernel/serve.sh" "$top/build"
# Secure reading against cd-paranoia on seven damaged discs served to that kernel:
# never a wrong file with exit 0; both programs' results and times are printed.
bash "$top/tests/kernel/secure.sh" "$top/build"
# What a disc says about itself (index points, a hidden track, ISRCs, catalog
# number, CD-Text, flags, sessions) read through that kernel by vindral-cli cue,
# cdrdao and cd-info, each compared with the sheet; only Vindral's differences fail.
bash "$top/tests/kernel/disc.sh" "$top/build"

# The Debian package: built, installed, run, validated and removed (as root).
bash "$top/tests/package/run.sh"
