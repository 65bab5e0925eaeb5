#!/usr/bin/env bash
# The real-kernel test of `vindral-cli serve`: Debian's kernel in QEMU (TCG)
# with the CD-ROM drivers and the kernel's SCSI target subsystem (configfs,
# target_core_mod, target_core_user, tcm_loop). Inside the guest, serve makes
# CD-ROM drives of disc images, and vindral-cli, read_method_probe and
# cd-paranoia (when installed on the host) read them through the real sr and
# sg drivers: the drive line and tables of contents (a first-track pregap and
# a second session), byte-exact verified rips (also as an unprivileged user),
# each read method (drives that refuse READ CD, and READ CDDA too), a short
# transfer reported as such, an unreadable sector, unstable sectors,
# a read offset (seen, and corrected by --offset), a drive cache that fools a
# plain verification and that secure reading empties, Ctrl+C during a rip, a
# media change between two runs, the clean-up after SIGTERM, and a serve
# started again at once, ten times in a row (four of them while a reader
# still holds the last serve's drive). The host compares everything with the same
# images read by vindral-cli's own emulated drive and with the BIN files.
#
# Usage: tests/kernel/serve.sh [BUILD_FOLDER]   (default: build in the tree)
# Cache: as tests/kernel/run.sh (VINDRAL_KERNEL_CACHE).
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
HERE=$ROOT/tests/kernel
# shellcheck source=harness.sh
source "$HERE/harness.sh"

CACHE=${VINDRAL_KERNEL_CACHE:-$BUILD/kernel-test/cache}
WORK=$BUILD/kernel-test/serve
CLI=$BUILD/src/cli/vindral-cli
PROBE=$BUILD/tests/kernel/read_method_probe
# The base archive is the one of run.sh (so both share its cache); the
# target subsystem's modules come in the test's own archive.
MODULES=("${SERVE_BASE_MODULES[@]}")

require_tools qemu-system-x86_64 busybox dpkg-deb apt-get sha256sum
[[ -x $CLI && -x $PROBE ]] || harness_fail "build $CLI and $PROBE first"

test_start=$EPOCHREALTIME
mkdir -p "$CACHE" "$WORK"
kernel_fetch "$CACHE"
initramfs_base "$CACHE" "${MODULES[@]}"

# ---- the images: three audio tracks of 200, 150 and 250 sectors of noise
IMG=$WORK/root/images
rm -rf "$WORK/root" "$WORK/expected" && mkdir -p "$IMG" "$WORK/root/test" "$WORK/expected"
head -c $((600 * 2352)) /dev/urandom >"$IMG/multi.bin"
head -c $((300 * 2352)) /dev/urandom >"$IMG/data.bin"
three_tracks() { # three_tracks REM_LINES...
    printf '%s\n' "$@"
    printf 'FILE "multi.bin" BINARY\n'
    printf '  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n'
    printf '  TRACK 02 AUDIO\n    INDEX 01 00:02:50\n'
    printf '  TRACK 03 AUDIO\n    INDEX 01 00:04:50\n'
}
three_tracks "REM plain" >"$IMG/multi.cue"
three_tracks "REM DRIVE REFUSE READCD" >"$IMG/noreadcd.cue"
three_tracks "REM DRIVE REFUSE READCD" "REM DRIVE REFUSE READCDDA" >"$IMG/read10.cue"
three_tracks "REM DAMAGE UNREADABLE 260 2" >"$IMG/damage.cue"
three_tracks "REM DAMAGE UNSTABLE 20 1" >"$IMG/unstable.cue"
three_tracks "REM DAMAGE UNSTABLE 20 1" "REM DRIVE CACHE 300" >"$IMG/cached.cue"
three_tracks "REM DRIVE OFFSET +30" >"$IMG/offset.cue"
three_tracks "REM plain" >"$IMG/slow.cue"
three_tracks "REM plain" >"$IMG/change.cue"
three_tracks "REM DRIVE SHORTREAD READCD" >"$IMG/short.cue"
printf 'FILE "multi.bin" BINARY\n  TRACK 01 AUDIO\n    INDEX 01 00:00:00\n' >"$IMG/one.cue"
cat >"$IMG/gaps.cue" <<'CUE'
FILE "multi.bin" BINARY
  TRACK 01 AUDIO
    INDEX 00 00:00:00
    INDEX 01 00:00:32
  TRACK 02 AUDIO
    INDEX 01 00:04:50
REM SESSION 02
FILE "data.bin" BINARY
  TRACK 03 MODE1/2352
    INDEX 01 00:00:00
CUE

