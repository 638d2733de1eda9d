# Harness of the integration tests, sourced first by each. Binaries come from
# $RFS_BUILD_DIR. Sourcing it exits 77 (skipped) without root or /dev/fuse,
# re-runs the script in new mount and PID namespaces (every mount and process
# dies with the test, even on SIGKILL), makes a private temp dir $T and an
# EXIT trap that unmounts, kills and removes what the test made. rfs_finish
# prints "N passed, N failed" and sets the exit status.

set -uo pipefail

RFS_SOURCE_DIR=${RFS_SOURCE_DIR:-$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)}
RFS_BUILD_DIR=${RFS_BUILD_DIR:-$RFS_SOURCE_DIR/build}
export RFS_SOURCE_DIR RFS_BUILD_DIR

[ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root" >&2; exit 77; }
[ -c /dev/fuse ] || { echo "SKIP: /dev/fuse missing" >&2; exit 77; }

# A test that needs devices and the appliance's stand-ins sets
# RFS_TEST_SANDBOX=1 before sourcing this: it runs inside platform/sandbox.
if [ -n "${RFS_TEST_SANDBOX:-}" ] && [ "${1:-}" != --inside ]; then
    [ -e /dev/loop-control ] || { echo "SKIP: no loop devices" >&2; exit 77; }
    exec "$RFS_SOURCE_DIR/platform/sandbox" bash "$0" --inside
fi

if [ -z "${RFS_TEST_IN_NS:-}" ]; then
    # PID 1 of the new PID namespace is the test script: when it dies, the
    # kernel kills everything else inside, and the mount namespace with its
    # FUSE mounts goes away with the last process.
    RFS_TEST_IN_NS=1 exec unshare --mount --propagation private --pid --fork --mount-proc \
        bash "$0" "$@"
fi

RFS_BIN=$RFS_BUILD_DIR/src/recovery_fs
MKSCRATCH=$RFS_SOURCE_DIR/tools/mkscratch
[ -x "$RFS_BIN" ] || { echo "FAIL: $RFS_BIN is not built" >&2; exit 1; }

# The system's interpreter: a version manager's shim on PATH costs seconds
# per call, and the checks call python often.
[ -x /usr/bin/python3 ] && python3() { /usr/bin/python3 "$@"; }

T=$(mktemp -d /tmp/rfs-test.XXXXXX)
RFS_PASSED=0
RFS_FAILED=0
RFS_PIDS=()   # recovery_fs processes started by rfs_start
RFS_MOUNTS=() # their mount points
RFS_CLEANUP_HOOKS=() # run once the processes have stopped, before $T goes

rfs_cleanup() {
    local m p
    for m in "${RFS_MOUNTS[@]}"; do
        rfs_is_mounted "$m" && { fusermount -u "$m" 2>/dev/null || umount -l "$m" 2>/dev/null; }
    done
    for p in "${RFS_PIDS[@]}"; do
        rfs_alive "$p" || continue
        kill -TERM "$p" 2>/dev/null
        for _ in $(seq 50); do rfs_alive "$p" || break; sleep 0.1; done
        kill -KILL "$p" 2>/dev/null
    done
    local h
    for h in "${RFS_CLEANUP_HOOKS[@]}"; do "$h"; done
    rm -rf "$T"
}
trap rfs_cleanup EXIT

pass() { RFS_PASSED=$((RFS_PASSED + 1)); echo "ok   - $*"; }
fail() { RFS_FAILED=$((RFS_FAILED + 1)); echo "FAIL - $*"; }

# check_eq WHAT EXPECTED ACTUAL
check_eq() {
    if [ "$2" == "$3" ]; then
        pass "$1"
    else
        fail "$1"
        diff <(printf '%s\n' "$2") <(printf '%s\n' "$3") | sed 's/^/       /'
    fi
}

# check_contains WHAT HAYSTACK NEEDLE, check_not_contains WHAT HAYSTACK NEEDLE
check_contains() { rfs_check_in "$@" yes; }
check_not_contains() { rfs_check_in "$@" no; }
rfs_check_in() {
    local found=no
    [[ "$2" == *"$3"* ]] && found=yes
    [ $found = "$4" ] && { pass "$1"; return; }
    fail "$1: '$3' $([ "$4" = yes ] && echo "not found" || echo "unexpectedly found") in:"
    printf '%s\n' "$2" | sed 's/^/       /' | head -40
}

# check_status WHAT EXPECTED_STATUS COMMAND...
check_status() {
    local what=$1 want=$2
    shift 2
    "$@" >/dev/null 2>&1
    check_eq "$what (exit status)" "$want" "$?"
}

# check_errno WHAT ERRNO_NAME OP ARGS...: the operation fails with that
# error, as python reports it (errno names are stabler than message texts).
check_errno() {
    local what=$1 want=$2
    shift 2
    check_eq "$what" "$want" "$(python3 - "$@" <<'PY'
import errno, functools, operator, os, sys
def open_(path, flags):
    os.close(os.open(path, functools.reduce(operator.or_, (getattr(os, f) for f in flags.split("|"))), 0o644))
ops = {"open": open_, "read": lambda path: open(path, "rb").read(), "stat": os.stat, "listdir": os.listdir,
       "mkdir": os.mkdir, "unlink": os.unlink, "getxattr": os.getxattr}
try:
    ops[sys.argv[1]](*sys.argv[2:])
    print("OK")
except OSError as e:
    print(errno.errorcode.get(e.errno, str(e.errno)))
PY
)"
}

