#!/usr/bin/env bash
# Crash recovery: recovery_fs killed with SIGKILL while it serves merged and
# plain flat images leaves its dead mount, its merged devices, their
# partition mappings and its loop devices behind; the next start on the same
# mount point replaces the dead mount, removes every one of those devices and
# serves the images byte-exact again. Devices of the machine that are not
# recovery_fs's - a linear device over a loop device of another file, and a
# loop device with its partition mapped under the name kpartx gives a loop
# device's partitions - survive untouched. A device of the dead run that is
# still held by another process does not hold up the start; the next start
# after its release removes it.
. "$(dirname "$0")/image_lib.sh"

CHANGE=6a7b8c9d-0e1f-4234-8567-89abcdef0123
make_scratch <<JSON
{"vms": [
 {"name": "vm1", "vmx": true, "disks": [
  {"name": "merged", "size": 8388608, "content": "fast:3", "mbr": [[131, 2048, 14336]],
   "header": {"version": 2, "change_id": "$CHANGE", "change_suffix": 7},
   "tolcbt": {"extents": [[1048576, 65536], [3211264, 512]],
              "random_extents": {"count": 20, "seed": 9, "max_sectors": 64, "min_sector": 4096}}},
  {"name": "plain", "size": 4194304, "content": "fast:4", "mbr": [[131, 2048, 6144]],
   "header": {"version": 1, "change_id": "$CHANGE", "change_suffix": 3}}
 ]},
 {"name": "vm2", "disks": [
  {"name": "other", "size": 2097152, "content": "fast:5", "mbr": [[131, 2048, 2048]],
   "header": {"version": 2, "change_id": "$CHANGE", "change_suffix": 1},
   "tolcbt": {"extents": [[524288, 8192], [1572864, 512]]}}
]}]}
JSON
# No eviction pass while the test runs: on an emulated guest the checks take
# longer than an image's idle time, and an evicted image would take its
# devices with it before the crash.
export RFS_TEST_THREAD_PERIODS=3600,15,180
IMAGES="vm1/merged vm1/plain vm2/other"
for i in $IMAGES; do
    cbt=()
    [ -e "$S/$i-tolcbt.vmdk" ] && cbt=(--cbt "$S/$i-tolcbt.vmdk")
    python3 "$IMAGE_MERGE" "$S/$i-flat.vmdk" "$T/${i//\//_}.want" "${cbt[@]}" --hide-sector 2
done

