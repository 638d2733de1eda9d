#!/usr/bin/env bash
# The appliance stand-ins inside the sandbox, at the paths recovery_fs runs
# them from: the in-use bitmap provider at /inuse_bitmap (computed and
# explicit bitmaps, "dev_ref_count"), the FUSE unmount helper, vol_id, and the
# controller service with its two scripts (registry reads and edits, the
# master request, canned faults, the watchdog before and after the service
# stops). vol_id of ext2/3/4, vfat, NTFS and LVM partitions is checked by the
# device conformance suite.
RFS_TEST_SANDBOX=1
. "$(dirname "$0")/lib.sh"

# --- the in-use bitmap provider ----------------------------------------------
# A loop device of 1001 sectors with data in sectors 0, 9 and 1000 (the last,
# alone in the bitmap's last byte), and a device file in /dev/mapper.
check_status "a bitmap provider at /inuse_bitmap" 0 mountpoint -q /inuse_bitmap
truncate -s $((1001 * 512)) "$T/disk.img"
for at in 0:A $((9 * 512 + 511)):B $((1000 * 512 + 7)):C; do
    printf '%s' "${at#*:}" | dd of="$T/disk.img" bs=1 seek="${at%:*}" conv=notrunc status=none
done
LOOP=$(losetup -f --show "$T/disk.img")
truncate -s $((64 * 512)) /dev/mapper/bmtest
printf 'D' | dd of=/dev/mapper/bmtest bs=1 seek=$((17 * 512)) conv=notrunc status=none

py_checks "${LOOP#/dev/}" <<'PY'
import errno, os, sys, time
B, O, loop = "/inuse_bitmap", "/var/tolvane/inuse_override", sys.argv[1]
path = lambda name: os.path.join(B, name)
read = lambda name: open(path(name), "rb").read()
names = os.listdir(B)
check(loop in names and "bmtest" in names and "control" not in names, "listing: the devices, no control")

# Computed bitmaps: size = ceil(sectors / 8), one bit per non-zero sector.
expect = bytearray(126); expect[0] = 0x01; expect[1] = 0x02; expect[125] = 0x01
check(read(loop) == bytes(expect) and os.stat(path(loop)).st_size == 126, "bitmap of 1001 sectors")
check(read("bmtest") == b"\x00\x00\x02\x00\x00\x00\x00\x00", "bitmap of /dev/mapper/bmtest")
fd = os.open(path(loop), os.O_RDONLY)
check(os.pread(fd, 2, 1) == b"\x02\x00" and os.pread(fd, 10, 126) == b"", "window and past-the-end reads")
os.close(fd)

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
check(os.pread(fds[0], 1, 0) == b"\x01", "read through a flagged handle")
for fd in fds:
    os.close(fd)
check(settles(loop, "0"), "after all closes the count is 0")
check("dev_ref_count" in os.listxattr(path(loop)), "dev_ref_count listed")
try:
    os.getxattr(path(loop), "user.other")
    check(False, "an unknown attribute does not exist")
except OSError as e:
    check(e.errno == errno.ENODATA, "an unknown attribute does not exist")
for flags in (os.O_WRONLY, os.O_RDWR):
    try:
        os.close(os.open(path(loop), flags))
        check(False, "write open refused")
    except OSError as e:
        check(e.errno in (errno.EROFS, errno.EACCES), "write open refused")