# The controller service of the sandbox: its registry, canned replies and the
# branding file that announces its port.
REG=/var/tolvane/controller/registry.json
REPLIES=/var/tolvane/controller/replies
BRANDING=/usr/local/tolvane/etc/branding.json

# set_reg KEY VALUE: the registry holds VALUE for KEY, replaced at once. The
# service makes its registry when it has started (slowly in an emulated machine).
set_reg() {
    wait_for 120 test -s "$REG"
    python3 -c 'import json, os, sys; p, k, v = sys.argv[1:]; r = json.load(open(p)); r[k] = v
json.dump(r, open(p + ".new", "w")); os.rename(p + ".new", p)' "$REG" "$1" "$2"
}

# start_controller ARGS...: a controller service of this test (which it can
# stop, as CTL), announced in the branding file in place of the sandbox's own.
start_controller() {
    local old
    old=$(cat "$BRANDING" 2>/dev/null)
    # The interpreter itself, not the python3 function: $! must be the
    # service's own pid, for kill.
    /usr/bin/python3 "$RFS_SOURCE_DIR/platform/controller/rfs-controller.py" --registry "$REG" \
        --replies "$REPLIES" --branding "$BRANDING" --log "$T/ctl.log" "$@" >>"$T/ctl.log" 2>&1 &
    CTL=$!
    wait_for 10 eval '[ "$(cat "$BRANDING" 2>/dev/null)" != "$old" ]'
}
stop_controller() { kill "$CTL"; wait "$CTL" 2>/dev/null; }

# Whether a process runs (a zombie waiting to be reaped does not).
rfs_alive() {
    local state
    state=$(awk '{ print $3 }' "/proc/$1/stat" 2>/dev/null) || return 1
    [ -n "$state" ] && [ "$state" != Z ]
}

rfs_is_mounted() {
    awk -v m="$1" '$5 == m { found = 1 } END { exit !found }' /proc/self/mountinfo
}

# Whether a live mount serves MOUNTPOINT: statfs answers (a dead FUSE mount
# answers ENOTCONN; a stat may still come from its attribute cache), from the
# device of a mount at that point.
rfs_is_served() {
    local dev
    stat -f "$1" >/dev/null 2>&1 || return 1
    dev=$(stat -c '%Hd:%Ld' "$1" 2>/dev/null) || return 1
    awk -v m="$1" -v d="$dev" '$5 == m && $3 == d { found = 1 } END { exit !found }' /proc/self/mountinfo
}

# mkscratch DEST ARGS...: generate a scratch tree.
mkscratch() { python3 "$MKSCRATCH" "$@" >/dev/null; }

