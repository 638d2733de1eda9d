#!/bin/bash
# The mounter's snapshot overlay: a linear disk device, its duplicate, a
# persistent snapshot over the duplicate with a 50 MiB store, journal replay
# of a dirty ext4 through it, and a store that runs full.
source "$(dirname "$0")/lib.sh"

# A 100 MiB ext4 whose journal needs replay: copied while mounted.
truncate -s 100M "$WORK/live.img"
mkfs.ext4 -q -F "$WORK/live.img"
L=$(new_loop "$WORK/live.img")
mkdir "$WORK/m"
mount "$L" "$WORK/m"
echo hello > "$WORK/m/file"
sync
cp --sparse=always "$WORK/live.img" "$WORK/disk.img"
umount "$WORK/m"
check "copy needs journal recovery" bash -c "dumpe2fs -h '$WORK/disk.img' 2>/dev/null | grep -q needs_recovery"
sum_before=$(md5sum < "$WORK/disk.img")

D=$(new_loop "$WORK/disk.img" ro)
echo "0 $(blockdev --getsz "$D") linear $D 0" | "$DMSETUP" create disk.1
truncate -s 52428801 "$WORK/store"
S=$(new_loop "$WORK/store")
"$DMSETUP" table disk.1 | "$DMSETUP" create disk.1.dup
"$DMSETUP" suspend disk.1
size=$(blockdev --getsize64 /dev/mapper/disk.1.dup)
printf '0 %d snapshot %s %s p 4' $((size / 512)) /dev/mapper/disk.1.dup "$S" | "$DMSETUP" create disk.1.top
"$DMSETUP" table disk.1.top | "$DMSETUP" load disk.1
# The kernel hands a store over from the first snapshot on it to the second
# only while the first is suspended.
check "resume while the store's first snapshot runs fails" bash -c "! '$DMSETUP' resume disk.1 2>/dev/null"
check "the failed resume leaves the device suspended" grep -q SUSPENDED <("$DMSETUP" info disk.1)
check "a third snapshot on the same store is refused" bash -c "! printf '0 8 snapshot /dev/mapper/disk.1.dup $S P 4' | '$DMSETUP' create third 2>/dev/null"
"$DMSETUP" suspend disk.1.top
check "resume after suspending the first snapshot" "$DMSETUP" resume disk.1
check "the first snapshot is invalid after the handover" grep -q 'snapshot Invalid$' <("$DMSETUP" status disk.1.top)
"$DMSETUP" resume disk.1.top
check "the handed-over snapshot fails reads" bash -c "! dd if=/dev/mapper/disk.1.top bs=4k count=1 iflag=direct status=none of=/dev/null 2>/dev/null"
snap_table="0 $((size / 512)) snapshot $(majmin /dev/mapper/disk.1.dup) $(majmin "$S") P 4"
check "snapshot table" test "$("$DMSETUP" table disk.1.top)" = "$snap_table"
check "disk device carries the snapshot table" test "$("$DMSETUP" table disk.1)" = "$snap_table"
check "duplicate keeps the linear table" test "$("$DMSETUP" table disk.1.dup)" = "0 $((size / 512)) linear $(majmin "$D") 0"
check "store has the snapshot header" test "$(bytes_at "$WORK/store" 0 4)" = "536e4170"

check "mount replays the journal" mount /dev/mapper/disk.1 "$WORK/m"
check "file is there" test "$(cat "$WORK/m/file" 2>/dev/null)" = hello
echo more > "$WORK/m/file2"
umount "$WORK/m"
check "journal replayed on the snapshot" bash -c "! dumpe2fs -h /dev/mapper/disk.1 2>/dev/null | grep -q needs_recovery"
check "fsck of the snapshot is clean" fsck.ext4 -n /dev/mapper/disk.1
check "origin file unchanged" test "$(md5sum < "$WORK/disk.img")" = "$sum_before"
check "duplicate still shows the origin" cmp -s /dev/mapper/disk.1.dup "$WORK/disk.img"
check "status counts the store use" grep -qE '^0 [0-9]+ snapshot [0-9]+/102400 [0-9]+$' <("$DMSETUP" status disk.1)

# The store persists: once the pair is gone, a new snapshot over the same
# store shows the writes.
"$DMSETUP" remove disk.1
"$DMSETUP" remove disk.1.top
printf '0 %d snapshot %s %s P 4' $((size / 512)) /dev/mapper/disk.1.dup "$S" | "$DMSETUP" create again
mount -o ro,noload /dev/mapper/again "$WORK/m"
check "persistent store keeps the writes" test "$(cat "$WORK/m/file2" 2>/dev/null)" = more
umount "$WORK/m"

# 60 MiB of new data into a 50 MiB store: the snapshot fails with EIO.
if dd if=/dev/urandom of=/dev/mapper/again bs=1M count=60 oflag=direct status=none 2>"$WORK/dd.err"; then
    fail "writes beyond the store must fail"
else
    ok "writes beyond the store fail"
fi
check "the failure is an I/O error" grep -q "Input/output error" "$WORK/dd.err"
check "status says Invalid" grep -q 'snapshot Invalid$' <("$DMSETUP" status again)
check "reads of an invalid snapshot fail" bash -c "! dd if=/dev/mapper/again bs=4k count=1 iflag=direct status=none of=/dev/null 2>/dev/null"
check "store header marked invalid" test "$(bytes_at "$WORK/store" 4 4)" = "00000000"
check "origin unchanged after the overflow" test "$(md5sum < "$WORK/disk.img")" = "$sum_before"

# Non-persistent store over a linear device.
truncate -s 8M "$WORK/store2"
S2=$(new_loop "$WORK/store2")
printf '0 2048 snapshot /dev/mapper/disk.1.dup %s n 8' "$S2" | "$DMSETUP" create tsnap
check "transient table" test "$("$DMSETUP" table tsnap)" = "0 2048 snapshot $(majmin /dev/mapper/disk.1.dup) $(majmin "$S2") N 8"
printf 'xyz' | dd of=/dev/mapper/tsnap bs=1 seek=5000 conv=notrunc status=none
sync
check "transient write visible" test "$(bytes_at /dev/mapper/tsnap 5000 3)" = "78797a"
check "transient origin untouched" test "$(bytes_at /dev/mapper/disk.1.dup 5000 3)" = "$(bytes_at "$WORK/disk.img" 5000 3)"
check "transient store has no header" test "$(bytes_at "$WORK/store2" 0 4)" != "536e4170"

"$DMSETUP" remove -f again && "$DMSETUP" remove tsnap && "$DMSETUP" remove disk.1.dup
check "all removed" test "$("$DMSETUP" ls)" = "No devices found"
finish
