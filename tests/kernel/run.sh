#!/usr/bin/env bash
# The real-kernel drive test: Debian's kernel in QEMU (TCG) with four CD-ROM
# drives behind the kernel's own drivers — IDE/ATAPI (ata_piix), AHCI and
# virtio-scsi (scsi-cd), each holding an ISO 9660 image of its own size, and
# an empty IDE drive. Inside the guest, vindral-cli lists the drives and
# reads each table of contents (by --drive and by --device) as root and as an
# unprivileged user with no access, read-write and read-only device nodes, and
# read_method_probe reads sector 16 by each audio read method. The host
# checks the drive lines, each data track's length against its image, the
# empty drive's "no disc" sense (02/3A/00), and that the short transfer of
# QEMU's scsi-cd (a one-sector READ(10) into a 2352-byte buffer, answered
# GOOD with a residual count, as it keeps 2048-byte blocks) is reported as
# status 0x40000 and never chosen by the read-method probe.
#
# Usage: tests/kernel/run.sh [BUILD_FOLDER]   (default: build in the tree)
# Cache: VINDRAL_KERNEL_CACHE (default BUILD_FOLDER/kernel-test/cache) keeps the
# kernel package and the base initramfs between runs.
set -euo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
BUILD=$(cd "${1:-$ROOT/build}" && pwd)
HERE=$ROOT/tests/kernel
# shellcheck source=harness.sh
source "$HERE/harness.sh"

CACHE=${VINDRAL_KERNEL_CACHE:-$BUILD/kernel-test/cache}
WORK=$BUILD/kernel-test/run
CLI=$BUILD/src/cli/vindral-cli
PROBE=$BUILD/tests/kernel/read_method_probe
MODULES=(scsi_common scsi_mod cdrom sr_mod sg libata ata_piix libahci ahci virtio_ring virtio
         virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_scsi)

for tool in qemu-system-x86_64 busybox genisoimage dpkg-deb apt-get; do
    command -v "$tool" >/dev/null || harness_fail "$tool is missing (bash scripts/setup.sh installs it)"
done
[[ -x $CLI && -x $PROBE ]] || harness_fail "build $CLI and $PROBE first"

test_start=$EPOCHREALTIME
mkdir -p "$CACHE" "$WORK"
kernel_fetch "$CACHE"
initramfs_base "$CACHE" "${MODULES[@]}"

# ---- the disc images: one size each, so that every drive proves it reads its own
declare -A IMAGE_KIB=([ata_piix]=100 [ahci]=300 [virtio_scsi]=700)
declare -A IMAGE_SECTORS=()
rm -rf "$WORK/images" && mkdir -p "$WORK/images"
for kind in "${!IMAGE_KIB[@]}"; do
    mkdir -p "$WORK/images/$kind"
    head -c "$((IMAGE_KIB[$kind] * 1024))" /dev/zero | tr '\0' 'v' >"$WORK/images/$kind/track.dat"
    genisoimage -quiet -V "VINDRAL_$kind" -o "$WORK/images/$kind.iso" "$WORK/images/$kind"
    IMAGE_SECTORS[$kind]=$(($(stat -c %s "$WORK/images/$kind.iso") / 2048))
done

# ---- the programs and the guest script
rm -rf "$WORK/root" && mkdir -p "$WORK/root/test"
initramfs_add_program "$WORK/root" "$CLI"
initramfs_add_program "$WORK/root" "$PROBE"
install -m 644 "$HERE/guest/drives.sh" "$WORK/root/test/main"
initramfs_pack "$WORK/root" "$WORK/programs.cpio.gz"

# The drives: -drive and -device pairs; an -drive without a file is an empty drive.
cdrom() { # cdrom ID [IMAGE]
    local drivearg="if=none,id=$1,media=cdrom"
    [[ -n ${2:-} ]] && drivearg+=",readonly=on,format=raw,file=$2"
    drives+=(-drive "$drivearg")
}
drives=()
cdrom ide0 "$WORK/images/ata_piix.iso"
drives+=(-device "ide-cd,drive=ide0,bus=ide.0,unit=0")
cdrom ide1
drives+=(-device "ide-cd,drive=ide1,bus=ide.1,unit=0")
cdrom sata0 "$WORK/images/ahci.iso"
drives+=(-device "ahci,id=ahci0" -device "ide-cd,drive=sata0,bus=ahci0.0")
cdrom vscsi0 "$WORK/images/virtio_scsi.iso"
drives+=(-device "virtio-scsi-pci,id=scsi0" -device "scsi-cd,drive=vscsi0,bus=scsi0.0,scsi-id=0,lun=0")

echo "== booting the guest (time limit ${GUEST_TIME_LIMIT} s)"
guest_boot "$WORK/guest" "$INITRAMFS_BASE" "$WORK/programs.cpio.gz" -- "${drives[@]}"
STEPS_DIR=$WORK/guest/steps

# ---- the checks
check "guest finished within ${GUEST_TIME_LIMIT} s and powered off" \
    "$([[ $GUEST_STATUS == 0 ]] && echo 0 || echo 1)" "QEMU exit status $GUEST_STATUS"
if [[ $GUEST_STATUS != 0 ]]; then
    tail -n 5 "$WORK/guest/qemu.err" "$WORK/guest/console.log" "$WORK/guest/results.log" >&2
fi

# The drive nodes as the guest found them: node, host driver, H:C:T:L, size.
map=$(step_out map)
declare -A NODE_KIND=()
nodes=()
empty_node=""
empty_host=-1
while read -r node driver hctl _; do
    [[ -n ${node:-} ]] || continue
    nodes+=("$node")
    NODE_KIND[$node]=$driver
    # The empty drive is the secondary IDE channel's: the later ata_piix host.
    if [[ $driver == ata_piix ]] && ((${hctl%%:*} > empty_host)); then
        empty_host=${hctl%%:*}
        empty_node=$node
    fi
