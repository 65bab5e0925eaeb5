# Guest side of tests/kernel/run.sh (installed as /test/main). Loads the
# CD-ROM drivers, then runs vindral-cli and read_method_probe on every drive
# as root and as an unprivileged user with device nodes of mode 0600 (the
# kernel's default: no access), 0666 (read-write) and 0444 (read-only).
. /lib/guest.sh

load_modules scsi_common scsi_mod cdrom sr_mod sg libata
# One controller at a time, so that the nodes are numbered in this order:
# the two IDE/ATAPI drives, the AHCI drive, the virtio-scsi drive.
load_modules ata_piix
wait_for /dev/sr1 30
load_modules libahci ahci
wait_for /dev/sr2 30
load_modules virtio_ring virtio virtio_pci_legacy_dev virtio_pci_modern_dev virtio_pci virtio_scsi
wait_for /dev/sr3 30

# One line per drive node: name, driver of its SCSI host, H:C:T:L, size in
# 512-byte units (0 without a disc).
drive_map() {
    for block in /sys/block/sr*; do
        node=${block##*/}
        hctl=$(basename "$(readlink "$block/device")")
        echo "$node $(cat "/sys/class/scsi_host/host${hctl%%:*}/proc_name") $hctl $(cat "$block/size")"
    done
}
step map drive_map
step modes ls -l /dev/sr0 /dev/sr1 /dev/sr2 /dev/sr3

as_root() { "$@"; }

# every PREFIX RUNNER: the commands whose results the host checks.
every() {
    prefix=$1
    runner=$2
    step "$prefix.drives" "$runner" /bin/vindral-cli drives
    for block in /sys/block/sr*; do
        node=${block##*/}
        index=${node#sr}
        step "$prefix.toc-drive.$index" "$runner" /bin/vindral-cli toc --drive "$index"
        step "$prefix.toc-device.$node" "$runner" /bin/vindral-cli toc --device "/dev/$node"
        step "$prefix.drives-device.$node" "$runner" /bin/vindral-cli drives --device "/dev/$node"
        step "$prefix.probe.$node" "$runner" /bin/read_method_probe "/dev/$node"
    done
}

every root as_root

chmod 0600 /dev/sr*
step user-none.drives as_user /bin/vindral-cli drives
step user-none.toc-device.sr0 as_user /bin/vindral-cli toc --device /dev/sr0

chmod 0666 /dev/sr*
every user-rw as_user

chmod 0444 /dev/sr*
every user-ro as_user
