#!/usr/bin/env bash
# Screenshots of the graphical program on the demo disc (and on an image of
# its first track whose sheet carries CD-Text), taken under a
# private X server: the main window with tracks selected, the extraction
# dialog during a run and playing afterwards, and the about box; then the
# window with names looked up from a local MusicBrainz and the releases'
# chooser, as the window's test of the look-up draws them. Writes PNG
# files into docs/screenshots/. Needs xvfb, xauth, x11-utils, imagemagick and
# xdotool.
#
#   tools/screenshots.sh [BUILD_DIR]     (default: build)
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build}"
vindral="$build/src/ui/vindral"
vindral_cli="$build/src/cli/vindral-cli"
out="$root/docs/screenshots"
[[ -x "$vindral" ]] || { echo "screenshots: $vindral not built" >&2; exit 1; }
mkdir -p "$out"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/config/vindral" "$work/rip" "$work/runtime"
chmod 700 "$work/runtime"
# The rip goes to a temporary folder, with verify on.
cat > "$work/config/vindral/settings.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Vindral]
"value0"=hex:03,00,00,00
"value1"="$work/rip/"
REG
# The secure run: secure reading chosen, and a drive cache of 64 sectors to empty.
mkdir -p "$work/secure/vindral" "$work/damaged"
cat > "$work/secure/vindral/settings.reg" <<REG
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\Software\\Vindral]
"value0"=hex:03,00,00,00
"value1"="$work/rip/"
"secureReading"=hex:01,00,00,00
"driveCacheSectors"=hex:40,00,00,00
REG

cat > "$work/run.sh" <<'INNER'
#!/usr/bin/env bash
set -euo pipefail
vindral="$1"; out="$2"; work="$3"; vindral_cli="$4"; ui_tests="$5"
# Nothing is looked up online for these pictures.
export XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" VINDRAL_NO_METADATA=1
shot() { # name [window title]: the window with that title, else the screen
    local id=""
    if [[ -n "${2:-}" ]]; then
        id=$(xwininfo -root -tree | awk -v t="\"$2\": (" 'index($0, t) && $0 !~ /: \(\)/ {print $1; exit}')
    fi
    if [[ -n "$id" ]]; then
        /usr/bin/import -window "$id" "$out/$1.png"
    else
        /usr/bin/import -window root "$work/$1-full.png"
        /usr/bin/convert "$work/$1-full.png" -trim +repage "$out/$1.png"
    fi
}
wait_for_log() { # pattern seconds
    local i
    for ((i = 0; i < $2 * 10; i++)); do
        grep -q "$1" "$work/vindral.log" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# The main window with three tracks selected.
"$vindral" --demo --select=1,2,3 >"$work/vindral.log" 2>&1 &
pid=$!
sleep 3
shot main-window Vindral
kill "$pid"; wait "$pid" 2>/dev/null || true

# The extraction dialog during a verified run of two tracks (the drive reads
# at 8 X): extracting track 1, then verifying it (grey columns turn green),
# and once the run is over playing track 3 with the marker.
"$vindral" --demo --select=1,3 --start --play-when-done >"$work/vindral.log" 2>&1 &
pid=$!
sleep 4
shot extract-running "Extracting Tracks"
sleep 3.5
shot extract-verifying "Extracting Tracks"
shot extract-over-main
sleep 14
shot extract-finished "Extracting Tracks"
kill "$pid"; wait "$pid" 2>/dev/null || true

# A secure run over a damaged copy of the demo disc's first track: its
# columns show where sectors were repaired (blue) and where readings never
# agreed (red).
(cd "$work/damaged" && XDG_CONFIG_HOME="$work/damaged" "$vindral_cli" rip --demo --tracks 1 \
    --out "$work/damaged/" >/dev/null)
cat > "$work/damaged/damaged.cue" <<'CUE'
REM DAMAGE FLAKY 400 12 60
REM DAMAGE UNSTABLE 1300 2
REM DAMAGE FLAKY 1900 20 40
FILE "Track01.wav" WAVE
  TRACK 01 AUDIO
    INDEX 01 00:00:00
CUE
XDG_CONFIG_HOME="$work/secure" "$vindral" --image "$work/damaged/damaged.cue" --emulated-speed 8 \
    --select=1 --start >"$work/vindral.log" 2>&1 &
pid=$!
wait_for_log "Secure reading:" 60 || true
sleep 1
shot extract-secure "Extracting Tracks"
kill "$pid"; wait "$pid" 2>/dev/null || true

# The main window over an image whose sheet has CD-Text, a catalog number,
# ISRCs and a pregap with pre-emphasis (the demo disc's first track, ripped
# above, twice): the Disc Information box shows its title and performer, and
# the mouse rests on track 2 for its tooltip.
mkdir -p "$work/cdtext"
cp "$work/damaged/Track01.wav" "$work/cdtext/a.wav"
cat > "$work/cdtext/album.cue" <<'CUE'
CATALOG 0602517931596
PERFORMER "The Vindral Bells"
TITLE "Songs for a Demo Disc"
FILE "a.wav" WAVE
  TRACK 01 AUDIO
    TITLE "Bells"
    ISRC XXVND2400001
    INDEX 01 00:00:00
FILE "a.wav" WAVE
  TRACK 02 AUDIO
    TITLE "Bells Again"
    FLAGS PRE
    ISRC XXVND2400002
    INDEX 00 00:00:00
    INDEX 01 00:02:00
CUE
"$vindral" --image "$work/cdtext/album.cue" >"$work/vindral.log" 2>&1 &
pid=$!
sleep 3
main=$(xdotool search --onlyvisible --name '^Vindral$' | head -n 1)
if [[ -n "$main" ]]; then
    eval "$(xdotool getwindowgeometry --shell "$main")"
    xdotool mousemove --sync $((X + 80)) $((Y + 95))
    sleep 2
fi
shot main-window-cd-text
kill "$pid"; wait "$pid" 2>/dev/null || true

# The about box, from the main window's context menu.
"$vindral" --demo >"$work/vindral.log" 2>&1 &
pid=$!
sleep 3
main=$(xdotool search --onlyvisible --name '^Vindral$' | head -n 1)
if [[ -n "$main" ]]; then
    eval "$(xdotool getwindowgeometry --shell "$main")"
    xdotool mousemove --sync $((X + WIDTH - 40)) $((Y + HEIGHT / 2)) click 3
    sleep 0.5
    xdotool key a
    sleep 1
    shot about "About Vindral"
fi
kill "$pid"; wait "$pid" 2>/dev/null || true

# Names from MusicBrainz (a server on 127.0.0.1 that the test starts).
if [[ -x "$ui_tests" ]]; then
    VINDRAL_SCREENSHOTS="$out" QT_QPA_PLATFORM=xcb "$ui_tests" \
        lookedUpNamesFillTheListTheBoxAndTheFiles >"$work/names.log" 2>&1 ||
        cat "$work/names.log" >&2
fi
INNER
chmod +x "$work/run.sh"

xvfb-run -a -s "-screen 0 1024x768x24" "$work/run.sh" "$vindral" "$out" "$work" "$vindral_cli" \
    "$build/tests/ui/vindral_ui_main_tests"
ls -l "$out"
