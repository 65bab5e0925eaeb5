#!/usr/bin/env bash
# Checks the bash completion of vindral-cli: commands, options per command,
# the values of --speed, --tracks and --device, and CUE files for --image.
# Usage: completion_test.sh COMPLETION-FILE
set -uo pipefail

source "$1"
failures=0

# complete WORD... : completes the last word of "vindral-cli WORD...".
complete_line() {
    COMP_WORDS=(vindral-cli "$@")
    COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    COMPREPLY=()
    _vindral_cli 2>/dev/null
    printf '%s\n' "${COMPREPLY[@]}" | sort | tr '\n' ' ' | sed 's/ $//'
}

expect() {
    local want=$1
    shift
    local got
    got=$(complete_line "$@")
    if [ "$got" != "$want" ]; then
        echo "FAIL: vindral-cli $*<TAB> gave '$got', expected '$want'"
        failures=$((failures + 1))
    fi
}

expect '--help --version cue drives help ids log meta offset rip serve toc' ''
expect 'serve' help s
expect '--demo --emulated-speed --help --image' serve --
expect 'max' drives --emulated-speed m
expect '--help' log verify --
expect 'verify' log ''
expect 'find' offset ''
expect 'offset' help o
expect '--accuraterip-url' offset find --demo --acc
expect '--dbar --demo --device --drive' offset find --d
expect '--drive' ids --dr
expect 'rip' 'r'
expect 'toc' 'help' 't'
expect '--demo --device --drive' toc --d
expect '--demo --device' drives --de
expect '--c2 --cache-sectors --cover --coverart-url --ctdb-url --cue' rip --demo --c
expect '--release' meta --demo --rel
expect '--secure' rip --demo --sec
expect 'flac' rip --demo --format f
expect '--flac-level --format' rip --demo --f
expect '' rip --flac-level ''
expect '' rip --max-reads ''
expect '--accurate --accuraterip-url' rip --demo --acc
expect '' rip --ctdb-url ''
expect '--tracks' rip --tr
expect '1 12 16 2 32 4 8 max' rip --demo --speed ''
expect 'max' rip --speed m
expect 'all' rip --tracks ''
expect '/dev/sr1 /dev/sr10 /dev/sr11 /dev/sr12 /dev/sr13 /dev/sr14 /dev/sr15 /dev/sr16 /dev/sr17 /dev/sr18 /dev/sr19' \
    drives --device /dev/sr1
expect '' rip --prefix ''
# rip's options are not offered for toc.
expect '' toc --ver

folder=$(mktemp -d)
trap 'rm -rf "$folder"' EXIT
mkdir "$folder/album"
touch "$folder/one.cue" "$folder/TWO.CUE" "$folder/one.bin" "$folder/notes.txt"
expect "$folder/TWO.CUE $folder/album $folder/one.cue" rip --image "$folder/"
expect "$folder/album" rip --out "$folder/"
# Any file for --dbar, not only CUE sheets.
expect "$folder/one.bin $folder/one.cue" offset find --dbar "$folder/on"

if [ "$failures" -ne 0 ]; then
    echo "$failures completion check(s) failed"
    exit 1
fi
echo "bash completion: all checks passed"
