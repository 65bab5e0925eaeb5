#!/usr/bin/env bash
# Secure reading against cd-paranoia on a real kernel: Debian's kernel in QEMU
# (TCG) serves damaged disc images with `vindral-cli serve`, and
# `vindral-cli rip --secure` and cd-paranoia (when installed on the host) read
# each through the kernel's sr driver. Every file is compared with the pressed
# audio sample by sample; for each scenario and program the test prints
# exact / wrong-and-reported / wrong-and-silent and the time. It fails when
# vindral-cli writes a wrong file and exits 0; cd-paranoia's results (an
# uncertain sector shows as a [skip] event or a non-zero exit) are reported,
# never failed on.
#
# Scenarios (one track of SECTORS sectors of noise, damage from its middle):
#   flaky       sectors wrong in a few samples on some readings
#   tries       sectors that read only after some failed tries
#   unreadable  a sector that never reads
#   unstable    sectors that read differently every time
#   cache       a flaky sector behind a drive cache
#   c2misses    flaky sectors on a drive whose C2 pointers flag nothing
#   noreadcd    flaky sectors on a drive without READ CD (READ CDDA, no C2)
#   clean       no damage (also read by a plain rip)
#
# Usage: tests/kernel/secure.sh [BUILD_FOLDER]   (default: build in the tree)
# VINDRAL_SECURE_SECTORS sets the track's length (default 300 sectors);
# VINDRAL_SECURE_REPORT_ONLY=1 prints the table without judging, and
# VINDRAL_SECURE_WORK moves the work folder (both for the benchmark).
# Cache: as tests/kernel/run.sh (VINDRAL_KERNEL_CACHE).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
HERE=$ROOT/tests/kernel
GUEST_TIME_LIMIT=${GUEST_TIME_LIMIT:-480}
# shellcheck source=harness.sh
source "$HERE/harness.sh"

CACHE=${VINDRAL_KERNEL_CACHE:-$BUILD/kernel-test/cache}
WORK=${VINDRAL_SECURE_WORK:-$BUILD/kernel-test/secure}
CLI=$BUILD/src/cli/vindral-cli
PROBE=$BUILD/tests/kernel/read_method_probe
SECTORS=${VINDRAL_SECURE_SECTORS:-300}
REPORT_ONLY=${VINDRAL_SECURE_REPORT_ONLY:-0}
MODULES=("${SERVE_BASE_MODULES[@]}")

require_tools qemu-system-x86_64 busybox dpkg-deb apt-get
[[ -x $CLI && -x $PROBE ]] || harness_fail "build $CLI and $PROBE first"
((SECTORS >= 100)) || harness_fail "VINDRAL_SECURE_SECTORS must be at least 100"

test_start=$EPOCHREALTIME
mkdir -p "$CACHE" "$WORK"
kernel_fetch "$CACHE"
initramfs_base "$CACHE" "${MODULES[@]}"

# ---- the images: one BIN of noise, a sheet per scenario and program
IMG=$WORK/root/images
rm -rf "$WORK/root" && mkdir -p "$IMG" "$WORK/root/test"
head -c $((SECTORS * 2352)) /dev/urandom >"$IMG/disc.bin"
at=$((SECTORS / 2))
declare -A DAMAGE=(
    [flaky]="REM DAMAGE FLAKY $at 4 40 SAMPLES 6"
    [tries]="REM DAMAGE UNREADABLE $at 2 4"
    [unreadable]="REM DAMAGE UNREADABLE $at 1"
    [unstable]="REM DAMAGE UNSTABLE $at 2"
    [cache]=$'REM DRIVE CACHE 64\n'"REM DAMAGE FLAKY $at 2 60 SAMPLES 6"
    [c2misses]=$'REM DRIVE C2 MISSES 100\n'"REM DAMAGE FLAKY $at 3 50 SAMPLES 6"
    [noreadcd]=$'REM DRIVE REFUSE READCD\n'"REM DAMAGE FLAKY $at 3 50 SAMPLES 6"
    [clean]="REM no damage"
)
SCENARIOS=(flaky tries unreadable unstable cache c2misses noreadcd clean)
for scenario in "${SCENARIOS[@]}"; do
    for program in v p; do
        {
            printf '%s\n' "${DAMAGE[$scenario]}"
            printf 'FILE "disc.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
        } >"$IMG/$scenario-$program.cue"
        # Each sheet loads in the emulated drive as it will in the guest.
        "$CLI" toc --image "$IMG/$scenario-$program.cue" >/dev/null ||
            harness_fail "the $scenario sheet does not load"
    done
