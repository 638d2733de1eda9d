#!/usr/bin/env bash
# Command line: texts and exit statuses of every refusal, version and help,
# directory preparation, a clean exit after unmount; the log: timestamped
# lines, error lines, rotation on SIGHUP, standard output without -L.
. "$(dirname "$0")/lib.sh"

U=$(cat <<USAGE
usage: $RFS_BIN [-L log-dir] [-P scratch-mount-point] [-W] [-D] mountpoint [options]

   Exports the recovery file system

general options:
   -L log-dir             log directory
   -P path                scratch-mount-point (default: /scratch)
   --scratch-path=path    scratch-mount-point (default: /scratch)
   --volume-path=path     volume-mount-point (default: /var/tolvane/recover)
   --hide-image-files     show only file level view ('.volume' directories only)
   --hide-file-level-view show only image files (no file-level view)
   --ignore-tolcbt-files  ignore "-tolcbt" files
   -W --writable          allow write operations
   -o opt,[opt...]        (FUSE) mount options
   -h  --help             print help
   -V  --version          print version

USAGE
)

# run ARGS...: runs recovery_fs (never mounting): STATUS, OUT and ERR.
run() {
    "$RFS_BIN" "$@" >"$T/out" 2>"$T/err" </dev/null
    STATUS=$?
    OUT=$(cat "$T/out")
    ERR=$(cat "$T/err")
}
expect_run() { # WHAT STATUS STDOUT STDERR ARGS...
    local what=$1 want="$2|$3|$4"
    shift 4
    run "$@"
    check_eq "$what: status|stdout|stderr" "$want" "$STATUS|$OUT|$ERR"
}

VERSION="recovery_fs version 0.1 09/10/2010"
W="The \`\`--writable'' option is not currently supported."
expect_run "no arguments" 1 "$U" "Mount point must be provided"
expect_run "-V without mount point" 1 "$U" "Mount point must be provided" -V
for opt in -V --version; do expect_run "$opt" 0 "$VERSION" "" "$opt" "$T/mnt-v"; done
for opt in -h --help; do expect_run "$opt" 0 "$U" "" "$opt" "$T/mnt-h"; done
expect_run "-h -V: version only" 0 "$VERSION" "" -h -V "$T/mnt-hv"
for opt in -W --writable; do
    expect_run "$opt" 1 "" "$W" "$opt" -P "$T/scratch-w" --volume-path="$T/vol-w" "$T/mnt-w"
    check_status "$opt: nothing prepared" 1 test -e "$T/scratch-w" -o -e "$T/mnt-w"
done
# Logging starts before the refusal: with a log directory the text lands there.
mkdir -p "$T/log-w"
run -W -L "$T/log-w" "$T/mnt-w"
check_eq "-W -L: status" 1 "$STATUS"
check_contains "-W -L: refusal in the log file" "$(cat "$T/log-w/recovery_fs" 2>&1)" "$W"
run -L
check_eq "-L without argument: status, usage" "1|$U" "$STATUS|$OUT"
check_contains "-L without argument: stderr" "$ERR" "Invalid arguments"
# Directories that cannot be created: perror-style message, status 1.
touch "$T/file"
expect_run "scratch path not creatable" 1 "" "$T/file/scratch: Not a directory" \
    -P "$T/file/scratch" --volume-path="$T/vol-x" "$T/mnt-x"
expect_run "mount point not creatable" 1 "" "$T/file/mnt: Not a directory" \
    -P "$T/scratch-x" --volume-path="$T/vol-x" "$T/file/mnt"

# A missing scratch path and mount point are created (0744); an existing
# volume path is removed at start. Without -L log lines go to standard output.
S=$T/scratch
mkdir -p "$T/vol/old/deeper" && touch "$T/vol/old/deeper/leftover"
rfs_start "$T/mnt" -P "$S" --volume-path="$T/vol"
out=$T/rfs-$((${#RFS_PIDS[@]} - 1)).out
check_eq "scratch path created with mode 0744" "744 directory" "$(stat -c '%a %F' "$S")"
check_status "volume path removed at start" 1 test -e "$T/vol"
check_eq "mount is a read-only fuse mount" "ro fuse.recovery_fs" \
    "$(awk -v m="$T/mnt" '$5 == m { split($6, o, ","); for (i = 7; $i != "-"; i++); print o[1], $(i + 1) }' /proc/self/mountinfo)"
stat "$T/mnt/first.volumes" >/dev/null 2>&1
rfs_stop "$T/mnt" "fusermount -u ends recovery_fs"
check_contains "no -L: lines on standard output" "$(cat "$out")" "Skipping invalid '.volume' file: /first.volumes"

# The log file: timestamped lines, error lines, rotation on SIGHUP.
mkscratch "$S" --preset basic
ln -s no-such-target "$S/vm1/dangling.vmx"
L=$T/log
mkdir -p "$L"
# --log-dir takes the directory as the next argument, as -L does (-W -L above).
TS='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}: '
rfs_start "$T/mnt" -P "$S" --volume-path="$T/vol" --log-dir "$L"
stat "$T/mnt/vm1/first.volumes" >/dev/null 2>&1
ls "$T/mnt/vm1" >/dev/null # the dangling link's attributes fail: an error line
log=$(cat "$L/recovery_fs")
check_eq "timestamped line for an invalid .volume name" 1 \
    "$(grep -cE "${TS}Skipping invalid '.volume' file: /vm1/first.volumes\$" <<<"$log")"
check_eq "error line with priority, thread, place and number" 1 \
    "$(grep -cE "${TS}ERROR \[thread:[0-9]+, where:[^:]+:[0-9]+, error:2\] stat failed: $S/vm1/dangling.vmx" <<<"$log")"
# Every line is timestamped, except syslog's own copies of error lines on
# standard error ("recovery_fs[pid]: ...").
check_eq "every other line carries the timestamp prefix" "" \
    "$(grep -vE "$TS" <<<"$log" | grep -vE '^recovery_fs\[[0-9]+\]: ')"
# Rotation: the file is moved away, SIGHUP reopens the old name.
mv "$L/recovery_fs" "$L/recovery_fs.1"
kill -HUP "$RFS_PID"
wait_for 10 test -e "$L/recovery_fs"
check_status "SIGHUP reopens the log file" 0 test -e "$L/recovery_fs"
stat "$T/mnt/vm1/second.volumes" >/dev/null 2>&1
check_contains "after SIGHUP: new lines go to the new file" "$(cat "$L/recovery_fs")" \
    "Skipping invalid '.volume' file: /vm1/second.volumes"
check_not_contains "after SIGHUP: the rotated file gets nothing more" "$(cat "$L/recovery_fs.1")" "second.volumes"
check_eq "after SIGHUP: still mounted and serving" "$(cat "$S/vm1/vm1.vmx")" "$(cat "$T/mnt/vm1/vm1.vmx")"
rfs_stop "$T/mnt" "after SIGHUP, unmounted"

# Two non-option arguments: the first is the mount point, the second goes
# on to FUSE (option_parse), which refuses it; the status is still 0.
run -P "$T/scratch" --volume-path="$T/vol" "$T/mnt-two" "$T/second" -f
check_eq "two mount points: status" 0 "$STATUS"
check_status "two mount points: the first was prepared" 0 test -d "$T/mnt-two"

rfs_finish
