# Helpers for the guest scripts of the real-kernel tests (sourced from
# /lib/guest.sh). Everything is written to standard output, which /init
# sends to the host.

# load_modules NAME...: insmod /lib/modules/NAME.ko in the given order.
load_modules() {
    for module in "$@"; do
        if ! insmod "/lib/modules/$module.ko"; then
            echo "@@ insmod $module failed"
            return 1
        fi
    done
}

# wait_for PATH [SECONDS]: waits until PATH exists (default 20 s).
wait_for() {
    tries=$(( ${2:-20} * 10 ))
    while [ ! -e "$1" ] && [ "$tries" -gt 0 ]; do
        usleep 100000
        tries=$((tries - 1))
    done
    [ -e "$1" ] || echo "@@ timed out waiting for $1"
}

# step NAME COMMAND [ARG...]: runs the command and sends its standard output,
# standard error and exit status as "@@<TAB>NAME<TAB>out|err|rc<TAB>text"
# lines, which the host splits into one folder per step.
step() {
    name=$1
    shift
    "$@" >/tmp/step.out 2>/tmp/step.err
    rc=$?
    awk -v p="@@\t$name\tout\t" '{ print p $0 }' /tmp/step.out
    awk -v p="@@\t$name\terr\t" '{ print p $0 }' /tmp/step.err
    printf '@@\t%s\trc\t%s\n' "$name" "$rc"
}

# as_user COMMAND [ARG...]: runs the command as the unprivileged 'user'
# (uid 1000, in no group with device access). Arguments must not hold blanks.
as_user() {
    su -s /bin/sh user -c "$*"
}

# load_target_modules: the CD-ROM drivers and the kernel's SCSI target
# subsystem (in the order of the modules' dependencies), with configfs
# mounted, for `vindral-cli serve`.
load_target_modules() {
    load_modules scsi_common scsi_mod cdrom sr_mod sg
    load_modules configfs crct10dif_common crct10dif_generic crc-t10dif target_core_mod uio \
        target_core_user tcm_loop
    mount -t configfs configfs /sys/kernel/config
    echo "@@ modules loaded $(cut -d' ' -f1 /proc/uptime)"
}

# wait_lines FILE COUNT PID [SECONDS]: until FILE has COUNT lines, PID ends, or
# SECONDS (default 60) pass.
wait_lines() {
    tries=$(( ${4:-60} * 10 ))
    while [ "$(cat "$1" 2>/dev/null | wc -l)" -lt "$2" ] && kill -0 "$3" 2>/dev/null && [ "$tries" -gt 0 ]; do
        usleep 100000
        tries=$((tries - 1))
    done
}

# start_serve DRIVES ARG...: `vindral-cli serve ARG...` in the background
# ($serve its process), its node lines in /tmp/serve.out; waits until DRIVES
# drives are served, then reports them as the step serve.nodes.
start_serve() {
    drives=$1
    shift
    /bin/vindral-cli serve "$@" >/tmp/serve.out 2>/tmp/serve.err &
    serve=$!
    wait_lines /tmp/serve.out "$drives" "$serve"
    echo "@@ serving $(cut -d' ' -f1 /proc/uptime)"
    step serve.nodes cat /tmp/serve.out
}

# node_of NAME: the device node that serves /images/NAME.cue.
node_of() { sed -n "s|^/images/$1.cue: ||p" /tmp/serve.out; }

# Hundredths of a second since boot (the guest's clock follows the host's).
ticks() { awk '{ printf "%d", $1 * 100 }' /proc/uptime; }
