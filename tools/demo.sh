#!/usr/bin/env bash
# Builds recovery_fs and runs it on the bundled sample scratch tree: mounts it,
# lists it, reads files through it, and unmounts it. Runs as root inside a
# private mount namespace, so nothing is left mounted whatever happens.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)

if [ -z "${RFS_DEMO_INNER:-}" ]; then
    [ "$(id -u)" -eq 0 ] || { echo "demo: must run as root" >&2; exit 1; }
    bash "$top/tools/setup-deps.sh"
    cmake -S "$top" -B "$top/build" >/dev/null
    cmake --build "$top/build" -j"$(nproc)" --target recovery_fs
    RFS_DEMO_INNER=1 exec unshare --mount --propagation private "$0" "$@"
fi

work=$(mktemp -d /tmp/rfs-demo.XXXXXX)
mnt=$work/mnt
pid=
cleanup() {
    if mountpoint -q "$mnt" 2>/dev/null; then fusermount -u "$mnt" || umount -l "$mnt"; fi
    [ -n "$pid" ] && wait "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

cp -a "$top/sample/scratch" "$work/scratch"
mkdir -p "$mnt" "$work/log"
"$top/build/src/recovery_fs" "$mnt" -P "$work/scratch" --volume-path="$work/volumes" -L "$work/log" -f &
pid=$!
for _ in $(seq 100); do mountpoint -q "$mnt" && break; sleep 0.1; done
mountpoint -q "$mnt" || { echo "demo: recovery_fs did not mount" >&2; exit 1; }

echo "== scratch tree (what the appliance keeps)"
(cd "$work/scratch" && find . -mindepth 1 | sort)
echo
echo "== recovery_fs mount (what restore clients see)"
(cd "$mnt" && ls -la . ./*/)
echo
for f in "$mnt"/*/*.vmx; do echo "== $f"; cat "$f"; done
for f in "$mnt"/*/*-flat.vmdk; do
    echo "== $f: $(stat -c %s "$f") bytes, sha256 $(sha256sum < "$f" | cut -c1-16)"
done
echo
echo "== write attempt (must be refused)"
( : > "$mnt/$(ls "$mnt" | head -1)/new-file" ) 2>&1 || true
echo
fusermount -u "$mnt"
wait "$pid"; status=$?; pid=
echo "== recovery_fs exited with status $status; log:"
cat "$work/log/recovery_fs" || true
