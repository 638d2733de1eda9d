#!/usr/bin/env bash
# The appliance stand-ins at the paths recovery_fs runs them from, where no
# product test shows them: the bitmap provider's computed bitmaps and
# "dev_ref_count", the unmount helper's refusals, vol_id's exit statuses, the
# watchdog once the controller stopped. (vol_id of file systems: the
# conformance suite; the controller's faults: test_controller_refresh.sh.)
RFS_TEST_SANDBOX=1
. "$(dirname "$0")/lib.sh"

# --- the in-use bitmap provider ----------------------------------------------
# A loop device of 1001 sectors with data in sectors 0, 9 and 1000 (the last,
# alone in the bitmap's last byte), and a device file in /dev/mapper. The
# file is sparse: a read-only loop device over it from byte 512 on has its
# holes skipped and must show the same sectors, one lower.
check_status "a bitmap provider at /inuse_bitmap" 0 mountpoint -q /inuse_bitmap
truncate -s $((1001 * 512)) "$T/disk.img"
for at in 0:A $((9 * 512 + 511)):B $((1000 * 512 + 7)):C; do
    printf '%s' "${at#*:}" | dd of="$T/disk.img" bs=1 seek="${at%:*}" conv=notrunc status=none
done
LOOP=$(losetup -f --show "$T/disk.img")
RO_LOOP=$(losetup -f --show -r -o 512 "$T/disk.img")
truncate -s $((64 * 512)) /dev/mapper/bmtest
printf 'D' | dd of=/dev/mapper/bmtest bs=1 seek=$((17 * 512)) conv=notrunc status=none

# The checks that fail, one per line.
bad=$(python3 - "${LOOP#/dev/}" "${RO_LOOP#/dev/}" 2>&1 <<'PY'
import errno, os, sys, time
B, O, loop, ro_loop = "/inuse_bitmap", "/var/tolvane/inuse_override", sys.argv[1], sys.argv[2]
check = lambda cond, what: cond or print(what)
path = lambda name: os.path.join(B, name)
read = lambda name: open(path(name), "rb").read()
names = os.listdir(B)
check(loop in names and "bmtest" in names and "control" not in names, "listing: the devices, no control")

# Computed bitmaps: size = ceil(sectors / 8), one bit per non-zero sector.
expect = bytearray(126); expect[0] = 0x01; expect[1] = 0x02; expect[125] = 0x01
check(read(loop) == bytes(expect) and os.stat(path(loop)).st_size == 126, "bitmap of 1001 sectors")
shifted = bytearray(125); shifted[1] = 0x01; shifted[124] = 0x80
check(read(ro_loop) == bytes(shifted), "bitmap of a read-only loop device over the sparse file, from sector 1")
check(read("bmtest") == b"\x00\x00\x02\x00\x00\x00\x00\x00", "bitmap of /dev/mapper/bmtest")

# dev_ref_count follows the opens (with the 0x10000000 flag) and closes of
# each file separately; the kernel sends the release after close returns.
refs = lambda name: os.getxattr(path(name), "dev_ref_count").decode()
def settles(name, want):
    for _ in range(40):
        if refs(name) == want:
            return True
        time.sleep(0.05)
    return False
check(refs(loop) == "0", "count of an unopened bitmap")
fds = [os.open(path(loop), os.O_RDONLY | 0x10000000) for _ in range(3)]
check(refs(loop) == "3" and refs("bmtest") == "0", "three opens count, for their file only")
os.close(fds.pop())
check(settles(loop, "2"), "a close counts")
for fd in fds:
    os.close(fd)
check(settles(loop, "0"), "after all closes the count is 0")
try:
    os.close(os.open(path(loop), os.O_RDWR))
    check(False, "write open refused")
except OSError as e:
    check(e.errno in (errno.EROFS, errno.EACCES), "write open refused")

# An explicit bitmap replaces the computed one, size included, until removed.
open(os.path.join(O, loop), "wb").write(b"\x0f\xf0\xff")
check(read(loop) == b"\x0f\xf0\xff", "override served with its size")
os.unlink(os.path.join(O, loop))
check(read(loop) == bytes(expect), "computed bitmap back after removing the override")
PY
)
check_eq "bitmap provider: listing, bitmaps, dev_ref_count, overrides" "" "$bad"
# A device that goes away takes its bitmap with it.
losetup -d "$LOOP" "$RO_LOOP"
rm -f /dev/mapper/bmtest
check_eq "detached loop device and removed device file: no bitmaps" "" \
    "$(ls /inuse_bitmap | grep -x -e "${LOOP#/dev/}" -e bmtest)"

# --- the FUSE unmount helper: "-uz" (or "-u -z") of a FUSE mount unmounts it;
# everything else is refused with exit 1 -------------------------------------
FM=/usr/local/tolvane/bin/fusermount
mkdir -p "$T/f1" "$T/f2" "$T/tmpfs" "$T/plain" && mount -t tmpfs none "$T/tmpfs"
for f in f1 f2; do "$RFS_BUILD_DIR/platform/inuse_bitmap/rfs-inuse-bitmap" "$T/$f" --override=/tmp/none >/dev/null 2>&1; done
while IFS='|' read -r want what args; do
    check_status "fusermount $what" "$want" bash -c "cd '$T' && '$FM' $args"
done <<'CASES'
0|-uz, trailing slash|-uz f1/
0|-u -z, relative path|-u -z f2
1|refuses a tmpfs mount|-uz tmpfs
1|refuses a directory that is no mount|-uz plain
1|without -u: usage error|plain
CASES
check_eq "fusermount: the FUSE mounts are gone, the tmpfs stays" "no no yes" \
    "$(for d in f1 f2 tmpfs; do mountpoint -q "$T/$d" && echo yes || echo no; done | xargs)"
umount "$T/tmpfs"

# --- vol_id as the appliance's udev helper: the content type word and exit
# status; 4 for nothing recognised ---------------------------------------------
VOL_ID=/lib/udev/vol_id
cd "$T"
# IMAGE SIZE WORD EXIT MAKE...: the type word ("-" for none) and exit status
# of an image that MAKE made (zeros, a bare partition table: nothing known).
while read -r img size word rc make; do
    rm -f "$img.img"; truncate -s "$size" "$img.img"
    eval "$make" </dev/null >/dev/null 2>&1 || fail "cannot make $img.img"
    check_eq "vol_id -t $img.img" "${word#-} $rc" "$("$VOL_ID" -t "$img.img" 2>/dev/null) $?"
done <<'EOF'
swap 16M swap 0 mkswap swap.img
zero 8M - 4 true
mbr 64M - 4 echo 'start=2048, type=83' | sfdisk -q mbr.img
EOF
"$VOL_ID" -t "$T/does-not-exist" >/dev/null 2>&1
check_eq "a missing device fails, but not as unknown" yes "$(rc=$?; [ $rc -ne 0 ] && [ $rc -ne 4 ] && echo yes)"
cd /

# --- the watchdog: running while the service runs, a failure without the
# word "running" once it stopped (a service of this test: the sandbox's own
# lies outside its PID namespace) --------------------------------------------
WATCHDOG=/usr/local/tolvane/bin/watchdog-test-controller.py
start_controller
check_contains "watchdog: running while this test's service runs" "$("$WATCHDOG")" running
stop_controller
out=$("$WATCHDOG")
check_eq "watchdog: fails once the service stopped" 1 "$(($? != 0))"
check_not_contains "watchdog: not running once the service stopped" "$out" running
rfs_finish