# Explicit bitmaps replace the computed one byte for byte, size included,
# and may name a device that does not exist.
open(os.path.join(O, loop), "wb").write(b"\x0f\xf0\xff")
check(read(loop) == b"\x0f\xf0\xff" and os.stat(path(loop)).st_size == 3, "override served with its size")
fd = os.open(path(loop), os.O_RDONLY | 0x10000000)
check(refs(loop) == "1", "override handles count too")
os.close(fd)
check(settles(loop, "0"), "override count returns to 0")
os.unlink(os.path.join(O, loop))
check(read(loop) == bytes(expect), "computed bitmap back after removing the override")
open(os.path.join(O, "ghost.1"), "wb").write(b"\xaa")
check("ghost.1" in os.listdir(B) and read("ghost.1") == b"\xaa", "override of a device that does not exist")
check(not os.path.exists(path("no-such-device")), "a missing device has no bitmap")
PY
# A device that goes away takes its bitmap with it.
losetup -d "$LOOP"
rm -f /dev/mapper/bmtest
check_eq "detached loop device and removed device file: no bitmaps" "" \
    "$(ls /inuse_bitmap | grep -x -e "${LOOP#/dev/}" -e bmtest)"

# --- the FUSE unmount helper: "-uz" lazily unmounts a FUSE mount, busy or
# not, and refuses everything else with exit 1 --------------------------------
FM=/usr/local/tolvane/bin/fusermount
mount_fuse() { # DIR: any FUSE file system will do; the bitmap provider is at hand
    mkdir -p "$1"
    "$RFS_BUILD_DIR/platform/inuse_bitmap/rfs-inuse-bitmap" "$1" --override=/tmp/none >/dev/null 2>&1
}
mounted() { mountpoint -q "$1" && echo mounted || echo gone; }
mount_fuse "$T/f1"
check_status "-uz of an idle FUSE mount" 0 "$FM" -uz "$T/f1"
check_eq "-uz: the idle mount is gone" gone "$(mounted "$T/f1")"
mount_fuse "$T/f2"
(cd "$T/f2" && sleep 30) & holder=$!
sleep 0.2
check_status "-uz of a busy FUSE mount (trailing slash)" 0 "$FM" -uz "$T/f2/"
check_eq "-uz: the busy mount is gone" gone "$(mounted "$T/f2")"
kill "$holder" 2>/dev/null; wait "$holder" 2>/dev/null
mount_fuse "$T/f3"
check_status "-u -z with a relative path" 0 bash -c "cd '$T' && '$FM' -u -z f3"
check_eq "-u -z: the mount is gone" gone "$(mounted "$T/f3")"
mkdir -p "$T/tmpfs" "$T/plain" && mount -t tmpfs none "$T/tmpfs"
check_status "a tmpfs mount is refused" 1 "$FM" -uz "$T/tmpfs"
check_eq "... and stays" mounted "$(mounted "$T/tmpfs")"
umount "$T/tmpfs"
check_status "a directory that is no mount is refused" 1 "$FM" -uz "$T/plain"
check_status "without -u: usage error" 1 "$FM" "$T/plain"
check_status "without a path: usage error" 1 "$FM" -uz

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
ext4 64M ext4 0 mkfs.ext4 -q -F ext4.img
xfs 320M xfs 0 mkfs.xfs -q xfs.img
btrfs 160M btrfs 0 mkfs.btrfs -q btrfs.img
swap 16M swap 0 mkswap swap.img
zero 8M - 4 true
mbr 64M - 4 echo 'start=2048, type=83' | sfdisk -q mbr.img
EOF
"$VOL_ID" -t "$T/does-not-exist" >/dev/null 2>&1
check_eq "a missing device fails, but not as unknown" yes "$(rc=$?; [ $rc -ne 0 ] && [ $rc -ne 4 ] && echo yes)"
check_status "no arguments: usage error" 1 "$VOL_ID"
check_status "an unknown option: usage error" 1 "$VOL_ID" -q ext4.img
check_contains "--export agrees with -t" "$("$VOL_ID" -x ext4.img)" "ID_FS_TYPE=ext4"
cd /

# --- the controller service and its two scripts ------------------------------
BRAND=/usr/local/tolvane/python/branding/BrandReader.py
WATCHDOG=/usr/local/tolvane/bin/watchdog-test-controller.py
check_contains "watchdog: running while the service runs" "$("$WATCHDOG")" running
out=$("$BRAND" controller.port controller.use_https)
check_eq "BrandReader: the port, and 0 for HTTP" yes "$([[ $out =~ ^[0-9]+$'\n'0$ ]] && echo yes)"
check_eq "BrandReader fails for an unknown key" no "$("$BRAND" no.such.key >/dev/null 2>&1 && echo yes || echo no)"

py_checks "$(head -n1 <<<"$out")" "$REG" "$REPLIES" <<'PY'
import json, os, sys, urllib.request, urllib.error
BASE = "http://127.0.0.1:%s/api/" % sys.argv[1]
REG, REPLIES = sys.argv[2:4]

def request(rest, body=None):
    data = None if body is None else (body if isinstance(body, bytes) else json.dumps(body).encode())
    req = urllib.request.Request(BASE + rest, data=data)
    if data is not None:
        req.add_header("Content-Type", "application/json; charset=UTF-8")
    try:
        with urllib.request.urlopen(req, timeout=10) as r:
            return r.status, r.read()
    except urllib.error.HTTPError as e:
        return e.code, e.read()

def get_value(key):
    status, body = request("registry", {"method_name": "get_value", "method_args": key})
    return status, json.loads(body) if body else None

def reply(name, text):
    with open(os.path.join(REPLIES, name), "w") as f:
        f.write(text)

check(get_value("vendor.id") == (200, {"error_code": 0, "result": "Tolvane"}), "found: error_code 0, the value")
check(get_value("lumiread.enabled")[1].get("result") == "1", "lumiread.enabled is 1 by default")
status, answer = get_value("no.such.key")
check(status == 200 and answer.get("error_code", 0) != 0, "missing key: a non-zero error_code")

# The registry file is read at every request: edits take effect at once.
reg = json.load(open(REG))
reg.update({"recover.automount.enabled": "1", "appliance.debug.level": 3, "test.flag": True})
json.dump(reg, open(REG, "w"))
check(get_value("recover.automount.enabled")[1]["result"] == "1", "an edited value is served")
check(get_value("appliance.debug.level")[1]["result"] == "3", "numbers travel as text")
check(get_value("test.flag")[1]["result"] == "1", "booleans travel as 1/0")
status, body = request("registry", {"method_name": "set_value", "method_args": ["export.max_session", "7"]})
check(json.loads(body)["error_code"] == 0 and get_value("export.max_session")[1]["result"] == "7"
      and json.load(open(REG))["export.max_session"] == "7", "set_value stores into the registry file")

# The master request: a quoted UUID, the appliance's own unless the master file says otherwise.
check(request("node?get_master") == (200, json.dumps(reg["controller.uuid"]).encode()), "master: the own UUID")
open("/var/tolvane/controller/master_uuid", "w").write("11111111-2222-3333-4444-555555555555\n")
check(request("node?get_master")[1] == b'"11111111-2222-3333-4444-555555555555"', "master from the file")

# Canned replies for fault tests.
vendor = {"method_name": "get_value", "method_args": "vendor.id"}
reply("registry.vendor.id.body", "")
reply("registry.vendor.id.status", "503\n")
check(request("registry", vendor)[0] == 503, "canned status")
os.unlink(os.path.join(REPLIES, "registry.vendor.id.status"))
check(request("registry", vendor) == (200, b""), "canned empty body")
reply("node.get_master.body", '"x"')
check(request("node?get_master") == (200, b'"x"'), "canned master")

check(request("registry", b"{not json")[0] == 400, "bad JSON: 400")
check(request("nothing-here")[0] == 404, "unknown object: 404")
status, body = request("registry", {"method_name": "frobnicate", "method_args": "x"})
check(json.loads(body)["error_code"] != 0, "unknown method: a non-zero error_code")
PY

# Once the service is gone the watchdog says so, without the word "running"
# (a service of this test: the sandbox's own lies outside its PID namespace).
start_controller
check_contains "watchdog: running while this test's service runs" "$("$WATCHDOG")" running
kill "$CTL"; wait "$CTL" 2>/dev/null
out=$("$WATCHDOG")
check_eq "watchdog: fails once the service stopped" 1 "$(($? != 0))"
check_not_contains "watchdog: not running once the service stopped" "$out" running
rfs_finish
