#!/usr/bin/env bash
# Flat images read through the mount: a flat file with a change-block file
# through its merged device, one without through a loop device. The bytes are
# compared with the merge computed here (base bytes with every extent laid
# over them, the recovery-header sector zeroed), whole and in unaligned and
# past-the-end reads that reach the read handler as they are (direct_io);
# two opens share one merged device; everything is torn down at unmount.
. "$(dirname "$0")/image_lib.sh"
# No eviction of idle images while the devices are checked: an emulated guest
# (the VM tier) can take more than the idle minute between two steps.
export RFS_TEST_THREAD_PERIODS=86400,15,180

CHANGE=5f1d2c3b-4a59-4687-9a1b-2c3d4e5f6071
make_scratch <<JSON
{"vms": [
 {"name": "vm1", "vmx": true, "disks": [
  {"name": "merged", "size": 16777216, "content": "fast:3",
   "mbr": [[131, 2048, 30720]], "fs": {"type": "ext4", "files": {"etc/hostname": "text:vm1\n"}},
   "header": {"version": 2, "change_id": "$CHANGE", "change_suffix": 7},
   "tolcbt": {"extents": [[3145728, 65536], [3211264, 512], [3297280, 4096]],
              "random_extents": {"count": 60, "seed": 5, "max_sectors": 96, "min_sector": 8192}}},
  {"name": "plain", "size": 4194304, "content": "fast:4", "mbr": [[12, 2048, 6144]],
   "fs": {"type": "vfat", "files": {"readme.txt": "text:plain\n"}},
   "header": {"version": 1, "change_id": "$CHANGE", "change_suffix": 3}}
 ]},
 {"name": "vm2", "movara": {"flat_directory": "store"}, "disks": [
  {"name": "moved", "size": 2097152, "content": "fast:5", "flat_dir": "store", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$CHANGE", "change_suffix": 1},
   "tolcbt": {"extents": [[1048576, 8192], [1572864, 512]]}}
]}]}
JSON
FLAT=$S/vm1/merged-flat.vmdk
CBT=$S/vm1/merged-tolcbt.vmdk
PLAIN=$S/vm1/plain-flat.vmdk
python3 "$IMAGE_MERGE" "$FLAT" "$T/merged.want" --cbt "$CBT" --hide-sector 2
python3 "$IMAGE_MERGE" "$PLAIN" "$T/plain.want" --hide-sector 2

mount_scratch

check_status "merged image reads as the computed merge (cmp)" 0 cmp "$M/vm1/merged-flat.vmdk" "$T/merged.want"
check_status "plain image reads as the flat file (cmp)" 0 cmp "$M/vm1/plain-flat.vmdk" "$T/plain.want"
# A flat file that movara.json relocates: merged with the change-block file
# beside the descriptor, checked against its descriptor's place in the tree.
# The change-block file appears only after a first read of the image without
# it: the next open reads the merged device, not the pages the kernel kept.
python3 "$IMAGE_MERGE" "$S/vm2/store/moved-flat.vmdk" "$T/moved.want" --cbt "$S/vm2/moved-tolcbt.vmdk" --hide-sector 2
python3 "$IMAGE_MERGE" "$S/vm2/store/moved-flat.vmdk" "$T/moved.plain" --hide-sector 2
mv "$S/vm2/moved-tolcbt.vmdk" "$T/moved-tolcbt.aside"
check_status "relocated flat file read before its change-block file is there (cmp)" 0 \
    cmp "$M/vm2/moved-flat.vmdk" "$T/moved.plain"
mv "$T/moved-tolcbt.aside" "$S/vm2/moved-tolcbt.vmdk"
check_status "relocated flat file (movara.json) merged with its change-block file (cmp)" 0 \
    cmp "$M/vm2/moved-flat.vmdk" "$T/moved.want"

# Partitions of both devices are mapped.
mdev=$(merged_device_of "$FLAT")
ploop=$(loops_of "$PLAIN")
# The merged device stands for its table: its bytes are read from the flat
# and change-block files themselves, so a cold read of the image reads none
# through the device.
dev_reads() { awk '{ print $3 }' "/sys/dev/block/$(stat -Lc '%Hr:%Lr' "$1")/stat"; }
before=$(dev_reads "/dev/mapper/$mdev")
python3 -c 'import os, sys
for p in sys.argv[1:]:
    fd = os.open(p, os.O_RDONLY); os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED); os.close(fd)' \
    "$M/vm1/merged-flat.vmdk" "/dev/mapper/$mdev" "$FLAT" "$CBT"
check_status "merged image read again cold (cmp)" 0 cmp "$M/vm1/merged-flat.vmdk" "$T/merged.want"
check_eq "no sector of it read through the merged device" 0 $(($(dev_reads "/dev/mapper/$mdev") - before))
check_eq "one merged device for each flat file with changes" 2 "$(ls /dev/mapper | grep -c '^cbt\.[0-9]*$')"
check_eq "the plain image has one loop device" 1 "$(loops_of "$PLAIN" | wc -l)"
check_eq "no merge-table file is left once the devices exist" "" "$(ls /tmp/*.dm_table_merge 2>/dev/null)"
check_status "partitions of the merged and the loop device mapped" 0 \
    test -b "/dev/mapper/${mdev}p1" -a -b "/dev/mapper/${ploop#/dev/}p1"

# Two opens of one image share its merged device; it stays after both closes.
out=$(python3 - "$M/vm1/merged-flat.vmdk" <<'PY'
import os, sys
a, b = [os.open(sys.argv[1], os.O_RDONLY) for _ in range(2)]
merged = lambda: sum(1 for d in os.listdir("/dev/mapper") if d.startswith("cbt.") and "p" not in d)
print(os.pread(a, 4096, 1 << 20) == os.pread(b, 4096, 1 << 20), merged(), end=" ")
os.close(a); os.close(b)
print(merged())
PY
)
check_eq "two opens: same bytes, no new merged device while open or after" "True 2 2" "$out"

rfs_stop "$M"
check_contains "optimised read device statistics logged at teardown" "$(cat "$LOG")" \
    "PDEV_STATS for /$mdev:"

# Reads of every shape with the page cache out of the way (direct_io): the
# read handler gets exactly these offsets and sizes.
mount_scratch -o direct_io
out=$(python3 - "$M/vm1/merged-flat.vmdk" "$T/merged.want" "$M/vm1/plain-flat.vmdk" "$T/plain.want" <<'PY'
import os, random, sys
rng, bad = random.Random(11), []
for path, want in zip(sys.argv[1::2], sys.argv[2::2]):
    want = open(want, "rb").read()
    size = len(want)
    cases = [(0, 1), (100, 1000), (511, 2), (1023, 2), (1535, 2), (1400, 300), (size - 100, 4096),
             (size - 1, 1), (size, 4096), (size + 8192, 512)]
    cases += [(rng.randrange(size), rng.choice([1, 511, 4097, 70000])) for _ in range(150)]
    fd = os.open(path, os.O_RDONLY)
    bad += ["%s %d+%d" % (path, off, n) for off, n in cases if os.pread(fd, n, off) != want[off:off + n]]
    os.close(fd)
print("\n".join(bad[:20]) or "all equal")
PY
)
check_contains "unaligned and past-the-end reads" "$out" "all equal"
unmount_and_finish
