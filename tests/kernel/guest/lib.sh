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
