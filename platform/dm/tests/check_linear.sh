#!/bin/bash
# Linear tables over loop devices: bytes at every boundary, table round trip,
# load/suspend/resume, zero and error targets, remove and remove_all.
source "$(dirname "$0")/lib.sh"

# Two backing files with distinct, position-dependent content.
python3 - "$WORK/a.img" "$WORK/b.img" <<'PY'
import sys
for path, tag in ((sys.argv[1], b'A'), (sys.argv[2], b'B')):
    with open(path, 'wb') as f:
        for sector in range(4096):
            f.write((tag + sector.to_bytes(4, 'little')) * 102 + tag * 2)
PY
LA=$(new_loop "$WORK/a.img")
LB=$(new_loop "$WORK/b.img" ro)

# 0..1000 from A sector 100, 1000..3000 from B sector 7
printf '0 1000 linear %s 100\n1000 2000 linear %s 7\n' "$LA" "$(majmin "$LB")" | "$DMSETUP" create lin
check "node is a block device" test -b /dev/mapper/lin
check "size is 3000 sectors" test "$(blockdev --getsz /dev/mapper/lin)" = 3000
# The expected content of the whole device.
{ dd if="$WORK/a.img" bs=512 skip=100 count=1000 status=none; dd if="$WORK/b.img" bs=512 skip=7 count=2000 status=none; } > "$WORK/expect"
for off in 0 511 512 $((999*512)) $((1000*512-3)) $((1000*512)) $((1000*512+1)) $((2999*512)) $((3000*512-5)); do
    check "bytes at $off" test "$(bytes_at /dev/mapper/lin $off 5)" = "$(bytes_at "$WORK/expect" $off 5)"
done
# Whole device compare, read with O_DIRECT and buffered.
check "whole device (direct)" cmp -s "$WORK/expect" <(dd if=/dev/mapper/lin bs=64k iflag=direct status=none)
check "whole device (buffered)" cmp -s "$WORK/expect" /dev/mapper/lin
# Concurrent readers.
for i in 1 2 3 4; do (cmp -s "$WORK/expect" <(dd if=/dev/mapper/lin bs=4k iflag=direct status=none) && echo same > "$WORK/conc.$i") & done
wait
check "concurrent readers" test "$(cat "$WORK"/conc.* | grep -c same)" = 4
check "read past the end gives nothing" test "$(dd if=/dev/mapper/lin bs=512 skip=3000 count=1 status=none | wc -c)" = 0

expected_table="0 1000 linear $(majmin "$LA") 100
1000 2000 linear $(majmin "$LB") 7"
check "table prints major:minor" test "$("$DMSETUP" table lin)" = "$expected_table"
"$DMSETUP" table lin | "$DMSETUP" create lin2
check "table fed to create reproduces it" test "$("$DMSETUP" table lin2)" = "$expected_table"
check "copy reads the same" cmp -s /dev/mapper/lin /dev/mapper/lin2
"$DMSETUP" table lin > "$WORK/t"
"$DMSETUP" create lin3 "$WORK/t"
check "create from table file" cmp -s /dev/mapper/lin /dev/mapper/lin3

# A device stacked over another stand-in device prints that device's numbers.
echo "0 500 linear /dev/mapper/lin 1000" | "$DMSETUP" create upper
check "stacked table names the lower device" test "$("$DMSETUP" table upper)" = "0 500 linear $(majmin /dev/mapper/lin) 1000"
check "stacked bytes" cmp -s <(dd if=/dev/mapper/upper bs=512 status=none) <(dd if="$WORK/b.img" bs=512 skip=7 count=500 status=none)
check "a table over the device itself is refused" bash -c "! echo '0 8 linear /dev/mapper/lin 0' | '$DMSETUP' load lin 2>/dev/null"
check "a cycle through another device is refused" bash -c "! echo '0 8 linear /dev/mapper/upper 0' | '$DMSETUP' load lin 2>/dev/null"
check "lower device busy while used" bash -c "! '$DMSETUP' remove lin 2>/dev/null"
check "info open count counts the holder" bash -c "'$DMSETUP' info lin | grep -q '^Open count:        1$'"

