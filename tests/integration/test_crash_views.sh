#!/usr/bin/env bash
# Crash matrix: recovery_fs killed with SIGKILL at every stage of its views -
# an image open, a view being mounted (right after each program that the
# mounter runs, through the RFS_TEST_KILL_AFTER seam), views mounted (ext4
# partitions in an extended partition, LVM with ext4 and XFS, NTFS through
# ntfs-3g, the base disk of a snapshot chain), a client holding a file in a
# view and another with its working directory in a guest mount. After each
# kill one start leaves nothing of the dead run (guest mount, logical
# volume, partition mapping, disk device, snapshot store, merged device,
# loop device, record) and the start after it finds nothing to do. A
# device still held is left and logged, and goes at the first start after
# its release. Throughout, a foreign device-mapper device, a foreign loop
# device with a partition mapping, a second recovery_fs with a view mounted
# and a device that vmdk-mount --device made survive every start.
# The table at the end lists, per kill point, what the dead run left and
# what the start after it left of that.
. "$(dirname "$0")/image_lib.sh"

VMOUNT=$RFS_BUILD_DIR/tools/vmdk-mount
RECORDS=/run/recovery_fs
# No eviction; settings fetched at once and every 2 s.
export RFS_TEST_THREAD_PERIODS=3600,1,2

CHANGE=5f1d2c3b-4a59-4687-9a1b-2c3d4e5f6071
make_scratch <<JSON
{"vms": [
 {"name": "vm1", "disks": [{"name": "disk", "size": 83886080, "guest": {"table": "mbr", "parts": [
   {"size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 p1\n"}},
   {"size_mib": 8, "fs": "ntfs", "files": {"etc/hosts": "text:127.0.0.1 ntfs\n"}},
   {"size_mib": 8, "logical": true, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 p5\n"}},
   {"size_mib": 48, "logical": true, "lvm": {"vg": "vg0", "lvs": [
     {"name": "root", "size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 lvm\n"}},
     {"name": "data", "size_mib": 32, "fs": "xfs", "files": {"etc/hosts": "text:127.0.0.1 xfs\n"}}]}}]}}]},
 {"name": "vm2", "disks": [{"name": "small", "size": 16777216, "guest": {"table": "mbr", "parts": [
   {"size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 small\n"}}]}}]},
 {"name": "vm3", "disks": [
   {"name": "cbt", "size": 16777216, "tolcbt": {}, "header": {"version": 2, "change_id": "$CHANGE", "change_suffix": 7},
    "guest": {"table": "mbr", "parts": [{"size_mib": 8, "fs": "ext4",
      "files": {"etc/hosts": "text:127.0.0.1 old\n"}, "tolcbt_files": {"etc/hosts": "text:127.0.0.1 new\n"}}]}},
   {"name": "chain", "kind": "chain", "size": 16777216, "base": "flat", "content": "zero",
    "mbr": [[131, 2048, 16384]], "fs": {"type": "ext4", "part": 1, "files": {"etc/hosts": "text:127.0.0.1 chain\n"}},
    "deltas": [{"writes": [[12582912, 65536, 7]]}]}]}]}
JSON

# --- what the test makes, and removes whatever happens ----------------------
crash_cleanup() {
    local d
    kill_holders
    for d in $(mounts_below "$T" | sort -r); do umount -l "$d" 2>/dev/null; done
    dm_devices | remove_dm_stacked
    for d in $(loops_below "$T" | cut -d' ' -f1); do losetup -d "$d" 2>/dev/null; done
}
RFS_CLEANUP_HOOKS+=(crash_cleanup)
# A killed run whose thread waits for an answer from its own dead mount ends
# only when that mount is aborted (a forced unmount), before the harness
# unmounts it lazily and waits for the process.
abort_dead_mount() {
    python3 -c 'import ctypes, sys; ctypes.CDLL(None).umount2(sys.argv[1].encode(), 3)' "$M" 2>/dev/null
    rfs_cleanup
}
trap abort_dead_mount EXIT

