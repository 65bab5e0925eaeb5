#!/usr/bin/env bash
# Rip time of the graphical program against vindral-cli on a generated
# 74-minute image (CUE + BIN of noise, which is as far from silence as audio
# gets): the extraction dialog on the offscreen platform, no verify, every
# audio track, against `vindral-cli rip --image X.cue --out DIR`. Reports the
# median of each and the ratio (goal: the dialog takes at most 1.3 times as
# long as the command line).
#
#   bash bench/ui/ui_rip_bench.sh [runs]      (default 3)
#
# VINDRAL_BUILD_DIR names the build (default build, as scripts/setup.sh makes
# it: optimised, with the graphical program); VINDRAL_BENCH_SECTORS
# the image size (default 333000).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/../lib.sh"

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build="${VINDRAL_BUILD_DIR:-$top/build}"
cli="$build/src/cli/vindral-cli"
gui="$build/src/ui/vindral"
runs=${1:-3}
sectors=${VINDRAL_BENCH_SECTORS:-333000}
for program in "$cli" "$gui"; do
    [ -x "$program" ] || { echo "not built: $program" >&2; exit 1; }
done

work=$(mktemp -d /var/tmp/vindral-ui-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
make_image "$work" "$sectors"

# The graphical program takes its folder and "no verify" from its settings.
mkdir -p "$work/config/vindral" "$work/runtime"
chmod 700 "$work/runtime"
cat > "$work/config/vindral/settings.reg" <<REG
[HKEY_LOCAL_MACHINE\\Software\\Vindral]
"value0"=hex:00,00,00,00
"value1"="$work/out/"
REG
sync

# Every run must have written the ten tracks.
check_run() {
    local files
    files=$(find "$work/out" -name '*.wav' | wc -l)
    [ "$files" -eq 10 ] || { echo "$1 wrote $files files, not 10" >&2; cat "$work/err" >&2; exit 1; }
}

cli_rip() { "$cli" rip --image "$work/image.cue" --out "$work/out"; }
gui_rip() {
    XDG_CONFIG_HOME="$work/config" XDG_RUNTIME_DIR="$work/runtime" QT_QPA_PLATFORM=offscreen \
        "$gui" --image "$work/image.cue" --select=all --start --quit-when-done
    grep -q "extraction finished" "$work/err"
}

cli_seconds=$(time_command "vindral-cli rip" cli_rip)
gui_seconds=$(time_command "vindral (extraction dialog)" gui_rip)

echo
echo "Image: $sectors sectors ($(awk -v s="$sectors" 'BEGIN {printf "%.1f", s / 4500}') minutes), median of $runs runs"
awk -v c="$cli_seconds" -v g="$gui_seconds" -v s="$sectors" 'BEGIN {
    printf "%-36s %8.2f s  %7.1f X\n", "vindral-cli rip", c, s / 75 / c
    printf "%-36s %8.2f s  %7.1f X\n", "vindral extraction dialog", g, s / 75 / g
    printf "%-36s %8.2f   (goal <= 1.30)\n", "dialog / command line", g / c
}'
