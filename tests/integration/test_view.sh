#!/usr/bin/env bash
# The file-level view over guests made with the real tools: guest files are
# read through disk.volume on first access (MBR with logical partitions,
# GPT, NTFS, LVM, an ext4 whose journal must be replayed, a partition of
# type a8 left out), no scratch file changes, and eviction and unmount leave
# no mount, device-mapper device or loop device.
# vmdk-mount DESCRIPTOR DIR and -u DIR do the same from the command line.
# (Shutdown with views in use: test_view_guests.sh.)
. "$(dirname "$0")/image_lib.sh"

VMOUNT=$RFS_BUILD_DIR/tools/vmdk-mount
export RFS_TEST_THREAD_PERIODS=1,1,2 # evict every second, refresh every 2 s

make_scratch <<'JSON'
{"vms": [
 {"name": "vm1", "disks": [{"name": "disk", "size": 100663296, "guest": {"table": "mbr", "parts": [
   {"size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 mbr\n"}},
   {"size_mib": 4, "fs": "swap"},
   {"size_mib": 8, "fs": "ntfs", "files": {"etc/hosts": "text:127.0.0.1 ntfs\n"}},
   {"size_mib": 24, "logical": true, "lvm": {"vg": "vg0", "lvs": [
     {"name": "data", "size_mib": 8, "fs": "ext3", "files": {"data.txt": "text:lvm data\n"}},
     {"name": "root", "size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 lvm\n"}}]}},
   {"size_mib": 8, "logical": true, "fs": "ext2", "files": {"etc/hosts": "text:127.0.0.1 ext2\n"}},
   {"size_mib": 8, "logical": true, "fs": "ext4", "files": {"etc/hosts": "text:x\n"},
    "dirty_journal": {"late.txt": "text:replayed\n"}},
   {"size_mib": 4, "logical": true, "fs": "ufs", "type": "a8"}]}}]},
 {"name": "vm2", "disks": [{"name": "disk", "size": 33554432, "guest": {"table": "gpt", "parts": [
   {"size_mib": 4, "fs": "swap"},
   {"size_mib": 8, "fs": "ext4", "files": {"etc/hosts": "text:127.0.0.1 gpt\n"}}]}}]}]}
JSON
# vm3 comes from a hostile backup: its disk's parent is a character device.
mkdir -p "$S/vm3"
truncate -s 1M "$S/vm3/disk-flat.vmdk"
printf '%s\n' '# Disk DescriptorFile' 'version=1' 'CID=0000abcd' 'parentCID=00001234' \
    'createType="vmfs"' 'parentFileNameHint="/dev/zero"' 'RW 2048 VMFS "disk-flat.vmdk"' \
    >"$S/vm3/disk.vmdk"
SCRATCH_HASH=$(tree_hash "$S")
start_views vm2/disk.volume/0

# First access mounts; the numbers count mounted file systems, partitions
# first: p1 ext4, p3 NTFS, p6 ext2, p7 ext4 (dirty), then data and root.
cp "$M/vm1/disk.volume/0/etc/hosts" "$T/hosts" 2>"$T/cp.err"
check_eq "MBR guest: cp of etc/hosts works first time" "127.0.0.1 mbr" "$(cat "$T/hosts" 2>&1)"
check_eq "MBR guest: one directory per mounted file system" "$(printf '%s\n' 0 1 2 3 4 5)" \
    "$(listing "$M/vm1/disk.volume")"
check_eq "NTFS partition" "127.0.0.1 ntfs" "$(cat "$M/vm1/disk.volume/1/etc/hosts" 2>&1)"
check_eq "logical ext2 partition" "127.0.0.1 ext2" "$(cat "$M/vm1/disk.volume/2/etc/hosts" 2>&1)"
check_eq "dirty journal replayed" "replayed" "$(cat "$M/vm1/disk.volume/3/late.txt" 2>&1)"
check_eq "LVM logical volumes" "lvm data|127.0.0.1 lvm" \
    "$(cat "$M/vm1/disk.volume/4/data.txt" 2>&1)|$(cat "$M/vm1/disk.volume/5/etc/hosts" 2>&1)"
check_eq "GPT guest" "127.0.0.1 gpt" "$(cat "$M/vm2/disk.volume/0/etc/hosts" 2>&1)"

# A parent that is a device (once read forever under the devices lock) is
# refused at once, and the other views go on. A second here; an emulated
# machine of the real-kernel tier runs programs many times slower.
limit_ms=${RFS_TEST_REFUSE_MS:-1000}
t0=$(date +%s%N)
timeout 20 ls "$M/vm3/disk.volume" >/dev/null 2>&1
ms=$((($(date +%s%N) - t0) / 1000000))
check_eq "parent /dev/zero: refused within $limit_ms ms" "yes" "$([ $ms -lt "$limit_ms" ] && echo yes || echo "$ms ms")"
wait_log "parent /dev/zero: the reason in the log" "/dev/zero: resolves to /dev/zero, outside" 10
check_eq "other views still answer" "127.0.0.1 gpt|127.0.0.1 ntfs" \
    "$(cat "$M/vm2/disk.volume/0/etc/hosts" 2>&1)|$(cat "$M/vm1/disk.volume/1/etc/hosts" 2>&1)"

# Idle views are evicted after 60 s with every mount, device and store file
# (loop devices over images read through the mount go with their last
# opener); the image cookies that those held go at unmount.
wait_log "idle views evicted" "unmounting /vm" 300 2
wait_for 180 eval '[ -z "$(view_objects)" ]'
check_eq "after eviction: nothing of a view left" "" "$(view_objects)"
rfs_stop "$M"
check_no_devices "after eviction and unmount" "$S"

# vmdk-mount: the same mounts from the command line.
out=$("$VMOUNT" "$S/vm1/disk.vmdk" "$T/vm" 2>"$T/vmount.err")
check_eq "vmdk-mount: one line per file system" \
    "0 ext4|1 ntfs|2 ext2|3 ext4|4 ext3|5 ext4" "$(awk '{ printf "%s%s %s", (NR > 1 ? "|" : ""), $1, $3 }' <<<"$out")"
[ -n "$out" ] || sed 's/^/       /' "$T/vmount.err"
check_eq "vmdk-mount: guest file" "127.0.0.1 lvm" "$(cat "$T"/vm/*/5/etc/hosts 2>&1)"
check_status "vmdk-mount -u" 0 "$VMOUNT" -u "$T/vm"
check_eq "vmdk-mount -u: nothing mounted" "" "$(mounts_below "$T/vm")"
finish_clean "after vmdk-mount -u"
