# Shared part of the tests of flat images served through merged and loop
# devices. Sourced by a test script (not a test itself): the integration
# harness inside the appliance sandbox (device-mapper, kpartx, losetup and the
# in-use bitmap provider stand-ins), a scratch tree, volume path, mount point
# and log directory, and device checks.
RFS_TEST_SANDBOX=1
. "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

IMAGE_MERGE=$RFS_SOURCE_DIR/tests/integration/image_merge.py

# Every test's scratch tree, volume path, mount point and log directory.
S=$T/scratch
V=$T/vol
M=$T/mnt
L=$T/log
mkdir -p "$L"

# The loop devices attached to FILE (one per line).
loops_of() { losetup -n -O NAME -j "$1" 2>/dev/null; }

# Merged change-block devices and partition devices in /dev/mapper.
dm_devices() { ls /dev/mapper | grep -v '^control$' | LC_ALL=C sort; }

# Files below DIR that still have a loop device.
files_with_loops() {
    local f
    while IFS= read -r f; do
        [ -n "$(loops_of "$f")" ] && printf '%s ' "$f"
    done < <(find "$1" -type f)
}

# No loop device over any file below DIR and no device-mapper device left.
# A detached loop device goes only when its last opener closes it; programs
# of the machine that scan every block device (LVM tools) may hold it for a
# moment, so give them a few seconds and name them if they keep it.
check_no_devices() {
    local what=$1 dir=$2 left deadline=$((SECONDS + 60))
    left=$(files_with_loops "$dir")
    while [ -n "$left" ] && [ $SECONDS -lt $deadline ]; do
        sleep 0.5
        left=$(files_with_loops "$dir")
    done
    if [ -n "$left" ]; then
        local f l
        for f in $left; do
            for l in $(loops_of "$f"); do
                echo "       $l ($f) autoclear=$(cat /sys/block/${l#/dev/}/loop/autoclear 2>/dev/null)" \
                    "held by: $(fuser "$l" 2>/dev/null | xargs)"
            done
        done
    fi
    check_eq "$what: no loop device over the scratch files" "" "$left"
    check_eq "$what: no device-mapper device left" "" "$(dm_devices)"
}

# sha256 of every file (path and content) below DIR, and the tree's listing.
tree_hash() {
    (cd "$1" && find . -printf '%p %y %s %m\n' | LC_ALL=C sort &&
        find . -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum) | sha256sum
}

# The merged device that serves an open flat image: the /dev/mapper/cbt.N
# whose table names a loop device over FLAT.
merged_device_of() {
    local flat=$1 loop dev
    loop=$(loops_of "$flat" | head -1)
    [ -n "$loop" ] || return 1
    local mm
    mm=$(stat -L -c '%t:%T' "$loop")
    mm=$((16#${mm%:*})):$((16#${mm#*:}))
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

# unmount_and_finish: a clean unmount leaves no device and every byte of the
# scratch tree as it was; ends the test.
unmount_and_finish() {
    rfs_stop "$M"
    check_eq "exit status after unmount" 0 "$RFS_EXIT"
    check_no_devices "after unmount" "$S"
    check_eq "scratch tree unchanged" "$SCRATCH_HASH" "$(tree_hash "$S")"
    rfs_finish
}
