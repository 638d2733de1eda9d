#!/bin/bash
# dmsetup as the product runs it: create from a table file and from standard
# input, "table" (major:minor form), forced removal by path, ls, and the long
# linear tables of merged change-block devices. (table | create, load, suspend
# and resume: the snapshot overlay of lib.sh; stacking and refused tables:
# platform/dm/tests/check_linear.sh.)
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
    local d=$1 la lb ma mb name out
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
    check_eq "/dev/mapper/NAME: a block device of the table's size" 4194304 "$(size_bytes "/dev/mapper/$name" 2>&1)"
    check "reads show the mapped file" same_bytes "/dev/mapper/$name" "$d/a.img" 4194304
    check_eq "table prints one line, devices as major:minor" "0 8192 linear $ma 0" "$("$DMSETUP" table "$name" 2>&1)"
    check_eq "table by /dev/mapper path" "0 8192 linear $ma 0" "$("$DMSETUP" table "/dev/mapper/$name" 2>&1)"

    # Create from standard input, a table of many lines; "table" prints it
    # back with major:minor.
    local big total
    big=$(uniq_name cbt)
    tables() { awk -v a="$1" -v b="$2" '{ printf "%d %d linear %s %d\n", $1, $2, ($3 == "a") ? a : b, $4 }' "$d/layout"; }
    total=$(awk '{ n = $1 + $2 } END { print n }' "$d/layout")
    defer dm_remove "$big"
    check "create NAME with a 200-line table on standard input" dm_create_text "$big" "$(tables "$la" "$lb")"$'\n'
    check_eq "its size is the sum of the lines" "$((total * 512))" "$(size_bytes "/dev/mapper/$big" 2>&1)"
    check "reads follow every line of the table" same_bytes "/dev/mapper/$big" "$d/expected.img" $((total * 512))
    check_eq "table prints all 200 lines in order" "$(tables "$ma" "$mb")" "$("$DMSETUP" table "$big" 2>&1)"

    # Forced removal by path; a missing device is an error.
    check "remove -f /dev/mapper/NAME" "$DMSETUP" remove -f "/dev/mapper/$name"
    check "... removes its node" test ! -e "/dev/mapper/$name"
    check_fails "table of a removed device fails" "$DMSETUP" table "$name"
    check_fails "remove -f of a missing device fails" "$DMSETUP" remove -f "$name"

    # ls, as crash recovery reads it: each device's name is the first word
    # of its line (other users' devices may be listed too).
    out=$("$DMSETUP" ls 2>&1 | awk '{ print $1 }' | grep -x -e "$name" -e "$big" | xargs)
    check_eq "ls names each device first on its line" "$big" "$out"
}

conf_main "$@"
