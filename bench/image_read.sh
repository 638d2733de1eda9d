#!/usr/bin/env bash
# Reads of a flat image through a recovery_fs mount, as ratios to reading the
# same bytes straight from the scratch file and through three pass-through
# FUSE mounts of the scratch directory, in one run:
#   pass   - bench_passthrough_fuse, one pread into the daemon per request
#   splice - bench_passthrough_fuse --splice, the file's descriptor handed to
#            FUSE (read_buf): no copy through the daemon, the real ceiling
#   bindfs - bindfs -r, a widely used pass-through file system
# Cases:
#   plain  - flat file without change-block file (loop device), no bitmap
#   cbt    - the same flat file with a change-block file (merged device)
#   lumi   - flat file without change-block file, Lumiread on with an
#            all-used bitmap (every sector is read: the bitmap's own cost)
#   half   - the same, with a bitmap that marks every other MiB unused (the
#            unused MiBs hold non-zero bytes, read as zeros from memory);
#            plain is the same image read without Lumiread
# and, for attribution, the loop device and the merged device under the
# mount read directly (rows loopdev and merged). Last, the resident memory of
# recovery_fs while a 4 GiB image streams through the Lumiread mount: after
# the first 64 MiB and at the end.
# Each sequentially (1 MiB reads over the whole image) and randomly (4 KiB
# reads at random aligned offsets), with a warm and with a cold page cache.
#
# Usage (root): [DISK_MIB_S=N] [DISK_IOPS=N] bench/image_read.sh [SIZE_MIB]
#                                                              default 2048
# DISK_MIB_S=N limits reads from the disk under the images to N MiB/s and
# DISK_IOPS=N to N requests a second (the blkio cgroup's throttles on every
# process of the run), as on an appliance whose scratch disks bound cold
# reads; this machine's virtual disk is served from the host's memory, where
# skipping unused sectors saves little.
# Runs in the appliance sandbox; the image lives below the build directory
# (real disk, removed at the end). RFS_BUILD_DIR selects the build.
# KEEP_LOG=DIR keeps the logs of recovery_fs and the mounts there.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
command -v bindfs >/dev/null ||
    { apt-get install -y -q bindfs || { apt-get update -q && apt-get install -y -q bindfs; }; } >&2
shift
SIZE_MIB=${1:-2048}
SIZE=$((SIZE_MIB * 1048576))
RAND_WARM=${RAND_WARM:-65536}
RAND_COLD=${RAND_COLD:-8192}

W=$(mktemp -d "$B/bench-image-read.XXXXXX")
S=$W/scratch
M=$W/mnt
P=$W/pass
LOG=$W/log
PIDS=()
CGROUP=
cleanup() {
    local m
    for m in "$M" "$P"; do mountpoint -q "$m" && fusermount -u "$m"; done
    mountpoint -q "$P" && umount "$P"
    while [ "$(grep -c ' /inuse_bitmap ' /proc/self/mountinfo)" -gt 1 ]; do
        fusermount -u /inuse_bitmap || break
    done
    for p in "${PIDS[@]}"; do wait "$p" 2>/dev/null; done
    [ -n "${KEEP_LOG:-}" ] && cp -r "$LOG" "$KEEP_LOG"
    rm -rf "$W"
    if [ -n "$CGROUP" ]; then # daemons started on demand may outlive this script
        local p
        while read -r p; do echo "$p" >"${CGROUP%/*}/cgroup.procs"; done <"$CGROUP/cgroup.procs"
        rmdir "$CGROUP"
    fi
}
trap cleanup EXIT
mkdir -p "$M" "$P" "$LOG"

say() { echo "# $*" >&2; }
wait_mount() { for _ in $(seq 200); do mountpoint -q "$1" && return 0; sleep 0.05; done; return 1; }

# --- the images -----------------------------------------------------------
ID=3a4b5c6d-7e8f-4091-a2b3-c4d5e6f70819
say "generating a ${SIZE_MIB} MiB flat image and a change-block file"
cat >"$W/layout.json" <<JSON
{"vms": [
 {"name": "vm1", "disks": [{"name": "plain", "size": $SIZE, "content": "fast:1",
   "mbr": [[131, 2048, $((SIZE / 512 - 2048))]],
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 1}}]},
 {"name": "vm2", "disks": [{"name": "changed", "size": $SIZE, "flat": false, "descriptor": false,
   "header": {"version": 2, "change_id": "$ID", "change_suffix": 1},
   "tolcbt": {"random_extents": {"count": 4096, "seed": 2, "max_sectors": 64, "min_sector": 2048}}}]}
]}
JSON
python3 "$SRC/tools/mkscratch" "$S" --layout "$W/layout.json" >/dev/null || exit 1
FLAT=$S/vm1/plain-flat.vmdk
ln "$FLAT" "$S/vm2/changed-flat.vmdk" # the same base bytes, one page cache
CBT=$S/vm2/changed-tolcbt.vmdk
say "change-block file: $(stat -c %s "$CBT") bytes"

