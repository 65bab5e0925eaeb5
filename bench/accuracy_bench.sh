#!/usr/bin/env bash
# What the accuracy checks cost and save:
#  1. a verified rip of a disc the databases confirm, --verify=auto against
#     --verify, on an emulated drive held to 40 X (goal: at most 0.55 of the
#     time);
#  2. the checksums and the look-up on the 74-minute image: rip --accurate
#     against a plain rip (goal: under 5 %), on a drive held to 40 X (one
#     run each, about 2 minutes a run) and at the image's full speed, where
#     nothing but the processor limits the rip.
# The databases are a python3 http.server on 127.0.0.1 serving answers built
# from a first rip's own checksums.
#
#   bash bench/accuracy_bench.sh [runs]   (default 3 runs; medians are reported)
#
# VINDRAL_BENCH_SECTORS sizes the 74-minute image (333000), and
# VINDRAL_BENCH_AUTO_SECTORS the image of the 40 X comparison (90000, 20 minutes).
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cli="${VINDRAL_BUILD_DIR:-$top/build}/src/cli/vindral-cli"
runs=${1:-3}
sectors=${VINDRAL_BENCH_SECTORS:-333000}
auto_sectors=${VINDRAL_BENCH_AUTO_SECTORS:-90000}
[ -x "$cli" ] || { echo "build first: bash scripts/setup.sh" >&2; exit 1; }
command -v python3 >/dev/null || { echo "python3 is needed" >&2; exit 1; }

work=$(mktemp -d /var/tmp/vindral-accuracy-bench.XXXXXX)
trap stop_answer_server_and_clean EXIT
export XDG_CACHE_HOME="$work/cache"

start_answer_server

# check_run NAME: every accurate rip must have found the disc confirmed.
check_run() {
    case $1 in
    *accurate* | *auto*)
        grep -q '^Accuracy: 10 of 10 track(s) accurate' "$work/out.txt" ||
            { echo "$1: the disc was not confirmed" >&2; cat "$work/out.txt" >&2; exit 1; } ;;
    esac
}
rip() { "$cli" rip --image "$work/image.cue" --out "$work/out" "$@" >"$work/out.txt"; }

# 1. --verify=auto against --verify at 40 X.
mkdir -p "$work/auto"
make_image "$work/auto" "$auto_sectors"
mkdir -p "$work/first"
"$cli" rip --image "$work/auto/image.cue" --out "$work/first" --accurate "${urls[@]}" >/dev/null
make_answers "$work/first/Track.log"
rm -rf "$work/first" "$XDG_CACHE_HOME"
declare -A seconds
cp "$work/auto/image.bin" "$work/auto/image.cue" "$work/"
seconds[verify]=$(time_command "rip --verify at 40 X" rip --emulated-speed 40 --verify)
seconds[auto]=$(time_command "rip --verify=auto at 40 X" rip --emulated-speed 40 --verify=auto "${urls[@]}")
rm -f "$work/image.bin" "$work/image.cue" "$work/auto/image.bin"

# 2. The checksums' cost on the 74-minute image, at full speed.
make_image "$work" "$sectors"
rm -rf "$work/db/accuraterip" "$work/db/lookup2.php" "$XDG_CACHE_HOME"
mkdir -p "$work/first"
"$cli" rip --image "$work/image.cue" --out "$work/first" --accurate "${urls[@]}" >/dev/null
make_answers "$work/first/Track.log"
rm -rf "$work/first"
seconds[plain]=$(time_command "rip" rip)
seconds[accurate]=$(time_command "rip --accurate" rip --accurate "${urls[@]}")
saved_runs=$runs
runs=1
seconds[plain40]=$(time_command "rip at 40 X" rip --emulated-speed 40)
seconds[accurate40]=$(time_command "rip --accurate at 40 X" rip --emulated-speed 40 --accurate "${urls[@]}")
runs=$saved_runs

echo
printf 'Verified rip of a confirmed %d-sector disc at a 40 X limit, median of %d runs\n' \
    "$auto_sectors" "$runs"
printf '%-40s %8.2f s\n' "rip --verify" "${seconds[verify]}"
printf '%-40s %8.2f s\n' "rip --verify=auto" "${seconds[auto]}"
printf '%-40s %8.2f (goal <= 0.55)\n' "--verify=auto / --verify" \
    "$(echo "${seconds[auto]} / ${seconds[verify]}" | bc -l)"
cost() { echo "($2 - $1) * 100 / $1" | bc -l; }
echo
printf 'Checksums on the %d-sector image at a 40 X limit, one run each\n' "$sectors"
printf '%-40s %8.2f s\n' "rip" "${seconds[plain40]}"
printf '%-40s %8.2f s\n' "rip --accurate" "${seconds[accurate40]}"
printf '%-40s %8.1f %% (goal < 5 %%)\n' "cost of the checksums" \
    "$(cost "${seconds[plain40]}" "${seconds[accurate40]}")"
echo
printf 'Checksums on the %d-sector image at full speed, median of %d runs\n' "$sectors" "$runs"
printf '%-40s %8.2f s\n' "rip" "${seconds[plain]}"
printf '%-40s %8.2f s\n' "rip --accurate" "${seconds[accurate]}"
printf '%-40s %8.1f %%\n' "cost of the checksums" "$(cost "${seconds[plain]}" "${seconds[accurate]}")"
