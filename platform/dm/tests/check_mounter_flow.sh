#!/bin/bash
# The whole device sequence of the volume mounter on the stand-ins: a disk
# device from a two-line linear table over two read-only loop devices, the
# snapshot overlay moved under the disk device's name, kpartx partitions on
# it, an ext4 partition and an LVM partition whose group is renamed and whose
# LV is activated and mounted, then the teardown. The image files must not
# change.
source "$(dirname "$0")/lib.sh"

VG=rfsflow$$
NEWVG=disk.5p2-$VG
CFG="devices{obtain_device_list_from_udev=0 use_devicesfile=0 scan=[\"/dev\",\"/dev/mapper\"]} backup{backup=0 archive=0} activation{udev_sync=0 udev_rules=0 monitoring=0} global{use_lvmpolld=0}"
lvmq() {
    local out rc=0
    out=$(LVM_SUPPRESS_FD_WARNINGS=1 lvm "$@" --config "$CFG" 2>&1) || rc=$?
    ((rc == 0)) || echo "lvm $1 failed ($rc): $out" >&2
    return $rc
}
EXTRA_CLEANUP+=("umount -l $WORK/m/* 2>/dev/null; rm -rf /dev/$VG /dev/$NEWVG")

# Build the guest disk: p1 ext4, p2 LVM with LV "root" (ext4).
truncate -s 96M "$WORK/guest.img"
sfdisk -q "$WORK/guest.img" <<'SF'
label: dos
start=2048, size=40960, type=83
start=43008, size=150000, type=8e
SF
mkfs.ext4 -q -F -L part1 -E offset=$((2048 * 512)) "$WORK/guest.img" 20M
PV=$(losetup -f --show -o $((43008 * 512)) --sizelimit $((150000 * 512)) "$WORK/guest.img")
echo "$PV" >> "$WORK/loops"
lvmq pvcreate -y -ff "$PV"
lvmq vgcreate -s 4M "$VG" "$PV"
LVM_SUPPRESS_FD_WARNINGS=1 lvm vgcfgbackup --config "$CFG" -f "$WORK/vg.cfg" "$VG" >/dev/null 2>&1
python3 - "$WORK/vg.cfg" <<'PY'
import sys
p = sys.argv[1]
lines = open(p).read().split('\n')
i = lines.index('}')
lines[i:i] = ['\tlogical_volumes {', '\t\troot {', '\t\t\tid = "abcdef-abcd-abcd-abcd-abcd-abcd-abcdef"',
              '\t\t\tstatus = ["READ", "WRITE", "VISIBLE"]', '\t\t\tsegment_count = 1', '\t\t\tsegment1 {',
              '\t\t\t\tstart_extent = 0', '\t\t\t\textent_count = 4', '\t\t\t\ttype = "striped"',
              '\t\t\t\tstripe_count = 1', '\t\t\t\tstripes = ["pv0", 0]', '\t\t\t}', '\t\t}', '\t}']
open(p, 'w').write('\n'.join(lines))
PY
lvmq vgcfgrestore -f "$WORK/vg.cfg" "$VG"
pe_start=$(LVM_SUPPRESS_FD_WARNINGS=1 lvm pvs --config "$CFG" --noheadings --nosuffix --units b -o pe_start "$PV" 2>/dev/null | tr -d ' ')
mkfs.ext4 -q -F -L lvroot -E offset=$((43008 * 512 + pe_start)) "$WORK/guest.img" 16M
losetup -d "$PV"
lvmq pvscan --cache >/dev/null 2>&1 || true

# Split into two extent files, as a two-extent flat disk.
dd if="$WORK/guest.img" of="$WORK/e1.img" bs=1M count=30 status=none
dd if="$WORK/guest.img" of="$WORK/e2.img" bs=1M skip=30 status=none
rm "$WORK/guest.img"
sum1=$(md5sum < "$WORK/e1.img"); sum2=$(md5sum < "$WORK/e2.img")
E1=$(new_loop "$WORK/e1.img" ro)
E2=$(new_loop "$WORK/e2.img" ro)
s1=$((30 * 2048)); s2=$((66 * 2048))
printf '0 %d linear %s 0\n%d %d linear %s 0\n' $s1 "$E1" $s1 $s2 "$E2" | "$DMSETUP" create disk.5

