#!/usr/bin/env bash
# The open list holds at most 32 cookies: with 32 images held open a 33rd
# open fails (EMFILE, the client sees EIO); with 32 idle ones the 33rd evicts
# the least recently used, whose loop device goes, while the others keep
# theirs. A later open that fails leaves the devices of open handles alone.
. "$(dirname "$0")/image_lib.sh"

disks=""
for i in $(seq 0 32); do
    disks+="${disks:+,}{\"name\": \"d$i\", \"size\": 65536, \"content\": \"pattern\"}"
done
make_scratch <<<"{\"vms\": [{\"name\": \"vm1\", \"disks\": [$disks]}]}"
F=$S/vm1
mount_scratch

# 32 images held open, then the 33rd.
out=$(python3 - "$M/vm1" <<'PY'
import errno, os, sys, time
d = sys.argv[1]
fds = [os.open("%s/d%d-flat.vmdk" % (d, i), os.O_RDONLY) for i in range(32)]
ok = all(os.pread(fd, 32, 512).startswith(b"d%d-flat.vmdk sector 1" % i) for i, fd in enumerate(fds))
try: os.close(os.open(d + "/d32-flat.vmdk", os.O_RDONLY)); r = "opened"
except OSError as e: r = errno.errorcode[e.errno]
# Give d0 back first: it becomes the least recently used.
os.close(fds[0])
time.sleep(1.1)
for fd in fds[1:]:
    os.close(fd)
print(ok, r)
PY
)
check_eq "32 images open, the 33rd refused with EIO" "True EIO" "$out"
check_eq "the 33rd got no loop device" "" "$(loops_of "$F/d32-flat.vmdk")"
count_loops() { local n=0 i; for i in "$@"; do [ -n "$(loops_of "$F/d$i-flat.vmdk")" ] && n=$((n + 1)); done; echo $n; }
check_eq "the 32 idle images keep their loop devices" 32 "$(count_loops $(seq 0 31))"

# 32 idle cookies: the 33rd image evicts the least recently used (d0).
check_status "the 33rd image opens now" 0 cmp "$M/vm1/d32-flat.vmdk" "$F/d32-flat.vmdk"
check_eq "d0 evicted: its loop device is gone" "" "$(loops_of "$F/d0-flat.vmdk")"
check_eq "d1..d32 have their loop devices" 32 "$(count_loops $(seq 1 32))"
check_eq "the eviction is logged at teardown" 1 "$(grep -c 'PDEV_STATS for /loop' "$LOG")"

# A failing open of an image whose cookie other handles hold leaves their
# devices: a change-block file that appears after the first open and is
# broken makes the second open fail, the first handle still reads.
out=$(python3 - "$M/vm1/d5-flat.vmdk" "$F/d5-tolcbt.vmdk" "$F/d5-flat.vmdk" <<'PY'
import errno, os, sys
a = os.open(sys.argv[1], os.O_RDONLY)
want = open(sys.argv[3], "rb").read()
with open(sys.argv[2], "wb") as f:
    f.write(b"not a change-block file".ljust(4096, b"\0"))
try: os.close(os.open(sys.argv[1], os.O_RDONLY)); r = "opened"
except OSError as e: r = errno.errorcode[e.errno]
os.remove(sys.argv[2])
same = os.pread(a, 65536, 0)
os.close(a)
print(r, same[:1024] + same[1536:] == want[:1024] + want[1536:])
PY
)
check_eq "a later failing open: EIO, the open handle keeps reading" "EIO True" "$out"
check_eq "its loop device stayed" 1 "$(loops_of "$F/d5-flat.vmdk" | wc -l)"

unmount_and_finish
