#!/usr/bin/env bash
# Flat images read through the mount: a flat file with a change-block file
# through its merged device, one without through a loop device. The bytes are
# compared with the merge computed here (base bytes with every extent laid
# over them, the recovery-header sector zeroed), whole and in aligned,
# unaligned, boundary-crossing and past-the-end reads; the loop devices are
# read-only; two opens share one cookie and one merged device; everything is
# torn down at unmount.
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
python3 "$IMAGE_MERGE" "$FLAT" "$T/merged.raw" --cbt "$CBT"
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

# The expected images zero sector 2: there the stored images hold the recovery header.
check_eq "the zeroed sector is the recovery header's" "RVHD RVHD" \
    "$(for f in "$T/merged.raw" "$PLAIN"; do dd if="$f" bs=4 skip=256 count=1 status=none; echo; done | xargs)"

# Partitions of both devices are mapped; the guest file systems are intact.
mdev=$(merged_device_of "$FLAT")
ploop=$(loops_of "$PLAIN")
check_eq "one merged device for each flat file with changes" 2 "$(ls /dev/mapper | grep -c '^cbt\.[0-9]*$')"
check_eq "the plain image has one loop device" 1 "$(loops_of "$PLAIN" | wc -l)"
check_eq "the loop devices under the merged device are read-only" "1 1" \
    "$(for l in $(loops_of "$FLAT") $(loops_of "$CBT"); do blockdev --getro "$l"; done | xargs)"
check_eq "no merge-table file is left once the devices exist" "" "$(ls /tmp/*.dm_table_merge 2>/dev/null)"
check_status "partitions of the merged and the loop device mapped" 0 \
    test -b "/dev/mapper/${mdev}p1" -a -b "/dev/mapper/${ploop#/dev/}p1"
check_eq "guest file systems seen in the served images" "ext4 vfat" \
    "$(for f in merged plain; do blkid -p -o value -s TYPE -O $((2048 * 512)) "$M/vm1/$f-flat.vmdk"; done | xargs)"

# Two opens of one image share its cookie and its merged device; the device
# stays after both closes.
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
check_eq "the merged image was validated once (one cookie)" 1 \
    "$(grep -c "successfully validated $FLAT\$" "$LOG")"

rfs_stop "$M"
check_eq "exit status" 0 "$RFS_EXIT"
check_contains "optimised read device statistics logged at teardown" "$(cat "$LOG")" \
    "PDEV_STATS for /$mdev:"

# Reads of every shape, with the page cache out of the way (direct_io): the
# system gets exactly these offsets and sizes.
mount_scratch -o direct_io
out=$(python3 - "$M/vm1/merged-flat.vmdk" "$T/merged.want" "$CBT" "$M/vm1/plain-flat.vmdk" "$T/plain.want" \
    "$(dirname "$IMAGE_MERGE")" <<'PY'
import os, random, sys
sys.path.insert(0, sys.argv[6])
from image_merge import cbt_extents
bad = []
def check(path, want, cases):
    fd = os.open(path, os.O_RDONLY)
    for off, n in cases:
        got = os.pread(fd, n, off)
        if got != want[off:off + n]:
            bad.append("%s %d+%d: %d bytes" % (os.path.basename(path), off, n, len(got)))
    os.close(fd)

want = open(sys.argv[2], "rb").read()
edges = [e for start, data in cbt_extents(sys.argv[3]) for e in (start, start + len(data))]
rng = random.Random(11)
size = len(want)
cases = [(0, 4096), (0, 1), (100, 1000), (1000, 100), (511, 2), (1023, 2), (1024, 512),
         (1535, 2), (1400, 300), (0, 1024), (512, 1024), (size - 512, 512), (size - 100, 4096),
         (size - 1, 1), (size, 4096), (size + 8192, 512), (0, 131072)]
for e in edges:
    for d in (-513, -512, -1, 0, 1, 511):
        for n in (1, 511, 513, 4096, 70000):
            if 0 <= e + d < size:
                cases.append((e + d, n))
for _ in range(300):
    cases.append((rng.randrange(size), rng.choice([1, 7, 512, 4095, 4096, 65536, 131072])))
check(sys.argv[1], want, cases)
pw = open(sys.argv[5], "rb").read()
check(sys.argv[4], pw, [(0, 4096), (1000, 100), (1024, 512), (1500, 40), (len(pw) - 10, 20),
                        (len(pw), 1)] + [(rng.randrange(len(pw)), rng.choice([1, 513, 8192]))
                                          for _ in range(100)])
print("%d edges, %d cases" % (len(edges), len(cases)))
print("\n".join(bad[:20]) or "all equal")
PY
)
check_contains "aligned, unaligned, boundary and past-the-end reads" "$out" "all equal"
unmount_and_finish
