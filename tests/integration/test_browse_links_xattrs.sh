#!/usr/bin/env bash
# Extended attributes (scratch files, the .volume directory, files inside a
# view) and symbolic links: relative rewriting of targets inside the volume
# path, and how scratch links are served.
. "$(dirname "$0")/lib.sh"

S=$T/scratch
V=$T/vol
M=$T/mnt
mkscratch "$S" --volume-path="$V" --layout - <<'JSON'
{"vms": [{"name": "vm1",
          "disks": [{"name": "disk", "size": 8192}],
          "vmx": true,
          "links": [{"name": "rel.vmx", "target": "vm1.vmx"},
                    {"name": "abs-cfg.cfg", "target": "{scratch}/vm1/vm1.vmx"},
                    {"name": "into-volume.vmx", "target": "{volume}/vm1/disk.volume/vol0/etc/hosts.vmx"},
                    {"name": "dangling.vmx", "target": "no-such-file"},
                    {"name": "other.vmdk", "target": "disk.vmdk"}],
          "xattrs": {"disk.vmdk": {"user.note": "kept with the descriptor",
                                   "user.err_num": "1014"},
                     "vm1.vmx": {"user.empty": ""}}}]}
JSON

rfs_start "$M" -P "$S" --volume-path="$V"

# --- extended attributes of scratch files ---------------------------------
check_eq "getxattr of a scratch file" "kept with the descriptor" \
    "$(getfattr --absolute-names --only-values -n user.note "$M/vm1/disk.vmdk" 2>&1)"
check_eq "listxattr of a scratch file" "$(printf 'user.err_num\nuser.note')" \
    "$(getfattr --absolute-names -d -m 'user\.' "$M/vm1/disk.vmdk" 2>/dev/null | sed -n 's/=.*//p' | LC_ALL=C sort)"
check_eq "empty attribute value" "" "$(getfattr --absolute-names --only-values -n user.empty "$M/vm1/vm1.vmx" 2>&1)"
check_errno "missing attribute" ENODATA getxattr "$M/vm1/disk.vmdk" user.none
check_eq "xattrs follow scratch links" "kept with the descriptor" \
    "$(getfattr --absolute-names --only-values -n user.note "$M/vm1/other.vmdk" 2>&1)"

# --- the .volume directory and files inside a view -----------------------
stat "$M/vm1/disk.volume" >/dev/null
mkdir -p "$V/vm1/disk.volume/vol0/etc" "$V/vm1/disk.volume/vol0/usr/lib"
echo "127.0.0.1 localhost" >"$V/vm1/disk.volume/vol0/etc/hosts.vmx"
setfattr -n user.view -v top "$V/vm1/disk.volume"
setfattr -n user.inside -v guest "$V/vm1/disk.volume/vol0/etc/hosts.vmx"
check_eq "getxattr of the .volume directory reads its mount directory" "top" \
    "$(getfattr --absolute-names --only-values -n user.view "$M/vm1/disk.volume" 2>&1)"
check_eq "listxattr of the .volume directory" "user.view" \
    "$(getfattr --absolute-names -d -m 'user\.' "$M/vm1/disk.volume" 2>/dev/null | sed -n 's/=.*//p')"
check_eq "getxattr inside a view" "guest" \
    "$(getfattr --absolute-names --only-values -n user.inside "$M/vm1/disk.volume/vol0/etc/hosts.vmx" 2>&1)"
check_eq "file inside a view reads" "127.0.0.1 localhost" "$(cat "$M/vm1/disk.volume/vol0/etc/hosts.vmx")"
check_eq "directory inside a view lists everything" "$(printf 'etc\nusr')" \
    "$(listing "$M/vm1/disk.volume/vol0")"

# --- links inside a view: absolute targets into the volume path become
# relative, so that they resolve inside the export -------------------------
ln -s "$V/vm1/disk.volume/vol0/usr/lib" "$V/vm1/disk.volume/vol0/etc/link"
ln -s "$V/vm1/disk.volume/vol0/etc/hosts.vmx" "$V/vm1/disk.volume/vol0/hosts-link"
ln -s "$V//vm1/./disk.volume/vol0/etc/../usr/lib" "$V/vm1/disk.volume/vol0/etc/messy"
ln -s ../usr/lib "$V/vm1/disk.volume/vol0/etc/relative"
ln -s /etc/hostname "$V/vm1/disk.volume/vol0/etc/outside"
check_eq "readlink: absolute target into the volume path" "../usr/lib" \
    "$(readlink "$M/vm1/disk.volume/vol0/etc/link")"
check_eq "readlink: target in a subdirectory" "etc/hosts.vmx" \
    "$(readlink "$M/vm1/disk.volume/vol0/hosts-link")"
check_eq "readlink: target normalised before rewriting" "../usr/lib" \
    "$(readlink "$M/vm1/disk.volume/vol0/etc/messy")"
check_eq "readlink: relative target unchanged" "../usr/lib" \
    "$(readlink "$M/vm1/disk.volume/vol0/etc/relative")"
check_eq "readlink: target outside the volume path unchanged" "/etc/hostname" \
    "$(readlink "$M/vm1/disk.volume/vol0/etc/outside")"
check_eq "rewritten link resolves inside the mount" "127.0.0.1 localhost" \
    "$(cat "$M/vm1/disk.volume/vol0/hosts-link")"
check_eq "link inside a view is a link" "symbolic link" "$(stat -c %F "$M/vm1/disk.volume/vol0/etc/link")"

# --- links of the scratch tree: served as what they point to -------------
check_eq "scratch listing: links shown by their names, dangling one skipped" \
    "$(printf '%s\n' abs-cfg.cfg disk-flat.vmdk disk.vmdk disk.volume into-volume.vmx other.vmdk other.volume rel.vmx vm1.vmx | LC_ALL=C sort)" \
    "$(listing "$M/vm1")"
check_eq "relative scratch link reads its target" "$(cat "$S/vm1/vm1.vmx")" "$(cat "$M/vm1/rel.vmx")"
check_eq "absolute scratch link reads its target" "$(cat "$S/vm1/vm1.vmx")" "$(cat "$M/vm1/abs-cfg.cfg")"
check_eq "scratch link into the volume path reads the view file" "127.0.0.1 localhost" \
    "$(cat "$M/vm1/into-volume.vmx")"
check_eq "scratch links look like their targets" "regular file" "$(stat -c %F "$M/vm1/rel.vmx")"
check_errno "dangling scratch link" ENOENT stat "$M/vm1/dangling.vmx"

rfs_stop "$M"
check_eq "exit status after unmount" 0 "$RFS_EXIT"
rfs_finish
