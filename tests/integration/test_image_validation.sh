#!/usr/bin/env bash
# Validation of flat images at their first open: refusals seen by the client
# as EIO with their log texts (size not a multiple of 512, size against the
# recovery header or the descriptor, change-block file size, change id and
# change suffix), the images that are accepted, and no devices or cookies
# left by a refusal (the next open validates again).
. "$(dirname "$0")/image_lib.sh"

ID=0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e9
OTHER=0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e8
MB=1048576
EXT='"extents": [[1048576, 4096]]'
cat >"$T/layout.json" <<JSON
{"vms": [{"name": "vm1", "disks": [
  {"name": "odd", "size": 1000, "content": "pattern", "descriptor": false},
  {"name": "hdrsize", "size": $MB, "content": "fast:1", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "size_sectors": 4096, "change_id": "$ID"}},
  {"name": "descsize", "size": $MB, "content": "fast:2", "descriptor_size": 2097152},
  {"name": "nodesc", "size": $MB, "content": "fast:3", "descriptor": false},
  {"name": "cbtsize", "size": $((2 * MB)), "content": "fast:4", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 5},
   "tolcbt": {$EXT, "file_size_delta": 512}},
  {"name": "id1", "size": $((2 * MB)), "content": "fast:5", "mbr": [[131, 2048, 2048]],
   "header": {"version": 1, "change_id": "$ID", "change_suffix": 5},
   "tolcbt": {$EXT, "mismatch": "id"}},
  {"name": "id2", "size": $((2 * MB)), "content": "fast:6", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 5},
   "tolcbt": {$EXT, "changeid": "$OTHER/5"}},
  {"name": "suffix2", "size": $((2 * MB)), "content": "fast:7", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 5},
   "tolcbt": {$EXT, "mismatch": "suffix"}},
  {"name": "nosuffix2", "size": $((2 * MB)), "content": "fast:8", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 5},
   "tolcbt": {$EXT, "mismatch": "no_suffix"}},
  {"name": "suffix1", "size": $((2 * MB)), "content": "fast:9", "mbr": [[131, 2048, 2048]],
   "header": {"version": 1, "change_id": "$ID", "change_suffix": 5},
   "tolcbt": {$EXT, "mismatch": "suffix"}},
  {"name": "match2", "size": $((2 * MB)), "content": "fast:10", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 4000000000},
   "tolcbt": {$EXT}},
  {"name": "nochange", "size": $((2 * MB)), "content": "fast:11", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 5},
   "tolcbt": {"extents": [], "changeid": "$OTHER/9"}}
]}]}
JSON
mkscratch "$S" --layout "$T/layout.json" || { fail "mkscratch"; rfs_finish; }
before=$(tree_hash "$S")
F=$S/vm1
TRY="Recovery is probably in progress, please try again later."

rfs_start "$M" -P "$S" --volume-path="$V" -L "$L" || rfs_finish

for d in odd hdrsize descsize cbtsize id1 id2 suffix2 nosuffix2; do
    check_errno "$d: refused, the client sees EIO" EIO read "$M/vm1/$d-flat.vmdk"
done
log=$(cat "$L/recovery_fs")
E='ERROR \[thread:[0-9]+, where:[^]]+, error:'
expect_line() { # WHAT ERRNO TEXT(regex-escaped by the caller)
    check_eq "$1" 1 "$(grep -cE "^[-0-9: .]+: ${E}$2\] $3\$" <<<"$log")"
}
esc() { sed 's/[][\.*^$/+?(){}|]/\\&/g' <<<"$1"; }
expect_line "size not a multiple of 512 (EBUSY)" 16 \
    "$(esc "$F/odd-flat.vmdk file has incorrect size 1000. $TRY")"
expect_line "size against the recovery header (EBUSY)" 16 \
    "$(esc "Expect 2097152 bytes in $F/hdrsize-flat.vmdk but found 1048576 bytes. $TRY")"
expect_line "size against the descriptor (EBUSY)" 16 \
    "$(esc "Expect 2097152 bytes in $F/descsize-flat.vmdk but found 1048576 bytes. $TRY")"
cbt_size=$(stat -c %s "$F/cbtsize-tolcbt.vmdk")
# The change-block path is built from the scratch path and the FUSE path.
expect_line "change-block file size (EBUSY)" 16 \
    "$(esc "Expect $((cbt_size + 512)) bytes in $S//vm1/cbtsize-tolcbt.vmdk but found $cbt_size bytes. $TRY")"
expect_line "version 1: change id mismatch (EIO)" 5 \
    "$(esc "The changeid $ID in the flat file $F/id1-flat.vmdk does not match the changeid 0a1b2c3d-4e5f-4061-8273-94a5b6c7d8e8/5 in the change block file.")"
expect_line "version 2: change id mismatch (EIO)" 5 \
    "$(esc "The changeid $ID in the flat file $F/id2-flat.vmdk does not match the changeid $OTHER/5 in the change block file.")"
expect_line "version 2: change suffix mismatch (EIO)" 5 \
    "$(esc "The change suffix 5 in the flat file $F/suffix2-flat.vmdk does not match the change suffix 6 in the change block file.")"
expect_line "version 2: change id without suffix refused (EIO)" 5 \
    "$(esc "The change suffix 5 in the flat file $F/nosuffix2-flat.vmdk does not match the change suffix -1 in the change block file.")"

# Accepted: no descriptor and no header (no size check), a version-1 header
# (its suffix is not compared), a full 32-bit suffix, and a change-block file
# without changes (its change id is not looked at).
for d in nodesc suffix1 match2 nochange; do
    check_status "$d: accepted and readable" 0 cmp -n 65536 "$M/vm1/$d-flat.vmdk" "$F/$d-flat.vmdk" -i 4096
done
check_eq "accepted images were validated" 4 \
    "$(grep -cE "successfully validated $F/(nodesc|suffix1|match2|nochange)-flat.vmdk\$" "$L/recovery_fs")"
check_eq "the change-block file without changes is served by the flat file's loop device" \
    "1 0" "$(loops_of "$F/nochange-flat.vmdk" | wc -l) $(loops_of "$F/nochange-tolcbt.vmdk" | wc -l)"

# A refusal leaves no cookie: the next open validates (and refuses) again.
check_errno "refused again at the next open" EIO read "$M/vm1/odd-flat.vmdk"
check_eq "validated again" 2 "$(grep -c "odd-flat.vmdk file has incorrect size 1000" "$L/recovery_fs" | awk '{print int($1 / 2)}')"
left=""
for d in odd hdrsize descsize cbtsize id1 id2 suffix2 nosuffix2; do
    [ -n "$(loops_of "$F/$d-flat.vmdk")$(loops_of "$F/$d-tolcbt.vmdk" 2>/dev/null)" ] && left+="$d "
done
check_eq "refused images got no loop device" "" "$left"

rfs_stop "$M"
check_no_devices "after unmount" "$S"
check_eq "scratch tree unchanged" "$before" "$(tree_hash "$S")"
rfs_finish
