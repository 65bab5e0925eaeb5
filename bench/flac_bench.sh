#!/usr/bin/env bash
# FLAC output: vindral-cli rip --format flac (encoded on a thread of its own
# while the disc is read) against a WAV rip followed by flac -8 on its files,
# at full speed and on an emulated drive held to 40 X, on the generated
# 74-minute image of rip_bench.sh; and the files' sizes against flac -8's.
#
#   bash bench/flac_bench.sh [runs]       (default 3 runs; medians are reported)
#
# Needs a build in build/ and the flac program (Debian package flac). Every
# FLAC rip is checked: its first track decodes to the image's samples.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli="${VINDRAL_BUILD_DIR:-$top/build}/src/cli/vindral-cli"
runs=${1:-3}
sectors=${VINDRAL_BENCH_SECTORS:-333000}
[ -x "$cli" ] || { echo "build first: bash scripts/setup.sh" >&2; exit 1; }
for tool in flac bc; do
    command -v "$tool" >/dev/null || { echo "$tool is needed (apt-get install $tool)" >&2; exit 1; }
done

work=$(mktemp -d /var/tmp/vindral-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
make_image "$work" "$sectors"

rip() { "$cli" rip --image "$work/image.cue" --out "$work/out" "$@"; }
wav_then_flac() { rip "$@" && flac -8 -s "$work"/out/Track*.wav; }

# After each run: the FLAC files' total size, and track 1 decoded against
# the image.
check_run() {
    local files=("$work"/out/Track*.flac)
    [ -e "${files[0]}" ] || return 0
    stat -c %s "${files[@]}" | awk '{s += $1} END {print s}' > "$work/size.$1"
    flac -d -s -c --force-raw-format --endian=little --sign=signed "$work/out/Track01.flac" |
        cmp - <(head -c $((sectors / 10 * 2352)) "$work/image.bin") ||
        { echo "$1: track 1 does not decode to the image's samples" >&2; exit 1; }
}

declare -A seconds
seconds[flac]=$(time_command "rip --format flac" rip --format flac)
seconds[wavflac]=$(time_command "rip, then flac -8" wav_then_flac)
seconds[wav40]=$(time_command "rip at 40 X" rip --emulated-speed 40)
seconds[flac40]=$(time_command "rip --format flac at 40 X" rip --format flac --emulated-speed 40)

audio=$(echo "$sectors / 75" | bc -l)
report() {
    printf '%-36s %8.2f s  %7.1f X\n' "$2" "${seconds[$1]}" "$(echo "$audio / ${seconds[$1]}" | bc -l)"
}
echo
echo "Image: $sectors sectors ($(printf '%.1f' "$(echo "$audio / 60" | bc -l)") minutes), median of $runs runs"
report flac "vindral-cli rip --format flac"
report wavflac "vindral-cli rip, then flac -8"
report wav40 "rip at 40 X"
report flac40 "rip --format flac at 40 X"
echo
printf '%-48s %6.2f\n' "rip --format flac / (rip + flac -8) (goal <= 0.75)" \
    "$(echo "${seconds[flac]} / ${seconds[wavflac]}" | bc -l)"
printf '%-48s %6.2f %%\n' "at 40 X: rip --format flac over rip (goal <= 2 %)" \
    "$(echo "(${seconds[flac40]} / ${seconds[wav40]} - 1) * 100" | bc -l)"
ours=$(cat "$work/size.rip --format flac")
theirs=$(cat "$work/size.rip, then flac -8")
printf '%-48s %d / %d bytes (%.4f)\n' "FLAC sizes: rip --format flac / flac -8" "$ours" "$theirs" \
    "$(echo "$ours / $theirs" | bc -l)"
