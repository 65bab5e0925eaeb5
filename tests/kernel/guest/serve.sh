# Guest side of tests/kernel/serve.sh (installed as /test/main). Loads the
# CD-ROM drivers and the kernel's SCSI target subsystem (configfs, the
# user-space backend, the loopback fabric), serves the images in /images with
# `vindral-cli serve`, and reads them through the real /dev/srN nodes with
# vindral-cli, read_method_probe and cd-paranoia. The host checks the results.
. /lib/guest.sh

load_target_modules

IMAGES="multi gaps noreadcd read10 damage unstable offset slow change short cached"
# Counts of what serve makes in configfs: loopback targets, backstores.
leftovers() {
    echo "loopback: $(ls /sys/kernel/config/target/loopback | grep -c '^naa\.')"
    echo "backstores: $(ls -d /sys/kernel/config/target/core/user_*/vindral-* 2>/dev/null | wc -l)"
}

args=""
for image in $IMAGES; do
    args="$args --image /images/$image.cue"
done
# shellcheck disable=SC2086  # one word per argument
start_serve "$(echo $IMAGES | wc -w)" $args

drive_map() {
    for block in /sys/block/sr*; do
        # shellcheck disable=SC2046  # the blanks that pad the fields go
        echo "${block##*/}" $(cat "$block/device/vendor") $(cat "$block/device/model")
    done
}
step map drive_map


# rip IMAGE OPTIONS...: vindral-cli rip of the image's drive into /tmp/rip.IMAGE/,
# then "SHA-256 NAME" of each file there. (step sets $name: not used here.)
rip() {
    image=$1
    shift
    mkdir -p "/tmp/rip.$image"
    step "$image.rip" /bin/vindral-cli rip --device "$(node_of "$image")" --out "/tmp/rip.$image" "$@"
    step "$image.sha" sh -c "cd /tmp/rip.$image && for f in \$(ls); do echo \$(sha256sum <\$f | cut -d' ' -f1) \$f; done"
}

multi=$(node_of multi)
step multi.drives /bin/vindral-cli drives --device "$multi"
step multi.toc /bin/vindral-cli toc --device "$multi"
step gaps.toc /bin/vindral-cli toc --device "$(node_of gaps)"
rip multi --verify
for image in multi noreadcd read10 short; do
    step "$image.probe" /bin/read_method_probe "$(node_of "$image")" 20
done
# An unprivileged user with a read-write node reads the same bytes.
chmod 0666 "$multi"
mkdir -p /tmp/rip.user && chown user /tmp/rip.user
step user.rip as_user /bin/vindral-cli rip --device "$multi" --out /tmp/rip.user --tracks 1 --verify
step user.sha sh -c "cd /tmp/rip.user && for f in \$(ls); do echo \$(sha256sum <\$f | cut -d' ' -f1) \$f; done"
rip noreadcd --tracks 2 --verify
rip read10 --tracks 2 --verify
rip damage --tracks 2
rip unstable --tracks 1 --verify
# The same unstable sector behind a drive cache: a second reading comes from
# the cache and agrees; secure reading empties the cache first and catches it.
rip cached --tracks 1 --verify
mkdir -p /tmp/rip.nodefeat /tmp/rip.secure
step cached.nodefeat /bin/vindral-cli rip --device "$(node_of cached)" --out /tmp/rip.nodefeat \
    --tracks 1 --secure --cache-sectors 0
step cached.secure /bin/vindral-cli rip --device "$(node_of cached)" --out /tmp/rip.secure \
    --tracks 1 --secure
rip offset --tracks 1
# ... and corrected by --offset (the databases are not there: nothing listens).
mkdir -p /tmp/rip.offsetfix
step offsetfix.rip /bin/vindral-cli rip --device "$(node_of offset)" --out /tmp/rip.offsetfix \
    --tracks 1 --offset 30 --accuraterip-url http://127.0.0.1:1/ar --ctdb-url http://127.0.0.1:1
step offsetfix.sha sh -c "cd /tmp/rip.offsetfix && echo \$(sha256sum <Track01.wav | cut -d' ' -f1) Track01.wav"

# Ctrl+C during a rip at single speed: exit 130, no file left.
interrupted_rip() {
    mkdir -p /tmp/rip.slow
    /bin/vindral-cli rip --device "$(node_of slow)" --out /tmp/rip.slow --tracks 3 --speed 1 \
        >/tmp/slow.out 2>&1 &
    rip=$!
    sleep 2
    kill -INT "$rip"
    wait "$rip"
    echo "exit $?"
    tail -n 1 /tmp/slow.out
    echo "files: $(ls -A /tmp/rip.slow | wc -l)"
}
step slow.interrupt interrupted_rip

