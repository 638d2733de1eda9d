#!/bin/bash
# Second stage of the test guest, PID 1 from the host's read-only tree: a
# minimal system, then the command the runner left in the result share, its
# exit status reported there, and power off.
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
export HOME=/root LANG=C.UTF-8
# No udev in the guest: libdevmapper and LVM create their nodes themselves.
export DM_DISABLE_UDEV=1

out=/run/rfs-vm

poweroff_now() {
    sync
    echo o >/proc/sysrq-trigger
    sleep 60
}

fail() {
    echo "rfs-vm-stage2: $*"
    echo "@@RFS-VM-END 125@@"
    poweroff_now
}

mount -t tmpfs -o mode=0755 tmpfs /run || fail "cannot mount /run"
# The host's /tmp stays reachable: a checkout or build there (CI clones can
# live anywhere) is bound back over the guest's own /tmp below.
mkdir -p /run/rfs-host-tmp
mount --bind /tmp /run/rfs-host-tmp || fail "cannot keep the host's /tmp"
mount -t tmpfs -o mode=1777 tmpfs /tmp || fail "cannot mount /tmp"
mkdir -p /dev/pts /dev/shm /run/lock /run/lvm "$out"
mount -t devpts devpts /dev/pts
# devtmpfs has no /dev/fd (bash's process substitution needs it) and friends.
ln -sf /proc/self/fd /dev/fd
ln -sf /proc/self/fd/0 /dev/stdin
ln -sf /proc/self/fd/1 /dev/stdout
ln -sf /proc/self/fd/2 /dev/stderr
mount -t tmpfs tmpfs /dev/shm
mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000 rfsout "$out" || fail "cannot mount the result share"

# On a read-only root, where the tools write (LVM's backups) gets a tmpfs copy.
writable() {
    local dir=$1 copy
    [[ -d $dir ]] || return 0
    touch "$dir/.rfs-vm-w" 2>/dev/null && { rm -f "$dir/.rfs-vm-w"; return 0; }
    copy=/run/rfs-vm-w$dir
    mkdir -p "$copy"
    cp -a "$dir/." "$copy/"
    mount --bind "$copy" "$dir"
}
writable /etc/lvm
# Root's home gets a tmpfs too; a checkout there is bound back below like /tmp's.
mkdir -p /run/rfs-host-root
mount --bind /root /run/rfs-host-root || fail "cannot keep the host's /root"
mount -t tmpfs -o mode=0700 tmpfs /root
mkdir -p /etc/lvm/backup /etc/lvm/archive 2>/dev/null
hostname rfs-vm 2>/dev/null
# The controller stand-in serves on 127.0.0.1: bring lo up (busybox without ip).
ip link set lo up 2>/dev/null || busybox ip link set lo up || fail "cannot bring up the loopback interface"

for m in loop dm_mod dm_snapshot fuse ext4 vfat; do
    modprobe "$m" || fail "modprobe $m failed"
done
# libdevmapper creates /dev/mapper/control itself, but only when asked once.
dmsetup mknodes >/dev/null 2>&1

[ -r "$out/env" ] && . "$out/env"
# Bind back the top-level /tmp and /root entries that the command or its environment names.
for entry in $(cat "$out/cmd" "$out/env" 2>/dev/null | grep -o '/\(tmp\|root\)/[^/[:space:]"'"'"']*' | sort -u); do
    case $entry in
        /tmp/*) host=/run/rfs-host-tmp/${entry#/tmp/} ;;
        *) host=/run/rfs-host-root/${entry#/root/} ;;
    esac
    if [[ -d $host ]]; then
        mkdir -p "$entry" && mount --bind "$host" "$entry"
    fi
done
cd "${RFS_VM_CWD:-/}" || cd /

echo "@@RFS-VM-BEGIN@@"
bash "$out/cmd" </dev/null 2>&1
rc=$?
echo "$rc" >"$out/rc.tmp" && mv "$out/rc.tmp" "$out/rc"
echo "@@RFS-VM-END $rc@@"
umount "$out"
poweroff_now