# The whole disk under the images, as MAJOR:MINOR.
scratch_disk() {
    local dev
    dev=$(stat -c '%Hd:%Ld' "$S") || return 1
    [ -e "/sys/dev/block/$dev/partition" ] && dev=$(<"/sys/dev/block/$dev/../dev")
    echo "$dev"
}
if [ -n "${DISK_MIB_S:-}${DISK_IOPS:-}" ]; then
    disk=$(scratch_disk) && [ -d /sys/fs/cgroup/blkio ] || { echo "DISK_MIB_S: no blkio cgroup or disk" >&2; exit 1; }
    CGROUP=/sys/fs/cgroup/blkio/rfs-bench.$$
    mkdir "$CGROUP" || exit 1
    if [ -n "${DISK_MIB_S:-}" ]; then
        echo "$disk $((DISK_MIB_S * 1048576))" >"$CGROUP/blkio.throttle.read_bps_device" || exit 1
    fi
    if [ -n "${DISK_IOPS:-}" ]; then
        echo "$disk $DISK_IOPS" >"$CGROUP/blkio.throttle.read_iops_device" || exit 1
    fi
    echo $$ >"$CGROUP/cgroup.procs" || exit 1
    say "reads from disk $disk limited to ${DISK_MIB_S:-any} MiB/s, ${DISK_IOPS:-any} requests/s"
fi

# --- measuring --------------------------------------------------------------
# measure MODE FILE CACHE: MiB/s; a cold run drops the page caches of the
# scratch files, their loop devices and FILE itself first.
measure() {
    local mode=$1 file=$2 cache=$3 count drops=() f l
    count=$([ "$cache" = warm ] && echo "$RAND_WARM" || echo "$RAND_COLD")
    if [ "$cache" = cold ]; then
        for f in "$FLAT" "$CBT"; do
            drops+=(--drop "$f")
            for l in $(losetup -n -O NAME -j "$f"); do drops+=(--drop "$l"); done
        done
        # The merged device keeps a page cache of its own.
        for f in /dev/mapper/cbt.*; do
            [ -e "$f" ] && drops+=(--drop "$f")
        done
        drops+=(--drop "$file")
    else
        "$B/bench/bench_image_read" seq "$file" >/dev/null 2>&1 # warm it up
    fi
    "$B/bench/bench_image_read" "$mode" "$file" --count "$count" "${drops[@]}" 2>>"$W/measure.log"
}

declare -A R
run_case() { # NAME FILE
    local mode cache
    for cache in warm cold; do
        for mode in seq rand; do
            R[$1,$mode,$cache]=$(measure "$mode" "$2" "$cache")
            say "$1 $mode $cache: ${R[$1,$mode,$cache]} MiB/s"
        done
    done
}

# References: the scratch file, and the pass-through FUSE mounts.
run_case direct "$FLAT"
pass_case() { # NAME COMMAND...
    local name=$1
    shift
    "$@" >"$LOG/$name.out" 2>&1 &
    PIDS+=($!)
    wait_mount "$P" || { echo "$name: pass-through mount failed" >&2; exit 1; }
    run_case "$name" "$P/vm1/plain-flat.vmdk"
    fusermount -u "$P"
    wait "${PIDS[-1]}"
}
pass_case pass "$B/bench/bench_passthrough_fuse" "$S" "$P" -f
pass_case splice "$B/bench/bench_passthrough_fuse" --splice "$S" "$P" -f
pass_case bindfs bindfs -r -f "$S" "$P"

# start_mount N OVERRIDE_DIR PROVIDER_OPTS: a bitmap provider of its own over
# the sandbox's, with OVERRIDE_DIR as its bitmaps, then recovery_fs on $M.
start_mount() {
    "$B/platform/inuse_bitmap/rfs-inuse-bitmap" /inuse_bitmap --devices="$W/none/dev" \
        --override="$2" --no-loops -f -o "$3" >"$LOG/provider$1.out" 2>&1 &
    PIDS+=($!)
    for _ in $(seq 100); do [ "$(grep -c ' /inuse_bitmap ' /proc/self/mountinfo)" -ge 2 ] && break; sleep 0.05; done
    "$B/src/recovery_fs" "$M" -P "$S" --volume-path="$W/vol" -L "$LOG" -f >"$LOG/rfs$1.out" 2>&1 &
    PIDS+=($!)
    wait_mount "$M" || { echo "recovery_fs did not mount" >&2; exit 1; }
}

