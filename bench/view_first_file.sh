#!/usr/bin/env bash
# The file-level view against what an administrator would do without it,
# measured side by side in one run:
#
#  1. Time to first file: listing the machine directory and then the `stat`
#     of disk.volume/0/ (the first access mounts the view, with automatic
#     mounting turned on through the controller stand-in), for a 1 GiB disk
#     with one ext4 partition and for a 1 GiB disk with an LVM group; against
#     `guestmount --ro -i` of the same flat file and a `stat` of its root
#     (libguestfs under software emulation, LIBGUESTFS_BACKEND_SETTINGS=force_tcg).
#  2. Time to first file of a two-level chain (a flat base holding an ext4
#     guest, a hosted-sparse delta over it) with `vmdk-mount DESCRIPTOR DIR`,
#     against the do-it-yourself path: qemu-storage-daemon exports the chain
#     as a raw file over FUSE, a loop device with partition scan,
#     `mount -o ro,noload`, `stat` of the root.
#  3. Reading a 256 MiB guest file through the view, against reading it from
#     the same ext4 mounted (ro,noload) from a loop device over the scratch
#     flat file; warm, and cold after dropping the page cache (global, clean
#     pages only).
#
# Each figure is the median of SAMPLES runs (failed runs are left out and
# reported as "fail" while it runs), time to first file on fresh
# disks (copies; a view is mounted only once), guestmount's of GM_SAMPLES
# (default 1: it boots an emulated appliance, minutes on a busy machine).
# Warm-up runs of both sides (a small guest) come first and are not counted:
# libguestfs builds its appliance there.
#
# Usage (root, after a build): [GM_SAMPLES=N] bench/view_first_file.sh [SAMPLES]   default 3
# (GM_SAMPLES=0 leaves guestmount out, and needs no libguestfs.)
# KEEP_LOG=FILE keeps recovery_fs's log, at debug level 2 (timestamped: where a
# mount spends its time).
# libguestfs-tools is large and only this benchmark needs it, so it is
# installed here (apt-get) when missing, not by tools/setup-deps.sh (CI does
# not run benchmarks). Runs in the appliance sandbox; every mount, loop device
# and process it makes goes at the end, also on failure (and the sandbox
# removes what is left when it ends). RFS_BUILD_DIR selects the build.
set -uo pipefail
GM_SAMPLES=${GM_SAMPLES:-1}
if [ "${1:-}" != --inside ] && [ "$(id -u)" -eq 0 ] && ((GM_SAMPLES > 0)) && ! command -v guestmount >/dev/null; then
    # Before entering the sandbox: its root is a throw-away overlay.
    echo "# installing libguestfs-tools (guestmount)" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q libguestfs-tools >/dev/null ||
        { echo "cannot install libguestfs-tools" >&2; exit 1; }
fi
. "$(dirname "$0")/lib.sh"
shift
SAMPLES=${1:-3}
GM_LIMIT=${GM_LIMIT:-600} # a guestmount that has not mounted by then counts as failed
READ=$B/bench/bench_image_read
VMOUNT=$B/tools/vmdk-mount
RFS=$B/src/recovery_fs
for p in "$READ" "$VMOUNT" "$RFS"; do [ -x "$p" ] || { echo "$p is not built" >&2; exit 1; }; done
gm_tools=()
((GM_SAMPLES > 0)) && gm_tools=(guestmount guestunmount)
for c in "${gm_tools[@]}" qemu-storage-daemon qemu-img; do
    command -v "$c" >/dev/null || { echo "needs $c" >&2; exit 1; }
done

