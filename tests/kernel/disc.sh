#!/usr/bin/env bash
# What a disc says about itself, read through a real kernel: Debian's kernel
# in QEMU (TCG) serves disc images with `vindral-cli serve`, and
# `vindral-cli cue`, `cdrdao read-toc` and libcdio's `cd-info` (when installed
# on the host) read each through the kernel's sr and sg drivers. Each
# program's answer becomes a list of facts — index points at disc addresses,
# ISRCs, the catalog number, CD-Text, flags, sessions — that the host compares
# with the facts the sheet states. The test fails on any difference in
# Vindral's reading; where a peer reads something otherwise, both are shown.
#
# Images (one BIN of noise; every sheet also the expected facts below):
#   disc    a hidden track before track 1's INDEX 01, pregaps, INDEX 02 and 03,
#           ISRCs, a catalog number, disc and track CD-Text, FLAGS PRE and DCP,
#           a second session with a data track
#   habits  the same disc in a drive with the habits of real drives: raw P-W
#           only, its Q one sector off, a bad Q CRC now and then, no ISRC or
#           catalog number in READ SUB-CHANNEL
#
# Usage: tests/kernel/disc.sh [BUILD_FOLDER]   (default: build in the tree)
# VINDRAL_DISC_BENCH=N adds bench/cue_bench.sh's 14-track disc and reads it N
# times with each program (no check on it); VINDRAL_DISC_WORK moves the work
# folder. Cache: as tests/kernel/run.sh (VINDRAL_KERNEL_CACHE).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
HERE=$ROOT/tests/kernel
GUEST_TIME_LIMIT=${GUEST_TIME_LIMIT:-300}
# shellcheck source=harness.sh
source "$HERE/harness.sh"

CACHE=${VINDRAL_KERNEL_CACHE:-$BUILD/kernel-test/cache}
WORK=${VINDRAL_DISC_WORK:-$BUILD/kernel-test/disc}
CLI=$BUILD/src/cli/vindral-cli
BENCH_ROUNDS=${VINDRAL_DISC_BENCH:-0}
SPEED=40 # the served drives read at 40 X, as a fast real drive
MODULES=("${SERVE_BASE_MODULES[@]}")

require_tools qemu-system-x86_64 busybox dpkg-deb apt-get
[[ -x $CLI ]] || harness_fail "build $CLI first"

test_start=$EPOCHREALTIME
mkdir -p "$CACHE" "$WORK"
kernel_fetch "$CACHE"
initramfs_base "$CACHE" "${MODULES[@]}"

# ---- the images
IMG=$WORK/root/images
rm -rf "$WORK/root" && mkdir -p "$IMG" "$WORK/root/test"
head -c $((1200 * 2352)) /dev/urandom >"$IMG/audio.bin"
head -c $((300 * 2352)) /dev/urandom >"$IMG/data.bin"
disc_sheet() { # disc_sheet REM_LINES...
    printf '%s\n' "$@"
    cat <<'CUE'
CATALOG 4006381333931
TITLE "Kernel Disc"
PERFORMER "The Testers"
SONGWRITER "Sam Writer"
REM SESSION 01
FILE "audio.bin" BINARY
  TRACK 01 AUDIO
    TITLE "Hidden Start"
    PERFORMER "Ann"
    ISRC DEABC2400001
    INDEX 00 00:00:00
    INDEX 01 00:01:00
  TRACK 02 AUDIO
    TITLE "Second"
    PERFORMER "Bob"
    FLAGS PRE
    ISRC DEABC2400002
    INDEX 00 00:04:00
    INDEX 01 00:04:40
    INDEX 02 00:06:00
    INDEX 03 00:07:10
  TRACK 03 AUDIO
    TITLE "Third"
    PERFORMER "Ann"
    SONGWRITER "Cy"
    FLAGS DCP
    INDEX 00 00:10:00
    INDEX 01 00:11:00
REM SESSION 02
FILE "data.bin" BINARY
  TRACK 04 MODE1/2352
    INDEX 01 00:00:00
CUE
}
# What the sheet says, as facts. The FILE of the first session holds the disc
# from address 0, so its times are disc addresses; the second session begins
# 11,400 sectors after the first one's lead-out (1,200 + 11,400 = 02:48:00).
EXPECTED='catalog 4006381333931
disc performer The Testers
disc songwriter Sam Writer
disc title Kernel Disc
last session starts 02:48:00
session 1 tracks 01-03
session 2 tracks 04-04
track 01 audio
track 01 flags none
track 01 index 00 00:00:00
track 01 index 01 00:01:00
track 01 isrc DEABC2400001
track 01 performer Ann
track 01 title Hidden Start
track 02 audio
track 02 flags PRE
track 02 index 00 00:04:00
track 02 index 01 00:04:40
track 02 index 02 00:06:00
track 02 index 03 00:07:10
track 02 isrc DEABC2400002
track 02 performer Bob
track 02 title Second
track 03 audio
track 03 flags DCP
track 03 index 00 00:10:00
track 03 index 01 00:11:00
track 03 performer Ann
track 03 songwriter Cy
track 03 title Third
track 04 data
track 04 index 01 02:48:00'
disc_sheet "REM a pressed disc" >"$IMG/disc.cue"
disc_sheet "REM DRIVE RAWONLY" "REM DRIVE QSHIFT 1" "REM DRIVE BADQCRC 7" \
    "REM DRIVE NOSUBCHANNELISRC" >"$IMG/habits.cue"
