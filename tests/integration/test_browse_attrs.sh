#!/usr/bin/env bash
# Attributes: hashed inode numbers, change-block times on flat files, the
# attributes saved while a cookie lives, statfs, and refusal of writes.
. "$(dirname "$0")/lib.sh"

S=$T/scratch
V=$T/vol
M=$T/mnt
mkscratch "$S" --preset basic
touch -d '2001-02-03 04:05:06' "$S/vm1/disk-tolcbt.vmdk"
touch -d '2011-01-01 00:00:00' "$S/vm1/disk-flat.vmdk" "$S/vm1/data-flat.vmdk"

ino_hash() {
    python3 - "$1" <<'PY'
import sys
h = 5381
for b in sys.argv[1].encode():
    h = ((h * 33) ^ ((b - 256 if b > 127 else b) & 0xFFFFFFFF)) & 0xFFFFFFFF
print(h)
PY
}

# use_ino: the kernel shows our inode numbers; attr_timeout=0: every stat
# reaches the file system, so saved attributes are visible as such.
rfs_start "$M" -P "$S" --volume-path="$V" -o use_ino,attr_timeout=0,entry_timeout=0

for p in /vm1/disk.vmdk /vm1/disk-flat.vmdk /vm2/vm2.vmtx /vm1; do
    check_eq "inode of $p is the path hash" "$(ino_hash "$p")" "$(stat -c %i "$M$p")"
done
check_eq "inode of a .volume directory is the path hash" "$(ino_hash /vm1/disk.volume)" \
    "$(stat -c %i "$M/vm1/disk.volume")"

# Flat file with a change-block file: its times, the flat file's size.
check_eq "flat file carries the change-block mtime" "$(stat -c %Y "$S/vm1/disk-tolcbt.vmdk")" \
    "$(stat -c %Y "$M/vm1/disk-flat.vmdk")"
check_eq "flat file carries the change-block ctime" "$(stat -c %Z "$S/vm1/disk-tolcbt.vmdk")" \
    "$(stat -c %Z "$M/vm1/disk-flat.vmdk")"
check_eq "flat file keeps its own size" 65536 "$(stat -c %s "$M/vm1/disk-flat.vmdk")"
check_eq "flat file without change blocks keeps its mtime" "$(stat -c %Y "$S/vm1/data-flat.vmdk")" \
    "$(stat -c %Y "$M/vm1/data-flat.vmdk")"
check_eq "descriptor attributes" "$(stat -c '%s %Y %a %F' "$S/vm1/disk.vmdk")" \
    "$(stat -c '%s %Y %a %F' "$M/vm1/disk.vmdk")"

# Attributes saved at the first stat after an open stay while the cookie lives.
exec 3<"$M/vm1/vm1.vmx"
before=$(stat -c %s "$M/vm1/vm1.vmx")
echo "grown meanwhile" >>"$S/vm1/vm1.vmx"
check_eq "open file: saved size while the cookie lives" "$before" "$(stat -c %s "$M/vm1/vm1.vmx")"
exec 3<&-
check_eq "closed file: the cookie (and its record) stays" "$before" "$(stat -c %s "$M/vm1/vm1.vmx")"
echo "grown too" >>"$S/vm1/vm1.cfg"
check_eq "never opened file: current size" "$(stat -c %s "$S/vm1/vm1.cfg")" "$(stat -c %s "$M/vm1/vm1.cfg")"

# statfs: sizes of the underlying file system, nothing free, read-only.
read -r total bfree bavail files ffree flag < <(python3 - "$M" <<'PY'
import os, sys
s = os.statvfs(sys.argv[1])
print(s.f_blocks, s.f_bfree, s.f_bavail, s.f_files, s.f_ffree, s.f_flag & os.ST_RDONLY)
PY
)
check_eq "statfs: no free or available blocks, no free inodes" "0 0 0" "$bfree $bavail $ffree"
check_eq "statfs: read-only flag" "$(python3 -c 'import os; print(os.ST_RDONLY)')" "$flag"
check_eq "statfs: total blocks of the scratch file system" \
    "$(python3 -c 'import os, sys; s = os.statvfs(sys.argv[1]); print(s.f_blocks * s.f_frsize)' "$S")" \
    "$(python3 -c 'import os, sys; s = os.statvfs(sys.argv[1]); print(s.f_blocks * s.f_frsize)' "$M/vm1")"
check_eq "statfs inside a .volume directory" "0" "$(stat -f -c %f "$M/vm1/disk.volume")"

# Writes are refused.
check_errno "O_RDWR open" EROFS open "$M/vm1/disk-flat.vmdk" O_RDWR
check_errno "O_WRONLY|O_TRUNC open" EROFS open "$M/vm1/vm1.vmx" "O_WRONLY|O_TRUNC"
check_errno "O_CREAT of a new file" EROFS open "$M/vm1/new.vmx" "O_WRONLY|O_CREAT"
check_errno "O_APPEND open" EROFS open "$M/vm1/vm1.vmx" "O_RDONLY|O_APPEND"
check_errno "mkdir" EROFS mkdir "$M/vm1/newdir"
check_errno "unlink" EROFS unlink "$M/vm1/vm1.vmx"
check_errno "read-only open of a change-block file" OK open "$M/vm1/disk-tolcbt.vmdk" O_RDONLY
check_eq "scratch tree untouched" "no" "$([ -e "$S/vm1/new.vmx" ] && echo yes || echo no)"

rfs_stop "$M"
check_eq "exit status after unmount" 0 "$RFS_EXIT"
rfs_finish