W=$(mktemp -d "$B/bench-view.XXXXXX")
S=$W/scratch M=$W/mnt V=$W/vol LOG=$W/log
REG=/var/tolvane/controller/registry.json
MIB=1048576
RFS_PID=
MOUNTS=() # mount points this script made, unmounted in reverse order
LOOPS=() # loop devices this script attached and has not detached yet
QSD_PID=
VIEW_FD=
stop_qsd() {
    [ -n "$QSD_PID" ] || return 0
    kill "$QSD_PID" 2>/dev/null
    wait "$QSD_PID" 2>/dev/null
    QSD_PID=
    mountpoint -q "$W/export.raw" 2>/dev/null && umount "$W/export.raw"
    return 0
}
cleanup() {
    local i m
    [ -n "$VIEW_FD" ] && exec 8<&-
    for ((i = ${#MOUNTS[@]} - 1; i >= 0; i--)); do
        m=${MOUNTS[i]}
        mountpoint -q "$m" 2>/dev/null || continue
        case $m in
        "$W"/vm*) "$VMOUNT" -u "$m" >/dev/null 2>&1 || umount "$m" ;;
        "$W"/gm*) guestunmount "$m" >/dev/null 2>&1 || fusermount -u "$m" ;;
        *) umount "$m" ;;
        esac
    done
    for i in "${LOOPS[@]}"; do losetup -d "$i" 2>/dev/null; done
    stop_qsd
    if [ -n "$RFS_PID" ]; then
        # Mounted views keep their images open through the mount, so an
        # unmount would find it busy: SIGTERM tears views down, then images.
        kill -TERM "$RFS_PID" 2>/dev/null
        wait_for 120 eval '! kill -0 "$RFS_PID"' || kill -KILL "$RFS_PID"
        wait "$RFS_PID" 2>/dev/null
        mountpoint -q "$M" && fusermount -u "$M"
    fi
    [ -n "${KEEP_LOG:-}" ] && cp "$LOG/recovery_fs" "$KEEP_LOG"
    rm -rf "$W"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
# Detaches LOOP and forgets it: the kernel hands the number to the next
# attach, recovery_fs's own included, which cleanup must not detach.
detach_loop() { # LOOP
    local i
    losetup -d "$1" || return
    for i in "${!LOOPS[@]}"; do [ "${LOOPS[i]}" = "$1" ] && unset 'LOOPS[i]'; done
    return 0
}
say() { echo "# $*" >&2; }
now() { echo "$EPOCHREALTIME"; }
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; }
median() { tr ' ' '\n' | grep -E '^[0-9.]+$' | sort -g | awk '{ v[NR] = $1 } END { print (NR ? v[int((NR + 1) / 2)] : "-") }'; }
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (a + 0 > 0 && b + 0 > 0) printf "%.2f", a / b; else printf "-" }'; }
wait_for() { # SECONDS COMMAND...
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do
        [ $SECONDS -lt $deadline ] || return 1
        sleep 0.1
    done
}
mkdir -p "$M" "$V" "$LOG"

# --- the guests -------------------------------------------------------------
# The ext4 disk's partition starts at 1 MiB; the chain's guest leaves its
# last MiB to the delta's writes.
say "making the guests in $W"
# What guestmount -i's inspection takes for a Linux root: /etc with hosts, /bin.
OSFILES='"etc/hosts": "text:127.0.0.1 guest\n", "etc/os-release": "text:ID=debian\nVERSION_ID=12\n",
  "bin/sh": "text:#\n"'
cat >"$W/layout.json" <<JSON
{"vms": [
 {"name": "warm", "disks": [{"name": "disk", "size": $((32 * MIB)), "guest": {"table": "mbr", "parts": [
   {"size_mib": 16, "fs": "ext4", "files": {$OSFILES}}]}}]},
 {"name": "ext4", "disks": [{"name": "disk", "size": $((1024 * MIB)), "guest": {"table": "mbr", "parts": [
   {"size_mib": 1020, "fs": "ext4", "files": {$OSFILES}}]}}]},
 {"name": "lvm", "disks": [{"name": "disk", "size": $((1024 * MIB)), "guest": {"table": "mbr", "parts": [
   {"size_mib": 1020, "lvm": {"vg": "vg0", "lvs": [
     {"name": "root", "size_mib": 1000, "fs": "ext4", "files": {$OSFILES}}]}}]}}]},
 {"name": "chain", "disks": [{"name": "disk", "kind": "chain", "size": $((64 * MIB)),
   "guest": {"table": "mbr", "parts": [{"size_mib": 60, "fs": "ext4", "files": {$OSFILES}}]},
   "deltas": [{"writes": [[$((63 * MIB)), $((512 * 1024)), 7]]}]}]}
]}
JSON
python3 "$SRC/tools/mkscratch" "$S" --layout "$W/layout.json" >/dev/null || exit 1
CHAIN=$(ls "$S"/chain/disk-0*.vmdk | grep -v -- '-s0' | tail -n1)

# The 256 MiB file, written through a loop device over the flat file.
FLAT=$S/ext4/disk-flat.vmdk
say "writing a 256 MiB guest file"
loop=$(losetup -f --show -o $MIB "$FLAT") || exit 1
LOOPS+=("$loop")
mkdir -p "$W/fill"
mount "$loop" "$W/fill" && MOUNTS+=("$W/fill") || exit 1
head -c $((256 * MIB)) /dev/urandom >"$W/fill/big.bin" || exit 1
umount "$W/fill" && detach_loop "$loop" || exit 1
for ((i = 1; i <= SAMPLES; i++)); do
    cp -a --sparse=always "$S/ext4" "$S/ext4.$i"
    cp -a --sparse=always "$S/lvm" "$S/lvm.$i"
done
# Backup files are at rest when a restore starts: nothing of them waits for
# writeback (attaching a loop device to a file flushes its dirty pages first,
# a quarter of a second for these copies).
sync

