# Shared part of the tests of flat images and views (sourced): the harness
# inside the appliance sandbox, a scratch tree, volume path, mount point, log
# directory, and device checks.
RFS_TEST_SANDBOX=1
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

IMAGE_MERGE=$RFS_SOURCE_DIR/tests/integration/image_merge.py

# Every test's scratch tree, volume path, mount point and log directory.
S=$T/scratch
V=$T/vol
M=$T/mnt
L=$T/log
LOG=$L/recovery_fs
mkdir -p "$L"

# The loop devices attached to FILE (one per line).
loops_of() { losetup -n -O NAME -j "$1" 2>/dev/null; }

# Merged change-block devices and partition devices in /dev/mapper.
dm_devices() { ls /dev/mapper | grep -v '^control$' | LC_ALL=C sort; }

# Loop devices over files below DIR, "DEVICE FILE" per line.
loops_below() {
    local f file dev
    for f in /sys/block/loop*/loop/backing_file; do
        file=$(cat "$f" 2>/dev/null) || continue
        [[ $file == "$1"/* ]] || continue
        dev=${f#/sys/block/}
        echo "/dev/${dev%%/*} $file"
    done | LC_ALL=C sort
}

# No loop device over any file below DIR and no device-mapper device left.
# A detached loop device goes only when its last opener closes it; LVM tools
# that scan every block device may hold it for a moment: wait, then name them.
check_no_devices() {
    local what=$1 left deadline=$((SECONDS + 60)) l
    until left=$(loops_below "$2"); [ -z "$left" ] || [ $SECONDS -ge $deadline ]; do sleep 0.5; done
    for l in $(cut -d' ' -f1 <<<"$left"); do
        echo "       $l held by: $(fuser "$l" 2>/dev/null | xargs)"
    done
    check_eq "$what: no loop device over the scratch files" "" "$left"
    check_eq "$what: no device-mapper device left" "" "$(dm_devices)"
}

# What mounted views make: devices named after their disks, loop devices
# over images read through the mount, store files, mounts below the volume path.
view_objects() {
    ls /dev/mapper | grep -E '^[0-9a-f]+\.[0-9]+'
    losetup -n -O BACK-FILE | grep -F "$M/"
    ls /tmp/*.tolstorage 2>/dev/null
    mounts_below "$V"
}

# start_views PATH: automatic mounting on, mounted, and waited for until the
# view PATH (below $M) mounts, which it does once the first refresh has ended.
start_views() {
    set_reg recover.automount.enabled 1
    mount_scratch
    wait_log "automatic mounting turned on" "recover.automount.enabled from 0 to 1" 180
    wait_for 180 stat "$M/$1"
}

mounts_below() { awk -v d="$1" 'index($5, d) == 1 { print $5 }' /proc/self/mountinfo; }

# hold FILE: a process keeps FILE open until kill_holders; opened here, so
# that it is open when hold returns.
HOLDERS=()
hold() {
    local fd
    exec {fd}<"$1" || { fail "open $1"; return 1; }
    sleep 1000 <&$fd &
    HOLDERS+=($!)
    exec {fd}<&-
}
kill_holders() {
    local p
    for p in "${HOLDERS[@]}"; do kill -KILL "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
}

# The device-mapper devices named on standard input, removed what sits on
# another one first (logical volumes, partition mappings, ".top", disk
# devices, their ".dup").
remove_dm_stacked() {
    local d
    for d in $(awk '{ r = /--/ ? 0 : /p[0-9]+$/ ? 1 : /\.top$/ ? 2 : /\.dup$/ ? 4 : 3; print r, $0 }' |
        sort -n | cut -d' ' -f2); do
        dmsetup remove -f "$d" >/dev/null 2>&1
    done
}

# wait_log WHAT TEXT [SECONDS [COUNT]]: the log gets COUNT lines with TEXT
# after its first LOG_FROM lines.
LOG_FROM=0
wait_log() {
    local deadline=$((SECONDS + ${3:-15}))
    until [ "$(tail -n +"$((LOG_FROM + 1))" "$LOG" 2>/dev/null | grep -cF -- "$2")" -ge "${4:-1}" ]; do
        [ $SECONDS -lt $deadline ] || { fail "$1: no '$2' in the log"; tail -5 "$LOG" | sed 's/^/       /'; return 1; }
        sleep 0.2
    done
    pass "$1"
}

# sha256 of every file (path and content) below DIR, and the tree's listing.
tree_hash() {
    (cd "$1" && find . -printf '%p %y %s %m\n' | LC_ALL=C sort &&
        find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum) | sha256sum
}

# The merged device that serves an open flat image: the /dev/mapper/cbt.N
# whose table names a loop device over FLAT.
merged_device_of() {
    local loop dev mm
    loop=$(loops_of "$1" | head -1)
    [ -n "$loop" ] || return 1
    mm=$(stat -L -c '%Hr:%Lr' "$loop")
    for dev in $(ls /dev/mapper | grep '^cbt\.[0-9]*$'); do
        dmsetup table "$dev" 2>/dev/null | grep -q " $mm " && { echo "$dev"; return 0; }
    done
    return 1
}

# make_scratch: the scratch tree of the layout on standard input;
# SCRATCH_HASH keeps its state.
make_scratch() {
    cat >"$T/layout.json"
    mkscratch "$S" --layout "$T/layout.json" || { fail "mkscratch"; rfs_finish; }
    SCRATCH_HASH=$(tree_hash "$S")
}

# mount_scratch ARGS...: recovery_fs over the scratch tree at $M, logging to $L.
mount_scratch() { rfs_start "$M" -P "$S" --volume-path="$V" -L "$L" "$@" || rfs_finish; }

# finish_clean WHAT: no device is left and every byte of the scratch tree is
# as it was; ends the test.
finish_clean() {
    check_no_devices "$1" "$S"
    check_eq "scratch tree unchanged" "$SCRATCH_HASH" "$(tree_hash "$S")"
    rfs_finish
}
unmount_and_finish() {
    rfs_stop "$M"
    finish_clean "after unmount"
}
