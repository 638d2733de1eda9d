#!/usr/bin/env bash
# Reads of a two-level chain of monolithic sparse disks through the disk
# device of `vmdk-mount --device`, side by side with the same chain exported
# as a raw file by qemu-storage-daemon (its FUSE export): sequential 1 MiB
# reads over the whole disk and random 4 KiB reads at aligned offsets, with a
# warm and with a cold page cache. Prints MB/s of both and the ratio
# device/qemu; for attribution also the disk's chain table alone (the
# duplicate "NAME.dup" under the snapshot overlay), read directly.
#
# The chain: a base written whole, and a delta with a few thousand 64 KiB
# writes at random offsets, so that reads are served by both levels and the
# device's table has thousands of lines. Both readers must see the same bytes
# (checked first; that also warms the caches).
#
# Cold means dropped caches, not O_DIRECT: before each cold run the page
# caches of the image files, of the file or device read, and of the loop
# devices under the device are dropped (POSIX_FADV_DONTNEED and BLKFLSBUF, no
# global drop_caches).
#
# Usage (root): bench/chain_read.sh [SIZE_MIB]     default 1024
# Runs in the appliance sandbox (on the real-kernel tier the sandbox keeps the
# real dmsetup). The images live below the build directory (real disk), or in
# /tmp when that is read-only; removed at the end. RFS_BUILD_DIR selects the
# build.
set -uo pipefail
. "$(dirname "$0")/lib.sh"
shift
SIZE_MIB=${1:-1024}
SIZE=$((SIZE_MIB * 1048576))
DELTA_WRITES=${DELTA_WRITES:-3000}
RAND_WARM=${RAND_WARM:-32768}
RAND_COLD=${RAND_COLD:-8192}
READ=$B/bench/bench_image_read
VMOUNT=$B/tools/vmdk-mount
for p in "$READ" "$VMOUNT"; do [ -x "$p" ] || { echo "$p is not built" >&2; exit 1; }; done
for c in qemu-img qemu-io qemu-storage-daemon; do
    command -v "$c" >/dev/null || { echo "needs $c (tools/setup-deps.sh)" >&2; exit 1; }
done

W=$(mktemp -d "$B/bench-chain-read.XXXXXX" 2>/dev/null || mktemp -d /tmp/bench-chain-read.XXXXXX)
EXPORT=$W/export.raw
DEV=
QSD_PID=
cleanup() {
    [ -n "$DEV" ] && "$VMOUNT" -u "$DEV"
    if [ -n "$QSD_PID" ]; then
        kill "$QSD_PID" 2>/dev/null
        wait "$QSD_PID" 2>/dev/null
    fi
    mountpoint -q "$EXPORT" 2>/dev/null && umount "$EXPORT"
    rm -rf "$W"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
say() { echo "# $*" >&2; }

# --- the chain ------------------------------------------------------------
# qemu-img makes the sparse files; the appliance reads them through
# descriptor files of their own that name them as extents, the delta's with
# its parent link. qemu-storage-daemon opens the delta's sparse file, whose
# embedded descriptor names the base's.
say "writing a ${SIZE_MIB} MiB base and a delta of $DELTA_WRITES writes of 64 KiB in $W"
cd "$W" || exit 1
qemu-img create -q -f vmdk -o subformat=monolithicSparse base-s.vmdk "$SIZE" || exit 1
qemu-io -f vmdk -c "write -P 17 0 $SIZE" base-s.vmdk >/dev/null || exit 1
qemu-img create -q -f vmdk -o subformat=monolithicSparse -b base-s.vmdk -F vmdk delta-s.vmdk || exit 1
awk -v n="$DELTA_WRITES" -v slots=$((SIZE / 65536)) 'BEGIN {
    srand(7)
    for (i = 0; i < n; i++)
        printf "write -P %d %.0f 65536\n", 1 + int(rand() * 254), int(rand() * slots) * 65536
}' | qemu-io -f vmdk delta-s.vmdk >/dev/null || exit 1
descriptor() { # NAME CID PARENT_CID [PARENT]
    printf '# Disk DescriptorFile\nversion=1\nCID=%s\nparentCID=%s\ncreateType="monolithicSparse"\n' "$2" "$3"
    [ -n "${4:-}" ] && printf 'parentFileNameHint="%s"\n' "$4"
    printf 'RW %d SPARSE "%s-s.vmdk"\n' $((SIZE / 512)) "$1"
}
descriptor base 00000100 ffffffff >base.vmdk
descriptor delta 00000101 00000100 base.vmdk >delta.vmdk
IMAGES=("$W/base-s.vmdk" "$W/delta-s.vmdk")

