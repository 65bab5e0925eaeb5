# shellcheck shell=bash disable=SC2034  # the GUEST_* results are read by the tests
# The real-kernel test harness, sourced by the tests in this folder.
#
# A test boots Debian's own kernel in qemu-system-x86_64 (TCG) with a small
# initramfs: busybox, the kernel modules it names, the programs it adds (with
# their shared libraries) and a guest script. The guest's /init (guest/init)
# mounts the usual file systems, runs the guest script with its output on the
# second serial port, and powers the machine off. Guest scripts report through
# guest/lib.sh's `step`, whose lines the host splits into one folder per step
# (stdout, stderr, exit status); the checks below turn them into PASS/FAIL
# lines and the closing 'N passed, M failed' line.
#
# Functions:
#   kernel_fetch CACHE                  the kernel package and its kernel (KERNEL_IMAGE)
#   kernel_modules CACHE DEST NAME...   copies NAME.ko (decompressed) into DEST
#   initramfs_base CACHE MODULE...      cached base archive (busybox, modules,
#                                       init, guest library): sets INITRAMFS_BASE
#   initramfs_add_program ROOT FILE     FILE into ROOT/bin, stripped, with its libraries
#   initramfs_pack ROOT OUT             ROOT as a compressed newc archive
#   guest_boot OUT_DIR INITRD... -- QEMU_ARGS...
#                                       boots, times the boot, splits the steps
#   check / check_eq / check_contains   PASS/FAIL lines and the counters
#   checks_summary                      the closing line; non-zero when a check failed
#
# Everything downloaded or built once lives in CACHE (default
# build/kernel-test/cache), so repeated runs neither download nor rebuild it.

KERNEL_HARNESS_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
# Per boot: the time limit in seconds, the memory in MiB, kernel arguments
# added to the harness's own, and QEMU options added to its own (words; e.g.
# "-icount shift=0,sleep=off": the guest's clock counts its instructions, so
# its times do not depend on how busy the host is).
GUEST_TIME_LIMIT=${GUEST_TIME_LIMIT:-120}
GUEST_MEMORY=${GUEST_MEMORY:-512}
GUEST_APPEND=${GUEST_APPEND:-}
GUEST_QEMU_OPTIONS=${GUEST_QEMU_OPTIONS:-}

harness_fail() {
    echo "tests/kernel: $*" >&2
    exit 1
}

# The linux-image-*-amd64 package that linux-image-amd64 depends on.
kernel_package_name() {
    apt-cache depends linux-image-amd64 2>/dev/null |
        awk '$1 == "Depends:" && $2 ~ /^linux-image-.*-amd64$/ { print $2; exit }'
}

