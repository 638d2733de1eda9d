#!/bin/bash
# kpartx -pp -a / -d as the product runs it: on a device-mapper disk device
# and on a loop device, for MBR disks (primary, extended and logical
# partitions). (Partition type ids: test_mount.sh; GPT disks: check_kpartx.sh
# of the stand-in and the views of tests/integration, on both targets.)
. "$(dirname "$0")/lib.sh"

# Partitions: number start size type (sectors).
MBR_PARTS="1 2048 16384 83
2 18432 16384 c
3 34816 96256 5
5 36864 16384 83
6 55296 16384 82"

prepare() {
    local d=$1 n start size type
    truncate -s 64M "$d/mbr.img"
    printf 'label: dos\n,8M,83\n,8M,c\n,,5\n,8M,83\n,8M,82\n' | sfdisk -q "$d/mbr.img"
    # Check the layout the cases expect, then mark each partition's start
    # (the extended partition's first sector is its partition table).
    [[ $(sfdisk -d "$d/mbr.img" | awk -F'[=,]' '/start=/ { gsub(/ /, ""); print $2, $4, $6 }') == \
        $(awk '{ print $2, $3, $4 }' <<<"$MBR_PARTS") ]] || { echo "unexpected MBR layout" >&2; return 1; }
    while read -r n start size type; do
        [[ $type == 5 ]] || printf 'RFS-MBR-PART-%s' "$n" | dd of="$d/mbr.img" bs=512 seek="$start" conv=notrunc status=none
    done <<<"$MBR_PARTS"
}

# parts_present PREFIX: the partition numbers that have a node, sorted.
parts_present() {
    local p
    for p in "/dev/mapper/$1"p*; do
        [[ -e $p ]] && echo "${p##*p}"
    done | sort -n | xargs
}

# map_parts LABEL DEVICE PREFIX PARTS: kpartx -pp -a DEVICE maps exactly the
# partitions PARTS as PREFIXpN, kpartx -pp -d removes them all.
map_parts() {
    local label=$1 dev=$2 prefix=$3 parts=$4 mm n start size type expect mark
    mm=$(majmin "$dev")
    expect=$(awk '{ print $1 }' <<<"$parts" | xargs)
    defer "$KPARTX" -pp -d "$dev"
    check "$label: kpartx -pp -a" "$KPARTX" -pp -a "$dev"
    check_eq "$label: kpartx made exactly partitions $expect" "$expect" "$(parts_present "$prefix")"
    while read -r n start size type; do
        local part=/dev/mapper/${prefix}p$n
        [[ $type == 5 ]] && size=2 # the extended partition is mapped as its first two sectors
        check_eq "$label: p$n has the partition's size" "$((size * 512))" "$(size_bytes "$part" 2>&1)"
        check_eq "$label: table of p$n maps the partition's sectors" "0 $size linear $mm $start" "$("$DMSETUP" table "$part" 2>&1)"
        if [[ $type != 5 ]]; then
            mark="RFS-${label%% *}-PART-$n"
            check_eq "$label: p$n reads the partition's first sector" "$mark" "$(head -c ${#mark} "$part" 2>&1)"
        fi
    done <<<"$parts"
    check "$label: kpartx -pp -d" "$KPARTX" -pp -d "$dev"
    check_eq "$label: no partition is left" "" "$(parts_present "$prefix")"
}

run_tests() {
    local d=$1 loop base
    # On a device-mapper disk device, as for a mounted disk; on a loop device,
    # as for a flat image (the names come from the loop device).
    attach loop "$d/mbr.img" ro
    base=$(uniq_name 564dabcd-part)
    defer dm_remove "$base"
    dm_create_text "$base" "0 131072 linear $loop 0"$'\n'
    map_parts "MBR on dm" "/dev/mapper/$base" "$base" "$MBR_PARTS"
    "$DMSETUP" remove -f "$base"
    map_parts "MBR on loop" "$loop" "${loop##*/}" "$MBR_PARTS"
}

conf_main "$@"
