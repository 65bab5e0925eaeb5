# Shared by the benchmark scripts: sourced, not run.

# make_image DIR SECTORS: DIR/image.bin of random bytes (noise is as far from
# silence as audio gets) and DIR/image.cue with 10 audio tracks of equal length.
make_image() {
    local dir=$1 sectors=$2
    echo "Generating an image of $sectors sectors in $dir ..."
    head -c $((sectors * 2352)) /dev/urandom > "$dir/image.bin"
    {
        echo 'FILE "image.bin" BINARY'
        local per=$((sectors / 10)) t start
        for t in $(seq 1 10); do
            start=$(((t - 1) * per))
            printf '  TRACK %02d AUDIO\n    INDEX 01 %02d:%02d:%02d\n' "$t" \
                $((start / 4500)) $((start / 75 % 60)) $((start % 75))
        done
    } > "$dir/image.cue"
    sync
}

median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
now() { date +%s.%N; }

# time_command NAME COMMAND...: runs COMMAND $runs times into a fresh
# $work/out and prints the median seconds. A script that defines
# check_run NAME has it called after each run to check what was written.
time_command() {
    local name=$1
    shift
    local times=() _
    for _ in $(seq 1 "$runs"); do
        rm -rf "$work/out" && mkdir -p "$work/out"
        sync
        local t0 t1
        t0=$(now)
        "$@" >/dev/null 2>"$work/err" || { echo "$name failed:" >&2; cat "$work/err" >&2; exit 1; }
        t1=$(now)
        if declare -F check_run >/dev/null; then
            check_run "$name"
        fi
        times+=("$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')")
    done
    printf '%s\n' "${times[@]}" | median
}
