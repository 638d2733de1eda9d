#!/usr/bin/env bash
# The log file: timestamped lines, error lines, rotation on SIGHUP, and no
# log file without -L.
. "$(dirname "$0")/lib.sh"

S=$T/scratch
V=$T/vol
M=$T/mnt
L=$T/log
mkscratch "$S" --preset basic
ln -s no-such-target "$S/vm1/dangling.vmx"
mkdir -p "$L"

TS='^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{6}: '

rfs_start "$M" -P "$S" --volume-path="$V" -L "$L"
stat "$M/vm1/first.volumes" >/dev/null 2>&1
ls "$M/vm1" >/dev/null # the dangling link's attributes fail: an error line
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
deadline=$((SECONDS + 10))
until [ -e "$L/recovery_fs" ] || [ $SECONDS -ge $deadline ]; do sleep 0.05; done
check_eq "SIGHUP reopens the log file" "yes" "$([ -e "$L/recovery_fs" ] && echo yes || echo no)"
stat "$M/vm1/second.volumes" >/dev/null 2>&1
check_contains "after SIGHUP: new lines go to the new file" "$(cat "$L/recovery_fs")" \
    "Skipping invalid '.volume' file: /vm1/second.volumes"
check_not_contains "after SIGHUP: the rotated file gets nothing more" "$(cat "$L/recovery_fs.1")" \
    "second.volumes"
check_eq "after SIGHUP: still mounted and serving" "$(cat "$S/vm1/vm1.vmx")" "$(cat "$M/vm1/vm1.vmx")"
rfs_stop "$M"
check_eq "exit status after SIGHUP and unmount" 0 "$RFS_EXIT"

# Without -L nothing is written to a log directory; lines go to the
# process's own standard output.
rm -rf "$L"/*
rfs_start "$M" -P "$S" --volume-path="$V"
out=$T/rfs-$((${#RFS_PIDS[@]} - 1)).out
stat "$M/vm1/third.volumes" >/dev/null 2>&1
rfs_stop "$M"
check_eq "no -L: no log file" "" "$(ls "$L")"
check_contains "no -L: lines on standard output" "$(cat "$out")" \
    "Skipping invalid '.volume' file: /vm1/third.volumes"
check_eq "no -L: exit status" 0 "$RFS_EXIT"

rfs_finish
