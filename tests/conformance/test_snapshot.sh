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
    local d=$1 disk base store loop sectors out rc
    attach disk "$d/disk.img" ro
    base=$(uniq_name 564d1234-snap)
    defer dm_remove "$base"
    check "create the disk device" dm_create_text "$base" "0 131072 linear $disk 0"$'\n'

    store=/tmp/$base.tolstorage
    defer rm -f "$store"
    truncate -s 52428801 "$store"
    attach loop "$store" rw
    check_eq "the store's loop device is 50 MiB (the odd byte is dropped)" 52428800 "$(size_bytes "$loop" 2>&1)"

    defer dm_remove "$base.dup"
    check "table BASE | create BASE.dup" dm_copy "$base" "$base.dup"
    check "suspend BASE" "$DMSETUP" suspend "$base"
    sectors=$(($(size_bytes "/dev/mapper/$base.dup") / 512))
    check_eq "the duplicate's size query, in sectors" 131072 "$sectors"

    defer dm_remove "$base.top"
    check "create BASE.top with 'snapshot ORIGIN STORE p 4' (no line end)" \
        dm_create_text "$base.top" "0 $sectors snapshot /dev/mapper/$base.dup $loop p 4"
    local snap="0 131072 snapshot $(majmin "/dev/mapper/$base.dup") $(majmin "$loop") P 4"
    check_eq "table BASE.top: devices as major:minor, persistence as P" "$snap" "$("$DMSETUP" table "$base.top" 2>&1)"
    check "table BASE.top | load BASE" bash -c '"$1" table "$2.top" | "$1" load "$2"' _ "$DMSETUP" "$base"
    # The kernel hands the store over from BASE.top to BASE only while the
    # source is suspended: resuming BASE with BASE.top live is refused.
    check_fails "resume BASE while BASE.top, on the same store, is live fails" "$DMSETUP" resume "$base"
    check "suspend BASE.top" "$DMSETUP" suspend "$base.top"
    check "then resume BASE succeeds" "$DMSETUP" resume "$base"
    check_eq "table BASE is the snapshot table" "$snap" "$("$DMSETUP" table "$base" 2>&1)"
    check "BASE reads the image" same_bytes "/dev/mapper/$base" "$d/disk.img" 67108864

    check "a write to BASE succeeds" write_at "/dev/mapper/$base" "$d/write.img" 3
    out=$(read_at "/dev/mapper/$base" 3 1 | sha256sum)
    check_eq "BASE reads back what was written" "$(sha256sum <"$d/write.img")" "$out"
    check "BASE still reads the image around the write" cmp -n $((3 << 20)) "/dev/mapper/$base" "$d/disk.img"
    check "the written data is in the store file" store_has_marker "$store"
    check "the duplicate (origin) is unchanged" same_bytes "/dev/mapper/$base.dup" "$d/disk.img" 67108864
    check_eq "the image file is unchanged" "$(cat "$d/disk.sha")" "$(sha256sum <"$d/disk.img" | cut -d' ' -f1)"

    # 60 MiB of writes do not fit in 50 MiB: the snapshot becomes invalid.
    rc=0
    fill "/dev/mapper/$base" >/dev/null 2>&1 || rc=$?
    check_fails "after the store is full, reads of BASE fail" read_first "/dev/mapper/$base"
    check_match "status shows the snapshot Invalid" "Invalid" "$("$DMSETUP" status "$base" 2>&1)"
    check "the duplicate (origin) is still unchanged" same_bytes "/dev/mapper/$base.dup" "$d/disk.img" 67108864

    # The product's teardown order.
    check "remove -f BASE" "$DMSETUP" remove -f "$base"
    check "remove -f BASE.top" "$DMSETUP" remove -f "$base.top"
    check "remove -f BASE.dup" "$DMSETUP" remove -f "$base.dup"
    check "the store's loop device detaches" "$LOSETUP" -d "$loop"
    check "no node of BASE is left" bash -c '! ls /dev/mapper | grep -qF "$1"' _ "$base"
    check_eq "the image file is unchanged at the end" "$(cat "$d/disk.sha")" "$(sha256sum <"$d/disk.img" | cut -d' ' -f1)"
}

conf_main "$@"
