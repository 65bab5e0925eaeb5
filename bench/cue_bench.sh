#!/usr/bin/env bash
# What the disc says about itself, read through a real kernel: `vindral-cli
# cue` against `cdrdao read-toc` (which also finds pregaps, index points, ISRCs
# and the catalog number) on the same drive, a 14-track disc with a pregap of
# 2 s before every track but the first, served by `vindral-cli serve` held to
# 40 X in tests/kernel/disc.sh's guest (Debian's kernel in QEMU). Goal: at most
# half of cdrdao's time, with the same answers. Also the sectors vindral-cli
# reads per track and the commands it sends (cue --counts), and its time on
# the emulated drive without the kernel in between.
#
#   bash bench/cue_bench.sh [runs]     (default 5 readings each; medians are reported)
#
# QEMU emulates the processor (TCG): the guest's times are those of a slow
# machine, the same for both programs.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${VINDRAL_BUILD_DIR:-$top/build}
cli=$build/src/cli/vindral-cli
runs=${1:-5}
[ -x "$cli" ] || { echo "build first: bash scripts/setup.sh" >&2; exit 1; }
command -v cdrdao >/dev/null || { echo "cdrdao is needed (bash scripts/setup.sh installs it)" >&2; exit 1; }

work=$(mktemp -d /var/tmp/vindral-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
log=$build/kernel-test/cue_bench.log # the guest test's own report, kept
mkdir -p "$(dirname "$log")"
VINDRAL_DISC_BENCH=$runs VINDRAL_DISC_WORK=$work bash "$top/tests/kernel/disc.sh" "$build" \
    >"$log" 2>&1 || { cat "$log" >&2; echo "the guest test failed" >&2; exit 1; }
steps=$work/guest/steps
source "$top/tests/kernel/disc_facts.sh"

# times PROGRAM: the seconds of each reading of the bench disc.
times() {
    for dir in "$steps/bench.$1".[0-9]*; do
        awk '$1 == "seconds" { print $2 }' "$dir/out"
    done
}
median() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

cue_s=$(times cue | median)
plain_s=$(times plain | median)
start_s=$(times start | median)
cdrdao_start_s=$(times cdrdaostart | median)
cdrdao_s=$(times cdrdao | median)
# The same answers: index points, ISRCs, catalog number, flags of both.
same=$(diff <(cue_facts <"$steps/bench.cue/out" | grep -v '^last session') \
    <(cdrdao_facts <"$steps/bench.toc/out") && echo yes || echo no)
ratio=$(awk -v a="$cue_s" -v b="$cdrdao_s" 'BEGIN { printf "%.2f", a / b }')

# Without the kernel: the emulated drive itself at 40 X.
host=$(for _ in $(seq 1 "$runs"); do
    start=$EPOCHREALTIME
    "$cli" cue --image "$work/root/images/bench.cue" --emulated-speed 40 >/dev/null
    awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f\n", b - a }'
done | median)

echo "14-track disc with pregaps, drive held to 40 X, $runs readings each (medians)"
printf '  %-44s %8s s   (%s)\n' "vindral-cli cue through the kernel" "$cue_s" "$(times cue | paste -sd' ')"
printf '  %-44s %8s s   (%s)\n' "of which vindral-cli toc (start, drive, TOC)" "$plain_s" "$(times plain | paste -sd' ')"
printf '  %-44s %8s s   (%s)\n' "of which starting (vindral-cli --version)" "$start_s" "$(times start | paste -sd' ')"
printf '  %-44s %8s s   (%s)\n' "cdrdao read-toc through the kernel" "$cdrdao_s" "$(times cdrdao | paste -sd' ')"
printf '  %-44s %8s s   (%s)\n' "of which starting (cdrdao's usage)" "$cdrdao_start_s" "$(times cdrdaostart | paste -sd' ')"
printf '  %-44s %8s     (goal: at most 0.50)\n' "vindral-cli / cdrdao" "$ratio"
printf '  %-44s %8s\n' "the same without starting either program" \
    "$(awk -v a="$cue_s" -v b="$start_s" -v c="$cdrdao_s" -v d="$cdrdao_start_s" \
        'BEGIN { printf "%.2f", (a - b) / (c - d) }')"
printf '  %-44s %8s\n' "the same index points, ISRCs, catalog, flags" "$same"
printf '  %-44s %8s s\n' "vindral-cli cue on the emulated drive alone" "$host"
echo "  sectors read and commands sent by vindral-cli cue:"
sed 's/^/    /' "$steps/bench.counts/out"
[ "$same" = yes ] || diff <(cue_facts <"$steps/bench.cue/out") <(cdrdao_facts <"$steps/bench.toc/out") || true