# A media change between two runs: the sheet is replaced while served.
step change.toc1 /bin/vindral-cli toc --device "$(node_of change)"
cp /images/one.cue /images/change.cue
usleep 500000
step change.toc2 /bin/vindral-cli toc --device "$(node_of change)"

# cd-paranoia reads the first track of the same drive. It guesses a drive's
# sample byte order from the audio, which noise can fool: -c states it.
if [ -x /bin/cd-paranoia ]; then
    paranoia() {
        mkdir -p /tmp/paranoia && cd /tmp/paranoia || return 1
        /bin/cd-paranoia -d "$multi" -c -Z -w 1 track01.wav >/tmp/paranoia.log 2>&1
        rc=$?
        echo "exit $rc"
        [ -f track01.wav ] && echo "pcm $(tail -c +45 track01.wav | sha256sum | cut -d' ' -f1)"
        return $rc
    }
    step paranoia paranoia
    step paranoia.log cat /tmp/paranoia.log
fi

# SIGTERM ends the serve, and what it set up is gone.
stop_serve() {
    kill -TERM "$serve"
    wait "$serve"
    echo "exit $?"
    leftovers
    echo "sr nodes: $(ls /sys/block | grep -c '^sr')"
}
step serve.stop stop_serve
step serve.err cat /tmp/serve.err

# A serve that is killed leaves its entries behind; the next one removes them.
killed_serve() {
    /bin/vindral-cli serve --image /images/one.cue >/tmp/killed.out 2>&1 &
    killed=$!
    wait_lines /tmp/killed.out 1 "$killed"
    kill -KILL "$killed"
    wait "$killed"
    echo "killed: $(cat /tmp/killed.out)"
    leftovers
    /bin/vindral-cli serve --image /images/multi.cue >/tmp/next.out 2>/tmp/next.err &
    next=$!
    wait_lines /tmp/next.out 1 "$next"
    echo "next: $(cat /tmp/next.out)"
    /bin/vindral-cli toc --device "$(sed -n 's|^/images/multi.cue: ||p' /tmp/next.out)" | tail -n 1
    kill -TERM "$next"
    wait "$next"
    echo "exit $?"
    leftovers
    sed 's/vindral-[0-9]*-/vindral-PID-/; s/naa\.56494e44[0-9a-f]*/naa.WWN/' /tmp/next.err
}
step stale killed_serve

# Stop and start again at once, ten times: 0.3 s after a serve ended, the
# next one has its drive and serves its disc. In rounds 4 to 7 a reader keeps
# the previous drive open across the stop and the next start, so the kernel
# still holds that drive's SCSI host and CD-ROM name. Each round writes new
# files: a wait on a file the last round wrote could end on its line. A start
# without its drive shows where its threads wait.
restart_loop() {
    holder=""
    for round in 1 2 3 4 5 6 7 8 9 10; do
        rm -f /tmp/loop.out /tmp/loop.err
        /bin/vindral-cli serve --image /images/multi.cue >/tmp/loop.out 2>/tmp/loop.err &
        loop=$!
        wait_lines /tmp/loop.out 1 "$loop" 20
        [ -n "$holder" ] && kill "$holder" && wait "$holder" 2>/dev/null
        holder=""
        node=$(sed -n 's|^/images/multi.cue: ||p' /tmp/loop.out)
        toc=""
        [ -n "$node" ] && toc=$(/bin/vindral-cli toc --device "$node" | tail -n 1)
        if [ -z "$node" ]; then
            echo "round $round: no drive [$(cat /tmp/loop.err)]"
            for task in /proc/"$loop"/task/*; do
                echo "  task ${task##*/}: $(cat "$task/wchan" 2>/dev/null)"
                sed 's/^/    /' "$task/stack" 2>/dev/null
            done
            dmesg | tail -n 10
        fi
        if [ -n "$node" ] && [ "$round" -ge 4 ] && [ "$round" -le 7 ]; then
            sleep 30 <"$node" &
            holder=$!
        fi
        kill -TERM "$loop"
        wait "$loop"
        echo "round $round: exit $? $toc"
        [ -n "$node" ] || break
        usleep 300000
    done
    [ -n "$holder" ] && kill "$holder"
    leftovers
}
step restart restart_loop
echo "@@ done $(cut -d' ' -f1 /proc/uptime)"
