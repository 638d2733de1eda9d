#!/bin/bash
# Daemon life cycle: started on first use, a device whose daemon died fails
# with EIO instead of hanging, a new daemon finds such devices and removes
# them, its files can be listed, and --shutdown removes everything.
source "$(dirname "$0")/lib.sh"

truncate -s 16M "$WORK/a.img"
LA=$(new_loop "$WORK/a.img")
check "no daemon before first use" test ! -S "$RFS_DM_RUN_DIR/ctl.sock"
echo "0 32768 linear $LA 0" | "$DMSETUP" create victim
check "daemon started by first use" test -S "$RFS_DM_RUN_DIR/ctl.sock"
check "device reads" dd if=/dev/mapper/victim bs=4k count=1 iflag=direct status=none of=/dev/null
pid=$(cat "$RFS_DM_RUN_DIR/rfs-dmd.pid")
loopnr=$((16#$(stat -c %T /dev/mapper/victim)))
kill -9 "$pid"
while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
if timeout 20 dd if=/dev/mapper/victim bs=4k skip=100 count=1 iflag=direct status=none of=/dev/null 2>"$WORK/err"; then
    fail "read of a device whose daemon died must fail"
else
    rc=$?
    check "read fails rather than hanging" test "$rc" != 124
    check "the failure is an I/O error" grep -q "Input/output error" "$WORK/err"
fi
check "new daemon lists the dead device" grep -q '^victim' <("$DMSETUP" ls)
check "dead device fails in the new daemon too" bash -c "! timeout 20 dd if=/dev/mapper/victim bs=4k skip=200 count=1 iflag=direct status=none of=/dev/null 2>/dev/null"
"$DMSETUP" remove_all -f
check "remove_all removes the dead device" test ! -e /dev/mapper/victim
check "its loop device is detached" test ! -e /sys/block/loop$loopnr/loop/backing_file

echo "0 32768 linear $LA 0" | "$DMSETUP" create again
check "new devices work after the restart" cmp -s /dev/mapper/again "$WORK/a.img"
check "its files are listed" test "$(ls "$RFS_DM_RUN_DIR/mnt")" = again
check "and the daemon serves on" cmp -s /dev/mapper/again "$WORK/a.img"
againnr=$((16#$(stat -c %T /dev/mapper/again)))
"$RFS_DMD" --shutdown
check "shutdown stops the daemon" test ! -S "$RFS_DM_RUN_DIR/ctl.sock"
check "shutdown removes devices" test ! -e /dev/mapper/again
check "shutdown detaches loop devices" test ! -e /sys/block/loop$againnr/loop/backing_file
check "shutdown unmounts" bash -c "! grep -q ' $RFS_DM_RUN_DIR/mnt ' /proc/self/mountinfo"
check "shutdown without a daemon is fine" "$RFS_DMD" --shutdown
finish