# ls and info formats.
"$DMSETUP" ls > "$WORK/ls"
check "ls lists every device" test "$(wc -l < "$WORK/ls")" = 4
check "ls format" grep -qP "^lin +\t\(7:[0-9]+\)$" "$WORK/ls"
"$DMSETUP" info lin2 > "$WORK/info"
check "info state" grep -q '^State:             ACTIVE$' "$WORK/info"
check "info tables" grep -q '^Tables present:    LIVE$' "$WORK/info"
check "info targets" grep -q '^Number of targets: 2$' "$WORK/info"
check "info major/minor" grep -qE '^Major, minor:      7, [0-9]+$' "$WORK/info"
check "info of a missing device fails" bash -c "! '$DMSETUP' info nosuch > /dev/null 2>&1"
check "create of an existing name fails" bash -c "! echo '0 8 zero' | '$DMSETUP' create lin2 2>/dev/null"
check "bad table is refused" bash -c "! echo '0 8 linear /nonexistent 0' | '$DMSETUP' create bad 2>/dev/null"
check "table beyond the device is refused" bash -c "! echo '0 9000 linear $LA 0' | '$DMSETUP' create bad 2>/dev/null"
check "gap is refused" bash -c "! printf '0 8 zero\n16 8 zero\n' | '$DMSETUP' create bad 2>/dev/null"
check "refused create leaves nothing" bash -c "! test -e /dev/mapper/bad && ! '$DMSETUP' info bad >/dev/null 2>&1"

# load + suspend + resume switch the table; I/O waits while suspended.
echo "0 2048 zero" | "$DMSETUP" load lin2
check "inactive table shows in info" grep -q 'LIVE & INACTIVE' <("$DMSETUP" info lin2)
check "live table unchanged before resume" test "$("$DMSETUP" table lin2)" = "$expected_table"
"$DMSETUP" suspend lin2
check "suspended state" grep -q 'SUSPENDED' <("$DMSETUP" info lin2)
(dd if=/dev/mapper/lin2 bs=512 count=1 iflag=direct status=none | od -An -tx1 | tr -d ' \n' > "$WORK/during"; date +%s%N > "$WORK/read_done") &
reader=$!
sleep 1
date +%s%N > "$WORK/resumed"
"$DMSETUP" resume lin2
wait $reader
check "I/O waited for the resume" test "$(cat "$WORK/read_done")" -gt "$(cat "$WORK/resumed")"
check "new table after resume" test "$("$DMSETUP" table lin2)" = "0 2048 zero "
check "new size after resume" test "$(blockdev --getsz /dev/mapper/lin2)" = 2048
check "zero target reads zeros" test "$(dd if=/dev/mapper/lin2 bs=1M iflag=direct status=none | tr -d '\0' | wc -c)" = 0
check "zero target accepts writes" dd if=/dev/urandom of=/dev/mapper/lin2 bs=4k count=4 oflag=direct status=none

printf '0 8 zero\n8 8 error\n16 8 zero\n' | "$DMSETUP" create errdev
check "reads before the error range work" dd if=/dev/mapper/errdev bs=512 count=8 iflag=direct status=none of=/dev/null
check "error target fails reads" bash -c "! dd if=/dev/mapper/errdev bs=512 skip=8 count=1 iflag=direct status=none of=/dev/null 2>/dev/null"
check "table of mixed targets" test "$("$DMSETUP" table errdev)" = "$(printf '0 8 zero \n8 8 error \n16 8 zero ')"

echo "0 1000 linear $LA 100" | "$DMSETUP" create -r rodev
check "read-only device reads" cmp -s <(dd if=/dev/mapper/rodev bs=512 status=none) <(dd if="$WORK/expect" bs=512 count=1000 status=none)
check "read-only device refuses writes" bash -c "! dd if=/dev/zero of=/dev/mapper/rodev bs=512 count=1 oflag=direct status=none 2>/dev/null"
check "read-only state" grep -q 'ACTIVE (READ-ONLY)' <("$DMSETUP" info rodev)

# Remove by name and by path; the loop device goes with it.
loopnr=$(stat -c %T /dev/mapper/lin3)
"$DMSETUP" remove /dev/mapper/lin3
check "remove by path removes the node" test ! -e /dev/mapper/lin3
check "remove detaches the loop device" test ! -e /sys/block/loop$((16#$loopnr))/loop/backing_file
check "remove of a missing device fails" bash -c "! '$DMSETUP' remove lin3 2>/dev/null"
exec 7</dev/mapper/errdev
check "open device is busy" bash -c "! '$DMSETUP' remove errdev 2>/dev/null"
exec 7<&-
"$DMSETUP" remove_all
check "remove_all removes stacks" test "$("$DMSETUP" ls)" = "No devices found"
check "remove_all leaves no node" test -z "$(ls /dev/mapper)"
check "no loop device left on the mount" bash -c "! grep -l '$RFS_DM_RUN_DIR' /sys/block/loop*/loop/backing_file 2>/dev/null"
finish