NAMES=(disc habits)
if ((BENCH_ROUNDS > 0)); then
    # bench/cue_bench.sh's disc: 14 tracks of 150 to 280 sectors, each after
    # a pregap of 2 s (150 sectors) but the first.
    at=0
    {
        printf 'FILE "bench.bin" BINARY\n'
        for track in $(seq 1 14); do
            printf '  TRACK %02d AUDIO\n' "$track"
            if ((track > 1)); then
                printf '    INDEX 00 %02d:%02d:%02d\n' $((at / 4500)) $((at / 75 % 60)) $((at % 75))
                at=$((at + 150))
            fi
            printf '    INDEX 01 %02d:%02d:%02d\n' $((at / 4500)) $((at / 75 % 60)) $((at % 75))
            at=$((at + 150 + track * 10))
        done
    } >"$IMG/bench.cue"
    head -c $((at * 2352)) /dev/urandom >"$IMG/bench.bin"
    NAMES+=(bench)
fi
for name in "${NAMES[@]}"; do
    "$CLI" toc --image "$IMG/$name.cue" >/dev/null || harness_fail "the $name sheet does not load"
done
echo "${NAMES[*]}" >"$IMG/names"
echo "$SPEED" >"$IMG/speed"
echo $((BENCH_ROUNDS > 0 ? BENCH_ROUNDS : 1)) >"$IMG/rounds"

# ---- the programs and the guest script
initramfs_add_program "$WORK/root" "$CLI"
cdrdao=$(command -v cdrdao || true)
cdinfo=$(command -v cd-info || true)
[[ -n $cdrdao ]] && initramfs_add_program "$WORK/root" "$cdrdao"
if [[ -n $cdinfo ]]; then
    initramfs_add_program "$WORK/root" "$cdinfo"
    # cd-info turns CD-Text into UTF-8 with iconv: its module list and the
    # modules of CD-Text's character codes (ISO 8859-1, MS-JIS)
    # (those of its own C library's architecture).
    gconv=/usr/lib/$(ldd "$cdinfo" | sed -n 's|.*=> /lib/\([^/]*\)/libc\.so\.6.*|\1|p')/gconv
    mkdir -p "$WORK/root$gconv"
    cp -r "$gconv"/gconv-modules* "$gconv/ISO8859-1.so" "$gconv/SJIS.so" "$WORK/root$gconv/"
fi
if [[ -n $cdrdao && -f /usr/share/cdrdao/drivers ]]; then
    mkdir -p "$WORK/root/usr/share/cdrdao"
    cp /usr/share/cdrdao/drivers "$WORK/root/usr/share/cdrdao/"
fi
kernel_modules "$CACHE" "$WORK/root/lib/modules" "${TARGET_MODULES[@]}"
install -m 644 "$HERE/guest/disc.sh" "$WORK/root/test/main"
initramfs_pack "$WORK/root" "$WORK/programs.cpio.gz"

echo "== booting the guest (time limit ${GUEST_TIME_LIMIT} s)"
guest_boot "$WORK/guest" "$INITRAMFS_BASE" "$WORK/programs.cpio.gz" --
STEPS_DIR=$WORK/guest/steps

check "guest finished within ${GUEST_TIME_LIMIT} s and powered off" \
    "$([[ $GUEST_STATUS == 0 ]] && echo 0 || echo 1)" "QEMU exit status $GUEST_STATUS"
