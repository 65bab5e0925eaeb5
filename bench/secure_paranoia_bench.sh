#!/usr/bin/env bash
# Secure reading against cd-paranoia on a real kernel, side by side: one run of
# the guest of tests/kernel/secure.sh (Debian's kernel in QEMU, the images
# served by `vindral-cli serve`, both programs reading through /dev/srN) with
# a longer track, then per damage scenario vindral-cli's `rip --secure` time
# against cd-paranoia's, and on the undamaged disc a plain rip, a secure rip
# and cd-paranoia. Times are the guest's (QEMU under TCG: compare the columns,
# not the seconds with a real drive).
#
#   bash bench/secure_paranoia_bench.sh [SECTORS]   (default 2250: 30 s of audio)
#
# VINDRAL_BUILD_DIR names the build folder (default build). Not run as a test.
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=$(cd "${VINDRAL_BUILD_DIR:-$top/build}" && pwd)
sectors=${1:-2250}
work=$build/kernel-test/secure-bench
mkdir -p "$build/kernel-test"
command -v cd-paranoia >/dev/null || echo "cd-paranoia is not installed: its column stays empty" >&2

# The guest reads 17 times; give it about a second per 100 sectors each, and more.
VINDRAL_SECURE_SECTORS=$sectors VINDRAL_SECURE_REPORT_ONLY=1 VINDRAL_SECURE_WORK=$work \
    GUEST_TIME_LIMIT=${GUEST_TIME_LIMIT:-$((600 + sectors))} \
    bash "$top/tests/kernel/secure.sh" "$build" >"$work.log" 2>&1 || true
steps=$work/guest/steps
if ! grep -q '^PASS guest finished' "$work.log" || [[ ! -d $steps/clean.vindral ]]; then
    tail -n 30 "$work.log" >&2
    echo "the guest run failed; see $work.log" >&2
    exit 1
fi
grep '^FAIL' "$work.log" >&2 || true
# value STEP KEY: the value of the step's "KEY value" line.
value() { awk -v k="$2" '$1 == k { print $2; exit }' "$steps/$1/out" 2>/dev/null; }
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
echo "served by vindral-cli serve to the kernel in QEMU (TCG), read through /dev/srN; guest seconds"
printf '%-11s %10s %12s %10s   %-22s %s\n' scenario "--secure" cd-paranoia ratio vindral cd-paranoia
for scenario in $(cat "$work/root/images/scenarios"); do
    v=$(value "$scenario.vindral" seconds)
    p=$(value "$scenario.paranoia" seconds)
    r=$(ratio "$v" "$p")
    # A reader that gave up without a file has no time to compare with.
    [[ $(value "$scenario.paranoia" differing) == none ]] && r="-"
    printf '%-11s %10s %12s %10s   %-22s %s\n' "$scenario" "${v:--}" "${p:--}" "$r" \
        "$(result "$scenario.vindral")" "$(result "$scenario.paranoia")"
done
plain=$(value clean.plain seconds)
secure=$(value clean.vindral seconds)
echo
echo "Undamaged disc: plain rip ${plain:--} s, rip --secure ${secure:--} s ($(ratio "$secure" "$plain") x plain;" \
    "goal at most 2.1 x unconfirmed, 1.05 x confirmed), cd-paranoia $(value clean.paranoia seconds) s"
echo "(the whole run: $work.log)"