# Loop devices are the machine's: only those over files of this sandbox's
# own file systems (its tmpfs and FUSE mounts, also once a dead mount has
# been detached) count, not those of tests that run beside it.
OWN_DEVS=$T/own-devs
own_loops() {
    awk '{ split($0, a, " - "); split(a[2], b, " "); if (b[1] ~ /^(tmpfs|fuse)/) print $3 }' \
        /proc/self/mountinfo >>"$OWN_DEVS"
    /run/rfs-sandbox/bin/losetup --list --noheadings -O NAME,BACK-MAJ:MIN,BACK-FILE 2>/dev/null |
        while read -r dev mm file; do
            grep -qxF "$mm" "$OWN_DEVS" && echo "loop ${dev#/dev/} $file"
        done
}
# Everything that a run of recovery_fs may leave, one object per line.
census() {
    dm_devices | sed 's/^/dm /'
    own_loops
    awk '{ print "mount " $5 }' /proc/self/mountinfo
    ls /tmp | grep -E '\.tolstorage$|\.dm_table_merge$|^[0-9a-f]+\.[0-9]+p[0-9]+-' | sed 's/^/file /'
    ls -d /dev/*p[0-9]*-* 2>/dev/null | sed 's/^/node /'
    ls "$RECORDS" 2>/dev/null | sed 's/^/record /'
}
# What the census has beyond the baseline; our live record counts as one.
# What the census has beyond the baseline, and what of the baseline is gone
# ("-" before it).
beyond() {
    comm -3 <(census_of "$BASELINE") <(census_of "$1") | sed 's/^\t//; t; s/^/- /'
}
census_of() { grep -v '^record ' <<<"$1" | LC_ALL=C sort; }
records() { ls "$RECORDS" 2>/dev/null | wc -l; }
# "2 dm, 1 loop" of a census difference.
summary() {
    [ -n "$1" ] || { echo "nothing"; return; }
    cut -d' ' -f1 <<<"$1" | sort | uniq -c | awk '{ printf "%s%s %s", (NR > 1 ? ", " : ""), $1, $2 }'
}

# start [KILL_POINT]: our recovery_fs over the scratch tree, automatic
# mounting on, the kill seam armed when given.
start() {
    LOG_FROM=$(cat "$LOG" 2>/dev/null | wc -l)
    RFS_TEST_KILL_AFTER=${1:-} mount_scratch
    wait_log "start${1:+ (armed: $1)}: automatic mounting on" "recover.automount.enabled from 0 to 1" 60
}

TABLE=()
# crashed POINT DID: recovery_fs is dead; the next start leaves nothing of
# it and its record, and (checked at the start after) finds nothing to do.
crashed() {
    local point=$1 left after dead=$RFS_PID
    # A thread that waited for an answer from the dead mount itself holds
    # the process (and its record) until the next start aborts that mount:
    # it is reaped after the start.
    wait_for 60 eval '! rfs_alive "$dead"' || { fail "$point: recovery_fs still runs"; kill -KILL "$dead"; }
    left=$(beyond "$(census)")
    start "${2:-}"
    wait "$dead" 2>/dev/null
    after=$(beyond "$(census)")
    check_eq "$point: the next start leaves nothing of the dead run" "" "$after"
    check_eq "$point: one record (ours) besides the other instance's" 2 "$(records)"
    TABLE+=("$(printf '%-24s %-44s %s' "$point" "$(summary "$left")" "$(summary "$after")")")
}

view_file() { # VIEW: the file that the test reads in it
    cat "$M/$1/0/etc/hosts" 2>&1
}

# --- what is not this recovery_fs's ------------------------------------------
truncate -s 4M "$T/foreign-parted.img" "$T/foreign-linear.img"
printf 'start=2048, size=4096, type=83\n' | sfdisk -q "$T/foreign-parted.img" >/dev/null 2>&1
FLOOP_PARTED=$(losetup -f --show "$T/foreign-parted.img") || fail "foreign loop device"
FLOOP_LINEAR=$(losetup -f --show "$T/foreign-linear.img") || fail "foreign loop device"
kpartx -a -p p "$FLOOP_PARTED" >/dev/null 2>&1 || fail "kpartx on the foreign loop device"
echo "0 8192 linear $FLOOP_LINEAR 0" | dmsetup create vg0-foreign >/dev/null 2>&1 || fail "foreign linear device"
OPERATOR_DEV=$("$VMOUNT" --device "$S/vm2/small.vmdk") || fail "vmdk-mount --device"

set_reg recover.automount.enabled 1
O=$T/other
mkdir -p "$O/log"
rfs_start "$O/mnt" -P "$S" --volume-path="$O/vol" -L "$O/log" || rfs_finish
OTHER_PID=$RFS_PID
wait_for 60 stat "$O/mnt/vm2/small.volume/0/etc/hosts"
check_eq "second instance: its view mounted" "127.0.0.1 small" "$(cat "$O/mnt/vm2/small.volume/0/etc/hosts" 2>&1)"

start
BASELINE=$(census)
check_eq "baseline: our record and the other instance's" 2 "$(records)"

# Kill points of a view being mounted; RFS_CRASH_POINTS picks fewer (the
# real-kernel tier's default run, where each costs over a minute).
POINTS=(${RFS_CRASH_POINTS:-losetup:2 losetup:5 dmsetup:1 dmsetup:3 dmsetup:5 dmsetup:7
    kpartx:1 kpartx:2 vol_id:8 sfdisk:4 pvs:1 vgrename:1 pvcreate:1 vgcfgrestore:1 lvs:1 lvchange:2
    mount:1 mount:3 mount:5})

# --- an image open -----------------------------------------------------------
cat "$M/vm3/cbt-flat.vmdk" >/dev/null
kill -KILL "$RFS_PID"
crashed "image open" "${POINTS[0]}"

# --- a view being mounted: killed right after each program ------------------
for i in "${!POINTS[@]}"; do
    ls "$M/vm1/disk.volume/" >/dev/null 2>&1 &
    access=$!
    wait_for 120 eval '! rfs_alive "$RFS_PID" || ! kill -0 "$access"'
    rfs_alive "$RFS_PID" && fail "${POINTS[$i]}: the kill point was not reached" && kill -KILL "$RFS_PID"
    # The start that checks is the next case's run.
    crashed "mounting, ${POINTS[$i]}" "${POINTS[$((i + 1))]:-}"
    wait "$access"
done

# --- views mounted -----------------------------------------------------------
want="127.0.0.1 p1|127.0.0.1 ntfs|127.0.0.1 p5|127.0.0.1 xfs|127.0.0.1 lvm|127.0.0.1 new|127.0.0.1 chain"
got=$(for n in 0 1 2 3 4; do cat "$M/vm1/disk.volume/$n/etc/hosts" 2>&1; done
    view_file vm3/cbt.volume; view_file vm3/chain.volume)
check_eq "views: ext4 primary, NTFS, logical ext4, LVM XFS and ext4, change-block, chain base" "$want" "$(tr '\n' '|' <<<"$got" | sed 's/|$//')"
kill -KILL "$RFS_PID"
crashed "views mounted"

# --- clients: one holds a file through the mount, one sits in a guest mount --
view_file vm3/cbt.volume >/dev/null
hold "$M/vm1/disk.volume/0/etc/hosts"
guest=$(mounts_below "$V/vm3/cbt.volume")
(cd "$guest/etc" && exec sleep 1000) &
HOLDERS+=($!)
kill -KILL "$RFS_PID"
wait "$RFS_PID" 2>/dev/null
left=$(beyond "$(census)")
start
check_eq "client in a guest mount: no mount of the dead run left" "" "$(beyond "$(census)" | grep '^mount ')"
held=$(beyond "$(census)")
# A device-mapper device held through a lazily unmounted file system: the
# stand-in device-mapper lets its device go, a kernel keeps it.
grep -q '^dm ' <<<"$held" && check_contains "devices still held are logged and left in place" \
    "$(cat "$LOG")" "still in use, left in place"
echo "       (left while the clients held on: $(xargs <<<"$held"))"
kill_holders
HOLDERS=()
kill -TERM "$RFS_PID"
wait_for 60 eval '! rfs_alive "$RFS_PID"'
start
check_eq "after the clients let go, the next start removes the rest" "" "$(beyond "$(census)")"
TABLE+=("$(printf '%-24s %-44s %s' "clients holding" "$(summary "$left")" "$(summary "$held"); after release: $(summary "$(beyond "$(census)")")")")

# --- a second start finds nothing to do --------------------------------------
before=$(census)
rfs_stop "$M" "clean stop"
start
check_eq "a second start finds nothing to do" "$(census_of "$before")" "$(census_of "$(census)")"
check_eq "the other instance still serves its view" "127.0.0.1 small" "$(cat "$O/mnt/vm2/small.volume/0/etc/hosts" 2>&1)"
check_eq "the operator's device and the foreign devices survive" "yes yes yes" \
    "$([ -b "$OPERATOR_DEV" ] && echo yes) $([ -b "/dev/mapper/vg0-foreign" ] && echo yes) $([ -b "/dev/mapper/${FLOOP_PARTED#/dev/}p1" ] && echo yes)"
rfs_stop "$M"
# A mounted view keeps the mount busy: the second instance stops on SIGTERM.
kill -TERM "$OTHER_PID"
wait_for 60 eval '! rfs_alive "$OTHER_PID"' || fail "second instance still runs after SIGTERM"
"$VMOUNT" -u "$OPERATOR_DEV" || fail "vmdk-mount -u $OPERATOR_DEV"

printf '\n%-24s %-44s %s\n' "kill point" "left by the dead run" "left after the next start"
printf '%s\n' "${TABLE[@]}"
rfs_finish
