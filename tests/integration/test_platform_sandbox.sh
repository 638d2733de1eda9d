#!/usr/bin/env bash
# platform/sandbox leaves the host as it found it (no loop devices, mounts,
# processes or files) whether the command exits or is killed, or the sandbox
# is killed with SIGKILL or SIGTERM; inside, the host's loop devices cannot
# be detached.
. "$(dirname "$0")/lib.sh"
SANDBOX=$RFS_SOURCE_DIR/platform/sandbox
ok() { RFS_PASSED=$((RFS_PASSED + 1)); }
bad() { fail "$*"; }

TAG=rfs-sbtest-$$-$RANDOM
# A host directory that the sandbox keeps writable, for talking to the command.
H=$(mktemp -d "$RFS_BUILD_DIR/sbtest.XXXXXX")
HOSTLOOP=
cleanup() {
    local p
    for p in $(pgrep -f "sleep 999[89].$$" 2>/dev/null); do kill -KILL "$p" 2>/dev/null; done
    [ -n "$HOSTLOOP" ] && losetup -d "$HOSTLOOP" 2>/dev/null
    rm -rf "$H"
}
RFS_CLEANUP_HOOKS+=(cleanup)

# A loop device of the host that the sandbox must not touch.
truncate -s 1M "$H/host.img"
HOSTLOOP=$(losetup -f --show "$H/host.img") || { echo "FAIL: cannot attach a host loop device"; exit 1; }
HOSTLOOP_ID=$(losetup -l -n -O BACK-INO,BACK-MAJ:MIN "$HOSTLOOP")

# What the sandbox could leave behind, as the host sees it (/run/mount, which
# libmount makes, and loop device nodes come and go with other users).
snapshot() {
    echo "## mounts"
    cut -d' ' -f3- /proc/self/mountinfo | sort
    echo "## files"
    local d
    for d in / /run /dev /dev/shm /etc /etc/lvm /usr/local /usr/lib/udev /var; do
        ls -A "$d" 2>/dev/null | sed "s|^|$d: |"
    done | grep -v -e '^/run: mount$' -e '^/dev: loop[0-9]*$' -e '^/: sbtest' -e '^/run: rfs-sandbox\.'
}

# The command: loop devices (one over a file of a file system on another),
# mounts, a FUSE mount, a detached process, files in every appliance
# directory, then the requested ending.
cat >"$H/cmd.sh" <<CMD
set -e
record() { losetup -l -n -O NAME,BACK-INO,BACK-MAJ:MIN "\$1" >>"$H/inside-loops"; }
truncate -s 32M /tmp/$TAG.img
d=\$(losetup -f --show /tmp/$TAG.img); record \$d
mkfs.ext4 -q \$d; mkdir /tmp/m; mount \$d /tmp/m
truncate -s 8M /tmp/m/$TAG-inner.img
d2=\$(losetup -f --show /tmp/m/$TAG-inner.img); record \$d2
mkdir /tmp/fm; "$RFS_BUILD_DIR/platform/inuse_bitmap/rfs-inuse-bitmap" /tmp/fm
# Attached without /sbin/losetup, as the device-mapper stand-in does: over a
# private tmpfs file and over a file of a FUSE mount.
truncate -s 4M /tmp/$TAG-direct.img
d3=\$(/run/rfs-sandbox/bin/losetup -f --show /tmp/$TAG-direct.img); record \$d3
head -c 4096 /dev/zero >/var/tolvane/inuse_override/$TAG-fuse
d4=\$(/run/rfs-sandbox/bin/losetup -r -f --show /inuse_bitmap/$TAG-fuse); record \$d4
for f in /var/tolvane /etc/lvm/backup /etc/lvm/archive /usr/local/tolvane /dev/mapper /etc /run /tmp /var/tolvane/inuse_override /; do
    echo x >"\$f/$TAG"
done
# A device of the device-mapper stand-in, when it is built.
if [ -x "$RFS_BUILD_DIR/platform/dm/dmsetup" ]; then
    echo "0 8192 linear \$d3 0" | dmsetup create $TAG-dm
    record /dev/loop\$((16#\$(stat -c %T /dev/mapper/$TAG-dm)))
fi
setsid sleep 9999.$$ </dev/null >/dev/null 2>&1 &
if losetup -d $HOSTLOOP 2>/dev/null; then echo "detached $HOSTLOOP" >>"$H/errors"; fi
stat -c %d:%i /run/rfs-sandbox/state >"$H/state-id"
touch "$H/ready"
case \$1 in
    exit) exit 7 ;;
    wait) sleep 3600 ;;
    exec) exec sleep 9998.$$ ;;
esac
CMD

# The state directory as the host names it: the one the sandbox binds in (a
# path read from mountinfo would be relative to the file system's root, which
# is not the host's root inside a chroot).
find_statedir() {
    local d
    for d in /run/rfs-sandbox.*; do
        [ "$(stat -c %d:%i "$d" 2>/dev/null)" = "$(cat "$H/state-id")" ] && { echo "$d" >"$H/statedir"; return 0; }
    done
    return 1
}