# serves_exact WHAT: every image of the mount reads as computed; for one
# that does not, where it differs and the devices at that moment.
serves_exact() {
    local i bad=
    for i in $IMAGES; do
        cmp -s "$M/$i-flat.vmdk" "$T/${i//\//_}.want" && continue
        bad+="$i "
        echo "       $i: $(cmp "$M/$i-flat.vmdk" "$T/${i//\//_}.want" 2>&1)"
        dm_tables | sed 's/^/       /'
        grep -v -e 'successfully validated' -e PDEV_STATS "$L/recovery_fs" | tail -8 | sed 's/^/       log: /'
    done
    check_eq "$1: every image reads byte-exact" "" "$bad"
}

# The device-mapper devices with their tables.
dm_tables() {
    local d
    for d in $(dm_devices); do echo "$d: $(dmsetup table "$d" 2>&1)"; done
}

# --- what the test makes, and removes whatever happens ----------------------
DM_AT_START=$(dm_devices)
crash_cleanup() {
    local d
    kill_holders
    # Every device made since the start.
    dm_devices | grep -vxF -f <(printf '%s\n' "$DM_AT_START") | remove_dm_stacked
    for d in $(loops_below "$T" | cut -d' ' -f1); do losetup -d "$d" 2>/dev/null; done
}
RFS_CLEANUP_HOOKS+=(crash_cleanup)

# --- devices that are not recovery_fs's -----------------------------------
# The file names start like the scratch path's, but lie beside it.
truncate -s 4M "$T/scratch-parted.img" "$T/scratch-linear.img"
printf 'start=2048, size=4096, type=83\n' | sfdisk -q "$T/scratch-parted.img" >/dev/null 2>&1 ||
    fail "sfdisk on the foreign image"
FLOOP_PARTED=$(losetup -f --show "$T/scratch-parted.img") || fail "foreign loop device"
FLOOP_LINEAR=$(losetup -f --show "$T/scratch-linear.img") || fail "foreign loop device"
kpartx -a -p p "$FLOOP_PARTED" >/dev/null 2>&1 || fail "kpartx on the foreign loop device"
echo "0 8192 linear $FLOOP_LINEAR 0" | dmsetup create vg0-foreign >/dev/null 2>&1 ||
    fail "foreign linear device"
FOREIGN_PART=${FLOOP_PARTED#/dev/}p1
check_status "foreign devices made" 0 test -b "/dev/mapper/$FOREIGN_PART" -a -b /dev/mapper/vg0-foreign
DM_BEFORE=$(dm_tables)
LOOPS_BEFORE=$(loops_below "$T")

# --- a run killed while it serves the images ------------------------------
mount_scratch
serves_exact "first run"
mdev=$(merged_device_of "$S/vm1/merged-flat.vmdk")
ploop=$(loops_of "$S/vm1/plain-flat.vmdk" | head -1)
check_eq "first run: merged devices, their and the plain loop device's partitions mapped" \
    "2 yes yes" "$(dm_devices | grep -c '^cbt\.[0-9]*$') $([ -b "/dev/mapper/${mdev}p1" ] && echo yes)$(
        [ -b "/dev/mapper/${ploop#/dev/}p1" ] && echo " yes")"
# A reader keeps an image open across the crash.
hold "$M/vm1/merged-flat.vmdk"
kill -KILL "$RFS_PID"
wait "$RFS_PID" 2>/dev/null
check_contains "the dead mount answers ENOTCONN" "$(stat -f "$M" 2>&1)" "not connected"
check_status "the dead run left its devices" 0 test -b "/dev/mapper/${mdev}p1" -a -n "$(loops_below "$S")"

mount_scratch
check_eq "the dead mount is replaced by one live mount" "1 yes" \
    "$(awk -v m="$M" '$5 == m' /proc/self/mountinfo | wc -l) $(rfs_is_served "$M" && echo yes)"
check_eq "no device-mapper device of the dead run left, foreign tables unchanged" "$DM_BEFORE" "$(dm_tables)"
check_eq "no loop device of the dead run left, foreign ones on their files" "$LOOPS_BEFORE" "$(loops_below "$T")"
serves_exact "after the crash"

# --- a device of the dead run held by another process ---------------------
kill -KILL "$RFS_PID"
wait "$RFS_PID" 2>/dev/null
mdev=$(merged_device_of "$S/vm1/merged-flat.vmdk")
hold "/dev/mapper/${mdev}p1"
# The stand-in device-mapper gives a held device 5 s to settle before its
# removal fails; a real kernel answers at once.
RFS_TEST_START_LIMIT=${RFS_TEST_START_LIMIT:-60} mount_scratch
check_contains "the held device is logged and left in place" "$(cat "$LOG")" \
    "${mdev}p1: still in use, left in place"
serves_exact "with a device of the dead run held"
kill -KILL "${HOLDERS[-1]}"
wait "${HOLDERS[-1]}" 2>/dev/null
rfs_stop "$M" "clean stop"
mount_scratch
check_eq "after its release the held device goes at the next start" "$DM_BEFORE" "$(dm_tables)"
check_eq "and its loop devices" "$LOOPS_BEFORE" "$(loops_below "$T")"
rfs_stop "$M"
check_eq "foreign devices survive to the end" "$DM_BEFORE" "$(dm_tables)"
rfs_finish
