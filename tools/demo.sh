#!/usr/bin/env bash
# Builds recovery_fs and runs it on the bundled sample scratch tree
# (sample/sample.json) inside the appliance sandbox: mounts it, lists it,
# reads a flat disk through its merged change-block device, shows the hidden
# recovery-header sector and the read-only refusal, and unmounts it. The
# sandbox removes every device and mount it made, whatever happens.
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

fusermount -u "$mnt"
status=0; wait "$pid" || status=$?; pid=
step "recovery_fs exited with status $status; its log:"
cat "$work/log/recovery_fs"
