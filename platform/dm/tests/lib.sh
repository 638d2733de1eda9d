# Shared set-up of the stand-in checks. Every check runs in a private mount
# namespace with a tmpfs on /dev/mapper and its own daemon runtime directory,
# and removes every device, loop device and file it made, even on failure.
# Usage from a check: source lib.sh (it re-executes the check inside the
# namespace), then use the helpers below.

set -euo pipefail

if [[ -z "${RFS_DM_IN_NS:-}" ]]; then
    [[ $(id -u) == 0 ]] || { echo "SKIP: needs root"; exit 77; }
    [[ -e /dev/fuse && -e /dev/loop-control ]] || { echo "SKIP: needs /dev/fuse and loop devices"; exit 77; }
    mkdir -p /dev/mapper
    export RFS_DM_IN_NS=1
    exec unshare --mount --propagation private bash "$0" "$@"
fi

BUILD=${RFS_BUILD_DIR:-/work/main/build-dm}
DMSETUP=$BUILD/platform/dm/dmsetup
RFS_DMD=$BUILD/platform/dm/rfs-dmd
KPARTX=$BUILD/platform/kpartx/kpartx
LVCHANGE=$BUILD/platform/lvm/lvchange

WORK=$(mktemp -d /tmp/rfs-dm-check.XXXXXX)
export RFS_DM_RUN_DIR=$WORK/run
mount -t tmpfs -o mode=755 rfs-dm-check /dev/mapper
EXTRA_CLEANUP=()

cleanup() {
    set +e
    for c in "${EXTRA_CLEANUP[@]}"; do eval "$c"; done
    "$RFS_DMD" --shutdown
    local bad=0
    if grep -qE "Sanitizer|runtime error" "$RFS_DM_RUN_DIR/rfs-dmd.log" 2>/dev/null; then
        echo "FAIL: the daemon reported memory or undefined-behaviour errors:"
        cat "$RFS_DM_RUN_DIR/rfs-dmd.log"
        bad=1
    fi
    [[ -f $WORK/loops ]] && while read -r l; do losetup -d "$l" 2>/dev/null; done < "$WORK/loops"
    umount -l /dev/mapper 2>/dev/null
    rm -rf "$WORK"
    ((bad == 0)) || exit 1
}
trap cleanup EXIT
# A check killed by a time limit still cleans up.
trap 'exit 143' TERM INT HUP

FAILS=0
PASSES=0
ok() { PASSES=$((PASSES + 1)); echo "ok: $*"; }
fail() { FAILS=$((FAILS + 1)); echo "FAIL: $*"; }
check() { local what=$1; shift; if "$@"; then ok "$what"; else fail "$what"; fi; }
finish() { echo "$PASSES passed, $FAILS failed"; [[ $FAILS == 0 ]]; }

# new_loop FILE [ro]: attaches FILE and prints the loop device.
new_loop() {
    local dev
    if [[ ${2:-} == ro ]]; then dev=$(losetup -f --show -r "$1"); else dev=$(losetup -f --show "$1"); fi
    echo "$dev" >> "$WORK/loops"
    echo "$dev"
}

majmin() { printf '%d:%d' "0x$(stat -c %t "$1")" "0x$(stat -c %T "$1")"; }

# Bytes COUNT at byte offset OFF of a file or device, as hex.
bytes_at() { dd if="$1" bs=1 skip="$2" count="$3" status=none iflag=skip_bytes,count_bytes | od -An -tx1 | tr -d ' \n'; }
