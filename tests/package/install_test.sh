#!/usr/bin/env bash
# Installs a build into a temporary prefix with cmake --install and checks
# what a desktop user gets: the programs, the guide where the help lookup
# finds it, manual pages, bash completion, desktop entry, icons and AppStream
# data; and that --help and --version of both programs work without a display.
# Usage: install_test.sh CMAKE BUILD-DIR VINDRAL-CLI [VINDRAL]
set -uo pipefail

cmake=$1
build=$2
cli=$3
gui=${4:-}
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
if ! "$cmake" --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1; then
    cat "$prefix.log"
    rm -f "$prefix.log"
    echo "FAIL: cmake --install"
    exit 1
fi
rm -f "$prefix.log"

id=org.vindral.Vindral
expected=(bin/vindral-cli share/man/man1/vindral-cli.1.gz
          share/bash-completion/completions/vindral-cli
          share/doc/vindral/copyright share/doc/vindral/changelog.gz)
if [ -n "$gui" ]; then
    expected+=(bin/vindral share/vindral/vindraldoc.htm share/man/man1/vindral.1.gz
               share/applications/$id.desktop share/metainfo/$id.metainfo.xml
               share/icons/hicolor/scalable/apps/$id.svg)
    for size in 16 22 24 32 48 64 128 256; do
        expected+=(share/icons/hicolor/${size}x${size}/apps/$id.png)
    done
fi
for file in "${expected[@]}"; do
    [ -f "$prefix/$file" ] || fail "$file is not installed"
done
[ -x "$prefix/bin/vindral-cli" ] || fail "bin/vindral-cli is not executable"

# Each PNG is the size its folder names.
for png in "$prefix"/share/icons/hicolor/*x*/apps/$id.png; do
    [ -f "$png" ] || continue
    size=$(basename "$(dirname "$(dirname "$png")")")
    if command -v file >/dev/null; then
        file "$png" | grep -q "PNG image data, ${size/x/ x }," || fail "$png: $(file -b "$png")"
    fi
done

version=$(sed -n 's/^project(Vindral VERSION \([0-9.]*\).*/\1/p' \
          "$(dirname "$0")/../../CMakeLists.txt")
[ -n "$version" ] || fail "no version in CMakeLists.txt"

# --version and --help without any display.
nodisplay=(env -u DISPLAY -u WAYLAND_DISPLAY QT_QPA_PLATFORM=xcb)
out=$("${nodisplay[@]}" "$prefix/bin/vindral-cli" --version)
[ "$out" = "vindral-cli $version" ] || fail "vindral-cli --version said '$out'"
out=$("${nodisplay[@]}" "$prefix/bin/vindral-cli" rip --help)
grep -q -- "--speed X" <<<"$out" || fail "vindral-cli rip --help lacks --speed: $out"
# libcurl (and the thirty libraries it needs) is opened by the first look-up:
# starting a program never loads it.
for program in "$prefix/bin/vindral-cli" ${gui:+"$prefix/bin/vindral"}; do
    if ldd "$program" | grep -q libcurl; then
        fail "$(basename "$program") links libcurl"
    fi
done
if [ -n "$gui" ]; then
    out=$("${nodisplay[@]}" "$prefix/bin/vindral" --version 2>&1)
    status=$?
    [ "$status" -eq 0 ] && [ "$out" = "vindral $version" ] ||
        fail "vindral --version without a display: status $status, '$out'"
    out=$("${nodisplay[@]}" "$prefix/bin/vindral" --help 2>&1)
    grep -q -- "--image FILE.cue" <<<"$out" || fail "vindral --help: '$out'"
    cmp -s "$prefix/share/vindral/vindraldoc.htm" "$(dirname "$0")/../../res/vindraldoc.htm" ||
        fail "the installed guide differs from res/vindraldoc.htm"
fi

# The manual pages render without a warning and carry the version.
if command -v man >/dev/null; then
    for page in "$prefix"/share/man/man1/*.1.gz; do
        warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 man --warnings -E UTF-8 -l -Tutf8 -Z \
                   "$page" 2>&1 >/dev/null)
        [ -z "$warnings" ] || fail "$(basename "$page"): $warnings"
        text=$(MANPAGER=cat MANWIDTH=80 man -l "$page" 2>/dev/null)
        grep -q "Vindral $version" <<<"$text" || fail "$(basename "$page") lacks 'Vindral $version'"
        for section in OPTIONS "EXIT STATUS" FILES "REM DAMAGE UNREADABLE" \
                       "REM DAMAGE UNSTABLE" settings.reg; do
            grep -q "$section" <<<"$text" || fail "$(basename "$page") lacks '$section'"
        done
    done
fi

# The desktop files pass their validators when these are installed.
if [ -n "$gui" ]; then
    grep -qx "Exec=vindral" "$prefix/share/applications/$id.desktop" ||
        fail "the desktop entry does not open vindral"
    grep -qx "Icon=$id" "$prefix/share/applications/$id.desktop" || fail "desktop entry icon"
    grep -q "<id>$id</id>" "$prefix/share/metainfo/$id.metainfo.xml" || fail "metainfo id"
    grep -q "<release version=\"$version\"" "$prefix/share/metainfo/$id.metainfo.xml" ||
        fail "metainfo release is not $version"
    if command -v desktop-file-validate >/dev/null; then
        desktop-file-validate "$prefix/share/applications/$id.desktop" || fail "desktop-file-validate"
    fi
    if command -v appstreamcli >/dev/null; then
        appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" ||
            fail "appstreamcli validate"
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures install check(s) failed"
    exit 1
fi
echo "install layout: all checks passed"
