#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, address and undefined-behaviour
# sanitizers over the library) into build-fuzz/ and runs each one on a copy
# of its seed corpus, so that the repository's corpus stays as it is.
# Prints the coverage libFuzzer reached; fails on any crash, leak or
# undefined behaviour (the input that caused it is kept and named).
#
#   bash tests/fuzz/run.sh [BUILD_DIR]      FUZZ_SECONDS=30 per target
set -euo pipefail

top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$top/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=(cue_fuzz toc_fuzz answer_fuzz)

launcher=()
if command -v ccache >/dev/null; then
    launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S "$top" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DVINDRAL_WERROR=ON -DVINDRAL_BUILD_UI=OFF -DVINDRAL_BUILD_TESTS=OFF -DVINDRAL_FUZZ=ON \
    "${launcher[@]}" >/dev/null
ninja -C "$build" -j"$(nproc)" "${targets[@]}"

work=$(mktemp -d "${TMPDIR:-/tmp}/vindral-fuzz.XXXXXX")
keep=0
cleanup() { if [ "$keep" -eq 0 ]; then rm -rf "$work"; fi; }
trap cleanup EXIT

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

failed=()
summary=()
for target in "${targets[@]}"; do
    corpus=$work/$target-corpus
    mkdir -p "$corpus" "$work/$target-artifacts"
    cp "$top/tests/fuzz/corpus/${target%_fuzz}/"* "$corpus/"
    log=$work/$target.log
    echo "== $target: ${seconds} s on $(ls "$corpus" | wc -l) seeds"
    status=0
    "$build/tests/fuzz/$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$work/$target-artifacts/" "$corpus" >"$log" 2>&1 || status=$?
    # The last status line holds the coverage: "#N DONE cov: N ft: N corp: ...".
    last=$(grep -E '^#[0-9]+.*cov: [0-9]+ ft: [0-9]+' "$log" | tail -n 1 || true)
    figures=$(sed -nE 's/.*(cov: [0-9]+ ft: [0-9]+ corp: [^ ]+).*exec\/s: ([0-9]+).*/\1 exec\/s: \2/p' \
        <<<"$last")
    if [ "$status" -ne 0 ] ||
        grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|SUMMARY: ' "$log" ||
        [ -n "$(ls -A "$work/$target-artifacts")" ]; then
        failed+=("$target")
        keep=1
        echo "$target FAILED (exit status $status); its log:" >&2
        grep -vE '^#[0-9]+ ' "$log" | tail -n 60 >&2
        echo "inputs that failed: $(ls -d "$work/$target-artifacts/"* 2>/dev/null || echo none)" >&2
        echo "log: $log" >&2
    fi
    summary+=("$target: ${figures:-no coverage line}")
done

echo "== coverage after ${seconds} s each"
printf '%s\n' "${summary[@]}"
if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing found faults in: ${failed[*]}" >&2
    exit 1
fi