done <<<"$map"
check_eq "four drive nodes: two ata_piix (one empty), ahci, virtio_scsi" \
    "ahci ata_piix ata_piix virtio_scsi" "$(printf '%s\n' "${NODE_KIND[@]}" | sort | paste -sd' ')"
if ((${#nodes[@]} != 4)); then
    # The checks below then expect the nodes in the order the guest loads
    # the drivers, so that none of them passes on missing output.
    nodes=(sr0 sr1 sr2 sr3)
    NODE_KIND=([sr0]=ata_piix [sr1]=ata_piix [sr2]=ahci [sr3]=virtio_scsi)
    empty_node=sr1
fi

# "mm:ss.ff" of a sector count (75 sectors a second).
frames_text() { printf '%02d:%02d.%02d' $(($1 / 4500)) $(($1 / 75 % 60)) $(($1 % 75)); }
toc_text() { # toc_text SECTORS: vindral-cli toc of a disc with one data track
    local sectors=$1 mb
    mb=$(awk -v s="$sectors" 'BEGIN { printf "%4.1f", s * 2352 / 1048576 }')
    printf '  Track 01  00:00.00  %s  %s MB  data\nTracks: 1  Length: %s' \
        "$(frames_text "$sectors")" "$mb" "$(frames_text "$sectors")"
}
drive_line() { # drive_line ADAPTER NODE: the line of `vindral-cli drives`
    local product="QEMU DVD-ROM" # QEMU's ATAPI drives
    [[ ${NODE_KIND[$2]} == virtio_scsi ]] && product="QEMU CD-ROM"
    printf ' [%d:0]  QEMU %s' "$1" "$product"
}

scsi_node=""
for mode in root user-rw user-ro; do
    # Every drive is on a SCSI host of its own: adapters follow the node order.
    expected=""
    for index in "${!nodes[@]}"; do
        expected+="$(drive_line "$index" "${nodes[$index]}")"$'\n'
    done
    check_eq "$mode: drives lists every drive" "${expected%$'\n'}" "$(step_out "$mode.drives")"
    for index in "${!nodes[@]}"; do
        node=${nodes[$index]}
        kind=${NODE_KIND[$node]}
        [[ $kind == virtio_scsi ]] && scsi_node=$node
        check_eq "$mode: drives --device /dev/$node" "$(drive_line 0 "$node")" \
            "$(step_out "$mode.drives-device.$node")"
        for how in "toc-drive.$index" "toc-device.$node"; do
            if [[ $how == toc-drive.* ]]; then
                name="$mode: toc --drive $index ($kind)"
            else
                name="$mode: toc --device /dev/$node ($kind)"
            fi
            if [[ $node == "$empty_node" ]]; then
                check_eq "$name: exit 1, no disc (023A00)" \
                    $'1\nThe table of contents cannot be read (code 023A00)' \
                    "$(step_rc "$mode.$how")"$'\n'"$(step_err "$mode.$how")"
            else
                check_eq "$name: one data track of ${IMAGE_SECTORS[$kind]} sectors" \
                    "0"$'\n'"$(toc_text "${IMAGE_SECTORS[$kind]}")" \
                    "$(step_rc "$mode.$how")"$'\n'"$(step_out "$mode.$how")"
            fi
        done
    done
done

check_eq "user, no access to the nodes: drives fails" $'1\nUnable to reach a CD-ROM drive through SG_IO' \
    "$(step_rc user-none.drives)"$'\n'"$(step_err user-none.drives | head -n 1)"
check_eq "user, no access to the nodes: toc --device fails" \
    $'1\nUnable to reach a CD-ROM drive through SG_IO' \
    "$(step_rc user-none.toc-device.sr0)"$'\n'"$(step_err user-none.toc-device.sr0 | head -n 1)"

for node in "${nodes[@]}"; do
    echo "== read_method_probe /dev/$node (${NODE_KIND[$node]}) as root, status/sense of" \
        "$(step_out "root.probe.$node" | awk '$1 == "method" {
            printf "%smethod %s %s/%s", sep, $2, $4, $6; sep = ", " }')"
done

# The short transfer: QEMU's scsi-cd keeps 2048-byte blocks, so READ(10) of
# one sector into 2352 bytes comes back GOOD with 304 bytes untouched.
for mode in root user-rw user-ro; do
    probe=$(step_out "$mode.probe.$scsi_node")
    status=$(awk '$1 == "method" && $2 == 2 { print $4 }' <<<"$probe")
    check_eq "$mode: READ(10) short transfer on scsi-cd is status 0x40000" "0x40000" "$status"
    chosen=$(awk '$1 == "probe" { print $2 }' <<<"$probe")
    check "$mode: the read-method probe does not choose READ(10) on scsi-cd" \
        "$([[ -n $chosen && $chosen != 2 ]] && echo 0 || echo 1)" "it chose '$chosen'"
done

test_end=$EPOCHREALTIME
echo "== times: boot ${GUEST_BOOT_S} s, run ${GUEST_RUN_S} s, power-off ${GUEST_POWEROFF_S} s," \
    "QEMU ${GUEST_TOTAL_S} s, whole test" \
    "$(awk -v a="$test_start" -v b="$test_end" 'BEGIN { printf "%.1f", b - a }') s"
echo "== guest output: $WORK/guest (console.log, results.log, steps/)"
checks_summary