# Downloads the package NAME into DIR; false when apt-get cannot.
kernel_download() {
    local name=$1 dir=$2 tmp
    tmp=$(mktemp -d "$dir/download.XXXXXX")
    chmod 755 "$tmp" # apt-get download hands the file to the _apt user where it can
    if (cd "$tmp" && apt-get download "$name" >/dev/null 2>&1); then
        mv "$tmp"/*.deb "$dir/"
        rm -rf "$tmp"
        return 0
    fi
    rm -rf "$tmp"
    return 1
}

# Unpacks the ELF kernel from an xz-compressed bzImage (Debian's amd64
# kernels): the xz stream from its magic on, which the image's own tail follows.
kernel_unpack() {
    local image=$1 out=$2 offset
    offset=$(LC_ALL=C grep -obUaP '\xfd7zXZ\x00' "$image" | head -n 1 | cut -d: -f1)
    [[ -n $offset ]] || return 1
    tail -c +"$((offset + 1))" "$image" | xz -dc >"$out.tmp" 2>/dev/null || true
    [[ $(head -c 4 "$out.tmp" | od -An -tx1 | tr -d ' ') == 7f454c46 ]] || {
        rm -f "$out.tmp"
        return 1
    }
    mv "$out.tmp" "$out"
}

# Sets KERNEL_PACKAGE, KERNEL_DEB, KERNEL_IMAGE and KERNEL_MODULE_DIR;
# downloads the package into CACHE/kernel the first time (after apt-get
# update when the package lists are missing or out of date) and drops the
# cache of any other kernel package.
kernel_fetch() {
    local cache=$1 name dir updated=0
    name=$(kernel_package_name)
    if [[ -z $name ]]; then
        apt-get update -qq >/dev/null || harness_fail "apt-get update failed"
        updated=1
        name=$(kernel_package_name)
    fi
    [[ -n $name ]] || harness_fail "no linux-image-*-amd64 package behind linux-image-amd64"
    dir=$cache/kernel/$name
    mkdir -p "$dir"
    KERNEL_DEB=$(find "$dir" -maxdepth 1 -name "${name}_*.deb" | head -n 1)
    if [[ -z $KERNEL_DEB ]]; then
        echo "== downloading $name"
        if ! kernel_download "$name" "$dir"; then
            ((updated == 0)) || harness_fail "apt-get download $name failed"
            apt-get update -qq >/dev/null || harness_fail "apt-get update failed"
            rm -rf "$dir"
            name=$(kernel_package_name)
            [[ -n $name ]] || harness_fail "no linux-image-*-amd64 package behind linux-image-amd64"
            dir=$cache/kernel/$name
            mkdir -p "$dir"
            kernel_download "$name" "$dir" || harness_fail "apt-get download $name failed"
        fi
        KERNEL_DEB=$(find "$dir" -maxdepth 1 -name "${name}_*.deb" | head -n 1)
    fi
    find "$cache/kernel" -mindepth 1 -maxdepth 1 ! -name "$name" -exec rm -rf {} +
    KERNEL_PACKAGE=$name
    if [[ ! -s $dir/vmlinuz ]]; then
        local tmp
        tmp=$(mktemp -d "$dir/extract.XXXXXX")
        dpkg-deb --fsys-tarfile "$KERNEL_DEB" | tar -x -C "$tmp" --wildcards './boot/vmlinuz-*'
        mv "$tmp"/boot/vmlinuz-* "$dir/vmlinuz" && rm -rf "$tmp"
    fi
    # Under TCG the boot stub's decompression takes seconds: QEMU boots the
    # decompressed ELF kernel directly (PVH entry) when it can be unpacked.
    if [[ ! -s $dir/vmlinux ]]; then
        kernel_unpack "$dir/vmlinuz" "$dir/vmlinux" || rm -f "$dir/vmlinux"
    fi
    KERNEL_IMAGE=$dir/vmlinuz
    [[ -s $dir/vmlinux ]] && KERNEL_IMAGE=$dir/vmlinux
    KERNEL_MODULE_DIR=$dir/modules
    mkdir -p "$KERNEL_MODULE_DIR"
}

# Copies the named modules (file names without .ko) into DEST, extracting
# from the package those not yet in the cache. Call kernel_fetch first.
kernel_modules() {
    local cache=$1 dest=$2
    shift 2
    local missing=() name
    for name in "$@"; do
        [[ -f $KERNEL_MODULE_DIR/$name.ko ]] || missing+=("$name")
    done
    if ((${#missing[@]} > 0)); then
        local tmp patterns=()
        tmp=$(mktemp -d "$cache/modules.XXXXXX")
        for name in "${missing[@]}"; do
            patterns+=("*/$name.ko" "*/$name.ko.xz" "*/$name.ko.zst")
        done
        dpkg-deb --fsys-tarfile "$KERNEL_DEB" |
            tar -x -C "$tmp" --wildcards "${patterns[@]}" 2>/dev/null || true
        for name in "${missing[@]}"; do
            local file
            file=$(find "$tmp" -name "$name.ko*" | head -n 1)
            [[ -n $file ]] || harness_fail "module $name is not in $KERNEL_PACKAGE"
            case $file in
            *.xz) xz -dc "$file" >"$KERNEL_MODULE_DIR/$name.ko" ;;
            *.zst) zstd -qdc "$file" >"$KERNEL_MODULE_DIR/$name.ko" ;;
            *) cp "$file" "$KERNEL_MODULE_DIR/$name.ko" ;;
            esac
        done
        rm -rf "$tmp"
    fi
    mkdir -p "$dest"
    for name in "$@"; do
        cp "$KERNEL_MODULE_DIR/$name.ko" "$dest/"
    done
}

# Packs ROOT into OUT (gzip-compressed newc, every file owned by root). The
# kernel unpacks several such archives given one after the other.
initramfs_pack() {
    local root=$1 out=$2
    chmod 755 "$root" # a mktemp -d root is 0700: nobody but root could reach /bin
    (cd "$root" && find . | LC_ALL=C sort | busybox cpio -o -H newc -R 0:0 2>/dev/null) |
        gzip -1 >"$out.tmp"
    mv "$out.tmp" "$out"
}

