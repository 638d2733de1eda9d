#!/usr/bin/env bash
# Builds recovery_fs and runs it on the bundled sample scratch tree
# (sample/sample.json) inside the appliance sandbox: mounts it, lists it,
# reads a flat disk through its merged change-block device, shows the hidden
# recovery-header sector and the read-only refusal, enters the disk's
# file-level view (the guest's ext4 files), and stops it. The sandbox
# removes every device and mount it made, whatever happens.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)

if [ "${1:-}" != "--inside" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "demo: must run as root" >&2; exit 1; }
    bash "$top/tools/setup-deps.sh"
    cmake -S "$top" -B "$top/build" >/dev/null
    cmake --build "$top/build" -j"$(nproc)"
    RFS_BUILD_DIR="$top/build" exec "$top/platform/sandbox" bash "$top/tools/demo.sh" --inside
fi

work=$(mktemp -d /tmp/rfs-demo.XXXXXX)
scratch=$work/scratch mnt=$work/mnt pid=
cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then fusermount -u "$mnt" || umount -l "$mnt"; fi
    if [ -n "$pid" ]; then wait "$pid" 2>/dev/null || true; fi
}
trap cleanup EXIT

step() { printf '\n== %s\n' "$*"; }
sector() { dd if="$1" bs=512 skip="$2" count=1 status=none | head -c 60 | tr -c '[:print:]' '.'; echo; }

"$top/tools/mkscratch" --layout "$top/sample/sample.json" "$scratch" >/dev/null
mkdir -p "$mnt" "$work/log"
# The appliance's controller turns automatic mounting of views on; it is
# asked every second here rather than every 15 s.
reg=/var/tolvane/controller/registry.json
python3 - "$reg" <<'PY'
import json, os, sys
reg = json.load(open(sys.argv[1]))
reg["recover.automount.enabled"] = "1"
json.dump(reg, open(sys.argv[1] + ".new", "w"))
os.rename(sys.argv[1] + ".new", sys.argv[1])
PY
RFS_TEST_THREAD_PERIODS=15,1,180 \
    "$top/build/src/recovery_fs" "$mnt" -P "$scratch" --volume-path="$work/volumes" -L "$work/log" -f &
pid=$!
for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "demo: recovery_fs did not mount" >&2; exit 1; }

step "scratch tree (what the appliance keeps)"
(cd "$scratch" && ls -l vm1)
step "recovery_fs mount (what restore clients see: no change-block file, a .volume per descriptor)"
(cd "$mnt" && ls -l vm1)
step "vm1.vmx through the mount"
cat "$mnt/vm1/vm1.vmx"

flat=vm1/disk-flat.vmdk
step "sector 2 of $flat: the appliance's recovery header in the scratch file, zeros through the mount"
printf 'scratch: '; sector "$scratch/$flat" 2
printf 'mount:   '; sector "$mnt/$flat" 2
step "sector 4 of $flat: the base copy in the scratch file, the change-block file's data through the mount"
printf 'scratch: '; sector "$scratch/$flat" 4
printf 'mount:   '; sector "$mnt/$flat" 4
step "the whole image, compared with the merge computed independently"
python3 "$top/tests/integration/image_merge.py" "$scratch/$flat" "$work/expected.img" \
    --cbt "$scratch/vm1/disk-tolcbt.vmdk" --hide-sector 2
cmp "$mnt/$flat" "$work/expected.img" && echo "identical: $(stat -c %s "$mnt/$flat") bytes"
step "device-mapper devices while the image is in use"
dmsetup ls

step "a write is refused"
( : > "$mnt/vm1/new-file" ) 2>&1 || true

step "the file-level view: entering vm1/disk.volume mounts the guest's file systems"
for _ in $(seq 100); do
    grep -q "recover.automount.enabled from 0 to 1" "$work/log/recovery_fs" 2>/dev/null && break
    sleep 0.1
done
ls -l "$mnt/vm1/disk.volume"
(cd "$mnt/vm1/disk.volume/0" && ls -lR . | grep -v '^total')
printf 'etc/hostname: '; cat "$mnt/vm1/disk.volume/0/etc/hostname"
printf 'home/operator/notes.txt: '; cat "$mnt/vm1/disk.volume/0/home/operator/notes.txt"
step "devices while the view is mounted (disk device, snapshot overlay, partition)"
dmsetup ls

# A mounted view keeps its image open through the mount, so the file system
# is stopped (it tears views down first) rather than unmounted; an idle view
# would be evicted after a minute.
kill -TERM "$pid"
status=0; wait "$pid" || status=$?; pid=
step "recovery_fs exited with status $status; its log:"
cat "$work/log/recovery_fs"