# --- 1. time to first file: recovery_fs view and guestmount ----------------
python3 - "$REG" "${KEEP_LOG:+2}" <<'PY'
import json, os, sys
reg = json.load(open(sys.argv[1]))
reg["recover.automount.enabled"] = "1"
if sys.argv[2]:
    reg["appliance.debug.level"] = sys.argv[2]
json.dump(reg, open(sys.argv[1] + ".new", "w"))
os.rename(sys.argv[1] + ".new", sys.argv[1])
PY
# The controller asked every second and the settings refreshed every 2 s;
# idle views go after the usual minute.
RFS_TEST_THREAD_PERIODS=15,1,2 "$RFS" "$M" -P "$S" --volume-path="$V" -L "$LOG" -f >"$LOG/out" 2>&1 &
RFS_PID=$!
wait_for 60 mountpoint -q "$M" || { cat "$LOG/out" >&2; echo "recovery_fs did not mount" >&2; exit 1; }
say "warm-up view (waits until automatic mounting is on)"
wait_for 180 stat "$M/warm/disk.volume/0/etc/hosts" || { tail "$LOG/recovery_fs" >&2; exit 1; }

first_view() { # VM: seconds from listing the machine directory to the stat of disk.volume/0/
    local t
    t=$(now)
    ls "$M/$1" >/dev/null && stat "$M/$1/disk.volume/0/" >/dev/null || { echo fail; return; }
    since "$t"
}
export LIBGUESTFS_BACKEND_SETTINGS=force_tcg LIBGUESTFS_CACHEDIR=$W/guestfs-cache
mkdir -p "$LIBGUESTFS_CACHEDIR"
# The timing functions below set R (seconds, or "fail"); they run in this
# shell, not in a command substitution, so that cleanup knows what they made.
first_guestmount() { # FLAT: from guestmount to the stat of a file in its root
    local t dir=$W/gm.$RANDOM rc=0
    mkdir -p "$dir"
    MOUNTS+=("$dir")
    t=$(now)
    timeout "$GM_LIMIT" guestmount --ro -i --format=raw -a "$1" "$dir" 2>>"$W/guestmount.log" &&
        stat "$dir/etc/hosts" >/dev/null || rc=1
    R=$( ((rc == 0)) && since "$t" || echo fail)
    mountpoint -q "$dir" && guestunmount "$dir" >/dev/null 2>&1
}
if ((GM_SAMPLES > 0)); then
    say "warm-up guestmount (builds the libguestfs appliance)"
    first_guestmount "$S/warm/disk-flat.vmdk"
    [ "$R" = fail ] && { tail -n 20 "$W/guestmount.log" >&2; echo "guestmount failed" >&2; exit 1; }
fi
declare -A T
for kind in ext4 lvm; do
    T[view,$kind]= T[gm,$kind]=
    for ((i = 1; i <= SAMPLES; i++)); do
        # Device names are drawn from the current second with the disk's CID
        # as prefix, which every copy shares: a view made within the second
        # of the one before waits a second for a free name (as two restore
        # points of one disk opened at once do). Each sample times one view.
        sleep 1
        v=$(first_view "$kind.$i") g=-
        if ((i <= GM_SAMPLES)); then
            first_guestmount "$S/$kind.$i/disk-flat.vmdk"
            g=$R
        fi
        say "$kind sample $i: view $v s, guestmount $g s"
        T[view,$kind]+=" $v"
        [ "$g" = - ] || T[gm,$kind]+=" $g"
    done
done

# --- 3. reading the 256 MiB file: view and direct loop mount ----------------
say "reading a 256 MiB guest file"
exec 8<"$M/ext4.1/disk.volume/0" && VIEW_FD=8 # holds the view while it is read
loop=$(losetup -f --show -r -o $MIB "$FLAT") || exit 1
LOOPS+=("$loop")
mkdir -p "$W/direct"
mount -o ro,noload "$loop" "$W/direct" && MOUNTS+=("$W/direct") || exit 1
# Compared once; that also warms both caches.
cmp -s "$M/ext4.1/disk.volume/0/big.bin" "$W/direct/big.bin" || { echo "the view and the direct mount differ" >&2; exit 1; }
read_mib() { # FILE CACHE: MiB/s
    [ "$2" = cold ] && echo 1 >/proc/sys/vm/drop_caches
    [ "$2" = warm ] && "$READ" seq "$1" >/dev/null 2>&1
    "$READ" seq "$1" 2>>"$W/read.log"
}
for cache in warm cold; do
    T[rview,$cache]= T[rdirect,$cache]=
    for ((i = 1; i <= SAMPLES; i++)); do
        T[rview,$cache]+=" $(read_mib "$M/ext4.1/disk.volume/0/big.bin" $cache)"
        T[rdirect,$cache]+=" $(read_mib "$W/direct/big.bin" $cache)"
    done
    say "read $cache: view${T[rview,$cache]} MiB/s, direct${T[rdirect,$cache]} MiB/s"