wait_ready() {
    local i
    for i in $(seq 300); do [ -e "$H/ready" ] && { find_statedir || bad "no host directory is the sandbox's state"; return 0; }; sleep 0.1; done
    return 1
}

wait_recorded() {
    local i dev missing
    for i in $(seq 600); do
        missing=
        while read -r dev _; do
            grep -q "^$dev " "$(cat "$H/statedir")/loops" 2>/dev/null || missing=1
        done <"$H/inside-loops"
        [ -z "$missing" ] && return 0
        sleep 0.1
    done
    return 1
}

# host_clean WHAT: the host looks as before, within a deadline (the watcher
# finishes asynchronously when the sandbox itself was killed).
host_clean() {
    local what=$1 i now loops_ok dev id rest
    for i in $(seq 150); do
        loops_ok=1
        while read -r dev id rest; do
            [ -n "$dev" ] || continue
            [ "$(losetup -l -n -O BACK-INO,BACK-MAJ:MIN "$dev" 2>/dev/null | tr -s ' ' | sed 's/^ //')" = "$id $rest" ] && loops_ok=0
        done <"$H/inside-loops"
        now=$(snapshot)
        if [ $loops_ok -eq 1 ] && [ "$now" = "$BEFORE" ] && ! state_left; then
            break
        fi
        sleep 0.1
    done
    [ $loops_ok -eq 1 ] && ok || bad "$what: loop devices of the sandbox still attached: $(losetup -a | grep "$TAG")"
    losetup -a | grep -q "$TAG" && bad "$what: losetup -a still lists $TAG" || ok
    if [ "$now" = "$BEFORE" ]; then ok; else bad "$what: host changed:"; diff <(echo "$BEFORE") <(echo "$now") | head -20; fi
    state_left && bad "$what: state directory $(cat "$H/statedir") left" || ok
    pgrep -f "sleep 999[89].$$" >/dev/null && bad "$what: processes of the sandbox survive" || ok
    [ "$(losetup -l -n -O BACK-INO,BACK-MAJ:MIN "$HOSTLOOP")" = "$HOSTLOOP_ID" ] && ok || bad "$what: the host's $HOSTLOOP was detached"
    [ -e "$H/errors" ] && { bad "$what: $(cat "$H/errors")"; rm -f "$H/errors"; }
    : >"$H/inside-loops"
    rm -f "$H/ready" "$H/statedir" "$H/state-id"
}

# Other sandboxes may run at the same time: only this test's state directory counts.
state_left() {
    local dir
    dir=$(cat "$H/statedir" 2>/dev/null)
    [ -n "$dir" ] && [ -e "$dir" ]
}

# run_case HOW WANT: the sandbox runs the command (ending as HOW says), is
# ended as HOW says, and exits with WANT.
run_case() {
    local how=$1 want=$2 pid rc cmd_pid=
    echo "[${SECONDS}s] $how" >&2
    "$SANDBOX" bash "$H/cmd.sh" "${how%% *}" 2>"$H/stderr" & pid=$!
    wait_ready || { bad "$how: the command did not get ready"; grep -v warning: "$H/stderr"; }
    case $how in
    "wait SIGKILL")
        # Loop devices attached behind losetup's back are noticed by polling
        # (every half second, much slower on a loaded machine); a SIGKILL
        # that beats the poll which records them leaks them, so it waits
        # until the watcher has recorded every device of the command.
        wait_recorded || bad "$how: the watcher did not record the loop devices in 60 s"
        kill -KILL "$pid" ;;
    "wait SIGTERM") kill -TERM "$pid" ;;
    exec*)
        for _ in $(seq 50); do cmd_pid=$(pgrep -f "^sleep 9998.$$\$") && break; sleep 0.1; done
        [ -n "$cmd_pid" ] && kill -KILL "$cmd_pid" ;;
    esac
    wait "$pid"; rc=$?
    [ $rc -eq "$want" ] && ok || bad "$how: exit $rc, want $want"
    host_clean "after $how"
}
BEFORE=$(snapshot)
: >"$H/inside-loops"
run_case "exit" 7            # the command's exit status comes back
run_case "wait SIGKILL" 137  # the sandbox is killed while the command runs
run_case "exec SIGKILL" 137  # the command itself is killed
run_case "wait SIGTERM" 143  # the sandbox is asked to stop

# Crash recovery's sweep over every loop device only reaches the sandbox's own.
"$SANDBOX" bash -c "
    truncate -s 1M /tmp/$TAG.img; d=\$(losetup -f --show /tmp/$TAG.img)
    for n in \$(seq 0 255); do [ -e /dev/loop\$n ] && losetup -d /dev/loop\$n 2>/dev/null; done
    [ -z \"\$(losetup -l -n -O BACK-INO \$d 2>/dev/null)\" ]" 2>/dev/null; rc=$?
[ $rc -eq 0 ] && ok || bad "the sweep inside did not detach the sandbox's own device"
host_clean "after the sweep"

rfs_finish
