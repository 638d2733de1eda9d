#!/usr/bin/env bash
# Files through one mount, in the sandbox: listings (`.volume` entries and
# their empty mount directories), reads of images and of unlisted names, many
# clients at once; hashed inode numbers, change-block times on flat files,
# attributes saved while a cookie lives, statfs, refused writes; extended
# attributes and symbolic links (scratch files, the .volume directory, files
# inside a view); bad input: names at the 255-byte limit, malformed
# movara.json files, unreadable entries, each with a clear error while
# serving goes on. Then the listings under --hide-image-files and
# --hide-file-level-view.
. "$(dirname "$0")/image_lib.sh"

mkscratch "$S" --preset basic
# A real disk.volume directory beside a descriptor: served as an ordinary
# entry, and no generated entry for disk.vmdk.
mkscratch "$S" --layout - <<'JSON'
{"vms": [{"name": "vm3", "disks": [{"name": "disk", "size": 4096}], "dirs": ["disk.volume"],
          "files": [{"name": "disk.volume/inside.vmx", "content": "text:real\n"}]}]}
JSON
touch -d '2001-02-03 04:05:06' "$S/vm1/disk-tolcbt.vmdk"
touch -d '2011-01-01 00:00:00' "$S/vm1/disk-flat.vmdk" "$S/vm1/data-flat.vmdk"
mkscratch "$S" --volume-path="$V" --layout - <<'JSON'
{"vms": [{"name": "links",
          "disks": [{"name": "disk", "size": 8192}],
          "vmx": true,
          "links": [{"name": "rel.vmx", "target": "links.vmx"},
                    {"name": "abs-cfg.cfg", "target": "{scratch}/links/links.vmx"},
                    {"name": "into-volume.vmx", "target": "{volume}/links/disk.volume/vol0/etc/hosts.vmx"},
                    {"name": "dangling.vmx", "target": "no-such-file"},
                    {"name": "other.vmdk", "target": "disk.vmdk"}],
          "xattrs": {"disk.vmdk": {"user.note": "kept with the descriptor",
                                   "user.err_num": "1014"},
                     "links.vmx": {"user.empty": ""}}}]}
JSON

# --- bad input: names at the limit ------------------------------------------
d252=$(printf 'b%.0s' $(seq 247)).vmdk   # .volume form: 254 bytes
d253=$(printf 'c%.0s' $(seq 248)).vmdk   # .volume form would be 255 bytes
n255=$(printf 'd%.0s' $(seq 251)).vmx    # the longest name there is
mkdir -p "$S/names"
for n in "$d252" "$d253" "$n255"; do echo "$n" >"$S/names/$n"; done
# Malformed relocation files: the flat file lies in store/, where none of
# them may lead.
MOVARA=(bad-json not-object number directory)
vms=""
for vm in "${MOVARA[@]}"; do
    vms+="{\"name\": \"$vm\", \"disks\": [{\"name\": \"disk\", \"size\": 4096, \"flat_dir\": \"store\"}]},"
done
mkscratch "$S" --layout - <<JSON
{"vms": [${vms%,}]}
JSON
printf '{"flat_directory": "store"' >"$S/bad-json/movara.json"
printf '["store"]\n' >"$S/not-object/movara.json"
printf '{"flat_directory": 42}\n' >"$S/number/movara.json"
mkdir -p "$S/directory/movara.json"
# Entries that cannot be read.
mkdir -p "$S/locked/inner" "$S/odd"
echo secret >"$S/odd/secret.vmx"
chmod 000 "$S/locked" "$S/odd/secret.vmx"
ln -s loop-b.vmx "$S/odd/loop-a.vmx"
ln -s loop-a.vmx "$S/odd/loop-b.vmx"
ln -s nowhere "$S/odd/dangling.vmdk"
echo fine >"$S/odd/fine.vmx"
cafe=$(printf 'caf\xe9.vmx')
printf 'bytes\n' >"$S/odd/$cafe"

# Without the DAC capabilities root cannot pass mode 000 either, as on the
# appliance for files that the store's component locked.
RFS_BIN_REAL=$RFS_BIN
RFS_BIN=$T/rfs-wrapper
printf '#!/bin/sh\nexec setpriv --inh-caps=-dac_override,-dac_read_search --bounding-set=-dac_override,-dac_read_search "%s" "$@"\n' \
    "$RFS_BIN_REAL" >"$RFS_BIN"