# Copies FILE (stripped) to ROOT/bin and the shared libraries it needs to
# their own paths under ROOT.
initramfs_add_program() {
    local root=$1 file=$2
    mkdir -p "$root/bin"
    local target
    target=$root/bin/$(basename "$file")
    cp "$file" "$target"
    strip --strip-debug "$target" 2>/dev/null || true
    local lib
    for lib in $(ldd "$file" 2>/dev/null | grep -o '/[^ ]*'); do
        if [[ ! -e $root$lib ]]; then
            mkdir -p "$root$(dirname "$lib")"
            cp -L "$lib" "$root$lib"
        fi
    done
}

# Builds (once) the base archive: busybox with its applets, /init, the guest
# library, /etc/passwd with root and an unprivileged 'user' (uid 1000), and
# the given modules in /lib/modules. Sets INITRAMFS_BASE.
initramfs_base() {
    local cache=$1
    shift
    local key
    key=$( {
        echo "$KERNEL_PACKAGE $*"
        busybox 2>&1 | head -n 1
        cat "$KERNEL_HARNESS_DIR/guest/init" "$KERNEL_HARNESS_DIR/guest/lib.sh"
    } | sha256sum | cut -c1-16)
    INITRAMFS_BASE=$cache/initramfs/base-$key.cpio.gz
    [[ -s $INITRAMFS_BASE ]] && return 0
    echo "== building the base initramfs"
    mkdir -p "$cache/initramfs"
    rm -f "$cache"/initramfs/base-*.cpio.gz # built for another kernel or module list
    local root
    root=$(mktemp -d "$cache/initramfs/root.XXXXXX")
    mkdir -p "$root"/{bin,dev,proc,sys,tmp,etc,lib/modules,home/user}
    cp "$(command -v busybox)" "$root/bin/busybox"
    local applet
    for applet in $(busybox --list); do
        [[ $applet == busybox ]] || ln -sf busybox "$root/bin/$applet"
    done
    install -m 755 "$KERNEL_HARNESS_DIR/guest/init" "$root/init"
    install -m 644 "$KERNEL_HARNESS_DIR/guest/lib.sh" "$root/lib/guest.sh"
    printf 'root:x:0:0:root:/root:/bin/sh\nuser:x:1000:1000:user:/home/user:/bin/sh\n' \
        >"$root/etc/passwd"
    printf 'root:x:0:\ncdrom:x:24:\nuser:x:1000:\n' >"$root/etc/group"
    chmod 1777 "$root/tmp"
    kernel_modules "$cache" "$root/lib/modules" "$@"
    initramfs_pack "$root" "$INITRAMFS_BASE"
    rm -rf "$root"
}

# guest_boot OUT_DIR INITRD... -- QEMU_ARGS...
# Boots the kernel with the archives (concatenated in order) and the extra
# QEMU arguments (the drives), at most GUEST_TIME_LIMIT seconds. Writes
# OUT_DIR/console.log (kernel log), OUT_DIR/results.log (the guest script's
# output), OUT_DIR/timeline.log (seconds since QEMU's start at which each
# step ended) and OUT_DIR/steps/NAME/{out,err,rc}. Sets GUEST_BOOT_S,
# GUEST_RUN_S, GUEST_POWEROFF_S, GUEST_TOTAL_S (seconds, from QEMU's start
# to the guest's first line, to its last one, then to QEMU's exit) and
# GUEST_STATUS (QEMU's exit status; 124 after the time limit).
guest_boot() {
    local out=$1
    shift
    local initrds=()
    while (($# > 0)) && [[ $1 != -- ]]; do
        initrds+=("$1")
        shift
    done
    [[ ${1:-} == -- ]] && shift
    rm -rf "$out" && mkdir -p "$out/steps"
    cat "${initrds[@]}" >"$out/initrd.img"

    local start=$EPOCHREALTIME first="" last="" status=""
    # Serial port 1 is the kernel's console, port 2 carries the guest
    # script's output to standard output, where each line gets its arrival time.
    local line
    while IFS= read -r line; do
        line=${line%$'\r'}
        printf '%s\n' "$line" >>"$out/results.log"
        if [[ $line == "@@ "* || $line == @@$'\t'*$'\t'rc$'\t'* ]]; then
            printf '%s\t%s\n' "$(awk -v a="$start" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.2f", b - a }')" \
                "$line" >>"$out/timeline.log"
        fi
        case $line in
        "@@ guest start"*) first=$EPOCHREALTIME ;;
        "@@ guest end"*) last=$EPOCHREALTIME ;;
        esac
    done < <(
        # shellcheck disable=SC2086  # GUEST_QEMU_OPTIONS: one word per option
        timeout --kill-after=5 "$GUEST_TIME_LIMIT" qemu-system-x86_64 \
            -machine pc,accel=tcg -cpu max -m "$GUEST_MEMORY" -smp 1 -nodefaults -no-user-config \
            -display none -vga none -no-reboot -net none \
            -kernel "$KERNEL_IMAGE" -initrd "$out/initrd.img" \
            -append "console=ttyS0 panic=-1 loglevel=4${GUEST_APPEND:+ $GUEST_APPEND}" \
            -serial "file:$out/console.log" -serial stdio \
            $GUEST_QEMU_OPTIONS "$@" </dev/null 2>"$out/qemu.err" || status=$?
        echo "@@ qemu exit ${status:-0}"
    )
    local end=$EPOCHREALTIME
    touch "$out/results.log"
    GUEST_STATUS=$(sed -n 's/^@@ qemu exit //p' "$out/results.log" | tail -n 1)
    GUEST_TOTAL_S=$(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }')
    GUEST_BOOT_S=$(awk -v a="$start" -v b="${first:-$end}" 'BEGIN { printf "%.1f", b - a }')
    GUEST_RUN_S=$(awk -v a="${first:-$end}" -v b="${last:-$end}" 'BEGIN { printf "%.1f", b - a }')
    GUEST_POWEROFF_S=$(awk -v a="${last:-$end}" -v b="$end" 'BEGIN { printf "%.1f", b - a }')

    # "@@<TAB>step<TAB>stream<TAB>text" lines into steps/step/stream.
    awk -F'\t' -v dir="$out/steps" '
        $1 == "@@" && NF >= 3 {
            path = dir "/" $2
            if (!(path in made)) { system("mkdir -p \"" path "\""); made[path] = 1 }
            text = $4
            for (i = 5; i <= NF; ++i) text = text "\t" $i
            file = path "/" $3
            if ($3 == "rc") { printf "%s", text >> file } else { print text >> file }
            close(file)
        }' "$out/results.log"
}