done
echo "${SCENARIOS[*]}" >"$IMG/scenarios"
# Drives whose damaged sector read_method_probe reads with C2 pointers: every
# reading wrong in 6 samples (24 bytes), which C2 flags, misses or cannot tell.
declare -A PROBE_LINES=(
    [c2flags]="REM plain C2"
    [c2misses]="REM DRIVE C2 MISSES 100"
    [c2none]="REM DRIVE C2 NONE"
)
PROBES=(c2flags c2misses c2none)
for probe in "${PROBES[@]}"; do
    printf '%s\nREM DAMAGE FLAKY %d 1 100 SAMPLES 6\n' "${PROBE_LINES[$probe]}" "$at" >"$IMG/$probe.cue"
    printf 'FILE "disc.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n' >>"$IMG/$probe.cue"
done
echo "${PROBES[*]}" >"$IMG/probes"
echo "$at" >"$IMG/damaged"

# ---- the programs and the guest script
initramfs_add_program "$WORK/root" "$CLI"
initramfs_add_program "$WORK/root" "$PROBE"
paranoia=$(command -v cd-paranoia || true)
[[ -n $paranoia ]] && initramfs_add_program "$WORK/root" "$paranoia"
kernel_modules "$CACHE" "$WORK/root/lib/modules" "${TARGET_MODULES[@]}"
install -m 644 "$HERE/guest/secure.sh" "$WORK/root/test/main"
initramfs_pack "$WORK/root" "$WORK/programs.cpio.gz"

echo "== booting the guest: $SECTORS sectors a scenario (time limit ${GUEST_TIME_LIMIT} s)"
guest_boot "$WORK/guest" "$INITRAMFS_BASE" "$WORK/programs.cpio.gz" --
STEPS_DIR=$WORK/guest/steps

check "guest finished within ${GUEST_TIME_LIMIT} s and powered off" \
    "$([[ $GUEST_STATUS == 0 ]] && echo 0 || echo 1)" "QEMU exit status $GUEST_STATUS"
if [[ $GUEST_STATUS != 0 ]]; then
    tail -n 5 "$WORK/guest/qemu.err" "$WORK/guest/console.log" "$WORK/guest/results.log" >&2
