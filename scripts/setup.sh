#!/usr/bin/env bash
# Installs the Debian packages Vindral needs (only those missing) and builds
# it into build/. Safe to run again and again.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
packages=(g++ cmake ninja-build pkg-config libgtest-dev libgmock-dev
          qt6-base-dev qt6-multimedia-dev libqt6multimedia6 fonts-dejavu-core
          xvfb xauth x11-utils imagemagick xdotool pulseaudio
          g++-mingw-w64-x86-64-posix wine wine64 bc time cd-paranoia)
packages+=(qemu-system-x86 busybox-static genisoimage)  # the real-kernel drive test (tests/kernel)
packages+=(cdrdao libcdio-utils)  # the peers that read a served disc's index points, codes and CD-Text (tests/kernel/disc.sh)
packages+=(dpkg-dev file desktop-file-utils appstream lintian man-db librsvg2-bin)  # the Debian package, its validators, the icon's PNGs
packages+=(clang libclang-rt-14-dev)  # fuzz build: clang, libFuzzer and the sanitizer runtimes
packages+=(zlib1g-dev nettle-dev libpugixml-dev)  # checksums, disc IDs and database answers
packages+=(libcurl4-openssl-dev)  # database look-ups over HTTP (src/net)
packages+=(nlohmann-json3-dev)  # MusicBrainz answers (src/metadata): a header-only JSON parser
packages+=(libflac-dev flac)  # FLAC files: libFLAC writes and reads them; flac and metaflac check them in the tests
packages+=(g++-mingw-w64-i686-posix wine32:i386)  # the 32-bit Windows build and its Wine
# wine32 comes from the i386 side of the archive: enable it once, before the
# package lists are read, so that wine32 is installed in the same apt-get run
# as everything else (it may bring the amd64 Wine packages to its version).
if ! dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed" &&
   ! dpkg --print-foreign-architectures | grep -qx i386 && [ "$(id -u)" -eq 0 ]; then
    dpkg --add-architecture i386
fi

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
        echo "error: installing packages needs root (run as root or with sudo)" >&2
        exit 1
    fi
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

cmake -S "$top" -B "$top/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVINDRAL_WERROR=ON >/dev/null
ninja -C "$top/build" -j"$(nproc)"
