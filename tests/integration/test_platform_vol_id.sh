#!/usr/bin/env bash
# vol_id as the appliance's udev helper, bound at /lib/udev/vol_id inside the
# sandbox: the content type word of every kind of file system mkfs can make
# here, of an LVM physical volume and of swap; exit 4 for nothing recognised.
set -uo pipefail
SRC=${RFS_SOURCE_DIR:-$(cd "$(dirname "$0")/../.." && pwd)}
export RFS_BUILD_DIR=${RFS_BUILD_DIR:-$SRC/build}
[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root"; exit 77; }
[ "${1:-}" = --inside ] || exec "$SRC/platform/sandbox" bash "$0" --inside

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }
VOL_ID=/lib/udev/vol_id

# expect_type WORD EXIT_CODE DEVICE
expect_type() {
    local out rc
    out=$("$VOL_ID" -t "$3" 2>/dev/null)
    rc=$?
    if [ "$out" = "$1" ] && [ "$rc" -eq "$2" ]; then ok; else bad "vol_id -t $3: got '$out' exit $rc, want '$1' exit $2"; fi
}

[ -x "$VOL_ID" ] && ok || bad "$VOL_ID is not bound in the sandbox"

cd /tmp
mkimg() { rm -f "$1"; truncate -s "$2" "$1"; }

mkimg ext2.img 64M; mkfs.ext2 -q -F ext2.img && expect_type ext2 0 ext2.img
mkimg ext3.img 64M; mkfs.ext3 -q -F ext3.img && expect_type ext3 0 ext3.img
mkimg ext4.img 64M; mkfs.ext4 -q -F ext4.img && expect_type ext4 0 ext4.img
mkimg vfat.img 64M; mkfs.vfat vfat.img >/dev/null && expect_type vfat 0 vfat.img
mkimg xfs.img 320M; mkfs.xfs -q xfs.img && expect_type xfs 0 xfs.img
mkimg btrfs.img 160M; mkfs.btrfs -q btrfs.img >/dev/null && expect_type btrfs 0 btrfs.img
mkimg swap.img 16M; mkswap swap.img >/dev/null 2>&1 && expect_type swap 0 swap.img
if command -v mkfs.ntfs >/dev/null; then
    mkimg ntfs.img 64M; mkfs.ntfs -q -F -f ntfs.img >/dev/null 2>&1 && expect_type ntfs 0 ntfs.img
fi

# An LVM physical volume needs a block device.
mkimg pv.img 64M
pv=$(losetup -f --show pv.img)
if pvcreate -ff -y "$pv" >/dev/null 2>&1; then expect_type LVM2_member 0 "$pv"; else bad "pvcreate on $pv failed"; fi
# The same probe through the block device of a file system.
mkfs.ext4 -q -F "$pv" && expect_type ext4 0 "$pv"
losetup -d "$pv"

# Nothing recognised: zeros, and a bare partition table (a disk has no content type).
mkimg zero.img 8M; expect_type "" 4 zero.img
mkimg mbr.img 64M; echo 'start=2048, type=83' | sfdisk -q mbr.img >/dev/null 2>&1 && expect_type "" 4 mbr.img

# Failures that are not "unknown": a missing device and bad usage.
"$VOL_ID" -t /tmp/does-not-exist >/dev/null 2>&1; rc=$?
[ $rc -ne 0 ] && [ $rc -ne 4 ] && ok || bad "missing device gave exit $rc"
"$VOL_ID" >/dev/null 2>&1; [ $? -eq 1 ] && ok || bad "no arguments must be a usage error"
"$VOL_ID" -q ext4.img >/dev/null 2>&1; [ $? -eq 1 ] && ok || bad "unknown option must be a usage error"

# --export agrees with -t.
"$VOL_ID" -x ext4.img | grep -qx 'ID_FS_TYPE=ext4' && ok || bad "vol_id -x ext4.img lacks ID_FS_TYPE=ext4"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
