#!/usr/bin/env bash
# vmdk-mount --device over flat disks and snapshot chains: the device reads
# what qemu-img reads from the same descriptor, its snapshot overlay keeps
# every write away from the image files, and vmdk-mount -u (or a failure)
# leaves nothing behind.
. "$(dirname "$0")/image_lib.sh"

VMOUNT=$RFS_BUILD_DIR/tools/vmdk-mount
D=$S/vm
MIB=1048576
mkscratch "$S" --layout - <<EOF
{"vms": [{"name": "vm", "disks": [
  {"name": "flat", "size": $((8 * MIB)), "content": "bytes:1"},
  {"name": "f2", "kind": "chain", "size": $((8 * MIB)), "content": "bytes:2",
   "deltas": [{"writes": [[65536, 131072, 34], [4194304, 4096, 35]]}]},
  {"name": "f3", "kind": "chain", "size": $((64 * MIB)), "content": "bytes:3",
   "deltas": [{"writes": [[0, 1048576, 17]]}, {"writes": [[524288, 65536, 18]]}]},
  {"name": "s2", "kind": "chain", "size": $((8 * MIB)), "base": "sparse",
   "base_writes": [[0, 2097152, 51]], "deltas": [{"writes": [[1048576, 65536, 52]]}]},
  {"name": "s3", "kind": "chain", "size": $((8 * MIB)), "base": "sparse",
   "base_writes": [[131072, 65536, 61], [6291456, 65536, 62]],
   "deltas": [{"writes": [[196608, 4096, 63]]}, {"writes": [[6291456, 512, 64]]}]},
  {"name": "cowd", "kind": "chain", "size": $((8 * MIB)), "content": "bytes:4",
   "cowd": {"grainsize": 16, "writes": [[0, 8192, 68], [1049088, 512, 69]]}}
]}]}
EOF
extent_files() { find "$D" -name '*-flat.vmdk' -o -name '*-s0*.vmdk' -o -name '*-delta.vmdk'; }
store_files() { ls /tmp/*.tolstorage 2>/dev/null; }

for disk in flat f2-000001 f3-000002 s2-000001 s3-000002 cowd-000001; do
    qemu-img convert -O raw "$D/$disk.vmdk" "$T/want.raw"
    want=$(md5sum < "$T/want.raw")
    dev=$("$VMOUNT" --device "$D/$disk.vmdk")
    check_eq "$disk: the device reads as qemu-img reads the disk" "$want" "$(md5sum < "$dev")"
    out=$("$VMOUNT" -u "$dev" 2>&1)
    check_eq "$disk: vmdk-mount -u" 0 "$?${out:+ $out}"
done
check_no_devices "after vmdk-mount -u" "$S"

# The overlay: a file system, its journal replayed at the next mount and
# 40 MiB of writes reach the store only; more than it holds fails the
# snapshot, never an extent file. No store file is left.
before=$(extent_files | sort | xargs md5sum)
dev=$("$VMOUNT" --device "$D/f3-000002.vmdk")
store=$(store_files)
check_eq "store file size" 52428801 "$(stat -c %s "$store")"
check_eq "store file occupies almost no space" 1 "$(($(du -k "$store" | cut -f1) < 1024))"
mkdir "$T/fs"
mkfs.ext4 -q -F -E nodiscard "$dev" >/dev/null 2>&1
# The file's data goes in place, its inode and directory entry only into the
# journal before the file system goes down.
mount "$dev" "$T/fs" && echo replayed >"$T/fs/f" && sync "$T/fs/f" &&
    xfs_io -x -c "shutdown -f" "$T/fs"
umount "$T/fs"
check_contains "the file system was left with a journal to replay" \
    "$(dumpe2fs -h "$dev" 2>/dev/null | grep '^Filesystem features')" needs_recovery
mount "$dev" "$T/fs" && check_eq "the journal replayed" replayed "$(cat "$T/fs/f")"
umount "$T/fs"
check_status "40 MiB written to the disk device" 0 \
    dd if=/dev/urandom of="$dev" bs=1M count=40 oflag=direct status=none
dd if=/dev/urandom of="$dev" bs=1M seek=20 count=40 oflag=direct status=none 2>"$T/dd.err"
check_contains "writes beyond the store fail with EIO" "$(cat "$T/dd.err")" "Input/output error"
out=$("$VMOUNT" -u "$dev" 2>&1)
check_eq "vmdk-mount -u after the snapshot failed" 0 "$?${out:+ $out}"
check_eq "no extent file changed" "$before" "$(extent_files | sort | xargs md5sum)"
check_eq "the store's loop device is detached" "" "$(grep -lF "$store" /sys/block/loop*/loop/backing_file 2>/dev/null)"

# Failures: a clear message, a non-zero status and nothing left.
cp -a "$D" "$S/bad"
rm "$S/bad/f2.vmdk"
python3 - "$S/bad/s2-000001-s001.vmdk" <<'EOF'
import struct, sys
with open(sys.argv[1], "r+b") as f:
    gd = struct.unpack_from("<Q", f.read(64), 56)[0]
    f.seek(gd * 512)
    f.write(struct.pack("<I", 0xfffffff0))
EOF
truncate -s -512 "$S/bad/cowd-flat.vmdk"
while read -r disk text; do
    out=$("$VMOUNT" --device "$S/bad/$disk.vmdk" 2>&1)
    check_eq "$disk: refused" 1 "$?"
    check_contains "$disk: message" "$out" "$text"
done <<'EOF'
f2-000001 f2.vmdk
s2-000001 file ends before the end of its grain table
cowd-000001 do not match with the expected extent size
EOF
check_no_devices "after failures" "$S"
check_eq "after failures: no store file" "" "$(store_files)"
rfs_finish