DEV=$("$VMOUNT" --device "$W/delta.vmdk") || { DEV=; exit 1; }
say "device $DEV: $(dmsetup table "$(basename "$DEV").dup" | wc -l) table lines"
touch "$EXPORT"
qemu-storage-daemon \
    --blockdev "driver=vmdk,node-name=disk0,read-only=on,file.driver=file,file.filename=$W/delta-s.vmdk" \
    --export "type=fuse,id=exp0,node-name=disk0,mountpoint=$EXPORT,writable=off" \
    >"$W/qsd.log" 2>&1 &
QSD_PID=$!
for _ in $(seq 200); do mountpoint -q "$EXPORT" && break; sleep 0.05; done
mountpoint -q "$EXPORT" || { cat "$W/qsd.log" >&2; echo "qemu-storage-daemon did not export" >&2; exit 1; }

a=$(md5sum <"$DEV") b=$(md5sum <"$EXPORT")
[ "$a" = "$b" ] || { echo "the device and the export differ: $a $b" >&2; exit 1; }

# --- measuring --------------------------------------------------------------
# measure MODE FILE CACHE [DEVICES...]: MB/s; a cold run drops the caches of
# the images, of FILE and of DEVICES first.
measure() {
    local mode=$1 file=$2 cache=$3 count=$RAND_WARM drops=() f
    shift 3
    if [ "$cache" = cold ]; then
        count=$RAND_COLD
        for f in "${IMAGES[@]}" "$@" "$file"; do drops+=(--drop "$f"); done
    else
        "$READ" seq "$file" >/dev/null 2>&1
    fi
    "$READ" "$mode" "$file" --count "$count" "${drops[@]}" 2>>"$W/measure.log" |
        awk '{ printf "%.1f", $1 * 1.048576 }'
}

# The loop devices under the disk device (those of the images).
under=()
for f in "${IMAGES[@]}"; do
    for l in $(losetup -n -O NAME -j "$f"); do under+=("$l"); done
done
declare -A R
for cache in warm cold; do
    for mode in seq rand; do
        R[dev,$mode,$cache]=$(measure "$mode" "$DEV" "$cache" "${under[@]}")
        R[dup,$mode,$cache]=$(measure "$mode" "$DEV.dup" "$cache" "${under[@]}")
        R[qemu,$mode,$cache]=$(measure "$mode" "$EXPORT" "$cache")
        say "$mode $cache: device ${R[dev,$mode,$cache]} MB/s, its table alone" \
            "${R[dup,$mode,$cache]} MB/s, qemu ${R[qemu,$mode,$cache]} MB/s"
    done
done

# --- report -----------------------------------------------------------------
echo
echo "Reads of a ${SIZE_MIB} MiB two-level sparse chain (MB/s), kernel $(uname -r)"
echo "device: the disk device with its snapshot overlay; table: its chain table alone (.dup)"
printf '%-5s %-5s %10s %10s %10s %12s %12s\n' mode cache device table qemu device/qemu table/qemu
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", (b > 0 ? a / b : 0) }'; }
for cache in warm cold; do
    for mode in seq rand; do
        d=${R[dev,$mode,$cache]} t=${R[dup,$mode,$cache]} q=${R[qemu,$mode,$cache]}
        printf '%-5s %-5s %10s %10s %10s %12s %12s\n' "$mode" "$cache" "$d" "$t" "$q" \
            "$(ratio "$d" "$q")" "$(ratio "$t" "$q")"
    done
done