chmod +x "$RFS_BIN"
# use_ino: the kernel shows our inode numbers; attr_timeout=0: every stat
# reaches the file system, so saved attributes are visible as such.
mount_scratch -o use_ino,attr_timeout=0,entry_timeout=0

# --- listing: images, configuration files and one .volume per descriptor ----
expect() { printf '%s\n' "$@" | LC_ALL=C sort; }
# Stat of a .volume directory creates its empty mount directory; nothing is
# mounted (automatic mounting is off by default).
check_status "no mount directory before the first look" 1 test -e "$V/vm2/raw.volume"
check_eq ".volume is a directory" "directory" "$(stat -c %F "$M/vm2/raw.volume")"
check_eq "stat created the mount directory (0755)" "755 directory" "$(stat -c '%a %F' "$V/vm2/raw.volume")"
check_eq "root listing" "$(expect vm1 vm2 vm3 links names odd locked "${MOVARA[@]}")" \
    "$(listing "$M")"
check_eq "vm1 default listing" \
    "$(expect data-flat.vmdk data.vmdk data.volume disk-flat.vmdk disk.vmdk disk.volume sub vm1.cfg vm1.vmx)" \
    "$(listing "$M/vm1")"
check_eq "vm2 default listing (rdm, rdmp, vmtx)" \
    "$(expect pass-rdmp.vmdk pass.vmdk pass.volume raw-rdm.vmdk raw.vmdk raw.volume vm2.vmtx)" \
    "$(listing "$M/vm2")"
check_eq "real disk.volume is listed once, without a generated twin" \
    "$(expect disk-flat.vmdk disk.vmdk disk.volume)" "$(listing "$M/vm3")"
check_eq "real disk.volume is served from the scratch tree" "inside.vmx" "$(listing "$M/vm3/disk.volume")"
check_contains "real disk.volume: the 'already exists' line is logged" "$(cat "$LOG")" \
    "ERROR: $S//vm3/disk.volume directory already exists, can't create .volume mount point."

check_eq "in readdir order each .volume entry comes right before its descriptor" "data.vmdk disk.vmdk" \
    "$(ls -U1 "$M/vm1" | grep -A1 -x -e data.volume -e disk.volume | grep -v -e '\.volume$' -e '^--$' | xargs)"

# Not listed, but served by name.
check_status "change-block file reads by name" 0 cmp "$S/vm1/disk-tolcbt.vmdk" "$M/vm1/disk-tolcbt.vmdk"
check_eq "unknown file reads by name" "not an image" "$(cat "$M/vm1/notes.txt")"

# Inside a .volume directory while nothing is mounted.
check_eq ".volume directory lists empty" "" "$(listing "$M/vm1/disk.volume")"
check_errno "path inside an unmounted view" ENOENT stat "$M/vm1/disk.volume/x"
check_errno ".volume without a descriptor" ENOENT stat "$M/vm1/nodisk.volume"
# Many clients at once: the handlers run on FUSE's worker threads.
stress() {
    local i f
    for i in $(seq 20); do
        for f in disk-flat.vmdk data-flat.vmdk vm1.vmx disk-tolcbt.vmdk; do
            cmp -s "$S/vm1/$f" "$M/vm1/$f" || { echo "differs: $f"; return 1; }
        done
        ls "$M/vm1" "$M/vm2" >/dev/null && stat "$M/vm1/disk.volume" "$M/vm2/raw.volume" >/dev/null || return 1
    done
    echo ok
}
pids=()
for j in $(seq 8); do stress >"$T/stress.$j" 2>&1 & pids+=($!); done
wait "${pids[@]}"
check_eq "8 concurrent clients read and list consistently" "$(printf 'ok\n%.0s' $(seq 8))" \
    "$(cat "$T"/stress.*)"

check_eq "nothing mounted below the volume path" "" "$(mounts_below "$V")"

