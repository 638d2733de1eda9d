#!/usr/bin/env bash
# Bad images: damaged change-block files (wrong magic, cut header, a list
# without its last entry or with a foreign marker, a cut list, a cut data
# area, an entry reaching past the data area), a flat file shorter than its
# header claims, a partition table reaching past the disk, entries out of
# order and past the flat file's end, and a disk of all zeros. Nothing
# crashes or hangs, refused opens answer EIO and leave no loop or
# device-mapper device, and the scratch tree keeps every byte.
. "$(dirname "$0")/image_lib.sh"

ID=1c2d3e4f-5061-4728-8394-a5b6c7d8e9f0
MB=1048576
HDR="\"mbr\": [[131, 2048, 2048]], \"header\": {\"version\": 2, \"change_id\": \"$ID\", \"change_suffix\": 1}"
disks=""
for c in header_magic short_header no_last_marker foreign_marker list_truncated data_truncated extent_past_data; do
    disks+="{\"name\": \"$c\", \"size\": $((2 * MB)), \"content\": \"fast:3\", $HDR,
             \"tolcbt\": {\"extents\": [[$MB, 4096], [$((MB + 65536)), 512], [$((MB + 131072)), 8192]],
                        \"corrupt\": \"$c\"}},"
done
cat >"$T/layout.json" <<JSON
{"vms": [{"name": "vm1", "disks": [ $disks
  {"name": "short", "size": $MB, "content": "fast:4", "mbr": [[131, 2048, 2048]],
   "header": {"version": 1, "size_sectors": 4096}},
  {"name": "bigpart", "size": $((2 * MB)), "content": "fast:5", "mbr": [[131, 2048, 999999]]},
  {"name": "disorder", "size": $((2 * MB)), "content": "fast:6", $HDR,
   "tolcbt": {"extents": [[$MB, 65536], [4096, 4096]]}},
  {"name": "pastend", "size": $((2 * MB)), "content": "fast:7", $HDR,
   "tolcbt": {"extents": [[$MB, 4096], [$((2 * MB + 4096)), 8192]]}},
  {"name": "zeros", "size": $((2 * MB)), "content": "zero", "descriptor": false}
]}]}
JSON
mkscratch "$S" --layout "$T/layout.json" || { fail "mkscratch"; rfs_finish; }
F=$S/vm1
before=$(tree_hash "$S")

rfs_start "$M" -P "$S" --volume-path="$V" -L "$L" || rfs_finish

# read NAME: what a client gets reading the whole image (bounded in time).
read_image() {
    timeout 60 python3 - "$M/vm1/$1-flat.vmdk" <<'PY'
import errno, os, sys
try:
    with open(sys.argv[1], "rb") as f:
        print("OK", len(f.read()))
except OSError as e:
    print(errno.errorcode[e.errno])
PY
    [ $? -eq 124 ] && echo "HANG"
}
# pastend: an entry beyond the flat file's end leaves a gap that the table
# maps onto the flat file past its end, which device-mapper refuses after
# both loop devices were attached.
for c in header_magic short_header no_last_marker foreign_marker list_truncated data_truncated extent_past_data short pastend; do
    check_eq "$c: refused with EIO" EIO "$(read_image "$c")"
    check_eq "$c: no loop device left" "" "$(loops_of "$F/$c-flat.vmdk")$(loops_of "$F/$c-tolcbt.vmdk" 2>/dev/null)"
done
log=$(cat "$L/recovery_fs")
check_contains "wrong magic logged" "$log" "error:22] invalid tolcbt header magic number"
check_contains "list without its end logged" "$log" "error:22] invalid tolcbt changed block list"
check_contains "entry past the data area logged" "$log" "data end beyond the end of the file"
check_contains "flat file shorter than its header logged" "$log" \
    "Expect 2097152 bytes in $F/short-flat.vmdk but found 1048576 bytes."
check_eq "no device-mapper device from refused images" "" "$(dm_devices)"

python3 "$IMAGE_MERGE" "$F/disorder-flat.vmdk" "$T/disorder.want" --cbt "$F/disorder-tolcbt.vmdk" --hide-sector 2 2>/dev/null
out=$(read_image bigpart)
check_contains "partition past the disk's end: served or refused, no hang" "OK 2097152 EIO" "$out"
check_eq "all-zero disk: served (no header sector to hide)" "OK $((2 * MB))" "$(read_image zeros)"
check_status "all-zero disk reads as zeros" 0 cmp "$M/vm1/zeros-flat.vmdk" "$F/zeros-flat.vmdk"
check_eq "entries out of order: served" "OK $((2 * MB))" "$(read_image disorder)"
check_status "entries out of order: each placed after the one before" 0 cmp "$M/vm1/disorder-flat.vmdk" "$T/disorder.want"
check_eq "recovery_fs still runs" yes "$(rfs_alive "$RFS_PID" && echo yes)"

rfs_stop "$M"
check_eq "exit status" 0 "$RFS_EXIT"
check_no_devices "after unmount" "$S"
check_eq "scratch tree unchanged" "$before" "$(tree_hash "$S")"
rfs_finish
