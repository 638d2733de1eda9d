#!/bin/bash
# LVM as the product brings up a guest's volume group on a partition of a
# snapshot-overlaid disk: pvs finds the group, vgrename gives it the mount-time
# name, pvcreate --restorefile and vgcfgrestore give it new identifiers, lvs
# lists its volumes, lvchange -ay / -an activates and deactivates them, and a
# volume's file system mounts read-only. The image file stays unchanged.
. "$(dirname "$0")/lib.sh"

prepare() {
    local d=$1 loop vg pe_start ext lv first
    truncate -s 64M "$d/disk.img"
    printf 'label: dos\n2048,,8e\n' | sfdisk -q "$d/disk.img"
    truncate -s $(((131072 - 2048) * 512)) "$d/pv.img"
    vg=rfsconf$RANDOM$RANDOM
    echo "$vg" >"$d/vg"
    # The host may have no device-mapper: LVM writes the metadata only
    # (activation off), keeps no backups here and sees only this device.
    export LVM_SUPPRESS_FD_WARNINGS=1
    loop=$(losetup -f --show "$d/pv.img")
    (
        trap 'losetup -d "$loop"' EXIT
        cfg="devices { filter = [ \"a|^$loop\$|\", \"r|.*|\" ] } global { activation = 0 } backup { backup = 0 archive = 0 }"
        pvcreate -q --config "$cfg" "$loop"
        vgcreate -q --config "$cfg" -s 4M "$vg" "$loop"
        lvcreate -q --config "$cfg" -an -Zn -L 8M -n root "$vg"
        lvcreate -q --config "$cfg" -an -Zn -L 4M -n data "$vg"
        pvs --config "$cfg" --noheadings --units s -o pe_start "$loop" | tr -dc 0-9 >"$d/pe_start"
        vgs --config "$cfg" --noheadings --units s -o vg_extent_size "$vg" | tr -dc 0-9 >"$d/extent"
        for lv in root data; do
            lvs --config "$cfg" --noheadings -o seg_pe_ranges "$vg/$lv" | sed 's/.*:\([0-9]*\)-.*/\1/' | tr -dc 0-9 >"$d/$lv.pe"
        done
    ) 2>&1 | grep -v -e WARNING -e 'successfully created' -e 'created\.$' || true
    pe_start=$(cat "$d/pe_start")
    ext=$(cat "$d/extent")
    mkdir -p "$d/src-root" "$d/src-data"
    echo "hello from lvm root" >"$d/src-root/hello.txt"
    echo "hello from lvm data" >"$d/src-data/hello.txt"
    fs_image ext4 "$d/root.fs" 8 "$d/src-root"
    fs_image ext2 "$d/data.fs" 4 "$d/src-data"
    for lv in root data; do
        first=$(cat "$d/$lv.pe")
        [[ -n $first && -n $pe_start && -n $ext ]] || { echo "cannot locate $lv" >&2; return 1; }
        place "$d/$lv.fs" "$d/pv.img" $((pe_start + first * ext))
    done
    place "$d/pv.img" "$d/disk.img" 2048
    rm -f "$d/pv.img" "$d/root.fs" "$d/data.fs"
    sha256sum <"$d/disk.img" | cut -d' ' -f1 >"$d/disk.sha"
}

# The product's identifier rewrite: in every line with "id = ", the six
# characters 38 after its start (the identifier's last six) become TAIL; the
# first identifier after "pv0 {" is the new physical volume identifier.
rewrite_ids() { # BACKUP COPY TAIL -> prints the new PV id
    awk -v tail="$3" -v out="$2" '
        { i = index($0, "id = ")
          if (i > 0 && length($0) >= i + 43) {
              $0 = substr($0, 1, i + 37) tail substr($0, i + 44)
              if (in_pv0 && pv == "") { pv = substr($0, i + 6, 38) }
          } else if (i == 0 && index($0, "pv0 {") > 0) { in_pv0 = 1 }
          print > out }
        END { print pv }' "$1"
}

mount_read() { # DEV DIR FILE
    mkdir -p "$2"
    "$MOUNT" -oro "$1" "$2" && cat "$2/$3"
    "$UMOUNT" -fl "$2"
}


run_tests() {
    local d=$1 disk base vg new p1 newpv out tail lv
    vg=$(cat "$d/vg")
    attach disk "$d/disk.img" ro
    base=$(uniq_name 564d9876-lvm)
    defer dm_remove "$base"
    dm_create_text "$base" "0 131072 linear $disk 0"$'\n'
    overlay_setup "$base" || return 0
    # Nothing may read the suspended BASE.top; if a scan does, unblock it.
    CONF_ON_HANG="$(printf '%q ' "$DMSETUP" resume "$base.top")"
    defer "$KPARTX" -pp -d "/dev/mapper/$base"
    check "kpartx -pp -a" "$KPARTX" -pp -a "/dev/mapper/$base"
    p1=/dev/mapper/${base}p1
    if [[ -n $VOL_ID ]]; then
        check_eq "vol_id -t says LVM2_member" LVM2_member "$("$VOL_ID" -t "$p1" 2>/dev/null | awk 'NR == 1 { print $1 }')"
    fi

    check_eq "pvs --noheadings -ovg_name PARTITION names the group" "$vg" "$(guard "$PVS" --noheadings -ovg_name "$p1" 2>/dev/null | xargs)"
    new=${base}p1-$vg
    defer rm -rf "/dev/$new" "/etc/lvm/backup/$new" "/tmp/$new"
    check "vgrename GROUP BASEp1-GROUP" "$VGRENAME" "$vg" "$new"

    tail=$(printf '%06u' $(($(date +%s) % 1000000)))
    newpv=$(rewrite_ids "/etc/lvm/backup/$new" "/tmp/$new" "$tail")
    check_match "the copy yields a new PV identifier ending in the tail" "^[A-Za-z0-9-]{32}$tail\$" "$newpv"
    check "pvcreate -ff -y --restorefile COPY --uuid NEWPV PARTITION" \
        "$PVCREATE" -ff -y --restorefile "/tmp/$new" --uuid "$newpv" "$p1"
    check "vgcfgrestore --file COPY NEWNAME" "$VGCFGRESTORE" --file "/tmp/$new" "$new"
    check_eq "the partition now has the new PV identifier" "$newpv" "$(guard "$PVS" --noheadings -o pv_uuid "$p1" 2>/dev/null | xargs)"
    check_match "the group's identifier has the tail too" "$tail\$" "$(guard "$PVS" --noheadings -o vg_uuid "$p1" 2>/dev/null | xargs)"

    out=$(guard "$LVS" --noheadings -olv_name "$new" 2>/dev/null | xargs -n1 | sort | xargs)
    check_eq "lvs --noheadings -olv_name NEWNAME lists the volumes" "data root" "$out"

    for lv in root data; do
        defer "$LVCHANGE" -an "/dev/$new/$lv"
        check "lvchange -ay /dev/NEWNAME/$lv" "$LVCHANGE" -ay "/dev/$new/$lv"
        check_eq "mount -oro of $lv reads its file" "hello from lvm $lv" "$(mount_read "/dev/$new/$lv" "/tmp/$base-$lv" hello.txt 2>&1)"
    done
    for lv in root data; do
        check "lvchange -an /dev/NEWNAME/$lv" "$LVCHANGE" -an "/dev/$new/$lv"
    done

    check "kpartx -pp -d" "$KPARTX" -pp -d "/dev/mapper/$base"
    overlay_teardown "$base"
    check_unchanged "$d/disk.img" "$d/disk.sha"
}

conf_main "$@"