if [[ $GUEST_STATUS != 0 ]]; then
    tail -n 5 "$WORK/guest/qemu.err" "$WORK/guest/console.log" "$WORK/guest/results.log" >&2
fi
nodes=$(step_out serve.nodes)
check "serve: a /dev/srN for each of the ${#NAMES[@]} images" \
    "$([[ $(grep -c ': /dev/sr[0-9]*$' <<<"$nodes") == "${#NAMES[@]}" ]] && echo 0 || echo 1)" \
    "got [$(paste -sd'|' <<<"$nodes")] [$(step_out serve.err | paste -sd'|')]"

# shellcheck source=disc_facts.sh
source "$HERE/disc_facts.sh"

# field STEP KEY: the value of the step's "KEY value" line.
field() { step_out "$1" | awk -v k="$2" '$1 == k { sub(/^[^ ]* /, ""); print; exit }'; }

# compare PROGRAM FACTS: the expected facts the program tells otherwise or
# not at all ("-"), and what it tells beyond them ("+").
compare() {
    { diff <(LC_ALL=C sort <<<"$EXPECTED") <(printf '%s\n' "$2") || true; } |
        sed -n 's/^< /  - /p; s/^> /  + /p'
}
peer_notes=()
for name in disc habits; do
    facts=$(cue_facts <<<"$(step_out "$name.cue")")
    check_eq "$name: vindral-cli cue through /dev/srN exits 0" 0 "$(field "$name.cue.1" rc)"
    differences=$(compare vindral "$facts")
    check "$name: vindral-cli cue reads what the sheet says" \
        "$([[ -z $differences ]] && echo 0 || echo 1)" "$(paste -sd'|' <<<"$differences")"
    if [[ -n $cdrdao ]]; then
        facts=$(cdrdao_facts <<<"$(step_out "$name.toc")")
        peer_notes+=("$name: cdrdao read-toc (exit $(field "$name.cdrdao.1" rc)): $(
            compare cdrdao "$facts" | wc -l) facts differ")
        peer_notes+=("$(compare cdrdao "$facts")")
    fi
    if [[ -n $cdinfo ]]; then
        facts=$(cdinfo_facts <<<"$(step_out "$name.cdinfo")")
        peer_notes+=("$name: cd-info (exit $(step_rc "$name.cdinfo")): $(
            compare cd-info "$facts" | wc -l) facts differ")
        peer_notes+=("$(compare cd-info "$facts")")
    fi
done
check_eq "habits: the drive's Q frames with a bad CRC are rejected and read again" 1 \
    "$(step_out habits.counts | awk '/^Disc: / { print ($5 > 0) }')"

echo
echo "== the peers against the sheet (- the sheet's fact they read otherwise or not, + what they read)"
printf '%s\n' "${peer_notes[@]}" | sed '/^$/d'
echo "   (cdrdao read-toc reads one session, the first; cd-info prints no pregap, index 2 or"
echo "   later, nor ISRC: those facts are missing from their answers by design)"
[[ -n $cdrdao ]] || echo "== cdrdao is not installed on the host: its column is left out"
[[ -n $cdinfo ]] || echo "== cd-info is not installed on the host: its column is left out"
echo
echo "== times at $SPEED X (seconds): program (plain: vindral-cli toc; start: vindral-cli"
echo "   --version; cdrdaostart: cdrdao's usage), disc, each reading"
for name in "${NAMES[@]}"; do
    for program in cue plain start cdrdao cdrdaostart; do
        times=$(for f in "$STEPS_DIR/$name.$program".[0-9]*; do
            if [[ -d $f ]]; then field "${f##*/}" seconds; fi
        done | paste -sd' ')
        if [[ -n $times ]]; then echo "  $program $name: $times"; fi
    done
    echo "  sectors read by vindral-cli cue on $name: $(step_out "$name.counts" | paste -sd';')"
done

test_end=$EPOCHREALTIME
echo "== times: boot ${GUEST_BOOT_S} s, run ${GUEST_RUN_S} s, power-off ${GUEST_POWEROFF_S} s," \
    "QEMU ${GUEST_TOTAL_S} s, whole test" \
    "$(awk -v a="$test_start" -v b="$test_end" 'BEGIN { printf "%.1f", b - a }') s"
echo "== guest output: $WORK/guest (console.log, results.log, timeline.log, steps/)"
checks_summary