done
exec 8<&-
VIEW_FD=
umount "$W/direct" && detach_loop "$loop"

# --- 2. the chain: vmdk-mount against qemu-storage-daemon + loop + mount ---
first_vmdk_mount() { # from vmdk-mount to the stat of a file in the first file system
    local t dir=$W/vm.$RANDOM out rc=0
    MOUNTS+=("$dir")
    t=$(now)
    out=$("$VMOUNT" "$CHAIN" "$dir" 2>>"$W/vmdk-mount.log") && stat "$(awk '$1 == 0 { print $4 }' <<<"$out")/etc/hosts" >/dev/null || rc=1
    R=$( ((rc == 0)) && since "$t" || echo fail)
    "$VMOUNT" -u "$dir" >/dev/null 2>>"$W/vmdk-mount.log"
}
# The partition's node, as udev would make it (the sandbox's /dev is a copy).
# A kernel without the MBR parser (this development host's) makes no
# partitions at the scan: partx adds them then.
part_node() { # LOOP
    local sys=/sys/block/${1#/dev/}/${1#/dev/}p1 majmin
    [ -e "$sys/dev" ] || partx -a "$1" 2>/dev/null
    [ -e "$sys/dev" ] || return 1
    [ -b "${1}p1" ] && return 0
    majmin=$(<"$sys/dev")
    mknod "${1}p1" b "${majmin%%:*}" "${majmin##*:}"
}
first_diy() { # from qemu-storage-daemon to the stat of a file in the partition
    local t dir=$W/diy export=$W/export.raw loop= rc=0
    mkdir -p "$dir"
    : >"$export"
    t=$(now)
    qemu-storage-daemon \
        --blockdev "driver=vmdk,node-name=disk0,read-only=on,file.driver=file,file.filename=$CHAIN" \
        --export "type=fuse,id=exp0,node-name=disk0,mountpoint=$export,writable=off" \
        >>"$W/qsd.log" 2>&1 &
    QSD_PID=$!
    wait_for 30 mountpoint -q "$export" &&
        loop=$(losetup -f --show -r -P "$export") && LOOPS+=("$loop") &&
        wait_for 10 part_node "$loop" &&
        mount -o ro,noload "${loop}p1" "$dir" && MOUNTS+=("$dir") &&
        stat "$dir/etc/hosts" >/dev/null || rc=1
    R=$( ((rc == 0)) && since "$t" || echo fail)
    mountpoint -q "$dir" && umount "$dir"
    [ -n "$loop" ] && { partx -d "$loop" 2>/dev/null; detach_loop "$loop"; }
    stop_qsd
}
say "chain: $(basename "$CHAIN")"
T[vmount]= T[diy]=
for ((i = 0; i <= SAMPLES; i++)); do # the first round warms up both
    first_vmdk_mount
    a=$R
    first_diy
    b=$R
    say "chain sample $i: vmdk-mount $a s, qemu-storage-daemon + loop + mount $b s"
    ((i == 0)) && continue
    T[vmount]+=" $a" T[diy]+=" $b"
done

# --- report -----------------------------------------------------------------
echo
echo "First file and reads of the file-level view, kernel $(uname -r), load $(cut -d' ' -f1-3 /proc/loadavg)"
echo "time to first file (seconds, median of $SAMPLES; guestmount: of $GM_SAMPLES); ratio: the other path's time / ours"
printf '%-28s %10s %26s %10s %8s\n' disk ours "other path" other ratio
for kind in ext4 lvm; do
    a=$(median <<<"${T[view,$kind]}") b=$(median <<<"${T[gm,$kind]}")
    printf '%-28s %10s %26s %10s %8s\n' "1 GiB $kind, view" "$a" "guestmount --ro -i" "$b" "$(ratio "$b" "$a")"
done
a=$(median <<<"${T[vmount]}") b=$(median <<<"${T[diy]}")
printf '%-28s %10s %26s %10s %8s\n' "64 MiB chain, vmdk-mount" "$a" "qsd + loop + mount" "$b" "$(ratio "$b" "$a")"
echo "reading a 256 MiB guest file (median MiB/s); ratio: view / direct loop mount"
for cache in warm cold; do
    a=$(median <<<"${T[rview,$cache]}") b=$(median <<<"${T[rdirect,$cache]}")
    printf '%-6s view %10s direct %10s ratio %6s\n' "$cache" "$a" "$b" "$(ratio "$a" "$b")"
done
