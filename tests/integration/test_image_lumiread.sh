#!/usr/bin/env bash
# Lumiread: reads of a flat image go through the in-use bitmap of its
# device. With a bitmap that marks every other group of 8 sectors unused,
# the client reads the merged image with those sectors zeroed and the
# statistics line counts them as skipped; where the provider offers no
# bitmap for the device, the plain path gives the unmodified image.
. "$(dirname "$0")/image_lib.sh"

OVR=/var/tolvane/inuse_override # the sandbox provider's explicit bitmaps
mkdir -p "$OVR"
ID=7a6b5c4d-3e2f-4101-9213-243546576879
SIZE=8388608
make_scratch <<JSON
{"vms": [{"name": "vm1", "disks": [
  {"name": "disk", "size": $SIZE, "content": "fast:21", "mbr": [[131, 2048, 14336]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 2},
   "tolcbt": {"random_extents": {"count": 40, "seed": 9, "max_sectors": 40, "min_sector": 2048}}}
]}]}
JSON
FLAT=$S/vm1/disk-flat.vmdk
CBT=$S/vm1/disk-tolcbt.vmdk

# The bitmap: bytes alternate 0xff and 0x00, so every other run of 8 sectors
# is unused (sectors 0 to 7, the MBR and the header among them, are used).
python3 -c 'import sys; open(sys.argv[1], "wb").write(bytes((0, 0xff)[k % 2 == 0] for k in range(int(sys.argv[2]))))' \
    "$T/half.bitmap" $((SIZE / 512 / 8))
python3 "$IMAGE_MERGE" "$FLAT" "$T/half.want" --cbt "$CBT" --bitmap "$T/half.bitmap" --hide-sector 2
python3 "$IMAGE_MERGE" "$FLAT" "$T/full.want" --cbt "$CBT" --hide-sector 2

# The merged device's name is drawn from the current second (the name of the
# first free "cbt.<n>" with n = rand_r(second) % 1000000): publish the bitmap
# under every name of the next minute and a half.
python3 - "$OVR" "$T/half.bitmap" <<'PY'
import ctypes, shutil, sys, time
libc = ctypes.CDLL(None)
now = int(time.time())
for t in range(now - 2, now + 90):
    seed = ctypes.c_uint(t)
    shutil.copyfile(sys.argv[2], "%s/cbt.%d" % (sys.argv[1], libc.rand_r(ctypes.byref(seed)) % 1000000))
PY

mount_scratch
check_status "Lumiread: the merged image with the unused sectors zeroed (cmp)" 0 \
    cmp "$M/vm1/disk-flat.vmdk" "$T/half.want"
check_status "the unused sectors do hold data in the merged image" 1 cmp -s "$T/half.want" "$T/full.want"
mdev=$(merged_device_of "$FLAT")
rfs_stop "$M"
# One pass over the image, though the kernel may ask again for a page it
# dropped under memory pressure before cmp took it: a few pages' slack.
stats=$(grep -F "PDEV_STATS for /$mdev:" "$LOG" | grep -oE 'sectors_read [0-9]+, sectors_skipped [0-9]+')
check_eq "statistics: half the sectors read, half skipped (one pass over the image)" "half and half" \
    "$(awk -v s="$stats" -v h=$((SIZE / 1024)) 'BEGIN { split(s, f, /[ ,]+/)
        print (f[2] >= h && f[4] >= h && f[2] <= h + 64 && f[4] <= h + 64) ? "half and half" : s }')"
rm -f "$OVR"/cbt.*
check_no_devices "after the Lumiread mount" "$S"

# A provider without any bitmap (no devices, no loop devices, no explicit
# bitmaps), mounted over the sandbox's: the device cannot be opened for
# optimised reads and the image is read plainly.
mkdir -p "$T/none/devices" "$T/none/override"
"$RFS_BUILD_DIR/platform/inuse_bitmap/rfs-inuse-bitmap" /inuse_bitmap --devices="$T/none/devices" \
    --override="$T/none/override" --no-loops -f -o nonempty >"$T/none/provider.log" 2>&1 &
PROVIDER=$!
wait_for 5 eval '[ "$(grep -c " /inuse_bitmap " /proc/self/mountinfo)" -ge 2 ]'
mount_scratch
check_eq "the provider offers no bitmap" "" "$(ls -A /inuse_bitmap)"
check_status "plain path: the unmodified merged image (cmp)" 0 cmp "$M/vm1/disk-flat.vmdk" "$T/full.want"
rfs_stop "$M"
check_eq "no statistics line without a bitmap" 1 "$(grep -c 'PDEV_STATS' "$LOG")"
fusermount -u /inuse_bitmap
wait "$PROVIDER"
finish_clean "after the plain mount"
