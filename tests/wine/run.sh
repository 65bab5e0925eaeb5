#!/usr/bin/env bash
# Cross-builds Vindral for Windows with mingw-w64 and runs the Windows build's
# tests under Wine, for one width: i686 (32-bit, the build that ships, in a
# 32-bit Wine prefix) or x86_64 (64-bit):
#   1. GoogleTest from /usr/src/googletest, built with the same tool chain;
#   2. the program itself (vindral-cli.exe, no Qt front end);
#   3. tests/wine: the fake-system tests of the Windows backends, and the ASPI
#      backend against the test wnaspi32.dll that serves the emulated drive;
#   4. vindral-cli.exe end to end over that wnaspi32.dll: the drive list, the
#      table of contents and a verified rip that must equal a rip of the same
#      disc without ASPI.
# Usage: tests/wine/run.sh [x86_64|i686] [BUILD_FOLDER]
#   The width defaults to x86_64; the build folder to build-wine (x86_64) or
#   build-wine-i686 (i686) in the tree. A single argument that is not a width
#   is the build folder of the x86_64 build.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
WIDTH=x86_64
if [[ ${1:-} == x86_64 || ${1:-} == i686 ]]; then
    WIDTH=$1
    shift
fi
case $WIDTH in
x86_64)
    BUILD=${1:-$ROOT/build-wine}
    TRIPLET=x86_64-w64-mingw32
    WINE_PACKAGES=(g++-mingw-w64-x86-64-posix wine wine64)
    WINEARCH=win64
    ;;
i686)
    BUILD=${1:-$ROOT/build-wine-i686}
    TRIPLET=i686-w64-mingw32
    WINE_PACKAGES=(g++-mingw-w64-i686-posix wine wine32:i386)
    WINEARCH=win32
    ;;
esac
JOBS=${JOBS:-2}
TOOLCHAIN=$ROOT/cmake/mingw-w64-$WIDTH.cmake

fail() {
    echo "tests/wine/run.sh ($WIDTH): $*" >&2
    exit 1
}