# The snapshot overlay, step by step as the mounter runs it.
dd if=/dev/zero of="$WORK/disk.5.tolstorage" bs=1 count=1 seek=52428800 status=none
S=$(new_loop "$WORK/disk.5.tolstorage")
"$DMSETUP" table disk.5 | "$DMSETUP" create disk.5.dup
"$DMSETUP" suspend disk.5
size=$(blockdev --getsize64 /dev/mapper/disk.5.dup)
printf '0 %d snapshot /dev/mapper/disk.5.dup %s p 4' $((size / 512)) "$S" | "$DMSETUP" create disk.5.top
"$DMSETUP" table disk.5.top | "$DMSETUP" load disk.5
# The store passes from disk.5.top to disk.5 only while disk.5.top is
# suspended (the kernel's snapshot handover).
"$DMSETUP" suspend disk.5.top
check "resume the disk device with the snapshot" "$DMSETUP" resume disk.5
# The handed-over source fails all I/O once running again; left suspended,
# it would hold up every reader of it, LVM's device scan included.
"$DMSETUP" resume disk.5.top

check "kpartx on the overlay" "$KPARTX" -pp -a /dev/mapper/disk.5
check "partition devices" test -b /dev/mapper/disk.5p1 -a -b /dev/mapper/disk.5p2
check "ext4 partition probed" test "$(blkid -o value -s TYPE /dev/mapper/disk.5p1)" = ext4
check "LVM partition probed" test "$(blkid -o value -s TYPE /dev/mapper/disk.5p2)" = LVM2_member
check "type id through the disk" test "$(sfdisk --print-id --force /dev/mapper/disk.5 2 2>/dev/null)" = 8e
mkdir -p "$WORK/m/0" "$WORK/m/1"
check "partition mounts read-only" mount -oro /dev/mapper/disk.5p1 "$WORK/m/0"
check "pvs finds the group" test "$(LVM_SUPPRESS_FD_WARNINGS=1 lvm pvs --config "$CFG" --noheadings -ovg_name /dev/mapper/disk.5p2 2>/dev/null | tr -d ' ')" = "$VG"
check "vgrename through the snapshot" lvmq vgrename "$VG" "$NEWVG"
check "lvs lists the volume" test "$(LVM_SUPPRESS_FD_WARNINGS=1 lvm lvs --config "$CFG" --noheadings -olv_name "$NEWVG" 2>/dev/null | tr -d ' ')" = root
check "lvchange -ay" "$LVCHANGE" -ay "/dev/$NEWVG/root"
check "LV holds ext4" test "$(blkid -o value -s LABEL "/dev/$NEWVG/root")" = lvroot
check "LV mounts read-only" mount -oro "/dev/$NEWVG/root" "$WORK/m/1"
check "busy disk is not removed" bash -c "! '$DMSETUP' remove disk.5 2>/dev/null"

# Teardown in the mounter's order.
umount -fl "$WORK/m/1"; umount -fl "$WORK/m/0"
check "lvchange -an" "$LVCHANGE" -an "/dev/$NEWVG/root"
check "kpartx -d" "$KPARTX" -pp -d /dev/mapper/disk.5
check "remove disk" "$DMSETUP" remove -f disk.5
check "remove top" "$DMSETUP" remove -f disk.5.top
check "remove dup" "$DMSETUP" remove -f disk.5.dup
check "nothing left" test "$("$DMSETUP" ls)" = "No devices found"
check "extent files unchanged" test "$(md5sum < "$WORK/e1.img")$(md5sum < "$WORK/e2.img")" = "$sum1$sum2"
check "store holds the writes" test "$(du -k "$WORK/disk.5.tolstorage" | cut -f1)" -gt 0
finish
