#!/bin/bash
# dmsetup as the product runs it: create from a table file and from standard
# input, "table" (major:minor form) copied into a second create, load, suspend
# and resume, forced removal by name and by path, ls, and the long linear
# tables of merged change-block devices.
. "$(dirname "$0")/lib.sh"

prepare() {
    local d=$1
    pattern "$d/a.img" 8192 A
    pattern "$d/b.img" 8192 B
    # A merged-device-like table: 200 lines alternating between the two files,
    # no holes; layout lines are "start length file offset" in sectors.
    awk 'BEGIN {
        srand(7); pos = 0
        for (i = 0; i < 200; i++) {
            len = 1 + int(rand() * 40); f = (i % 2) ? "b" : "a"
            off = (f == "a") ? pos : int(rand() * (8192 - len))
            printf "%d %d %s %d\n", pos, len, f, off; pos += len
        }
    }' >"$d/layout"
    : >"$d/expected.img"
    local start len f off
    while read -r start len f off; do
        dd if="$d/$f.img" bs=512 skip="$off" count="$len" status=none >>"$d/expected.img"
    done <"$d/layout"
}

run_tests() {
    local d=$1 la lb ma mb name tab table out
    attach la "$d/a.img" ro
    attach lb "$d/b.img" ro
    ma=$(majmin "$la")
    mb=$(majmin "$lb")

    # Create from a table file, as the merged device is made.
    name=$(uniq_name cbt)
    printf '0 8192 linear %s 0\n' "$la" >"/tmp/$name.dm_table_merge"
    defer rm -f "/tmp/$name.dm_table_merge"
    defer dm_remove "$name"
    check "create NAME TABLE_FILE" "$DMSETUP" create "$name" "/tmp/$name.dm_table_merge"
    check "/dev/mapper/NAME is a block device" is_blockdev "/dev/mapper/$name"
    check_eq "block-device size query gives the table's size" 4194304 "$(size_bytes "/dev/mapper/$name" 2>&1)"
    check "reads show the mapped file" same_bytes "/dev/mapper/$name" "$d/a.img" 4194304
    check_eq "table prints one line, devices as major:minor" "0 8192 linear $ma 0" "$("$DMSETUP" table "$name" 2>&1)"
    check_eq "table by /dev/mapper path" "0 8192 linear $ma 0" "$("$DMSETUP" table "/dev/mapper/$name" 2>&1)"

    # Create from standard input, a table of many lines.
    local big
    big=$(uniq_name cbt)
    table=$(while read -r start len f off; do
        [[ $f == a ]] && dev=$la || dev=$lb
        printf '%d %d linear %s %d\n' "$start" "$len" "$dev" "$off"
    done <"$d/layout")
    local total
    total=$(awk '{ n = $1 + $2 } END { print n }' "$d/layout")
    defer dm_remove "$big"
    check "create NAME with a 200-line table on standard input" dm_create_text "$big" "$table"$'\n'
    check_eq "its size is the sum of the lines" "$((total * 512))" "$(size_bytes "/dev/mapper/$big" 2>&1)"
    check "reads follow every line of the table" same_bytes "/dev/mapper/$big" "$d/expected.img" $((total * 512))
    tab=$(awk -v ma="$ma" -v mb="$mb" '{ printf "%d %d linear %s %d\n", $1, $2, ($3 == "a") ? ma : mb, $4 }' "$d/layout")
    check_eq "table prints all 200 lines in order" "$tab" "$("$DMSETUP" table "$big" 2>&1)"

    # The duplicate of the snapshot overlay: "table" piped into "create".
    defer dm_remove "$big.dup"
    check "table NAME | create NAME.dup" dm_copy "$big" "$big.dup"
    check_eq "the copy has the same table" "$tab" "$("$DMSETUP" table "$big.dup" 2>&1)"
    check "the copy reads the same bytes" same_bytes "/dev/mapper/$big.dup" "$d/expected.img" $((total * 512))

    # A table over another device-mapper device, named by its path.
    defer dm_remove "$big.stack"
    check "create over /dev/mapper/NAME" dm_create_text "$big.stack" "0 100 linear /dev/mapper/$big 50"
    check_eq "the stacked table names the lower device by major:minor" "0 100 linear $(majmin "/dev/mapper/$big") 50" "$("$DMSETUP" table "$big.stack" 2>&1)"
    check "the stacked device reads through" cmp -n 51200 "/dev/mapper/$big.stack" "$d/expected.img" 0 25600

    # load / suspend / resume: the new table becomes live at resume only.
    check "suspend NAME" "$DMSETUP" suspend "$name"
    check "load NAME from standard input while suspended" dm_load_text "$name" "0 8192 linear $lb 0"
    check_eq "the live table is unchanged before resume" "0 8192 linear $ma 0" "$("$DMSETUP" table "$name" 2>&1)"
    check "resume NAME" "$DMSETUP" resume "$name"
    check_eq "after resume the loaded table is live" "0 8192 linear $mb 0" "$("$DMSETUP" table "$name" 2>&1)"
    check "reads show the new table's file" same_bytes "/dev/mapper/$name" "$d/b.img" 4194304

    # Refusals leave nothing behind.
    check_fails "create of an existing name fails" dm_create_text "$name" "0 8 linear $la 0"
    check_eq "... and the existing device keeps its table" "0 8192 linear $mb 0" "$("$DMSETUP" table "$name" 2>&1)"
    local bad
    bad=$(uniq_name bad)
    defer dm_remove "$bad"
    check_fails "create with a missing device in the table fails" dm_create_text "$bad" "0 8 linear /dev/rfs-no-such-device 0"
    check "... and leaves no /dev/mapper node" gone "/dev/mapper/$bad"
    check_fails "create with a table that has a hole fails" dm_create_text "$bad" $'0 8 linear '"$la"$' 0\n16 8 linear '"$la"$' 0\n'
    check "... and leaves no /dev/mapper node" gone "/dev/mapper/$bad"
    check_fails "create with an unknown target type fails" dm_create_text "$bad" "0 8 rfs-bogus $la 0"
    check "... and leaves no /dev/mapper node" gone "/dev/mapper/$bad"
    check_fails "table of a missing device fails" "$DMSETUP" table "$bad"

    # Forced removal by name and by path; a missing device is an error.
    check "remove -f NAME" "$DMSETUP" remove -f "$big.stack"
    check "... removes its node" gone "/dev/mapper/$big.stack"
    check "remove -f /dev/mapper/NAME" "$DMSETUP" remove -f "/dev/mapper/$big.dup"
    check "... removes its node" gone "/dev/mapper/$big.dup"
    check_fails "table of a removed device fails" "$DMSETUP" table "$big.dup"
    check_fails "remove -f of a missing device fails" "$DMSETUP" remove -f "$bad"

    # ls, as crash recovery reads it: each device's name is the first word
    # of its line (other users' devices may be listed too).
    out=$("$DMSETUP" ls 2>&1 | awk '{ print $1 }' | grep -x -e "$name" -e "$big" | sort | xargs)
    check_eq "ls names each device first on its line" "$(printf '%s\n' "$name" "$big" | sort | xargs)" "$out"
}

conf_main "$@"