# The recorded output of a step: step_out NAME, step_err NAME, step_rc NAME
# (empty when the step never ran).
STEPS_DIR=""
step_out() { cat "$STEPS_DIR/$1/out" 2>/dev/null || true; }
step_err() { cat "$STEPS_DIR/$1/err" 2>/dev/null || true; }
step_rc() { cat "$STEPS_DIR/$1/rc" 2>/dev/null || true; }

CHECKS_PASSED=0
CHECKS_FAILED=0

# check NAME CONDITION_STATUS [DETAIL]: a PASS line when the status is 0.
check() {
    local name=$1 ok=$2 detail=${3:-}
    if [[ $ok == 0 ]]; then
        CHECKS_PASSED=$((CHECKS_PASSED + 1))
        echo "PASS $name"
    else
        CHECKS_FAILED=$((CHECKS_FAILED + 1))
        echo "FAIL $name${detail:+: $detail}"
    fi
}

# check_eq NAME EXPECTED ACTUAL
check_eq() {
    if [[ $2 == "$3" ]]; then
        check "$1" 0
    else
        check "$1" 1 "expected [$(printf '%s' "$2" | sed -n '1,8p' | paste -sd'|')], got [$(
            printf '%s' "$3" | sed -n '1,8p' | paste -sd'|')]"
    fi
}

# check_contains NAME NEEDLE HAYSTACK: NEEDLE as a whole line of HAYSTACK.
check_contains() {
    if grep -qxF -- "$2" <<<"$3"; then
        check "$1" 0
    else
        check "$1" 1 "no line [$2] in [$(printf '%s' "$3" | sed -n '1,8p' | paste -sd'|')]"
    fi
}

checks_summary() {
    echo "$CHECKS_PASSED passed, $CHECKS_FAILED failed"
    ((CHECKS_FAILED == 0))
}

# The modules of a guest that serves images (`vindral-cli serve`): the CD-ROM,
# SCSI, ATA and virtio drivers of the base archive, and the kernel's SCSI
# target subsystem in the order of their dependencies.
SERVE_BASE_MODULES=(scsi_common scsi_mod cdrom sr_mod sg libata ata_piix libahci ahci virtio_ring
                    virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_scsi)
TARGET_MODULES=(configfs crct10dif_common crct10dif_generic crc-t10dif target_core_mod uio
                target_core_user tcm_loop)

# require_tools TOOL...: fails the test when a host tool is missing.
require_tools() {
    local tool
    for tool in "$@"; do
        command -v "$tool" >/dev/null ||
            harness_fail "$tool is missing (bash scripts/setup.sh installs it)"
    done
}