# ---- what the emulated drive gives without the kernel in between
host_toc() { "$CLI" toc --image "$IMG/$1.cue" 2>/dev/null; }
wav_shas() { # wav_shas FOLDER: "SHA NAME" per file, as the guest prints them
    (cd "$1" && for f in *; do echo "$(sha256sum <"$f" | cut -d' ' -f1) $f"; done)
}
host_rip() { # host_rip NAME OPTIONS...
    local name=$1
    shift
    mkdir -p "$WORK/expected/$name"
    "$CLI" rip --image "$IMG/$name.cue" --out "$WORK/expected/$name" "$@" >/dev/null 2>&1 || true
    wav_shas "$WORK/expected/$name"
}
pcm_sha() { tail -c +45 "$1" | sha256sum | cut -d' ' -f1; }
bin_sha() { # bin_sha FIRST_SECTOR SECTORS
    tail -c +$(($1 * 2352 + 1)) "$IMG/multi.bin" | head -c $(($2 * 2352)) | sha256sum | cut -d' ' -f1
}
expected_multi=$(host_rip multi --verify)
expected_track2=$(host_rip noreadcd --tracks 2 --verify)
expected_offset=$(host_rip offset --tracks 1)
# The host's own rips are the disc's bytes (and the offset's shifted ones).
check_eq "host: emulated rip of track 1 is the BIN's sectors 0-199" "$(bin_sha 0 200)" \
    "$(pcm_sha "$WORK/expected/multi/Track01.wav")"
check_eq "host: emulated rip of track 3 is the BIN's sectors 350-599" "$(bin_sha 350 250)" \
    "$(pcm_sha "$WORK/expected/multi/Track03.wav")"
check_eq "host: a read offset of +30 samples puts 120 zero bytes first" \
    "$( { head -c 120 /dev/zero; head -c $((200 * 2352 - 120)) "$IMG/multi.bin"; } |
        sha256sum | cut -d' ' -f1)" "$(pcm_sha "$WORK/expected/offset/Track01.wav")"

# ---- the programs and the guest script
initramfs_add_program "$WORK/root" "$CLI"
initramfs_add_program "$WORK/root" "$PROBE"
paranoia=$(command -v cd-paranoia || true)
[[ -n $paranoia ]] && initramfs_add_program "$WORK/root" "$paranoia"
kernel_modules "$CACHE" "$WORK/root/lib/modules" "${TARGET_MODULES[@]}"
install -m 644 "$HERE/guest/serve.sh" "$WORK/root/test/main"
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
check "serve: a /dev/srN for each of the 11 images" \
    "$([[ $(grep -c ': /dev/sr[0-9]*$' <<<"$nodes") == 11 ]] && echo 0 || echo 1)" \
    "got [$(paste -sd'|' <<<"$nodes")] [$(step_out serve.err | paste -sd'|')]"
check_contains "serve: the kernel sees a CD-ROM of vendor VINDRAL" \
    "$(awk 'NR == 1 { print $1 }' <<<"$(step_out map)") VINDRAL EMULATED CD-ROM" "$(step_out map)"
# tcm_loop puts each LUN at target 1 (its port group's number) of a host of its own.
check_eq "drives --device lists the served drive" \
    "$("$CLI" drives --image "$IMG/multi.cue" | sed 's/^ \[0:0\]/ [0:1]/')" "$(step_out multi.drives)"
check_eq "toc of a three-track disc equals the emulated drive's" "$(host_toc multi)" \
    "$(step_out multi.toc)"
check_eq "toc of a disc with a track-1 pregap and a second session" "$(host_toc gaps)" \
    "$(step_out gaps.toc)"
check_contains "toc: track 1 after its pregap of 32 sectors" "  Track 01  00:00.32  00:04.18   0.7 MB" \
    "$(step_out gaps.toc)"
check_contains "toc: the second session's data track 11,400 sectors after the first's end" \
    "  Track 03  02:40.00  00:04.00   0.7 MB  data" "$(step_out gaps.toc)"
check_eq "rip --verify of three tracks: exit 0, byte-exact" $'0\n'"$expected_multi" \
    "$(step_rc multi.rip)"$'\n'"$(step_out multi.sha)"
for drive in "multi 0" "noreadcd 1" "read10 2"; do
    set -- $drive
    check_contains "read-method probe on the $1 drive chooses method $2" "probe $2" \
        "$(step_out "$1.probe")"
done
# A drive that answers READ CD GOOD with 2048 of every 2352 bytes: the
# shortfall reaches SG_IO as a residual count through the kernel's target.
check_eq "READ CD that transfers short is status 0x40000 through the kernel" "0x40000" \
    "$(awk '$1 == "method" && $2 == 0 { print $4 }' <<<"$(step_out short.probe)")"
check_contains "and the read-method probe then chooses READ CDDA" "probe 1" "$(step_out short.probe)"
check_eq "an unprivileged user on a read-write node: rip --verify of track 1 byte-exact" \
    $'0\n'"$(grep ' Track01.wav$' <<<"$expected_multi")" "$(step_rc user.rip)"$'\n'"$(step_out user.sha)"
check_eq "drive without READ CD (READ CDDA): rip --verify of track 2 byte-exact" \
    $'0\n'"$expected_track2" "$(step_rc noreadcd.rip)"$'\n'"$(step_out noreadcd.sha)"
