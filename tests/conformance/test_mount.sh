#!/bin/bash
# Guest file systems as the product mounts them: partitions of a
# snapshot-overlaid disk, found by kpartx, typed by sfdisk, mounted
# with "-oro" (ext2, ext3, ext4, vfat) or "-oro,streams_interface=windows"
# (NTFS, through ntfs-3g) and detached with "umount -fl". The overlay itself
# (a persistent snapshot with chunks of 4 sectors over a store of 50 MiB and
# one byte): writes land in the store, the origin and image stay unchanged.
# (A store that fills up: platform/dm/tests/check_snapshot.sh. LVM guests and
# vol_id's words: the views of tests/integration, on both targets.)
. "$(dirname "$0")/lib.sh"

# number start type file-system
PARTS="1 2048 83 ext2
2 18432 83 ext3
5 36864 83 ext4
6 55296 c vfat
7 73728 7 ntfs"

prepare() {
    local d=$1 n start type fs
    truncate -s 64M "$d/disk.img"
    printf 'label: dos\n,8M,83\n,8M,83\n,,5\n,8M,83\n,8M,c\n,8M,7\n' | sfdisk -q "$d/disk.img"
    while read -r n start type fs; do
        mkdir -p "$d/src-$fs"
        echo "hello from $fs" >"$d/src-$fs/hello.txt"
        fs_image "$fs" "$d/$fs.fs" 8 "$d/src-$fs"
        dd if="$d/$fs.fs" of="$d/disk.img" bs=1M seek=$((start * 512)) oflag=seek_bytes conv=notrunc,sparse status=none
        rm -f "$d/$fs.fs"
    done <<<"$PARTS"
    [[ $(sfdisk -d "$d/disk.img" | grep -c start=) == 6 ]]
    sha256sum <"$d/disk.img" | cut -d' ' -f1 >"$d/disk.sha"
    pattern "$d/write.img" 2048 RFS-SNAPSHOT-WRITE # 1 MiB written through the overlay
}

mount_opts() { [[ $1 == ntfs ]] && echo "-oro,streams_interface=windows" || echo "-oro"; }
# NTFS goes through ntfs-3g (FUSE); the others need the kernel's driver, which
# a host kernel may lack (this development host has no vfat): gate on it.
kernel_mounts() {
    [[ $1 == ntfs ]] && return 0
    grep -qw "$1" /proc/filesystems || modprobe -q "$1" 2>/dev/null
}

run_tests() {
    local d=$1 disk base n start type fs dev dir
    attach disk "$d/disk.img" ro
    base=$(uniq_name 564d5555-mnt)
    defer dm_remove "$base"
    dm_create_text "$base" "0 131072 linear $disk 0"$'\n'
    overlay_setup "$base" || return 0
    CONF_ON_HANG="$(printf '%q ' "$DMSETUP" resume "$base.top")"
    # 1 MiB at 50 MiB, behind the last partition.
    check "a write to BASE succeeds" dd if="$d/write.img" of="/dev/mapper/$base" bs=1M seek=50 \
        conv=notrunc,fsync oflag=direct status=none
    check_eq "BASE reads back what was written" "$(sha256sum <"$d/write.img")" \
        "$(dd if="/dev/mapper/$base" bs=1M skip=50 count=1 iflag=direct status=none | sha256sum)"
    check "BASE still reads the image before the write" cmp -n $((50 << 20)) "/dev/mapper/$base" "$d/disk.img"
    check "the written data is in the store file" grep -aq RFS-SNAPSHOT-WRITE "$OVERLAY_STORE"
    check "the duplicate (origin) is unchanged" same_bytes "/dev/mapper/$base.dup" "$d/disk.img" 67108864
    defer "$KPARTX" -pp -d "/dev/mapper/$base"
    check "kpartx -pp -a" "$KPARTX" -pp -a "/dev/mapper/$base"

    while read -r n start type fs; do
        dev=/dev/mapper/${base}p$n
        dir=/tmp/$base/$n
        mkdir -p "$dir"
        defer "$UMOUNT" -fl "$dir"
        check_eq "$fs: sfdisk --print-id gives $type" "$type" "$(/sbin/sfdisk --print-id --force "/dev/mapper/$base" "$n" 2>/dev/null | head -n1 | tr -d ' ')"
        if ! kernel_mounts "$fs"; then
            skip "$fs: mounts (the running kernel has no $fs driver)"
            continue
        fi
        check "$fs: mount $(mount_opts "$fs") PARTITION DIR" "$MOUNT" "$(mount_opts "$fs")" "$dev" "$dir"
        check_eq "$fs: the file reads back" "hello from $fs" "$(cat "$dir/hello.txt" 2>&1)"
        check_fails "$fs: the mount is read-only" touch "$dir/rfs-write-test"
    done <<<"$PARTS"

    # Detach in reverse, as the product does, while one of them is busy.
    exec {busy}<"/tmp/$base/1/hello.txt"
    while read -r n _ _ fs; do
        kernel_mounts "$fs" || continue
        check "$fs: umount -fl DIR" "$UMOUNT" -fl "/tmp/$base/$n"
        check_fails "$fs: ... is detached" grep -q " /tmp/$base/$n " /proc/self/mounts
    done < <(tac <<<"$PARTS")
    exec {busy}<&-

    check "kpartx -pp -d" "$KPARTX" -pp -d "/dev/mapper/$base"
    overlay_teardown "$base"
    check_eq "the image file is unchanged" "$(cat "$d/disk.sha")" "$(sha256sum <"$d/disk.img" | cut -d' ' -f1)"
}

conf_main "$@"
