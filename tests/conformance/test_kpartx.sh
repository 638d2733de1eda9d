#!/bin/bash
# kpartx -pp -a / -d as the product runs it: on a device-mapper disk device
# and on a loop device, for MBR disks (primary, extended and logical
# partitions) and GPT disks; plus the partition type ids that sfdisk reads.
. "$(dirname "$0")/lib.sh"

# Partitions: number start size type (sectors).
MBR_PARTS="1 2048 16384 83
2 18432 16384 c
3 34816 96256 5
5 36864 16384 83
6 55296 16384 82"
GPT_PARTS="1 2048 16384
2 18432 16384
3 34816 16384"

prepare() {
    local d=$1 n start size type
    truncate -s 64M "$d/mbr.img" "$d/gpt.img"
    printf 'label: dos\n,8M,83\n,8M,c\n,,5\n,8M,83\n,8M,82\n' | sfdisk -q "$d/mbr.img"
    printf 'label: gpt\n,8M,L\n,8M,L\n,8M,L\n' | sfdisk -q "$d/gpt.img"
    # Check the layout the cases expect, then mark each partition's start
    # (the extended partition's first sector is its partition table).
    [[ $(sfdisk -d "$d/mbr.img" | awk -F'[=,]' '/start=/ { gsub(/ /, ""); print $2, $4, $6 }') == \
        $(awk '{ print $2, $3, $4 }' <<<"$MBR_PARTS") ]] || { echo "unexpected MBR layout" >&2; return 1; }
    while read -r n start size type; do
        [[ $type == 5 ]] || stamp "$d/mbr.img" "$start" "RFS-MBR-PART-$n"
    done <<<"$MBR_PARTS"
    while read -r n start size; do
        stamp "$d/gpt.img" "$start" "RFS-GPT-PART-$n"
    done <<<"$GPT_PARTS"
}

first_bytes() { head -c "$2" "$1" 2>&1; }

# parts_present PREFIX: the partition numbers that have a node, sorted.
parts_present() {
    local p
    for p in "/dev/mapper/$1"p*; do
        [[ -e $p ]] && echo "${p##*p}"
    done | sort -n | xargs
}

# check_parts DISKNAME DEVICE_MAJMIN LABEL PARTS
check_parts() {
    local name=$1 mm=$2 label=$3 parts=$4 n start size type expect
    expect=$(awk '{ print $1 }' <<<"$parts" | xargs)
    check_eq "$label: kpartx made exactly partitions $expect" "$expect" "$(parts_present "$name")"
    while read -r n start size type; do
        local dev=/dev/mapper/${name}p$n
        [[ $type == 5 ]] && size=2 # the extended partition is mapped as its first two sectors
        check "$label: ${name##*.}p$n is a block device" is_blockdev "$dev"
        check_eq "$label: p$n has the partition's size" "$((size * 512))" "$(size_bytes "$dev" 2>&1)"
        check_eq "$label: table of p$n maps the partition's sectors" "0 $size linear $mm $start" "$("$DMSETUP" table "$dev" 2>&1)"
        if [[ $type != 5 ]]; then
            local mark="RFS-${label%% *}-PART-$n"
            check_eq "$label: p$n reads the partition's first sector" "$mark" "$(first_bytes "$dev" ${#mark})"
        fi
    done <<<"$parts"
}

run_tests() {
    local d=$1 loop base n type

    # On a device-mapper disk device, as for a mounted disk.
    attach loop "$d/mbr.img" ro
    base=$(uniq_name 564dabcd-part)
    defer dm_remove "$base"
    dm_create_text "$base" "0 131072 linear $loop 0"$'\n'
    defer "$KPARTX" -pp -d "/dev/mapper/$base"
    check "MBR: kpartx -pp -a /dev/mapper/NAME" "$KPARTX" -pp -a "/dev/mapper/$base"
    check_parts "$base" "$(majmin "/dev/mapper/$base")" "MBR on dm" "$MBR_PARTS"
    while read -r n _ _ type; do
        check_eq "sfdisk --print-id --force DISK $n gives type $type" "$type" \
            "$("$SFDISK" --print-id --force "/dev/mapper/$base" "$n" 2>/dev/null | head -n1 | tr -d ' ')"
    done <<<"$MBR_PARTS"
    check "MBR: kpartx -pp -d /dev/mapper/NAME" "$KPARTX" -pp -d "/dev/mapper/$base"
    check_eq "MBR: no partition is left" "" "$(parts_present "$base")"
    check "MBR: the disk device itself stays" is_blockdev "/dev/mapper/$base"
    check "remove -f NAME" "$DMSETUP" remove -f "$base"

    # On a loop device, as for a flat image: the names come from the loop device.
    local lname=${loop##*/}
    defer "$KPARTX" -pp -d "$loop"
    check "MBR: kpartx -pp -a /dev/loopN" "$KPARTX" -pp -a "$loop"
    check_parts "$lname" "$(majmin "$loop")" "MBR on loop" "$MBR_PARTS"
    check "MBR: kpartx -pp -d /dev/loopN" "$KPARTX" -pp -d "$loop"
    check_eq "MBR on loop: no partition is left" "" "$(parts_present "$lname")"

    # GPT.
    local gloop gbase
    attach gloop "$d/gpt.img" ro
    gbase=$(uniq_name 564dabcd-gpt)
    defer dm_remove "$gbase"
    dm_create_text "$gbase" "0 131072 linear $gloop 0"$'\n'
    defer "$KPARTX" -pp -d "/dev/mapper/$gbase"
    check "GPT: kpartx -pp -a /dev/mapper/NAME" "$KPARTX" -pp -a "/dev/mapper/$gbase"
    check_parts "$gbase" "$(majmin "/dev/mapper/$gbase")" "GPT on dm" "$GPT_PARTS"
    check "GPT: kpartx -pp -d" "$KPARTX" -pp -d "/dev/mapper/$gbase"
    check_eq "GPT: no partition is left" "" "$(parts_present "$gbase")"
}

conf_main "$@"
