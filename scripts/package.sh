#!/usr/bin/env bash
# Builds the Debian package vindral_<version>_amd64.deb with CPack from a
# build in build-package/ made with Debian's hardening flags, and leaves it in
# build-package/ (or moves it into OUTPUT-FOLDER). Prints the package's path.
# Usage: bash scripts/package.sh [OUTPUT-FOLDER]
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VINDRAL_PACKAGE_BUILD:-$top/build-package}
out=${1:-$build}
mkdir -p "$out"
out=$(cd "$out" && pwd)

for tool in cmake ninja cpack dpkg-buildflags dpkg-shlibdeps gzip; do
    if ! command -v "$tool" >/dev/null; then
        echo "error: $tool is missing (bash scripts/setup.sh installs it)" >&2
        exit 1
    fi
done

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
# The build type None adds nothing to Debian's flags (-O2, fortify, stack
# protector, relro; bindnow asked for here).
export DEB_BUILD_MAINT_OPTIONS=hardening=+bindnow
cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None \
      -DCMAKE_INSTALL_PREFIX=/usr -DVINDRAL_BUILD_TESTS=OFF "${launcher[@]}" \
      -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
      -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" >/dev/null
ninja -C "$build" -j"$(nproc)"
(cd "$build" && cpack -G DEB >/dev/null)

version=$(sed -n 's/^project(Vindral VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
deb=vindral_${version}_$(dpkg --print-architecture).deb
if [ ! -f "$build/$deb" ]; then
    echo "error: cpack made no $build/$deb" >&2
    exit 1
fi
if [ "$build" != "$out" ]; then
    mv -f "$build/$deb" "$out/$deb"
fi
echo "$out/$deb"
