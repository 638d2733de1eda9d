#!/usr/bin/env bash
# The file-level view over more guests, all served by one recovery_fs: XFS
# on LVM mounted twice at once (two machines with the same guest), a guest
# file that the change-block file changes, vfat and FreeBSD UFS (read where
# the kernel has them), views that fail to mount (three attempts, then
# refused; one whose only file system fails to mount shows an empty view),
# a view held by an open file outlives the idle ones, and nothing is left.
. "$(dirname "$0")/image_lib.sh"

export RFS_TEST_THREAD_PERIODS=1,1,2 # evict every second, refresh every 2 s
base_of() { ls "$V/$1" 2>/dev/null; } # the disk directory of a mounted view
left_of() { # BASE DIR: what is left of one view: its objects, its disk directory in DIR
    [ -n "$1" ] || { echo "no disk directory was recorded for $2"; return; }
    view_objects | grep -F -- "$1"
    [ -e "$2/$1" ] && echo "$2/$1"
}
# Disk directories, recorded while the views are surely mounted: a view idle
# for a minute may be gone before the next step on a slow machine.
declare -A base
note_base() { base[$1]=$(base_of "$1.volume"); }

CHANGE=5f1d2c3b-4a59-4687-9a1b-2c3d4e5f6071
make_scratch <<JSON
{"vms": [
 {"name": "vm1", "disks": [{"name": "rhel", "size": 67108864, "guest": {"table": "mbr", "parts": [
   {"size_mib": 8, "fs": "ext4", "files": {"grub.cfg": "text:boot\n"}},
   {"size_mib": 48, "lvm": {"vg": "rhel", "lvs": [{"name": "root", "size_mib": 40, "fs": "xfs",
     "files": {"etc/hosts": "text:127.0.0.1 xfs\n", "big.bin": ["bytes:7", 300000]}}]}}]}}]},
 {"name": "vm2", "disks": [{"name": "bsd", "size": 29360128, "guest": {"table": "mbr", "parts": [
   {"size_mib": 8, "fs": "vfat", "files": {"EFI/boot.txt": "text:vfat file\n"}},
   {"size_mib": 8, "fs": "ufs", "files": {"etc/rc.conf": "text:hostname=bsd\n"}},
   {"size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 bsd\n"}}]}}]},
 {"name": "vm4", "disks": [{"name": "cbt", "size": 16777216, "tolcbt": {},
   "header": {"version": 2, "change_id": "$CHANGE", "change_suffix": 7},
   "guest": {"table": "mbr", "parts": [{"size_mib": 8, "fs": "ext4",
     "files": {"etc/hosts": "text:127.0.0.1 old\n"}, "tolcbt_files": {"etc/hosts": "text:127.0.0.1 new\n"}}]}}]},
 {"name": "vm5", "disks": [
   {"name": "nofs", "size": 4194304, "content": "zero"},
   {"name": "badtable", "size": 4194304, "content": "zero", "mbr": [[131, 2048, 40000000], [131, 1024, 4096]]},
   {"name": "badmount", "size": 16777216, "guest": {"table": "mbr", "parts": [{"size_mib": 8, "fs": "ext4",
     "debugfs": ["ssv log_block_size 9"]}]}}]}]}
JSON
cp -a "$S/vm1" "$S/vm3" # the same guest in a second machine
SCRATCH_HASH=$(tree_hash "$S")

set_reg appliance.debug.level 1 # evictions are logged: a view's attempt count starts over
start_views vm4/cbt.volume/0

# XFS on LVM, two restore points of one guest at once (same file-system UUID).
exec 9<"$M/vm1/rhel.volume/1/etc/hosts"
want=$(python3 -c 'import hashlib, random; print(hashlib.sha256(random.Random(7).randbytes(300000)).hexdigest())')
for vm in vm1 vm3; do
    check_eq "$vm: XFS logical volume, byte-exact" "127.0.0.1 xfs $want" \
        "$(cat "$M/$vm/rhel.volume/1/etc/hosts" 2>&1) $(sha256sum <"$M/$vm/rhel.volume/1/big.bin" | cut -d' ' -f1)"
    note_base "$vm/rhel"
done
check_eq "both XFS copies mounted side by side" 2 "$(findmnt -rn -t xfs -o TARGET | grep -c "^$V/")"
check_eq "the change-block file's version of a guest file" "127.0.0.1 new" "$(cat "$M/vm4/cbt.volume/0/etc/hosts" 2>&1)"
note_base vm4/cbt

# vfat and UFS mount only where the kernel has the driver; numbers count
# the file systems mounted, so the ext4 partition comes after those.
listing "$M/vm2/bsd.volume" >/dev/null # mounts it
note_base vm2/bsd
n=0
for row in "vfat -oro 1 EFI/boot.txt vfat file" "ufs -oro,ufstype=44bsd 2 etc/rc.conf hostname=bsd"; do
    read -r fs options part file text <<<"$row"
    modprobe "$fs" 2>/dev/null
    if grep -qw "$fs" /proc/filesystems; then
        check_eq "$fs partition read as number $n" "$text" "$(cat "$M/vm2/bsd.volume/$n/$file" 2>&1)"
        n=$((n + 1))
    else
        check_contains "$fs: no driver here, its mount failed and was skipped" "$(cat "$LOG")" \
            "$options /dev/mapper/$(base_of vm2/bsd.volume)p$part "
    fi
