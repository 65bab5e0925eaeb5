#!/usr/bin/env bash
# The Debian package end to end: builds it with scripts/package.sh, installs
# it with apt-get, runs the installed programs (a verified rip of the demo
# disc, vindral --version without a display, man vindral-cli), validates the
# desktop entry and the AppStream data, runs lintian (no errors allowed) and
# removes the package again, also when a step fails. Needs root.
# Usage: bash tests/package/run.sh
set -euo pipefail

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP: the package test installs a Debian package and needs root"
    exit 0
fi
if dpkg-query -W -f='${Status}' vindral 2>/dev/null | grep -q "install ok installed"; then
    echo "SKIP: a vindral package is installed already; the test would remove it"
    exit 0
fi

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
installed=no
cleanup() {
    if [ "$installed" = yes ]; then
        DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge vindral >/dev/null || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

version=$(sed -n 's/^project(Vindral VERSION \([0-9.]*\).*/\1/p' "$top/CMakeLists.txt")
deb=$(bash "$top/scripts/package.sh" "$work" | tail -n 1)
[ "$deb" = "$work/vindral_${version}_amd64.deb" ] || fail "package.sh made '$deb'"

echo "== dpkg-deb -c $(basename "$deb")"
dpkg-deb -c "$deb"
echo "== control"
dpkg-deb -f "$deb" Package Version Architecture Maintainer Section Depends Description
[ "$(dpkg-deb -f "$deb" Package)" = vindral ] || fail "package name"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version"
depends=$(dpkg-deb -f "$deb" Depends)
# Computed from the binaries: the C library and Qt's widgets at least; and
# named by the build: Qt's platform plugins and libcurl, which no binary links.
for library in libc6 libstdc++6 libqt6widgets6 libqt6multimedia6 qt6-qpa-plugins; do
    grep -q "\b$library\b" <<<"$depends" || fail "Depends lacks $library: $depends"
done
grep -Eq "(^|, )libcurl4(t64)? " <<<"$depends" || fail "Depends lacks libcurl4: $depends"
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 3 ] || fail "no long description"

echo "== apt-get install ./$(basename "$deb")"
installed=yes
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$deb" >/dev/null
dpkg-query -W -f='${Status}\n' vindral | grep -q "install ok installed" || fail "not installed"

echo "== vindral-cli rip --demo --verify"
rip=$work/rip
mkdir "$rip"
if ! (cd "$work" && /usr/bin/vindral-cli rip --demo --verify --out "$rip" >"$work/rip.log"); then
    fail "the installed vindral-cli rip failed"
fi
cat "$work/rip.log"
tracks=$(find "$rip" -name 'Track0[1-5].wav' | wc -l)
[ "$tracks" -eq 5 ] || fail "$tracks of the demo disc's 5 WAV files written"
grep -q "^5 track(s) extracted$" "$work/rip.log" || fail "the log does not end the run"
grep -q "^Total errors: 0 (0.00%)$" "$work/rip.log" || fail "the verification found differences"

echo "== vindral --version (no display)"
out=$(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb /usr/bin/vindral --version 2>&1) ||
    fail "vindral --version: $out"
echo "$out"
[ "$out" = "vindral $version" ] || fail "vindral --version said '$out'"
out=$(vindral-cli --version)
[ "$out" = "vindral-cli $version" ] || fail "vindral-cli --version said '$out'"

echo "== man vindral-cli"
page=$(MANPAGER=cat MANWIDTH=80 man vindral-cli 2>&1) || fail "man vindral-cli: $page"
head -n 12 <<<"$page"
grep -q "EXIT STATUS" <<<"$page" || fail "man vindral-cli lacks EXIT STATUS"
grep -q "REM DAMAGE UNREADABLE" <<<"$page" || fail "man vindral-cli lacks the REM lines"
MANPAGER=cat man vindral 2>&1 | grep -q "settings.reg" || fail "man vindral lacks its files"

echo "== bash completion"
bash -c 'source /usr/share/bash-completion/completions/vindral-cli && complete -p vindral-cli' ||
    fail "no completion for vindral-cli"
[ -f /usr/share/vindral/vindraldoc.htm ] || fail "the guide is not in /usr/share/vindral"

echo "== desktop-file-validate"
desktop-file-validate /usr/share/applications/org.vindral.Vindral.desktop ||
    fail "desktop-file-validate"
echo "== appstreamcli validate --no-net"
appstreamcli validate --no-net /usr/share/metainfo/org.vindral.Vindral.metainfo.xml ||
    fail "appstreamcli validate"
echo "== lintian"
lintian_out=$(lintian --fail-on error "$deb" 2>&1) || fail "lintian reports errors"
echo "$lintian_out"
if grep -q "^E: " <<<"$lintian_out"; then
    fail "lintian errors"
fi

echo "== apt-get remove vindral"
DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge vindral >/dev/null
installed=no
[ ! -e /usr/bin/vindral-cli ] || fail "vindral-cli is still there after removal"

if [ "$failures" -ne 0 ]; then
    echo "package test: $failures check(s) failed"
    exit 1
fi
echo "package test: all checks passed"
