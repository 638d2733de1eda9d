#!/bin/bash
# kpartx stand-in: DOS disk with 3 primary and 2 logical partitions, a GPT
# disk, partitions of a stand-in device stacked over loop devices, and -d.
source "$(dirname "$0")/lib.sh"

truncate -s 64M "$WORK/dos.img"
sfdisk -q "$WORK/dos.img" <<'SF'
label: dos
start=2048, size=8192, type=83
start=10240, size=8192, type=82
start=18432, size=8192, type=8e
start=26624, size=100000, type=5
start=28672, size=10000, type=83
start=40960, size=20000, type=83
SF
# Mark every partition's first sector so that reads can be told apart.
for p in 2048:P1 10240:P2 18432:P3 28672:L5 40960:L6; do
    printf '%s' "${p#*:}" | dd of="$WORK/dos.img" bs=512 seek="${p%:*}" conv=notrunc status=none
done
LD=$(new_loop "$WORK/dos.img" ro)
"$KPARTX" -pp -a "$LD"
base=$(basename "$LD")
check "primary and logical partitions mapped" test "$(cd /dev/mapper && ls | sort | tr '\n' ' ')" = "${base}p1 ${base}p2 ${base}p3 ${base}p4 ${base}p5 ${base}p6 "
check "extended partition maps 1 KiB" test "$(blockdev --getsz /dev/mapper/${base}p4)" = 2
check "p5 size" test "$(blockdev --getsz /dev/mapper/${base}p5)" = 10000
check "p6 size" test "$(blockdev --getsz /dev/mapper/${base}p6)" = 20000
for p in 1:P1 2:P2 3:P3 5:L5 6:L6; do
    check "p${p%:*} starts with its mark" test "$(head -c 2 /dev/mapper/${base}p${p%:*})" = "${p#*:}"
done
check "p1 table" test "$("$DMSETUP" table ${base}p1)" = "0 8192 linear $(majmin "$LD") 2048"
check "sfdisk reads the id through the disk" test "$(sfdisk --print-id --force "$LD" 3 2>/dev/null)" = 8e
check "-a again is harmless" "$KPARTX" -pp -a "$LD"
"$KPARTX" -pp -d "$LD"
check "-d removes them" test -z "$(ls /dev/mapper)"

# GPT disk, partitions of a stand-in device that sits on a loop device.
truncate -s 64M "$WORK/gpt.img"
sfdisk -q "$WORK/gpt.img" <<'SF'
label: gpt
start=2048, size=20480, type=0FC63DAF-8483-4772-8E69-3D47D8DE5709
start=22528, size=4096, type=0657FD6D-A4AB-43C4-84E5-0933C84B4F4F
start=32768, size=16384, type=E6D6D379-F507-44C2-A23C-238F2A3DF928
SF
mkfs.ext4 -q -F -E offset=$((2048*512)) "$WORK/gpt.img" 10M
LG=$(new_loop "$WORK/gpt.img")
echo "0 $(blockdev --getsz "$LG") linear $LG 0" | "$DMSETUP" create disk.7
"$KPARTX" -pp -a /dev/mapper/disk.7
check "GPT partitions mapped" test "$(cd /dev/mapper && ls | sort | tr '\n' ' ')" = "disk.7 disk.7p1 disk.7p2 disk.7p3 "
check "GPT p2 size" test "$(blockdev --getsz /dev/mapper/disk.7p2)" = 4096
check "GPT p1 table over the stand-in" test "$("$DMSETUP" table disk.7p1)" = "0 20480 linear $(majmin /dev/mapper/disk.7) 2048"
check "ext4 found on GPT p1" test "$(blkid -o value -s TYPE /dev/mapper/disk.7p1)" = ext4
mkdir "$WORK/m"
check "GPT p1 mounts" mount -o ro /dev/mapper/disk.7p1 "$WORK/m"
umount "$WORK/m"
check "disk busy under its partitions" bash -c "! '$DMSETUP' remove disk.7 2>/dev/null"
"$KPARTX" -pp -d /dev/mapper/disk.7
check "-d leaves the disk" test "$(cd /dev/mapper && ls)" = disk.7
"$DMSETUP" remove disk.7

# A device without partition table maps nothing; a missing device fails.
truncate -s 1M "$WORK/blank.img"
LB=$(new_loop "$WORK/blank.img")
check "blank disk: nothing mapped" bash -c "'$KPARTX' -pp -a '$LB' && test -z \"\$(ls /dev/mapper)\""
check "missing device fails" bash -c "! '$KPARTX' -pp -a /dev/nonexistent 2>/dev/null"
finish