done
check_eq "ext4 after them is number $n" "127.0.0.1 bsd|$(seq -s " " 0 $n)" \
    "$(cat "$M/vm2/bsd.volume/$n/etc/hosts" 2>&1)|$(listing "$M/vm2/bsd.volume" | xargs)"

# A view held by an open file (fd 9 on vm1) stays while the idle ones are
# evicted. A working directory holds no handle: its view is evicted too,
# and the next access through it mounts the view again.
(cd "$M/vm2/bsd.volume/$n/etc" && exec sleep 1000) &
cwd_pid=$!
# Failing views, while the others age: every access answers ENOENT; three
# mount attempts, then the view is refused (said once) until its cookie is
# evicted. A corrupt partition table fails the image itself. A failed access
# does not count as use: on a slow machine the cookie may reach a minute
# and be evicted between accesses, and the count starts over.
# attempts VOL: the view's mount attempts (A), refusal (R) and evictions (|)
# in log order.
attempts() {
    awk -v vol="$1" '$0 ~ "^2" && index($0, "Could not mount file system view for: " vol) { printf "A" }
        $0 ~ "^2" && index($0, "Mount retries exceeded for: " vol) { printf "R" }
        index($0, "evicting '"'"'" vol "'"'"'") { printf "|" }' "$LOG"
}
for row in "nofs Could not access mount_path" "badtable Could not open"; do
    read -r disk line <<<"$row"
    vol=/vm5/$disk.volume
    for i in 1 2 3 4 5; do check_errno "$disk: ENOENT at access $i" ENOENT stat "$M$vol/0"; done
    seen=$(attempts "$vol")
    n=$(tr -cd A <<<"$seen" | wc -c)
    # Without an eviction between them, the five accesses are exactly three
    # attempts and one refusal said; each eviction may start a new count.
    rule='^AAAR$'
    [[ $seen == *"|"* ]] && rule='^(\|*(A{0,2}|AAAR?)\|+)*(AAAR|A{0,3})$'
    check_eq "$disk: three attempts, refusal said once, the cause logged" "ok $n" \
        "$(grep -qE "$rule" <<<"$seen" && echo ok) $(grep -F "$line" "$LOG" | grep -c "/vm5/$disk[.-]")"
    [[ $seen == AAAR ]] || echo "       (attempts A, refusals R and evictions | in the log: $seen)"
done
failed=$(sed -n 's|.*Could not access mount_path .*/nofs.volume/\(.*\)\.$|\1|p' "$LOG" | xargs | tr ' ' '|')
check_eq "failed attempts leave nothing" "$(tr -cd A <<<"$(attempts /vm5/nofs.volume)" | wc -c):" \
    "$(tr '|' '\n' <<<"$failed" | grep -c .):$(view_objects | grep -E "${failed:-none}"; loops_of "$S/vm5/badtable-flat.vmdk")"
# A file system that does not mount is skipped: the view mounts, empty.
check_eq "badmount: empty view" "" "$(listing "$M/vm5/badmount.volume")"
check_contains "badmount: its mount failed" "$(cat "$LOG")" "-oro /dev/mapper/$(base_of vm5/badmount.volume)p1 "

evicted() { for v in vm2/bsd vm3/rhel vm4/cbt; do left_of "${base[$v]}" "$V/$v.volume"; done; }
wait_for 180 eval '[ -z "$(evicted)" ]'
check_eq "idle views evicted, nothing left (mount, device, loop, directory, store)" "" "$(evicted)"
check_eq "vm1/rhel: busy, still mounted" yes "$([ -n "$(mounts_below "$V/vm1/rhel.volume/")" ] && echo yes)"
check_eq "open file still reads" "127.0.0.1 xfs" "$(cat <&9)"
check_eq "working directory still reads" "127.0.0.1 bsd" "$(cat "/proc/$cwd_pid/cwd/hosts" 2>&1)"

# Shutdown with views in use, which hold the mount (their images are read
# through it): SIGTERM tears them down before the images.
# The open file is closed only after recovery_fs has ended: its release
# never arrives.
kill -TERM "$RFS_PID"
kill "$cwd_pid"
wait "$cwd_pid" 2>/dev/null
wait_for 180 eval '! rfs_alive "$RFS_PID"'
exec 9<&-
check_eq "SIGTERM: recovery_fs ended" "" "$(rfs_alive "$RFS_PID" && echo running)"
check_contains "the file held open is closed before its view goes" "$(cat "$LOG")" \
    "/etc/hosts, still open at shutdown"
check_eq "nothing of a view left" "" "$(view_objects)"
finish_clean "after SIGTERM"
