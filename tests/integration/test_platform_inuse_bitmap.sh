#!/usr/bin/env bash
# The in-use bitmap provider at /inuse_bitmap inside the sandbox: computed
# bitmaps (1 = sector not all zero), their sizes, explicit bitmaps from
# /var/tolvane/inuse_override, and the "dev_ref_count" attribute following
# opens (with the 0x10000000 flag) and closes.
set -uo pipefail
SRC=${RFS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
export RFS_BUILD_DIR=${RFS_BUILD_DIR:-$SRC/build}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP: no /dev/fuse"; exit 77; }
[ "${1:-}" = --inside ] || exec "$SRC/platform/sandbox" bash "$0" --inside

if ! mountpoint -q /inuse_bitmap; then
    echo "FAIL: no bitmap provider at /inuse_bitmap"
    echo "0 passed, 1 failed"
    exit 1
fi

# A loop device of 1001 sectors with data in sectors 0, 9 and 1000 (the last,
# alone in the bitmap's last byte), and a device file in /dev/mapper.
truncate -s $((1001 * 512)) /tmp/disk.img
printf 'A' | dd of=/tmp/disk.img bs=1 seek=0 conv=notrunc status=none
printf 'B' | dd of=/tmp/disk.img bs=1 seek=$((9 * 512 + 511)) conv=notrunc status=none
printf 'C' | dd of=/tmp/disk.img bs=1 seek=$((1000 * 512 + 7)) conv=notrunc status=none
LOOP=$(losetup -f --show /tmp/disk.img)
truncate -s $((64 * 512)) /dev/mapper/bmtest
printf 'D' | dd of=/dev/mapper/bmtest bs=1 seek=$((17 * 512)) conv=notrunc status=none

export LOOP_NAME=${LOOP#/dev/}
python3 - >/tmp/py.out <<'PY'
import errno, os, time

passed = failed = 0
def check(cond, what):
    global passed, failed
    if cond:
        passed += 1
    else:
        failed += 1
        print("FAIL:", what)

B = "/inuse_bitmap"
loop = os.environ["LOOP_NAME"]
names = os.listdir(B)
check(loop in names and "bmtest" in names, "listing %r lacks the devices" % names)
check("control" not in names, "/dev/mapper/control must not be listed")

# Computed bitmaps: size = ceil(sectors / 8), one bit per non-zero sector.
with open(os.path.join(B, loop), "rb") as f:
    bm = f.read()
check(len(bm) == 126 and os.stat(os.path.join(B, loop)).st_size == 126, "bitmap of 1001 sectors has %d bytes" % len(bm))
expect = bytearray(126); expect[0] = 0x01; expect[1] = 0x02; expect[125] = 0x01
check(bm == bytes(expect), "computed bitmap differs: %s" % bm.hex())
with open(os.path.join(B, "bmtest"), "rb") as f:
    check(f.read() == b"\x00\x00\x02\x00\x00\x00\x00\x00", "bitmap of /dev/mapper/bmtest wrong")

# A window in the middle, as a reader of one request takes it.
fd = os.open(os.path.join(B, loop), os.O_RDONLY)
check(os.pread(fd, 2, 1) == b"\x02\x00", "window read at offset 1 wrong")
check(os.pread(fd, 10, 126) == b"", "read past the end must give nothing")
os.close(fd)

# dev_ref_count follows the opens and closes of each file separately.
def refs(name):
    return os.getxattr(os.path.join(B, name), "dev_ref_count").decode()
def settles(name, want):
    # The kernel sends the release after close returns.
    for _ in range(40):
        if refs(name) == want:
            return True
        time.sleep(0.05)
    return False
check(refs(loop) == "0", "count of an unopened bitmap is %r" % refs(loop))
fds = [os.open(os.path.join(B, loop), os.O_RDONLY | 0x10000000) for _ in range(3)]
check(refs(loop) == "3", "three opens give %r" % refs(loop))
check(refs("bmtest") == "0", "another file's opens must not count")
os.close(fds.pop())
check(settles(loop, "2"), "after one close: %r" % refs(loop))
check(os.pread(fds[0], 1, 0) == b"\x01", "read through a flagged handle failed")
for fd in fds:
    os.close(fd)
check(settles(loop, "0"), "after all closes: %r" % refs(loop))
check("dev_ref_count" in os.listxattr(os.path.join(B, loop)), "dev_ref_count not listed")
try:
    os.getxattr(os.path.join(B, loop), "user.other")
    check(False, "an unknown attribute must not exist")
except OSError as e:
    check(e.errno == errno.ENODATA, "unknown attribute gave %s" % e)

# Read-only: no writes, no attribute changes.
for flags in (os.O_WRONLY, os.O_RDWR):
    try:
        os.close(os.open(os.path.join(B, loop), flags))
        check(False, "write open succeeded")
    except OSError as e:
        check(e.errno in (errno.EROFS, errno.EACCES), "write open gave %s" % e)

# Explicit bitmaps replace the computed one byte for byte, size included,
# and may name a device that does not exist.
O = "/var/tolvane/inuse_override"
with open(os.path.join(O, loop), "wb") as f:
    f.write(b"\x0f\xf0\xff")
with open(os.path.join(B, loop), "rb") as f:
    check(f.read() == b"\x0f\xf0\xff", "override not served")
check(os.stat(os.path.join(B, loop)).st_size == 3, "override size not served")
fd = os.open(os.path.join(B, loop), os.O_RDONLY | 0x10000000)
check(refs(loop) == "1", "override handles must count too")
os.close(fd)
check(settles(loop, "0"), "override count did not return to 0")
os.unlink(os.path.join(O, loop))
with open(os.path.join(B, loop), "rb") as f:
    check(f.read() == bytes(expect), "computed bitmap not back after removing the override")
with open(os.path.join(O, "ghost.1"), "wb") as f:
    f.write(b"\xaa")
check("ghost.1" in os.listdir(B), "override of a device that does not exist not listed")
with open(os.path.join(B, "ghost.1"), "rb") as f:
    check(f.read() == b"\xaa", "ghost override content wrong")

try:
    os.stat(os.path.join(B, "no-such-device"))
    check(False, "a missing device has a bitmap")
except FileNotFoundError:
    check(True, "")

print("PY %d %d" % (passed, failed))
PY
grep -v '^PY ' /tmp/py.out
read -r _ passed failed < <(grep '^PY ' /tmp/py.out || echo "PY 0 1")

ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

# A device that goes away takes its bitmap with it.
losetup -d "$LOOP"
rm -f /dev/mapper/bmtest
ls /inuse_bitmap | grep -qx "$LOOP_NAME" && bad "detached $LOOP still listed" || ok
[ -e /inuse_bitmap/bmtest ] && bad "removed /dev/mapper/bmtest still has a bitmap" || ok

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