# ---- what the machine must have ------------------------------------------------
missing=()
for package in "${WINE_PACKAGES[@]}" googletest cmake ninja-build; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done
if ((${#missing[@]} > 0)); then
    fail "missing Debian packages: ${missing[*]} (apt-get install ${missing[*]})"
fi
command -v "$TRIPLET-g++-posix" >/dev/null || fail "$TRIPLET-g++-posix not found"
WINE=$(command -v wine || command -v wine64) || fail "wine not found"
# Some virtual machines' kernels run 64-bit user code only: there, starting
# an i386 program fails with ENOEXEC (the shell's status 126). Wine's 32-bit
# loader is then of no use: the 64-bit build runs under wine64 itself, and
# the 32-bit build can only be built.
runs_32bit() {
    local status=0
    /lib/ld-linux.so.2 --version >/dev/null 2>&1 || status=$?
    [[ -e /lib/ld-linux.so.2 && $status -ne 126 ]]
}
RUN_TESTS=1
if ! runs_32bit; then
    if [[ $WIDTH == x86_64 && -x /usr/lib/wine/wine64 ]]; then
        WINE=/usr/lib/wine/wine64
        export WINELOADER=$WINE
    elif [[ $WIDTH == i686 ]]; then
        RUN_TESTS=0
    fi
fi
[[ -f /usr/src/googletest/CMakeLists.txt ]] || fail "/usr/src/googletest is missing"

mkdir -p "$BUILD"
BUILD=$(cd "$BUILD" && pwd)

# ---- 1. GoogleTest for mingw ------------------------------------------------------
GTEST_PREFIX=$BUILD/googletest-prefix
if [[ ! -f $GTEST_PREFIX/lib/cmake/GTest/GTestConfig.cmake ]]; then
    echo "== GoogleTest (mingw-w64, $WIDTH)"
    cmake -S /usr/src/googletest -B "$BUILD/googletest" -G Ninja \
        -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_INSTALL_PREFIX="$GTEST_PREFIX" -DBUILD_GMOCK=ON >/dev/null
    ninja -C "$BUILD/googletest" -j"$JOBS" install >/dev/null
fi

# ---- 2. the program ------------------------------------------------------------------
echo "== vindral (mingw-w64, $WIDTH, no Qt front end)"
cmake -S "$ROOT" -B "$BUILD/main" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DVINDRAL_BUILD_UI=OFF -DVINDRAL_BUILD_TESTS=OFF -DVINDRAL_WERROR=ON >/dev/null
ninja -C "$BUILD/main" -j"$JOBS"

# ---- 3. the Windows tests ---------------------------------------------------------------
echo "== tests/wine ($WIDTH)"
cmake -S "$ROOT/tests/wine" -B "$BUILD/tests" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$TOOLCHAIN" \
    -DCMAKE_PREFIX_PATH="$GTEST_PREFIX" -DVINDRAL_WERROR=ON >/dev/null
ninja -C "$BUILD/tests" -j"$JOBS"

if ((RUN_TESTS == 0)); then
    # What can be checked without running it: the test ASPI manager exports
    # the two entry points by their plain names (__cdecl), while the
    # deliberate __stdcall probe beside them carries the decoration this
    # check would catch.
    exports=$("$TRIPLET-objdump" -p "$BUILD/tests/wnaspi32.dll" |
        sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p')
    for name in GetASPI32SupportInfo SendASPI32Command; do
        grep -Eq "\] $name\$" <<<"$exports" || fail "wnaspi32.dll does not export $name by its plain name"
    done
    grep -q '\] VindralTestAspiStdcallProbe@4$' <<<"$exports" ||
        fail "the __stdcall probe is not decorated: the export check proves nothing"
    echo "== wnaspi32.dll exports GetASPI32SupportInfo and SendASPI32Command undecorated"
    echo "== tests/wine ($WIDTH): built, NOT RUN: this machine's kernel does not run 32-bit"
    echo "   programs (IA-32 emulation is off), so no 32-bit Wine can start here"
    exit 0
fi

WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/vindral-wine.XXXXXX")
OUT=$(mktemp -d "${TMPDIR:-/tmp}/vindral-wine-out.XXXXXX")
cleanup() {
    WINEPREFIX=$WINEPREFIX wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX" "$OUT"
}
trap cleanup EXIT
export WINEPREFIX WINEARCH WINEDEBUG=-all WINEDLLOVERRIDES=wnaspi32=n

echo "== vindral_wine_tests.exe (Wine)"
(cd "$BUILD/tests" && timeout 600 "$WINE" ./vindral_wine_tests.exe) ||
    fail "the Windows tests failed under Wine"

# ---- 4. the command-line front end over the test ASPI manager -----------------------------
echo "== vindral-cli.exe over the test wnaspi32.dll (Wine)"
cd "$BUILD/tests"
drives=$(timeout 120 "$WINE" ./vindral-cli.exe drives | tr -d '\r')
echo "$drives"
grep -q '^ \[0:0\]  VINDRAL' <<<"$drives" || fail "vindral-cli drives did not list the drive"
timeout 120 "$WINE" ./vindral-cli.exe toc | tr -d '\r' >"$OUT/toc-aspi.txt"
timeout 120 "$WINE" ./vindral-cli.exe toc --demo | tr -d '\r' >"$OUT/toc-demo.txt"
cmp "$OUT/toc-aspi.txt" "$OUT/toc-demo.txt" || fail "the table of contents differs over ASPI"

mkdir -p "$OUT/aspi" "$OUT/demo"
winpath() { echo "Z:${1//\//\\}\\"; }
timeout 300 "$WINE" ./vindral-cli.exe rip --tracks 1,2 --verify --prefix T \
    --out "$(winpath "$OUT/aspi")" >/dev/null || fail "vindral-cli rip over ASPI failed"
timeout 300 "$WINE" ./vindral-cli.exe rip --demo --emulated-speed 100 --tracks 1,2 --prefix T \
    --out "$(winpath "$OUT/demo")" >/dev/null || fail "vindral-cli rip --demo failed"
for track in T01.wav T02.wav; do
    [[ -s $OUT/aspi/$track ]] || fail "$track was not written over ASPI"
    cmp "$OUT/aspi/$track" "$OUT/demo/$track" || fail "$track over ASPI differs from the disc"
done
# The Windows build's files equal those of the native build, when there is one.
NATIVE_CLI=${VINDRAL_NATIVE_CLI:-$ROOT/build/src/cli/vindral-cli}
if [[ -x $NATIVE_CLI ]]; then
    mkdir -p "$OUT/native"
    "$NATIVE_CLI" rip --demo --speed max --tracks 1,2 --prefix T --out "$OUT/native" >/dev/null ||
        fail "the native vindral-cli rip failed"
    for track in T01.wav T02.wav; do
        cmp "$OUT/aspi/$track" "$OUT/native/$track" ||
            fail "$track of the Windows build differs from the native build's"
    done
    echo "== the Windows build's WAV files equal the native build's"
fi
echo "== all Windows tests passed ($WIDTH)"
