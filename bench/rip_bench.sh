#!/usr/bin/env bash
# Rip throughput of vindral-cli against the physical copy (dd) and against
# cd-paranoia on a generated 74-minute image, the speed held by an emulated
# drive limited to 40 X, and the rip's peak resident memory.
#
#   bash bench/rip_bench.sh [runs]        (default 3 runs; medians are reported)
#
# Needs a build in build/ (bash scripts/setup.sh). cd-paranoia is measured when
# it is installed (Debian package cd-paranoia).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli="${VINDRAL_BUILD_DIR:-$top/build}/src/cli/vindral-cli"
runs=${1:-3}
sectors=${VINDRAL_BENCH_SECTORS:-333000}
[ -x "$cli" ] || { echo "build first: bash scripts/setup.sh" >&2; exit 1; }

work=$(mktemp -d /var/tmp/vindral-bench.XXXXXX)
trap 'rm -rf "$work"' EXIT
make_image "$work" "$sectors"

rip() { "$cli" rip --image "$work/image.cue" --out "$work/out" "$@"; }
dd_copy() { dd if="$work/image.bin" of="$work/out/copy.bin" bs=37632 status=none; }
paranoia() { (cd "$work/out" && cd-paranoia -Z -d "$work/image.cue" -B -- 1- ); }
paranoia_cmp() {
    paranoia
    local per=$((sectors / 10))
    for t in $(seq 1 10); do
        local length=$per
        [ "$t" -eq 10 ] && length=$((sectors - 9 * per))
        cmp <(tail -c +45 "$work/out/$(printf 'track%02d.cdda.wav' "$t")") \
            <(tail -c +$(((t - 1) * per * 2352 + 1)) "$work/image.bin" | head -c $((length * 2352)))
    done
}

command -v bc >/dev/null || { echo "bc is needed (apt-get install bc)" >&2; exit 1; }

declare -A seconds
seconds[rip]=$(time_command "rip" rip)
seconds[verify]=$(time_command "rip --verify" rip --verify)
seconds[dd]=$(time_command "dd" dd_copy)
if command -v cd-paranoia >/dev/null; then
    seconds[paranoia]=$(time_command "cd-paranoia" paranoia)
    seconds[paranoia_cmp]=$(time_command "cd-paranoia + cmp" paranoia_cmp)
fi

audio=$(echo "$sectors / 75" | bc -l)
report() {
    local key=$1 label=$2
    [ -n "${seconds[$key]:-}" ] || return 0
    printf '%-28s %8.2f s  %7.1f X\n' "$label" "${seconds[$key]}" \
        "$(echo "$audio / ${seconds[$key]}" | bc -l)"
}
echo
echo "Image: $sectors sectors ($(printf '%.1f' "$(echo "$audio / 60" | bc -l)") minutes), median of $runs runs"
report rip "vindral-cli rip"
report verify "vindral-cli rip --verify"
report dd "dd bs=37632"
report paranoia "cd-paranoia -Z"
report paranoia_cmp "cd-paranoia -Z + cmp"
ratio() { printf '%-40s %6.2f\n' "$1" "$(echo "$2 / $3" | bc -l)"; }
echo
ratio "rip / dd time (goal <= 2.00)" "${seconds[rip]}" "${seconds[dd]}"
if [ -n "${seconds[paranoia]:-}" ]; then
    ratio "rip / cd-paranoia time (goal <= 1.00)" "${seconds[rip]}" "${seconds[paranoia]}"
    ratio "rip --verify / (cd-paranoia + cmp) (goal <= 1.00)" "${seconds[verify]}" \
        "${seconds[paranoia_cmp]}"
fi

# Peak resident memory of a verified rip.
rm -rf "$work/out" && mkdir -p "$work/out"
/usr/bin/time -f '%M' -o "$work/rss" "$cli" rip --image "$work/image.cue" --out "$work/out" \
    --tracks 1 --verify >/dev/null
printf '%-40s %6.1f MB (goal < 40)\n' "peak resident memory, rip --verify" \
    "$(echo "$(cat "$work/rss") / 1024" | bc -l)"

# The demo disc on an emulated drive held to 40 X.
rm -rf "$work/out" && mkdir -p "$work/out"
demo_sectors=$("$cli" toc --demo | awk '/^  Track/ && !/data/ {split($4, t, "[:.]"); s += t[1]*4500 + t[2]*75 + t[3]} END {print s}')
t0=$(now)
"$cli" rip --demo --emulated-speed 40 --out "$work/out" >/dev/null
t1=$(now)
achieved=$(echo "$demo_sectors / 75 / ($t1 - $t0)" | bc -l)
printf '%-40s %6.2f X (%.1f %% of 40 X; goal >= 98 %%)\n' "demo disc at a 40 X limit" \
    "$achieved" "$(echo "$achieved * 100 / 40" | bc -l)"