check_eq "drive without READ CD and READ CDDA (READ(10)): rip --verify of track 2 byte-exact" \
    $'0\n'"$expected_track2" "$(step_rc read10.rip)"$'\n'"$(step_out read10.sha)"
check_eq "an unreadable sector: exit 1, Read error (code 031100), no file" \
    $'1\nRead error (code 031100)\n' \
    "$(step_rc damage.rip)"$'\n'"$(step_out damage.rip | tail -n 1)"$'\n'"$(step_out damage.sha)"
unstable_errors=$(step_out unstable.rip | awk '/^  Errors:/ { print $2; exit }')
check "unstable sectors are caught by verification (exit 1, errors ${unstable_errors:-none})" \
    "$([[ $(step_rc unstable.rip) == 1 && ${unstable_errors:-0} -gt 0 ]] && echo 0 || echo 1)"
check_eq "a drive cache fools a plain verification: exit 0, no differing byte" \
    $'0\nTotal errors: 0 (0.00%)' \
    "$(step_rc cached.rip)"$'\n'"$(step_out cached.rip | grep '^Total errors:')"
check_contains "secure reading without emptying the cache is fooled too" \
    "  Repaired: 00:00.20 (2 readings, 2 agreed)" "$(step_out cached.nodefeat)"
check_eq "secure reading empties the cache and finds the sector suspicious (exit 1)" \
    $'1\n  Suspicious: 00:00.20 (10 readings, 1 agreed)' \
    "$(step_rc cached.secure)"$'\n'"$(step_out cached.secure | grep '^  Suspicious:')"
check_eq "a read offset of +30 samples is in the ripped PCM" "$expected_offset" \
    "$(step_out offset.sha)"
check_eq "rip --offset 30 corrects that drive: track 1 byte-exact" \
    $'0\n'"$(grep ' Track01.wav$' <<<"$expected_multi")" \
    "$(step_rc offsetfix.rip)"$'\n'"$(step_out offsetfix.sha)"
check_eq "Ctrl+C during a rip: exit 130, Canceled by user, no file left" \
    $'exit 130\nCanceled by user\nfiles: 0' "$(step_out slow.interrupt)"
check_eq "a media change between two runs: the first toc" "$(host_toc change)" \
    "$(step_out change.toc1)"
check_eq "a media change between two runs: the second toc shows the new disc" "$(host_toc one)" \
    "$(step_out change.toc2)"
if [[ -n $paranoia ]]; then
    check_eq "cd-paranoia's PCM of track 1 equals Vindral's" \
        $'exit 0\npcm '"$(pcm_sha "$WORK/expected/multi/Track01.wav")" "$(step_out paranoia)"
else
    echo "== cd-paranoia is not installed on the host: its comparison is left out"
fi
check_eq "SIGTERM ends serve (exit 0) and removes its loopback targets, backstores and drives" \
    $'exit 0\nloopback: 0\nbackstores: 0\nsr nodes: 0' "$(step_out serve.stop)"
stale=$(step_out stale)
check_eq "a killed serve leaves its loopback target and backstore" $'loopback: 1\nbackstores: 1' \
    "$(sed -n 2,3p <<<"$stale")"
check_contains "the next serve gets a drive and reads its disc" "Tracks: 3  Length: 00:08.00" "$stale"
check_contains "the next serve removed the killed one's loopback target" \
    "vindral-cli: removed /sys/kernel/config/target/loopback/naa.WWN, left by a serve that is gone" \
    "$stale"
check_contains "the next serve removed the killed one's backstore" \
    "vindral-cli: removed /sys/kernel/config/target/core/user_0/vindral-PID-0, left by a serve that is gone" \
    "$stale"
check_eq "and leaves nothing itself after SIGTERM" $'exit 0\nloopback: 0\nbackstores: 0' \
    "$(sed -n '/^exit/,/^backstores/p' <<<"$stale")"
restart=$(step_out restart)
check "serve comes up with its drive 0.3 s after the last one ended, 10 times in a row (4 times while a reader held the last one's drive)" \
    "$([[ $(grep -c '^round [0-9]*: exit 0 Tracks: 3  Length: 00:08.00$' <<<"$restart") == 10 ]] \
        && echo 0 || echo 1)" "$(paste -sd'|' <<<"$restart")"
check_eq "and the last one leaves nothing" $'loopback: 0\nbackstores: 0' "$(tail -n 2 <<<"$restart")"

test_end=$EPOCHREALTIME
echo "== times: boot ${GUEST_BOOT_S} s, run ${GUEST_RUN_S} s, power-off ${GUEST_POWEROFF_S} s," \
    "QEMU ${GUEST_TOTAL_S} s, whole test" \
    "$(awk -v a="$test_start" -v b="$test_end" 'BEGIN { printf "%.1f", b - a }') s"
echo "== guest output: $WORK/guest (console.log, results.log, timeline.log, steps/)"
checks_summary
