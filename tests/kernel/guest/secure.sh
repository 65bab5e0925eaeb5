# Guest side of tests/kernel/secure.sh (installed as /test/main). Serves two
# drives of each damaged image in /images (NAME-v.cue for vindral-cli,
# NAME-p.cue for cd-paranoia, so that neither reads a disc the other has
# already worn or a drive whose cache the other has filled) and one of each
# C2 probe image in /images/probes (read by read_method_probe), reads each
# through its /dev/srN with `vindral-cli rip --secure` and with cd-paranoia,
# and reports for each reading its exit status, its time and how many of its
# samples differ from the pressed audio (/images/disc.bin). The host judges.
. /lib/guest.sh

load_target_modules

SCENARIOS=$(cat /images/scenarios)
PROBES=$(cat /images/probes)
args=""
drives=0
for scenario in $SCENARIOS; do
    args="$args --image /images/$scenario-v.cue --image /images/$scenario-p.cue"
    drives=$((drives + 2))
done
for probe in $PROBES; do
    args="$args --image /images/$probe.cue"
    drives=$((drives + 1))
done
# shellcheck disable=SC2086  # one word per argument
start_serve "$drives" $args

seconds_since() { awk -v a="$1" -v b="$(ticks)" 'BEGIN { printf "%.2f", (b - a) / 100 }'; }

# differing WAV: "differing N" (samples that are not the pressed ones),
# "differing size" when the audio has another length, "differing none"
# when there is no file.
differing() {
    if [ ! -f "$1" ]; then
        echo "differing none"
        return
    fi
    tail -c +45 "$1" >/tmp/audio.pcm
    if [ "$(wc -c </tmp/audio.pcm)" != "$(wc -c </images/disc.bin)" ]; then
        echo "differing size"
        return
    fi
    echo "differing $(cmp -l /tmp/audio.pcm /images/disc.bin |
        awk '{ s = int(($1 - 1) / 4); if (s != last) { n++; last = s } } END { print n + 0 }')"
    rm -f /tmp/audio.pcm
}

# vindral NAME DRIVE OPTIONS...: one rip of the drive's disc.
# (step keeps its step's name in $name: these use $label.)
vindral() {
    label=$1
    drive=$2
    shift 2
    rm -rf "/tmp/v.$label" && mkdir -p "/tmp/v.$label"
    start=$(ticks)
    /bin/vindral-cli rip --device "$(node_of "$drive")" --out "/tmp/v.$label" \
        --accuraterip-url http://127.0.0.1:1/ar --ctdb-url http://127.0.0.1:1 "$@" \
        >"/tmp/v.$label.log" 2>&1
    rc=$?
    echo "seconds $(seconds_since "$start")"
    echo "rc $rc"
    differing "/tmp/v.$label/Track01.wav"
    rm -rf "/tmp/v.$label" # the memory is the guest's disk
    grep -E '^(Secure reading:|  (Suspicious|Unreadable|Repaired|Confirmed):)' "/tmp/v.$label.log" |
        head -n 6
}

# paranoia NAME DRIVE: cd-paranoia's reading of track 1 (-c: noise can fool
# its guess of the byte order; -e: a line on standard error for each event).
paranoia() {
    label=$1
    rm -rf "/tmp/p.$label" && mkdir -p "/tmp/p.$label"
    start=$(ticks)
    /bin/cd-paranoia -d "$(node_of "$2")" -c -e -w 1 "/tmp/p.$label/track01.wav" \
        >/dev/null 2>"/tmp/p.$label.log"
    rc=$?
    echo "seconds $(seconds_since "$start")"
    echo "rc $rc"
    differing "/tmp/p.$label/track01.wav"
    rm -rf "/tmp/p.$label"
    for event in skip scratch "transport error" "scratch repair" correction; do
        echo "events $(grep -c "\[$event\]" "/tmp/p.$label.log") $event"
    done
    # Its own message when it gives up, e.g. "006: Could not read any data from drive".
    [ "$rc" = 0 ] || grep -E '^[0-9][0-9][0-9]: ' "/tmp/p.$label.log" | tail -n 1 | sed 's/^/said /'
}

# The C2 habits as the kernel passes them on: the damaged sector read with
# its C2 error pointers.
for probe in $PROBES; do
    step "$probe.probe" /bin/read_method_probe "$(node_of "$probe")" "$(cat /images/damaged)"
done

for scenario in $SCENARIOS; do
    step "$scenario.vindral" vindral "$scenario" "$scenario-v" --secure
    step "$scenario.vlog" cat "/tmp/v.$scenario.log"
    if [ -x /bin/cd-paranoia ]; then
        step "$scenario.paranoia" paranoia "$scenario" "$scenario-p"
        step "$scenario.plog" sh -c "grep -v '\[\(read\|verify\|wrote\)\]' /tmp/p.$scenario.log | tail -n 20"
    fi
    # The undamaged disc is read plainly too, for the times of both ways.
    if [ "$scenario" = clean ]; then
        step clean.plain vindral plain clean-v
    fi
done

kill -TERM "$serve"
wait "$serve"
step serve.err cat /tmp/serve.err
echo "@@ done $(cut -d' ' -f1 /proc/uptime)"
