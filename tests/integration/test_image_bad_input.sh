#!/usr/bin/env bash
# Refused and damaged images, all in one mount: validation at the first open
# (size against the recovery header, change-block file size, change id and
# suffix) and images that pass it; damaged change-block files, a partition
# table past the disk, entries past the flat file, an all-zero disk. Nothing
# hangs; refusals answer EIO with their log text and leave no device. Size
# texts without a header, refusals leaving no cookie, every damage of a
# change-block file and entries out of order: unit tests.
. "$(dirname "$0")/image_lib.sh"

ID=0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9
OTHER=0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e8
MB=1048576
# hdr VERSION [SUFFIX]: a partition and a recovery header with the change id.
hdr() { echo "\"mbr\": [[131, 2048, 2048]], \"header\": {\"version\": $1, \"change_id\": \"$ID\", \"change_suffix\": ${2:-5}}"; }
H1=$(hdr 1)
H2=$(hdr 2)
EXT='"extents": [[1048576, 4096]]'
DISKS=() # disk NAME SIZE ATTRIBUTES [CONTENT]: one disk of the layout
disk() { DISKS+=("{\"name\": \"$1\", \"size\": $2, \"content\": \"${4:-fast:${#DISKS[@]}}\"${3:+, $3}}"); }
disk hdrsize $MB "\"mbr\": [[131, 2048, 2048]], \"header\": {\"version\": 2, \"size_sectors\": 4096, \"change_id\": \"$ID\"}"
disk short $MB '"mbr": [[131, 2048, 2048]], "header": {"version": 1, "size_sectors": 4096}'
disk cbtsize $((2 * MB)) "$H2, \"tolcbt\": {$EXT, \"file_size_delta\": 512}"
disk id1 $((2 * MB)) "$H1, \"tolcbt\": {$EXT, \"mismatch\": \"id\"}"
disk id2 $((2 * MB)) "$H2, \"tolcbt\": {$EXT, \"changeid\": \"$OTHER/5\"}"
disk suffix2 $((2 * MB)) "$H2, \"tolcbt\": {$EXT, \"mismatch\": \"suffix\"}"
disk nosuffix2 $((2 * MB)) "$H2, \"tolcbt\": {$EXT, \"mismatch\": \"no_suffix\"}"
# One damage found reading the file, one checking its extents.
CORRUPT=(header_magic extent_past_data)
for c in "${CORRUPT[@]}"; do
    disk "$c" $((2 * MB)) "$H2, \"tolcbt\": {\"extents\": [[$MB, 4096], [$((MB + 65536)), 512],
        [$((MB + 131072)), 8192]], \"corrupt\": \"$c\"}"
done
# pastend: an entry past the flat file's end leaves a gap mapped onto the
# flat file past its end, which device-mapper refuses after the loop attaches.
disk pastend $((2 * MB)) "$H2, \"tolcbt\": {\"extents\": [[$MB, 4096], [$((2 * MB + 4096)), 8192]]}"
REFUSED="hdrsize short cbtsize id1 id2 suffix2 nosuffix2 ${CORRUPT[*]} pastend"
# Accepted: a version-1 header (its suffix is not compared), a full 32-bit
# suffix, and a change-block file without changes (its change id is not
# looked at).
disk suffix1 $((2 * MB)) "$H1, \"tolcbt\": {$EXT, \"mismatch\": \"suffix\"}"
disk match2 $((2 * MB)) "$(hdr 2 4000000000), \"tolcbt\": {$EXT}"
disk nochange $((2 * MB)) "$H2, \"tolcbt\": {\"extents\": [], \"changeid\": \"$OTHER/9\"}"
disk bigpart $((2 * MB)) '"mbr": [[131, 2048, 999999]]'
disk zeros $((2 * MB)) '"descriptor": false' zero
make_scratch < <(IFS=,; echo "{\"vms\": [{\"name\": \"vm1\", \"disks\": [${DISKS[*]}]}]}")
F=$S/vm1
mount_scratch

# read_image NAME: what a client gets reading the whole image (bounded in time).
read_image() {
    timeout 60 python3 -c 'import errno, sys
try: print("OK", len(open(sys.argv[1], "rb").read()))
except OSError as e: print(errno.errorcode[e.errno])' "$M/vm1/$1-flat.vmdk"
    [ $? -eq 124 ] && echo "HANG"
}
for d in $REFUSED; do
    check_eq "$d: refused, the client sees EIO" EIO "$(read_image "$d")"
    check_eq "$d: no loop device left" "" "$(loops_of "$F/$d-flat.vmdk")$(loops_of "$F/$d-tolcbt.vmdk")"
done
log=$(cat "$L/recovery_fs")
TRY="Recovery is probably in progress, please try again later."
# The change-block path is built from the scratch path and the FUSE path.
cbt_size=$(stat -c %s "$F/cbtsize-tolcbt.vmdk")
changeid="The changeid $ID in the flat file $F/id%s-flat.vmdk does not match the changeid %s in the change block file."
suffix="The change suffix 5 in the flat file $F/%s-flat.vmdk does not match the change suffix %s in the change block file."
while IFS='|' read -r what errno text; do
    esc=$(sed 's/[][\.*^$/+?(){}|]/\\&/g' <<<"$text")
    check_eq "$what (logged once, errno $errno)" 1 \
        "$(grep -cE "^[-0-9: .]+: ERROR \[thread:[0-9]+, where:[^]]+, error:$errno\] $esc\$" <<<"$log")"
done <<EOF
size against the recovery header|16|Expect 2097152 bytes in $F/hdrsize-flat.vmdk but found 1048576 bytes. $TRY
size against a version-1 recovery header|16|Expect 2097152 bytes in $F/short-flat.vmdk but found 1048576 bytes. $TRY
change-block file size|16|Expect $((cbt_size + 512)) bytes in $S//vm1/cbtsize-tolcbt.vmdk but found $cbt_size bytes. $TRY
version 1: change id mismatch|5|$(printf "$changeid" 1 "$OTHER/5")
version 2: change id mismatch|5|$(printf "$changeid" 2 "$OTHER/5")
version 2: change suffix mismatch|5|$(printf "$suffix" suffix2 6)
version 2: change id without suffix refused|5|$(printf "$suffix" nosuffix2 -1)
EOF
check_contains "wrong magic logged" "$log" "error:22] invalid tolcbt header magic number"
check_contains "entry past the data area logged" "$log" "data end beyond the end of the file"
check_eq "no device-mapper device from refused images" "" "$(dm_devices)"

for d in suffix1 match2 nochange; do
    check_status "$d: accepted and readable" 0 cmp -n 65536 "$M/vm1/$d-flat.vmdk" "$F/$d-flat.vmdk" -i 4096
done
check_eq "accepted images were validated" 3 \
    "$(grep -cE "successfully validated $F/(suffix1|match2|nochange)-flat.vmdk\$" "$L/recovery_fs")"
check_eq "the change-block file without changes is served by the flat file's loop device" \
    "1 0" "$(loops_of "$F/nochange-flat.vmdk" | wc -l) $(loops_of "$F/nochange-tolcbt.vmdk" | wc -l)"
check_contains "partition past the disk's end: served or refused, no hang" "OK 2097152 EIO" "$(read_image bigpart)"
check_status "all-zero disk: served whole (no header sector to hide)" 0 cmp "$M/vm1/zeros-flat.vmdk" "$F/zeros-flat.vmdk"
check_eq "recovery_fs still runs" yes "$(rfs_alive "$RFS_PID" && echo yes)"

unmount_and_finish