# rfs_start MOUNTPOINT ARGS...: start recovery_fs (-f) in the background and
# wait (RFS_TEST_START_LIMIT, 20 s) until it is mounted. Sets RFS_PID; output
# goes to $T/rfs-<n>.out. A dead mount of a killed instance at the point
# (ENOTCONN) is replaced: then only a live mount counts (the dead one's mount
# id and device number are reused). With RFS_TEST_BACKGROUND=1 it starts
# without -f, as deployed: the launcher must exit 0 once mounted, and RFS_PID
# is the daemon that it left serving.
rfs_start() {
    local mnt=$1 up=rfs_is_mounted limit=${RFS_TEST_START_LIMIT:-20} # longer in an emulated guest
    shift
    local out=$T/rfs-${#RFS_PIDS[@]}.out log_dir= fg=-f status
    [ -n "${RFS_TEST_BACKGROUND:-}" ] && fg=
    if rfs_is_mounted "$mnt"; then up=rfs_is_served; else mkdir -p "$mnt"; fi
    "$RFS_BIN" "$mnt" "$@" $fg >"$out" 2>&1 &
    RFS_PID=$!
    RFS_MOUNTS+=("$mnt")
    if [ -z "$fg" ]; then
        wait_for "$limit" eval '! rfs_alive "$RFS_PID"'
        wait "$RFS_PID"
        status=$?
        RFS_PID=$(rfs_daemon_pid "$mnt")
        [ -n "$RFS_PID" ] && RFS_PIDS+=("$RFS_PID")
        $up "$mnt" && [ "$status" = 0 ] && [ -n "$RFS_PID" ] && return 0
        fail "recovery_fs (background) did not serve $mnt: launcher status $status, daemon '${RFS_PID}'; its output:"
    else
        RFS_PIDS+=("$RFS_PID")
        wait_for "$limit" eval '$up "$mnt" || ! rfs_alive "$RFS_PID"'
        $up "$mnt" && return 0
        if rfs_alive "$RFS_PID"; then
            fail "recovery_fs did not mount $mnt within $limit s"
            return 1
        fi
        wait "$RFS_PID"
        fail "recovery_fs exited (status $?) before mounting $mnt; its output:"
    fi
    sed 's/^/       /' "$out"
    # Its log says why when the output does not (-L DIR).
    while [ $# -gt 0 ]; do [ "$1" = -L ] && log_dir=$2; shift; done
    [ -n "$log_dir" ] && tail -n 20 "$log_dir/recovery_fs" 2>/dev/null | sed 's/^/       log: /'
    return 1
}

# The newest live recovery_fs serving MOUNTPOINT that rfs_start has not
# recorded yet (a daemon left by its launcher), by its argument vector.
rfs_daemon_pid() {
    local p pid found=
    for p in /proc/[0-9]*; do
        pid=${p#/proc/}
        [ "$(tr '\0' '\n' 2>/dev/null <"$p/cmdline" | head -2)" = "$RFS_BIN"$'\n'"$1" ] || continue
        [[ " ${RFS_PIDS[*]} " == *" $pid "* ]] && continue
        rfs_alive "$pid" && found=$pid
    done
    echo "$found"
}

# rfs_stop MOUNTPOINT [WHAT]: unmount with fusermount -u, wait for the
# process and check that it exited with status 0 (in background mode, where
# the daemon is no child of the test, that it ended).
rfs_stop() {
    local mnt=$1 pid=$RFS_PID limit=${RFS_TEST_STOP_LIMIT:-20} # longer in an emulated guest
    fusermount -u "$mnt" || { fail "fusermount -u $mnt"; return 1; }
    wait_for "$limit" eval '! rfs_alive "$pid"' ||
        { fail "recovery_fs (pid $pid) still running $limit s after fusermount -u"; return 1; }
    if [ -n "${RFS_TEST_BACKGROUND:-}" ]; then
        pass "${2:-unmounted}: the daemon ended"
        return 0
    fi
    wait "$pid"
    check_eq "${2:-unmounted}: exit status" 0 "$?"
}

# wait_for SECONDS COMMAND...: until COMMAND succeeds (quietly), status 1
# after SECONDS.
wait_for() {
    local deadline=$((SECONDS + $1))
    shift
    until "$@" >/dev/null 2>&1; do [ $SECONDS -lt $deadline ] || return 1; sleep 0.2; done
}

# Sorted names in a directory (one per line), as the kernel lists them.
listing() { ls -A1 "$1" 2>&1 | LC_ALL=C sort; }

rfs_finish() {
    echo "$RFS_PASSED passed, $RFS_FAILED failed"
    [ "$RFS_FAILED" -eq 0 ]
    exit $?
}
