#!/bin/bash
# The snapshot overlay as the product builds it: a persistent snapshot with
# chunks of 4 sectors over a loop-attached store file of 50 MiB and one byte.
# Writes land in the store, the origin and the image stay unchanged, and a
# store that fills up fails the device.
. "$(dirname "$0")/lib.sh"

prepare() {
    # Larger than the store, so that overwriting it all fills the store.
    pattern "$1/disk.img" 131072 DISK
    sha256sum <"$1/disk.img" | cut -d' ' -f1 >"$1/disk.sha"
    # The data written through the snapshot: 1 MiB with a marker.
    pattern "$1/write.img" 2048 RFS-SNAPSHOT-WRITE
}

# write_at DEV FILE OFFSET_MIB
write_at() { dd if="$2" of="$1" bs=1M seek="$3" conv=notrunc,fsync oflag=direct status=none; }
read_at() { dd if="$1" bs=1M skip="$2" count="$3" iflag=direct status=none; }
store_has_marker() { grep -aq RFS-SNAPSHOT-WRITE "$1"; }
fill() { dd if=/dev/zero of="$1" bs=1M count=60 oflag=direct conv=fsync status=none; }
read_first() { dd if="$1" of=/dev/null bs=4096 count=1 iflag=direct status=none; }

run_tests() {
    local d=$1 disk base out
    attach disk "$d/disk.img" ro
    base=$(uniq_name 564d1234-snap)
    defer dm_remove "$base"
    check "create the disk device" dm_create_text "$base" "0 131072 linear $disk 0"$'\n'
    overlay_setup "$base" || return 0
    check "BASE reads the image" same_bytes "/dev/mapper/$base" "$d/disk.img" 67108864

    check "a write to BASE succeeds" write_at "/dev/mapper/$base" "$d/write.img" 3
    out=$(read_at "/dev/mapper/$base" 3 1 | sha256sum)
    check_eq "BASE reads back what was written" "$(sha256sum <"$d/write.img")" "$out"
    check "BASE still reads the image around the write" cmp -n $((3 << 20)) "/dev/mapper/$base" "$d/disk.img"
    check "the written data is in the store file" store_has_marker "$OVERLAY_STORE"
    check "the duplicate (origin) is unchanged" same_bytes "/dev/mapper/$base.dup" "$d/disk.img" 67108864
    check_unchanged "$d/disk.img" "$d/disk.sha"

    # 60 MiB of writes do not fit in 50 MiB: the snapshot becomes invalid.
    fill "/dev/mapper/$base" >/dev/null 2>&1 || true
    check_fails "after the store is full, reads of BASE fail" read_first "/dev/mapper/$base"
    check_match "status shows the snapshot Invalid" "Invalid" "$("$DMSETUP" status "$base" 2>&1)"
    check "the duplicate (origin) is still unchanged" same_bytes "/dev/mapper/$base.dup" "$d/disk.img" 67108864

    overlay_teardown "$base"
    check_unchanged "$d/disk.img" "$d/disk.sha" "at the end"
}

conf_main "$@"
