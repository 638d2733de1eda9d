#!/usr/bin/env bash
# Command line of recovery_fs: texts and exit statuses of every refusal,
# version and help, directory preparation, and a clean exit after unmount.
. "$(dirname "$0")/lib.sh"

usage_text() {
    cat <<USAGE
usage: $1 [-L log-dir] [-P scratch-mount-point] [-W] [-D] mountpoint [options]

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
}

# run ARGS...: runs recovery_fs (never mounting) and keeps stdout, stderr
# and the exit status in OUT, ERR and STATUS.
run() {
    "$RFS_BIN" "$@" >"$T/out" 2>"$T/err" </dev/null
    STATUS=$?
    OUT=$(cat "$T/out")
    ERR=$(cat "$T/err")
}

expected_usage=$(usage_text "$RFS_BIN")
version="recovery_fs version 0.1 09/10/2010"

run
check_eq "no arguments: status" 1 "$STATUS"
check_eq "no arguments: stderr" "Mount point must be provided" "$ERR"
check_eq "no arguments: usage on stdout" "$expected_usage" "$OUT"

run -V
check_eq "-V without mount point: status" 1 "$STATUS"
check_eq "-V without mount point: stderr" "Mount point must be provided" "$ERR"
check_eq "-V without mount point: usage" "$expected_usage" "$OUT"

for opt in -V --version; do
    run "$opt" "$T/mnt-v"
    check_eq "$opt: status" 0 "$STATUS"
    check_eq "$opt: stdout" "$version" "$OUT"
    check_eq "$opt: stderr" "" "$ERR"
done

for opt in -h --help; do
    run "$opt" "$T/mnt-h"
    check_eq "$opt: status" 0 "$STATUS"
    check_eq "$opt: usage on stdout" "$expected_usage" "$OUT"
done

run -h -V "$T/mnt-hv"
check_eq "-h -V: version only" "$version" "$OUT"
check_eq "-h -V: status" 0 "$STATUS"

for opt in -W --writable; do
    run "$opt" -P "$T/scratch-w" --volume-path="$T/vol-w" "$T/mnt-w"
    check_eq "$opt: status" 1 "$STATUS"
    check_eq "$opt: stderr" "The \`\`--writable'' option is not currently supported." "$ERR"
    check_eq "$opt: nothing prepared" "no no" \
        "$([ -e "$T/scratch-w" ] && echo yes || echo no) $([ -e "$T/mnt-w" ] && echo yes || echo no)"
done

# Logging starts before the refusal: with a log directory the text lands there.
mkdir -p "$T/log-w"
run -W -L "$T/log-w" "$T/mnt-w"
check_eq "-W -L: status" 1 "$STATUS"
check_contains "-W -L: refusal in the log file" "$(cat "$T/log-w/recovery_fs" 2>&1)" \
    "The \`\`--writable'' option is not currently supported."

run -L
check_eq "-L without argument: status" 1 "$STATUS"
check_contains "-L without argument: stderr" "$ERR" "Invalid arguments"
check_eq "-L without argument: usage" "$expected_usage" "$OUT"

# Directories that cannot be created: perror-style message, status 1.
touch "$T/file"
run -P "$T/file/scratch" --volume-path="$T/vol-x" "$T/mnt-x"
check_eq "scratch path not creatable: status" 1 "$STATUS"
check_eq "scratch path not creatable: message" "$T/file/scratch: Not a directory" "$ERR"
run -P "$T/scratch-x" --volume-path="$T/vol-x" "$T/file/mnt"
check_eq "mount point not creatable: status" 1 "$STATUS"
check_eq "mount point not creatable: message" "$T/file/mnt: Not a directory" "$ERR"

# A missing scratch path and mount point are created (0744); an existing
# volume path is removed entirely at start.
mkdir -p "$T/vol/old/deeper" && touch "$T/vol/old/deeper/leftover"
rfs_start "$T/mnt" -P "$T/scratch" --volume-path="$T/vol"
check_eq "scratch path created with mode 0744" "744 directory" "$(stat -c '%a %F' "$T/scratch")"
check_eq "volume path removed at start" "no" "$([ -e "$T/vol" ] && echo yes || echo no)"
check_eq "mount is read-only" "ro" \
    "$(awk -v m="$T/mnt" '$5 == m { split($6, o, ","); print o[1] }' /proc/self/mountinfo)"
check_eq "mount is a fuse mount" "fuse.recovery_fs" \
    "$(awk -v m="$T/mnt" '$5 == m { for (i = 7; $i != "-"; i++); print $(i + 1) }' /proc/self/mountinfo)"
rfs_stop "$T/mnt"
check_eq "fusermount -u ends recovery_fs with status 0" 0 "$RFS_EXIT"

# -L and --log-dir each take the directory as the next argument.
for opt in -L --log-dir; do
    rm -rf "$T/log"; mkdir -p "$T/log"
    rfs_start "$T/mnt" -P "$T/scratch" --volume-path="$T/vol" "$opt" "$T/log"
    stat "$T/mnt/no-such.volumes" >/dev/null 2>&1
    rfs_stop "$T/mnt"
    check_contains "$opt DIR: log file written" "$(cat "$T/log/recovery_fs" 2>&1)" \
        "Skipping invalid '.volume' file: /no-such.volumes"
    check_eq "$opt DIR: status 0 after unmount" 0 "$RFS_EXIT"
done

# Two non-option arguments: the first is the mount point, and both reach
# FUSE, which refuses the second; the program still ends with status 0.
run -P "$T/scratch" --volume-path="$T/vol" "$T/mnt-two" "$T/second" -f
check_eq "two mount points: status" 0 "$STATUS"
check_contains "two mount points: FUSE sees the second" "$ERR" "$T/second"
check_eq "two mount points: the first was prepared" "yes" "$([ -d "$T/mnt-two" ] && echo yes)"

rfs_finish
