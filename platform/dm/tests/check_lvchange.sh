#!/bin/bash
# lvchange stand-in: a two-segment linear LV reads the PV's extents; -an
# removes the device and its /dev/VG/LV link. Also an LV on a partition of a
# stand-in device (the mounter's stack).
source "$(dirname "$0")/lib.sh"

VG=rfs-chk$$
CFG="devices{obtain_device_list_from_udev=0 use_devicesfile=0 scan=[\"/dev\",\"/dev/mapper\"]} backup{backup=0 archive=0} activation{udev_sync=0 udev_rules=0 monitoring=0} global{use_lvmpolld=0}"
# Quiet unless it fails: then its diagnostics explain the failure.
lvmq() {
    local out rc=0
    out=$(LVM_SUPPRESS_FD_WARNINGS=1 lvm "$@" --config "$CFG" 2>&1) || rc=$?
    ((rc == 0)) || echo "lvm $1 failed ($rc): $out" >&2
    return $rc
}
# add_lvs VG LV:PE+COUNT[,PE+COUNT...] ...: writes linear LVs into the VG's
# metadata (lvcreate wants a kernel device-mapper; vgcfgrestore does not).
add_lvs() {
    local vg=$1; shift
    LVM_SUPPRESS_FD_WARNINGS=1 lvm vgcfgbackup --config "$CFG" -f "$WORK/$vg.cfg" "$vg" >/dev/null 2>&1
    python3 - "$WORK/$vg.cfg" "$@" <<'PY'
import sys, random, string
path, lv_args = sys.argv[1], sys.argv[2:]
def uid():
    a = string.ascii_letters + string.digits
    return '-'.join(''.join(random.choice(a) for _ in range(n)) for n in (6, 4, 4, 4, 4, 4, 6))
out = ['\tlogical_volumes {']
for lv_arg in lv_args:
    name, segs = lv_arg.split(':')
    segs = [tuple(map(int, x.split('+'))) for x in segs.split(',')]
    out += ['\t\t%s {' % name, '\t\t\tid = "%s"' % uid(), '\t\t\tstatus = ["READ", "WRITE", "VISIBLE"]',
            '\t\t\tsegment_count = %d' % len(segs)]
    le = 0
    for i, (pe, count) in enumerate(segs, 1):
        out += ['\t\t\tsegment%d {' % i, '\t\t\t\tstart_extent = %d' % le, '\t\t\t\textent_count = %d' % count,
                '\t\t\t\ttype = "striped"', '\t\t\t\tstripe_count = 1', '\t\t\t\tstripes = ["pv0", %d]' % pe, '\t\t\t}']
        le += count
    out.append('\t\t}')
out.append('\t}')
lines = open(path).read().split('\n')
i = lines.index('}')
lines[i:i] = out
open(path, 'w').write('\n'.join(lines))
PY
    lvmq vgcfgrestore -f "$WORK/$vg.cfg" "$vg"
}
EXTRA_CLEANUP+=("lvmq vgremove -f $VG 2>/dev/null; lvmq vgremove -f ${VG}b 2>/dev/null; rm -rf /dev/$VG /dev/${VG}b")

truncate -s 64M "$WORK/pv.img"
head -c 64M /dev/urandom > "$WORK/pv.img"
LP=$(new_loop "$WORK/pv.img")
lvmq pvcreate -y -ff "$LP"
lvmq vgcreate -s 4M "$VG" "$LP"
# lv1: extents 0-1 then 4-5 of the PV; lv2: extents 2-3.
add_lvs "$VG" lv1:0+2,4+2 lv2:2+2
check "lv1 has two segments" test "$(LVM_SUPPRESS_FD_WARNINGS=1 lvm lvs --config "$CFG" --noheadings -o seg_pe_ranges "$VG/lv1" 2>/dev/null | wc -l)" = 2
pe_start=$(LVM_SUPPRESS_FD_WARNINGS=1 lvm pvs --config "$CFG" --noheadings --nosuffix --units b -o pe_start "$LP" 2>/dev/null | tr -d ' ')

"$LVCHANGE" -ay "/dev/$VG/lv1"
name="${VG//-/--}-lv1"
check "device named with doubled dashes" test -b "/dev/mapper/$name"
check "/dev/VG/LV link" test "$(readlink "/dev/$VG/lv1")" = "/dev/mapper/$name"
check "LV size" test "$(blockdev --getsize64 "/dev/$VG/lv1")" = $((16 << 20))
{ dd if="$WORK/pv.img" bs=1M skip=$((pe_start >> 20)) count=8 status=none; dd if="$WORK/pv.img" bs=1M skip=$(((pe_start >> 20) + 16)) count=8 status=none; } > "$WORK/expect"
check "LV bytes are the PV's extents" cmp -s "$WORK/expect" "/dev/$VG/lv1"
check "two-line table" test "$("$DMSETUP" table "$name" | wc -l)" = 2
check "LVM uuid" grep -q '^UUID: LVM-' <("$DMSETUP" info "$name")
check "-ay again is harmless" "$LVCHANGE" -ay "/dev/$VG/lv1"
"$LVCHANGE" -ay "$VG/lv2"
check "second LV" cmp -s <(dd if="$WORK/pv.img" bs=1M skip=$(((pe_start >> 20) + 8)) count=8 status=none) "/dev/$VG/lv2"
"$LVCHANGE" -an "/dev/$VG/lv1"
check "-an removes the device" test ! -e "/dev/mapper/$name"
check "-an removes the link" test ! -e "/dev/$VG/lv1"
"$LVCHANGE" -an "/dev/$VG/lv2"
check "-an removes the empty VG directory" test ! -e "/dev/$VG"
check "-an of an inactive LV succeeds" "$LVCHANGE" -an "/dev/$VG/lv2"
check "unknown LV fails" bash -c "! '$LVCHANGE' -ay /dev/$VG/nosuch 2>/dev/null"
lvmq vgremove -f "$VG" || true

# The mounter's stack: LV on partition 2 of a stand-in disk device.
truncate -s 64M "$WORK/disk.img"
sfdisk -q "$WORK/disk.img" <<'SF'
label: dos
start=2048, size=8192, type=83
start=10240, size=100000, type=8e
SF
LD=$(new_loop "$WORK/disk.img")
echo "0 $(blockdev --getsz "$LD") linear $LD 0" | "$DMSETUP" create disk.9
"$KPARTX" -pp -a /dev/mapper/disk.9
lvmq pvcreate -y -ff /dev/mapper/disk.9p2
lvmq vgcreate -s 4M "${VG}b" /dev/mapper/disk.9p2
add_lvs "${VG}b" root:0+3
mkfs.ext4 -q -F -E offset=$((10240 * 512 + pe_start)) "$WORK/disk.img" 12M
check "activation on a partition" "$LVCHANGE" -ay "/dev/${VG}b/root"
check "ext4 on the stacked LV" test "$(blkid -o value -s TYPE "/dev/${VG}b/root")" = ext4
"$LVCHANGE" -an "/dev/${VG}b/root"
lvmq vgremove -f "${VG}b" || true
"$KPARTX" -pp -d /dev/mapper/disk.9
"$DMSETUP" remove disk.9
check "nothing left" test "$("$DMSETUP" ls)" = "No devices found"
finish