# --- attributes ---------------------------------------------------------------
# The hash is pinned by RecoveryInoHash; here: the kernel shows it (use_ino).
check_eq "inode number is the path hash" 4060970784 "$(stat -c %i "$M/vm1/disk.vmdk")"
check_eq "flat file carries the change-block mtime and ctime" "$(stat -c '%Y %Z' "$S/vm1/disk-tolcbt.vmdk")" \
    "$(stat -c '%Y %Z' "$M/vm1/disk-flat.vmdk")"
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
check_eq "statfs: no free blocks or inodes, the scratch file system's size" "0 0 0 $(($(stat -f -c '%b*%S' "$S")))" \
    "$(stat -f -c '%f %a %d' "$M/vm1") $(($(stat -f -c '%b*%S' "$M/vm1")))"
check_eq "statfs inside a .volume directory" "0" "$(stat -f -c %f "$M/vm1/disk.volume")"

while read -r want op path flags what; do
    check_errno "$what" "$want" "$op" "$M/$path" ${flags#-}
done <<'EOF'
EROFS open vm1/disk-flat.vmdk O_RDWR O_RDWR open
EROFS open vm1/vm1.vmx O_WRONLY|O_TRUNC O_WRONLY|O_TRUNC open
EROFS open vm1/new.vmx O_WRONLY|O_CREAT O_CREAT of a new file
EROFS open vm1/vm1.vmx O_RDONLY|O_APPEND O_APPEND open
EROFS mkdir vm1/newdir - mkdir
EROFS unlink vm1/vm1.vmx - unlink
OK open vm1/disk-tolcbt.vmdk O_RDONLY read-only open of a change-block file
EOF
check_status "scratch tree untouched" 1 test -e "$S/vm1/new.vmx"

# --- extended attributes -------------------------------------------------------
X=$M/links
xattr() { getfattr --absolute-names --only-values -n "$2" "$1" 2>&1; }
xattrs() { getfattr --absolute-names -d -m 'user\.' "$1" 2>/dev/null | sed -n 's/=.*//p' | LC_ALL=C sort | xargs; }
check_eq "getxattr of a scratch file" "kept with the descriptor" "$(xattr "$X/disk.vmdk" user.note)"
check_eq "listxattr of a scratch file" "user.err_num user.note" "$(xattrs "$X/disk.vmdk")"
check_eq "empty attribute value" "" "$(xattr "$X/links.vmx" user.empty)"
check_errno "missing attribute" ENODATA getxattr "$X/disk.vmdk" user.none
check_eq "xattrs follow scratch links" "kept with the descriptor" "$(xattr "$X/other.vmdk" user.note)"

# The .volume directory and files inside a view.
VW=$V/links/disk.volume/vol0
stat "$X/disk.volume" >/dev/null
mkdir -p "$VW/etc" "$VW/usr/lib"
echo "127.0.0.1 localhost" >"$VW/etc/hosts.vmx"
setfattr -n user.view -v top "$V/links/disk.volume"
setfattr -n user.inside -v guest "$VW/etc/hosts.vmx"
check_eq "getxattr of the .volume directory reads its mount directory" "top" "$(xattr "$X/disk.volume" user.view)"
check_eq "listxattr of the .volume directory" "user.view" "$(xattrs "$X/disk.volume")"
check_eq "getxattr inside a view" "guest" "$(xattr "$X/disk.volume/vol0/etc/hosts.vmx" user.inside)"
check_eq "file inside a view reads" "127.0.0.1 localhost" "$(cat "$X/disk.volume/vol0/etc/hosts.vmx")"
check_eq "directory inside a view lists everything" "$(printf 'etc\nusr')" "$(listing "$X/disk.volume/vol0")"

# --- links inside a view: absolute targets into the volume path become
# relative, so that they resolve inside the export ----------------------------
while read -r link target want what; do
    ln -s "${target//\{V\}/$V}" "$VW/$link"
    check_eq "readlink: $what" "$want" "$(readlink "$X/disk.volume/vol0/$link")"
done <<'EOF'
etc/link {V}/links/disk.volume/vol0/usr/lib ../usr/lib absolute target into the volume path
hosts-link {V}/links/disk.volume/vol0/etc/hosts.vmx etc/hosts.vmx target in a subdirectory
EOF
check_eq "rewritten link resolves inside the mount" "127.0.0.1 localhost" "$(cat "$X/disk.volume/vol0/hosts-link")"
check_eq "link inside a view is a link" "symbolic link" "$(stat -c %F "$X/disk.volume/vol0/etc/link")"

# --- links of the scratch tree: served as what they point to ------------------
check_eq "scratch listing: links shown by their names, dangling one skipped" \
    "$(printf '%s\n' abs-cfg.cfg disk-flat.vmdk disk.vmdk disk.volume into-volume.vmx links.vmx other.vmdk other.volume rel.vmx | LC_ALL=C sort)" \
    "$(listing "$X")"
check_eq "relative and absolute scratch links read their target" \
    "$(cat "$S/links/links.vmx" "$S/links/links.vmx")" "$(cat "$X/rel.vmx" "$X/abs-cfg.cfg")"
check_eq "scratch link into the volume path reads the view file" "127.0.0.1 localhost" "$(cat "$X/into-volume.vmx")"
check_eq "scratch links look like their targets" "regular file" "$(stat -c %F "$X/rel.vmx")"
check_errno "dangling scratch link" ENOENT stat "$X/dangling.vmx"

# --- bad input -------------------------------------------------------------------
check_eq "names at the limit: a 254-byte .volume, none of 255 bytes, every file" \
    "$(expect "$d252" "${d252%.vmdk}.volume" "$d253" "$n255")" "$(listing "$M/names")"
check_eq "255-byte name reads" "$n255" "$(cat "$M/names/$n255")"
check_errno "256-byte name" ENAMETOOLONG stat "$M/names/${n255}x"

log=$(cat "$LOG")
check_contains "the missing .volume entry is logged" "$log" \
    "recovery_fs_readdir: Failed to create '.volume' entry for $S/names/$d253"
# Each malformed file: the flat file in store/ is not found, the cause is logged.
while IFS='|' read -r vm text tail; do
    check_errno "movara.json ($vm): not relocated" ENOENT stat "$M/$vm/disk-flat.vmdk"
    [ -z "$text" ] || check_contains "movara.json ($vm): logged" "$(cat "$LOG")" "$text from $S/$vm/movara.json$tail"
done <<'EOF'
bad-json|Could not get JSON object
not-object|Cannot get JSON sub_object "flat_directory"
number|JSON sub_object "flat_directory"| is not a string
directory|
EOF

check_status "locked directory is listed" 0 grep -qx locked <(ls "$M")
check_errno "locked directory cannot be opened" EACCES listdir "$M/locked"
check_errno "locked file cannot be read (open fails as EIO)" EIO read "$M/odd/secret.vmx"
check_eq "unreadable entries are skipped, the rest is listed" \
    "$(printf '%s\n' "$cafe" fine.vmx secret.vmx | LC_ALL=C sort)" "$(listing "$M/odd")"
check_errno "link loop" ELOOP stat "$M/odd/loop-a.vmx"
check_eq "non-UTF-8 name reads" "bytes" "$(cat "$M/odd/$cafe")"

check_eq "still serving after all of it" "$(cat "$S/vm2/vm2.vmtx")" "$(cat "$M/vm2/vm2.vmtx")"
rfs_stop "$M"

# --- --hide-image-files: directories and .volume entries only (images
# still open by name); --hide-file-level-view: no .volume entries or paths.
while IFS='|' read -r opt vm1 vm2; do
    rfs_start "$M" -P "$S" --volume-path="$V" "$opt" || continue
    check_eq "$opt: vm1" "$(expect $vm1)" "$(listing "$M/vm1")"
    check_eq "$opt: vm2" "$(expect $vm2)" "$(listing "$M/vm2")"
    check_status "$opt: images open by name" 0 cmp "$S/vm1/disk-flat.vmdk" "$M/vm1/disk-flat.vmdk"
    [ "$opt" = --hide-file-level-view ] && check_errno "$opt: no view paths" ENOENT stat "$M/vm1/disk.volume"
    rfs_stop "$M" "$opt"
done <<'EOF'
--hide-image-files|data.volume disk.volume sub|pass.volume raw.volume
--hide-file-level-view|data-flat.vmdk data.vmdk disk-flat.vmdk disk.vmdk sub vm1.cfg vm1.vmx|pass-rdmp.vmdk pass.vmdk raw-rdm.vmdk raw.vmdk vm2.vmtx
EOF

rfs_finish
