#!/bin/busybox sh
# First stage of the test guest: load just enough drivers to reach the host's
# root over virtio-9p, lay a tmpfs overlay on it and hand over to the second
# stage, which runs from the host's own tree with the host's own tools.
/bin/busybox --install -s /bin
export PATH=/bin

mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev

die() {
    echo "rfs-vm-init: $*"
    echo "@@RFS-VM-END 125@@"
    reboot -f
    sleep 60
}

for m in $(cat /modules.order); do
    insmod "/modules/$m" || die "insmod $m failed"
done

mkdir -p /lower /rw /newroot
if grep -q 'rfs_root=overlay' /proc/cmdline; then
    # Writable everywhere, at the price of slower lookups.
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot /lower ||
        die "cannot mount the host root"
    mount -t tmpfs -o mode=0755 tmpfs /rw || die "cannot mount the overlay tmpfs"
    mkdir -p /rw/upper /rw/work
    mount -t overlay -o lowerdir=/lower,upperdir=/rw/upper,workdir=/rw/work overlay /newroot ||
        die "cannot mount the overlay"
else
    # Read-only; the second stage puts tmpfs where the guest writes.
    mount -t 9p -o trans=virtio,version=9p2000.L,ro,cache=loose,msize=512000 hostroot /newroot ||
        die "cannot mount the host root"
fi

stage2=$(sed -n 's/.*rfs_stage2=\([^ ]*\).*/\1/p' /proc/cmdline)
[ -n "$stage2" ] || die "no rfs_stage2= on the kernel command line"
for d in proc sys dev; do
    mount --move "/$d" "/newroot/$d" || die "cannot move /$d"
done

exec switch_root /newroot "$stage2"