# recovery_fs without any bitmap (a provider that offers none, mounted over
# the sandbox's): plain and merged images read without Lumiread.
mkdir -p "$W/none/dev" "$W/none/ovr" "$W/ones"
start_mount 1 "$W/none/ovr" nonempty
run_case plain "$M/vm1/plain-flat.vmdk"
run_case cbt "$M/vm2/changed-flat.vmdk"
# The devices under the mount, read directly: what the device layers cost
# before FUSE adds its own.
run_case loopdev "$(losetup -n -O NAME -j "$FLAT" | head -1)"
run_case merged "/dev/mapper/$(ls /dev/mapper | grep -E '^cbt\.[0-9]+$' | head -1)"
fusermount -u "$M"
wait "${PIDS[-1]}"
fusermount -u /inuse_bitmap

# Lumiread: one bitmap published for every loop device name, covering 4 GiB
# (longer than the device is harmless): all used, or every other MiB unused.
publish_bitmap() { # DIR PATTERN(ones|half)
    mkdir -p "$1"
    python3 - "$1" "$2" <<'PY'
import os, sys
d, kind = sys.argv[1], sys.argv[2]
mib = b"\xff" * 256  # 2048 sectors
with open(d + "/bitmap", "wb") as f:
    for i in range(4096):
        f.write(mib if kind == "ones" or i % 2 == 0 else bytes(256))
for i in range(1024):
    os.link(d + "/bitmap", "%s/loop%d" % (d, i))
os.remove(d + "/bitmap")
PY
}
publish_bitmap "$W/ones" ones
start_mount 2 "$W/ones" nonempty,allow_other
run_case lumi "$M/vm1/plain-flat.vmdk"
fusermount -u "$M"
wait "${PIDS[-1]}"
fusermount -u /inuse_bitmap
stats=$(grep -c 'PDEV_STATS for /loop' "$LOG/recovery_fs")
[ "$stats" -ge 1 ] || say "WARNING: the Lumiread case did not read through a bitmap"

publish_bitmap "$W/half" half
mkdir -p "$S/vm3"
truncate -s 4G "$S/vm3/big-flat.vmdk" # no header, no descriptor: served as it is
start_mount 3 "$W/half" nonempty,allow_other
run_case half "$M/vm1/plain-flat.vmdk"
# Resident memory while a 4 GiB image streams through (1 MiB reads).
RFS_PID=${PIDS[-1]}
rss() { awk '/^VmRSS/ { print $2 }' "/proc/$RFS_PID/status"; }
dd if="$M/vm3/big-flat.vmdk" of=/dev/null bs=1M count=64 status=none
RSS_64=$(rss)
dd if="$M/vm3/big-flat.vmdk" of=/dev/null bs=1M skip=64 status=none
RSS_END=$(rss)
fusermount -u "$M"
wait "$RFS_PID"
fusermount -u /inuse_bitmap

# --- report -----------------------------------------------------------------
echo
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a / b }'; }
echo "Reads of a ${SIZE_MIB} MiB flat image (MiB/s; ratios to the direct file and to the"
echo "pass-through FUSE mounts: pread, splice, bindfs)"
printf '%-8s %-5s %-5s %9s %8s %8s %8s %8s\n' case mode cache MiB/s /direct /pass /splice /bindfs
for c in direct pass splice bindfs plain cbt lumi half loopdev merged; do
    for cache in warm cold; do
        for mode in seq rand; do
            v=${R[$c,$mode,$cache]}
            printf '%-8s %-5s %-5s %9s %8s %8s %8s %8s\n' "$c" "$mode" "$cache" "$v" \
                "$(ratio "$v" "${R[direct,$mode,$cache]}")" "$(ratio "$v" "${R[pass,$mode,$cache]}")" \
                "$(ratio "$v" "${R[splice,$mode,$cache]}")" "$(ratio "$v" "${R[bindfs,$mode,$cache]}")"
        done
    done
done
echo
echo "recovery_fs VmRSS streaming a 4 GiB image (Lumiread, half unused): after 64 MiB ${RSS_64} KiB," \
    "at the end ${RSS_END} KiB (growth $((RSS_END - RSS_64)) KiB; allowed 10240)"
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)${DISK_MIB_S:+; disk reads limited to $DISK_MIB_S MiB/s}${DISK_IOPS:+; $DISK_IOPS requests/s}"
