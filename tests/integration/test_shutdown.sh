#!/usr/bin/env bash
# Stopping recovery_fs ends it within 10 s, with exit status 0 (where the
# test can see it: -f) and nothing left (no device-mapper device, loop
# device, mount below the volume path or stray program), whatever hangs: the
# watchdog script, a child of it that keeps its output open, the branding
# script, a controller that never answers, a client holding a file inside a
# view, a program of a view's mount. Most cases run without -f, as deployed.
. "$(dirname "$0")/image_lib.sh"

export RFS_TEST_THREAD_PERIODS=1,1,2 # evict every second, refresh every 2 s

make_scratch <<'JSON'
{"vms": [{"name": "vm1", "disks": [{"name": "disk", "size": 16777216, "guest": {"table": "mbr",
  "parts": [{"size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 guest\n"}}]}}]}]}
JSON

WATCHDOG=/usr/local/tolvane/bin/watchdog-test-controller.py
BRAND_READER=/usr/local/tolvane/python/branding/BrandReader.py
printf '#!/bin/sh\nexec sleep 3599\n' >"$T/sleeper"
printf '#!/bin/sh\nsleep 3599 &\necho stopped\nexit 1\n' >"$T/holder"
printf '#!/bin/sh\necho running\n' >"$T/running"
chmod +x "$T/sleeper" "$T/holder" "$T/running"

# hang PROGRAM SCRIPT: PROGRAM's path runs SCRIPT (this test's mount
# namespace only) until unhang PROGRAM.
hang() { mount --bind "$2" "$1"; }
unhang() { umount "$1"; }
sleepers() { pgrep -f 'sleep 3599'; }

# What a run can leave behind.
leftovers() {
    dm_devices
    loops_below "$S"
    losetup -n -O BACK-FILE | grep -F "$M/"
    mounts_below "$V"
    rfs_is_mounted "$M" && echo "$M still mounted"
    sleepers | sed 's/^/sleeper /'
}

# start MODE ARGS...: recovery_fs in MODE (background or -f), started once
# the hanging piece is in place.
start() {
    MODE=$1
    shift
    : >"$LOG"
    RFS_TEST_BACKGROUND=$([ "$MODE" = background ] && echo 1) mount_scratch "$@"
}

# stopped_clean WHAT unmount|term: stop with fusermount -u (or SIGTERM, which
# is how a mount held by its own views is stopped); within 10 s the process
# has ended and nothing is left.
stopped_clean() {
    local what="$1 ($MODE)" pid=$RFS_PID start=${EPOCHREALTIME/./} took
    if [ "$2" = term ]; then
        kill -TERM "$pid"
    else
        fusermount -u "$M" || fail "$what: fusermount -u"
    fi
    while rfs_alive "$pid" && ((${EPOCHREALTIME/./} - start < 10000000)); do sleep 0.1; done
    took=$(((${EPOCHREALTIME/./} - start) / 100000))
    check_eq "$what: ended within 10 s (took $((took / 10)).$((took % 10)) s)" "" \
        "$(rfs_alive "$pid" && echo "still running")"
    if [ "$MODE" = -f ]; then
        wait "$pid"
        check_eq "$what: exit status" 0 "$?"
    fi
    wait_for 5 eval '[ -z "$(leftovers)" ]'
    check_eq "$what: nothing left" "" "$(leftovers)"
}

# --- the watchdog script sleeps an hour -----------------------------------
hang "$WATCHDOG" "$T/sleeper"
start background
wait_for 10 sleepers
stopped_clean "watchdog script hanging" unmount
unhang "$WATCHDOG"

# --- the watchdog script exits, a child of its own keeps its output -------
hang "$WATCHDOG" "$T/holder"
start background
wait_for 10 sleepers
stopped_clean "watchdog's child holding its output" unmount
unhang "$WATCHDOG"

# --- the branding script hangs (the controller runs) -----------------------
hang "$BRAND_READER" "$T/sleeper"
start -f
wait_for 10 sleepers
stopped_clean "branding script hanging" unmount
unhang "$BRAND_READER"

# --- a controller that accepts connections and never answers --------------
# The kernel accepts into the listening socket's backlog; nobody reads.
hang "$WATCHDOG" "$T/running"
cp "$BRANDING" "$T/branding"
/usr/bin/python3 - "$BRANDING" <<'PY' &
import json, socket, sys, time
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(16)
json.dump({"controller.port": s.getsockname()[1], "controller.use_https": 0}, open(sys.argv[1] + ".new", "w"))
import os; os.rename(sys.argv[1] + ".new", sys.argv[1])
time.sleep(3600)
PY
MUTE=$!
sleep 1
start background
sleep 3 # the first registry request now waits for an answer
stopped_clean "controller never answering" unmount
kill "$MUTE"
wait "$MUTE" 2>/dev/null
unhang "$WATCHDOG"
cp "$T/branding" "$BRANDING" # the sandbox's service again

# --- a client holds a file open inside a view ------------------------------
# The open file (and the view's image, read through the mount) keeps the
# mount busy: the kernel refuses fusermount -u, and SIGTERM stops it. The
# paths are relative (the later options win): the daemon, which libfuse moved
# to "/", must still log and mount views where they were meant.
set_reg recover.automount.enabled 1
cd "$T"
start background -P scratch --volume-path=vol -L log
cd /
wait_log "automatic mounting on" "recover.automount.enabled from 0 to 1" 60
wait_for 60 stat "$M/vm1/disk.volume/0/etc/hosts"
exec 9<"$M/vm1/disk.volume/0/etc/hosts"
stopped_clean "file held open inside a view" term
exec 9<&-
check_contains "the held file was closed before its view went" "$(cat "$LOG")" \
    "/etc/hosts, still open at shutdown"

# --- a program of a view's mount hangs ---------------------------------------
# The client's lookup holds the mount, so it is stopped by SIGTERM.
hang /lib/udev/vol_id "$T/sleeper"
start -f
wait_log "automatic mounting on" "recover.automount.enabled from 0 to 1" 60
stat "$M/vm1/disk.volume/0" >/dev/null 2>&1 &
CLIENT=$!
wait_for 30 sleepers
stopped_clean "vol_id hanging in a view's mount" term
wait_for 10 eval '! kill -0 "$CLIENT" 2>/dev/null' || kill "$CLIENT"
unhang /lib/udev/vol_id

finish_clean "after the shutdown cases"
