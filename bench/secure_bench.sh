#!/usr/bin/env bash
# Secure reading on an emulated drive held to 40 X, against the plain rip:
# `rip --secure` on an undamaged image that the databases confirm (one
# reading; goal: at most 5 % more time) and that they do not know (two
# readings; goal: at most 2.1 times), and `rip --secure` on the same image
# with 20 FLAKY sectors at 30 % (its time and the number of re-reads). The
# databases are a python3 http.server on 127.0.0.1 serving answers built from
# a first rip's own checksums.
#
#   bash bench/secure_bench.sh [runs]     (default 3 runs; medians are reported)
#
# VINDRAL_BENCH_SECTORS sets the image size (default 22500 sectors, 5 minutes).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli="${VINDRAL_BUILD_DIR:-$top/build}/src/cli/vindral-cli"
runs=${1:-3}
sectors=${VINDRAL_BENCH_SECTORS:-22500}
[ -x "$cli" ] || { echo "build first: bash scripts/setup.sh" >&2; exit 1; }
command -v bc >/dev/null || { echo "bc is needed (apt-get install bc)" >&2; exit 1; }

command -v python3 >/dev/null || { echo "python3 is needed" >&2; exit 1; }

work=$(mktemp -d /var/tmp/vindral-bench.XXXXXX)
trap stop_answer_server_and_clean EXIT
export XDG_CACHE_HOME="$work/cache"
make_image "$work" "$sectors"
start_answer_server
mkdir -p "$work/first"
"$cli" rip --image "$work/image.cue" --out "$work/first" --accurate "${urls[@]}" >/dev/null
make_answers "$work/first/Track.log"
rm -rf "$work/first"

# The damaged copy: 20 flaky sectors spread over the disc, a few at track edges.
{
    per=$((sectors / 10))
    for i in $(seq 0 19); do
        if [ $((i % 4)) -eq 0 ]; then
            at=$(((i / 4 + 1) * per - 1)) # the last sector of a track
        else
            at=$((i * sectors / 20 + 37))
        fi
        echo "REM DAMAGE FLAKY $at 1 30"
    done
    cat "$work/image.cue"
} > "$work/damaged.cue"

rip() { "$cli" rip --emulated-speed 40 --out "$work/out" "$@"; }

check_run() {
    # Every track file holds its sectors of the image exactly.
    local per=$((sectors / 10)) t length
    for t in $(seq 1 10); do
        length=$per
        [ "$t" -eq 10 ] && length=$((sectors - 9 * per))
        cmp -s <(tail -c +45 "$work/out/$(printf 'Track%02d.wav' "$t")") \
            <(tail -c +$(((t - 1) * per * 2352 + 1)) "$work/image.bin" | head -c $((length * 2352))) ||
            { echo "$1: track $t differs from the image" >&2; exit 1; }
    done
}

plain=$(time_command "rip" rip --image "$work/image.cue")
confirmed=$(time_command "rip --secure (confirmed)" rip --image "$work/image.cue" --secure \
    --accurate "${urls[@]}")
secure=$(time_command "rip --secure" rip --image "$work/image.cue" --secure)
damaged=$(time_command "rip --secure (damaged)" rip --image "$work/damaged.cue" --secure)
rm -rf "$work/out" && mkdir -p "$work/out"
summary=$(rip --image "$work/damaged.cue" --secure | grep '^Secure reading:')

audio=$(echo "$sectors / 75" | bc -l)
echo
echo "Image: $sectors sectors ($(printf '%.1f' "$(echo "$audio / 60" | bc -l)") minutes), emulated drive held to 40 X, median of $runs runs"
printf '%-40s %8.2f s\n' "rip" "$plain"
printf '%-40s %8.2f s  (%+.1f %%; goal <= +5 %%)\n' "rip --secure, confirmed by the databases" \
    "$confirmed" "$(echo "($confirmed - $plain) * 100 / $plain" | bc -l)"
printf '%-40s %8.2f s  (%.2f x; goal <= 2.1 x)\n' "rip --secure, not in the databases" "$secure" \
    "$(echo "$secure / $plain" | bc -l)"
printf '%-40s %8.2f s  (%+.1f %%)\n' "rip --secure, 20 FLAKY sectors at 30 %" "$damaged" \
    "$(echo "($damaged - $plain) * 100 / $plain" | bc -l)"
echo "  $summary"
