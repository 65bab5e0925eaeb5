#!/usr/bin/env bash
# Secure reading against cd-paranoia on a real kernel, side by side: runs of
# the guest of tests/kernel/secure.sh (Debian's kernel in QEMU, the images
# served by `vindral-cli serve`, both programs reading through /dev/srN) with
# a longer track, then per damage scenario vindral-cli's `rip --secure` time
# against cd-paranoia's, and on the undamaged disc a plain rip, a secure rip
# and cd-paranoia. Times are the guest's (QEMU under TCG: compare the columns,
# not the seconds with a real drive).
#
#   bash bench/secure_paranoia_bench.sh [SECTORS] [RUNS]
#       (default 2250 sectors, 30 s of audio, and 3 guest runs; the times are
#       the medians of the runs, the results those of the first run, and a
#       run whose result differs from the first is named below the table)
#
# VINDRAL_BUILD_DIR names the build folder (default build). On a busy host
# the seconds vary from run to run; GUEST_QEMU_OPTIONS="-icount shift=0,sleep=off"
# makes the guest's clock count its instructions (1 ns each), so that the
# times are the same on any host, however busy (and say nothing of the cost of
# emulating each instruction). Not run as a test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${VINDRAL_BUILD_DIR:-$top/build}" && pwd)
sectors=${1:-2250}
work=$build/kernel-test/secure-bench
mkdir -p "$build/kernel-test"
command -v cd-paranoia >/dev/null || echo "cd-paranoia is not installed: its column stays empty" >&2

runs=${2:-3}
# The guest reads 17 times; give it about a second per 100 sectors each, and more.
for ((run = 1; run <= runs; run++)); do
    VINDRAL_SECURE_SECTORS=$sectors VINDRAL_SECURE_REPORT_ONLY=1 VINDRAL_SECURE_WORK=$work \
        GUEST_TIME_LIMIT=${GUEST_TIME_LIMIT:-$((600 + sectors))} \
        bash "$top/tests/kernel/secure.sh" "$build" >"$work.log" 2>&1 || true
    if ! grep -q '^PASS guest finished' "$work.log" || [[ ! -d $work/guest/steps/clean.vindral ]]; then
        tail -n 30 "$work.log" >&2
        echo "guest run $run failed; see $work.log" >&2
        exit 1
    fi
    grep '^FAIL' "$work.log" >&2 || true
    rm -rf "$work.steps.$run" && cp -r "$work/guest/steps" "$work.steps.$run"
done
steps=$work.steps.1
# value STEP KEY: the value of the step's "KEY value" line in the first run;
# seconds STEP: the median of its seconds over the runs.
value() { awk -v k="$2" '$1 == k { print $2; exit }' "$steps/$1/out" 2>/dev/null; }
seconds() {
    local run
    for ((run = 1; run <= runs; run++)); do
        awk '$1 == "seconds" { print $2; exit }' "$work.steps.$run/$1/out" 2>/dev/null
    done | sort -n | awk '{ v[NR] = $1 } END { if (NR) print v[int((NR + 1) / 2)] }'
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a != "" && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'; }
result() { # result STEP: exact, or the differing samples and the exit status
    local d
    d=$(value "$1" differing)
    case $d in
    "") echo "-" ;;
    0) echo "exact" ;;
    none) echo "no file, exit $(value "$1" rc)" ;;
    *) echo "wrong $d, exit $(value "$1" rc)" ;;
    esac
}

echo
echo "Secure reading against cd-paranoia: $sectors sectors ($(awk -v s="$sectors" 'BEGIN { printf "%.1f", s / 75 }') s of audio) a scenario,"
echo "served by vindral-cli serve to the kernel in QEMU (TCG), read through /dev/srN; guest seconds, median of $runs runs"
printf '%-11s %10s %12s %10s   %-22s %s\n' scenario "--secure" cd-paranoia ratio vindral cd-paranoia
for scenario in $(cat "$work/root/images/scenarios"); do
    v=$(seconds "$scenario.vindral")
    p=$(seconds "$scenario.paranoia")
    r=$(ratio "$v" "$p")
    # A reader that gave up without a file has no time to compare with.
    [[ $(value "$scenario.paranoia" differing) == none ]] && r="-"
    printf '%-11s %10s %12s %10s   %-22s %s\n' "$scenario" "${v:--}" "${p:--}" "$r" \
        "$(result "$scenario.vindral")" "$(result "$scenario.paranoia")"
done
plain=$(seconds clean.plain)
secure=$(seconds clean.vindral)
echo
echo "Undamaged disc: plain rip ${plain:--} s, rip --secure ${secure:--} s ($(ratio "$secure" "$plain") x plain;" \
    "goal at most 2.1 x unconfirmed, 1.05 x confirmed), cd-paranoia $(seconds clean.paranoia) s"
# Results that differ between the runs.
for ((run = 2; run <= runs; run++)); do
    for step in "$steps"/*.vindral "$steps"/*.paranoia; do
        name=${step##*/}
        for key in differing rc; do
            first=$(value "$name" "$key")
            other=$(awk -v k="$key" '$1 == k { print $2; exit }' "$work.steps.$run/$name/out" 2>/dev/null)
            [[ $first == "$other" ]] || echo "run $run: $name $key $other (first run: $first)"
        done
    done
done
echo "($runs guest runs; the last one: $work.log)"