fi
nodes=$(step_out serve.nodes)
images=$((2 * ${#SCENARIOS[@]} + ${#PROBES[@]}))
check "serve: a /dev/srN for each of the $images images" \
    "$([[ $(grep -c ': /dev/sr[0-9]*$' <<<"$nodes") == "$images" ]] && echo 0 || echo 1)" \
    "got [$(paste -sd'|' <<<"$nodes")] [$(step_out serve.err | paste -sd'|')]"
c2line() { step_out "$1.probe" | grep '^c2 ' || echo "no c2 line: $(step_err "$1.probe" | paste -sd'|')"; }
check_eq "C2 through the kernel: a reading wrong in 6 samples has its 24 bytes flagged" \
    "c2 status 0x1 sense 000000 flagged 24" "$(c2line c2flags)"
check_eq "REM DRIVE C2 MISSES 100: the same reading has none flagged" \
    "c2 status 0x1 sense 000000 flagged 0" "$(c2line c2misses)"
check_eq "REM DRIVE C2 NONE: READ CD with C2 pointers is refused 05/24/00" \
    "c2 status 0x2 sense 052400 flagged 0" "$(c2line c2none)"

# field STEP KEY: the value of the step's "KEY value" line.
field() { step_out "$1" | awk -v k="$2" '$1 == k { sub(/^[^ ]* /, ""); print; exit }'; }
# verdict STEP REPORTED: exact, wrong-and-reported or wrong-and-silent (or
# not-run) from the step's "differing" line and whether the program said so.
verdict() {
    local differing
    differing=$(field "$1" differing)
    if [[ -z $differing ]]; then
        echo not-run
    elif [[ $differing == 0 ]]; then
        echo exact
    elif [[ $2 == 1 ]]; then
        echo wrong-and-reported
    else
        echo wrong-and-silent
    fi
}
# The program's own words on the reading: vindral-cli's secure lines (the read
# method, then the closing count); cd-paranoia's events.
vindral_note() { step_out "$1" | sed -n 's/^Secure reading: //p' | paste -sd';'; }
paranoia_note() {
    step_out "$1" | awk '$1 == "events" && $2 > 0 || $1 == "said" {
        $1 = ""; printf "%s%s", sep, substr($0, 2); sep = "; " }'
}

table=()
row() { # row SCENARIO PROGRAM VERDICT SECONDS RC DIFFERING NOTE
    table+=("$(printf '%-11s %-11s %-19s %8s s  exit %-3s %-9s %s' "$@")")
}
for scenario in "${SCENARIOS[@]}"; do
    rc=$(field "$scenario.vindral" rc)
    v=$(verdict "$scenario.vindral" "$([[ ${rc:-0} != 0 ]] && echo 1 || echo 0)")
    row "$scenario" vindral "$v" "$(field "$scenario.vindral" seconds)" "${rc:--}" \
        "$(field "$scenario.vindral" differing)" "$(vindral_note "$scenario.vindral")"
    if [[ $REPORT_ONLY != 1 ]]; then
        # Secure mode: the file is exact, or the track is reported (exit 1).
        check "$scenario: rip --secure writes no wrong file with exit 0 ($v, exit ${rc:-none})" \
            "$([[ $v == exact || ($v == wrong-and-reported && $rc == 1) ]] && echo 0 || echo 1)" \
            "$(step_out "$scenario.vlog" | tail -n 12 | paste -sd'|')"
    fi
    if [[ -n $paranoia ]]; then
        rc=$(field "$scenario.paranoia" rc)
        skips=$(step_out "$scenario.paranoia" | awk '$1 == "events" && $3 == "skip" { print $2 }')
        v=$(verdict "$scenario.paranoia" "$([[ ${rc:-0} != 0 || ${skips:-0} != 0 ]] && echo 1 || echo 0)")
        row "$scenario" cd-paranoia "$v" "$(field "$scenario.paranoia" seconds)" "${rc:--}" \
            "$(field "$scenario.paranoia" differing)" "$(paranoia_note "$scenario.paranoia")"
    fi
done
row clean "plain rip" "$(verdict clean.plain "$(field clean.plain rc)")" \
    "$(field clean.plain seconds)" "$(field clean.plain rc)" "$(field clean.plain differing)" ""
if [[ $REPORT_ONLY != 1 ]]; then
    check_eq "clean: a plain rip is exact, exit 0" $'0\n0' \
        "$(field clean.plain rc)"$'\n'"$(field clean.plain differing)"
fi

echo
echo "== $SECTORS sectors a scenario, read through /dev/srN (differing: samples unlike the pressed audio)"
printf '%-11s %-11s %-19s %10s  %-8s %-9s %s\n' scenario program result time exit differing "what it said"
printf '%s\n' "${table[@]}"
[[ -n $paranoia ]] || echo "== cd-paranoia is not installed on the host: its column is left out"
echo

test_end=$EPOCHREALTIME
echo "== times: boot ${GUEST_BOOT_S} s, run ${GUEST_RUN_S} s, power-off ${GUEST_POWEROFF_S} s," \
    "QEMU ${GUEST_TOTAL_S} s, whole test" \
    "$(awk -v a="$test_start" -v b="$test_end" 'BEGIN { printf "%.1f", b - a }') s"
echo "== guest output: $WORK/guest (console.log, results.log, timeline.log, steps/)"
checks_summary
