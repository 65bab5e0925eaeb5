# Guest side of tests/kernel/disc.sh (installed as /test/main). Serves the
# images named in /images/names with `vindral-cli serve` (at the speed in
# /images/speed) and reads what each disc says about itself through its
# /dev/srN with `vindral-cli cue`, `cdrdao read-toc` and `cd-info`, each
# reading timed. /images/rounds says how often each program reads each disc
# (the benchmark reads more than once). The host compares the answers.
. /lib/guest.sh

load_target_modules

NAMES=$(cat /images/names)
ROUNDS=$(cat /images/rounds)
args=""
drives=0
for image in $NAMES; do
    args="$args --image /images/$image.cue"
    drives=$((drives + 1))
done
# shellcheck disable=SC2086  # one word per argument
start_serve "$drives" --emulated-speed "$(cat /images/speed)" $args


# timed FILE COMMAND...: runs the command with its standard output in FILE
# and its standard error in FILE.err; prints "rc N" and "seconds S".
# (step keeps its step's name in $name: this uses its own.)
timed() {
    file=$1
    shift
    began=$(ticks)
    "$@" >"$file" 2>"$file.err"
    status=$?
    echo "rc $status"
    awk -v a="$began" -v b="$(ticks)" 'BEGIN { printf "seconds %.2f\n", (b - a) / 100 }'
}

mkdir -p /tmp/cdrdao
cd /tmp/cdrdao || exit 1
for image in $NAMES; do
    node=$(node_of "$image")
    round=1
    while [ "$round" -le "$ROUNDS" ]; do
        # Each program's first reading of a disc is the one whose answer is
        # compared; the drive has no cache of sub-channel data to warm.
        step "$image.cue.$round" timed "/tmp/$image.cue" \
            /bin/vindral-cli cue --device "$node" --prefix disc --counts
        # What every vindral-cli command costs: starting, finding the drive,
        # the table of contents.
        step "$image.plain.$round" timed /tmp/plain /bin/vindral-cli toc --device "$node"
        # And what starting each program costs, for the benchmark.
        if [ "$ROUNDS" -gt 1 ]; then
            step "$image.start.$round" timed /tmp/start /bin/vindral-cli --version
            [ -x /bin/cdrdao ] && step "$image.cdrdaostart.$round" timed /tmp/start /bin/cdrdao
        fi
        if [ -x /bin/cdrdao ]; then
            rm -f "/tmp/$image.toc"
            step "$image.cdrdao.$round" timed "/tmp/$image.cdrdao" \
                /bin/cdrdao read-toc --device "$node" --datafile disc.wav "/tmp/$image.toc"
        fi
        round=$((round + 1))
    done
    step "$image.cue" cat "/tmp/$image.cue"
    step "$image.counts" cat "/tmp/$image.cue.err"
    if [ -x /bin/cdrdao ]; then
        step "$image.toc" cat "/tmp/$image.toc"
        step "$image.cdrdao.log" cat "/tmp/$image.cdrdao.err"
    fi
    if [ -x /bin/cd-info ]; then
        step "$image.cdinfo" /bin/cd-info --no-header --no-device-info --no-cddb -C "$node"
    fi
done

kill -TERM "$serve"
wait "$serve"
step serve.err cat /tmp/serve.err
echo "@@ done $(cut -d' ' -f1 /proc/uptime)"
