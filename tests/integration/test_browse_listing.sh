#!/usr/bin/env bash
# What a listing shows under the three option combinations, the `.volume`
# entries and their empty mount directories, reads of images and of names
# that are not listed. (A flat file relocated by movara.json is read in
# test_image_merged.sh, bad relocation files are in test_browse_files.sh.)
# Flat images are served from loop and device-mapper devices: the test runs
# in the appliance sandbox.
RFS_TEST_SANDBOX=1
. "$(dirname "$0")/lib.sh"

S=$T/scratch
V=$T/vol
M=$T/mnt
mkscratch "$S" --preset basic
# A real disk.volume directory beside a descriptor: served as an ordinary
# entry, and no generated entry for disk.vmdk.
mkscratch "$S" --layout - <<'JSON'
{"vms": [{"name": "vm3", "disks": [{"name": "disk", "size": 4096}], "dirs": ["disk.volume"],
          "files": [{"name": "disk.volume/inside.vmx", "content": "text:real\n"}]}]}
JSON

expect() { printf '%s\n' "$@" | LC_ALL=C sort; }

# --- default: images, configuration files and one .volume per descriptor --
rfs_start "$M" -P "$S" --volume-path="$V" -L "$T"
# Stat of a .volume directory creates its empty mount directory; nothing is
# mounted (automatic mounting is off by default).
check_eq "no mount directory before the first look" "no" \
    "$([ -e "$V/vm2/raw.volume" ] && echo yes || echo no)"
check_eq ".volume is a directory" "directory" "$(stat -c %F "$M/vm2/raw.volume")"
check_eq "stat created the mount directory (0755)" "755 directory" "$(stat -c '%a %F' "$V/vm2/raw.volume")"
check_eq "root listing" "$(expect vm1 vm2 vm3)" "$(listing "$M")"
check_eq "vm1 default listing" \
    "$(expect data-flat.vmdk data.vmdk data.volume disk-flat.vmdk disk.vmdk disk.volume sub vm1.cfg vm1.vmx)" \
    "$(listing "$M/vm1")"
check_eq "vm2 default listing (rdm, rdmp, vmtx)" \
    "$(expect pass-rdmp.vmdk pass.vmdk pass.volume raw-rdm.vmdk raw.vmdk raw.volume vm2.vmtx)" \
    "$(listing "$M/vm2")"
check_eq "real disk.volume is listed once, without a generated twin" \
    "$(expect disk-flat.vmdk disk.vmdk disk.volume)" "$(listing "$M/vm3")"
check_eq "real disk.volume is served from the scratch tree" "inside.vmx" "$(listing "$M/vm3/disk.volume")"
check_contains "real disk.volume: the 'already exists' line is logged" "$(cat "$T/recovery_fs")" \
    "ERROR: $S//vm3/disk.volume directory already exists, can't create .volume mount point."

# Stream order: each .volume entry right before its descriptor.
order=$(python3 -c 'import os, sys; print(" ".join(os.listdir(sys.argv[1])))' "$M/vm1")
check_eq ".volume entry directly before its descriptor" "ok ok" "$(python3 - "$order" <<'PY'
import sys
names = sys.argv[1].split()
print(" ".join("ok" if names.index(d[:-5] + ".volume") + 1 == names.index(d) else "bad:" + " ".join(names)
               for d in ("data.vmdk", "disk.vmdk")))
PY
)"

# Not listed, but served by name.
check_eq "change-block file reads by name" "$(cat "$S/vm1/disk-tolcbt.vmdk" | sha256sum)" \
    "$(cat "$M/vm1/disk-tolcbt.vmdk" | sha256sum)"
check_eq "unknown file reads by name" "not an image" "$(cat "$M/vm1/notes.txt")"

# Images read as the scratch files (reads of every shape: test_image_merged.sh).
check_status "flat image reads whole" 0 cmp "$S/vm1/disk-flat.vmdk" "$M/vm1/disk-flat.vmdk"
check_status "random flat image reads whole" 0 cmp "$S/vm1/data-flat.vmdk" "$M/vm1/data-flat.vmdk"

# Inside a .volume directory while nothing is mounted.
check_eq ".volume directory lists empty" "" "$(listing "$M/vm1/disk.volume")"
check_errno "path inside an unmounted view" ENOENT stat "$M/vm1/disk.volume/x"
check_errno ".volume without a descriptor" ENOENT stat "$M/vm1/nodisk.volume"
check_errno "'.volumes' is an ordinary (missing) path" ENOENT stat "$M/vm1/disk.volumes"
check_contains "'.volumes' is logged as invalid" "$(cat "$T/recovery_fs")" \
    "Skipping invalid '.volume' file: /vm1/disk.volumes"
# Many clients at once: the handlers run on FUSE's worker threads.
stress() {
    local i f
    for i in $(seq 20); do
        for f in disk-flat.vmdk data-flat.vmdk vm1.vmx disk-tolcbt.vmdk; do
            cmp -s "$S/vm1/$f" "$M/vm1/$f" || { echo "differs: $f"; return 1; }
        done
        ls "$M/vm1" "$M/vm2" >/dev/null || return 1
        stat "$M/vm1/disk.volume" "$M/vm2/raw.volume" >/dev/null || return 1
    done
    echo ok
}
pids=()
for j in $(seq 8); do stress >"$T/stress.$j" 2>&1 & pids+=($!); done
for p in "${pids[@]}"; do wait "$p"; done
check_eq "8 concurrent clients read and list consistently" "$(printf 'ok\n%.0s' $(seq 8))" \
    "$(cat "$T"/stress.*)"

check_eq "nothing mounted below the volume path" "" \
    "$(awk -v v="$V" 'index($5, v) == 1' /proc/self/mountinfo)"
rfs_stop "$M"
check_eq "default: exit status" 0 "$RFS_EXIT"

# --- --hide-image-files: directories and .volume entries only ------------
rfs_start "$M" -P "$S" --volume-path="$V" --hide-image-files
check_eq "hide-image-files: vm1" "$(expect data.volume disk.volume sub)" "$(listing "$M/vm1")"
check_eq "hide-image-files: vm2" "$(expect pass.volume raw.volume)" "$(listing "$M/vm2")"
check_status "hide-image-files: images still open by name" 0 cmp "$S/vm1/disk-flat.vmdk" "$M/vm1/disk-flat.vmdk"
rfs_stop "$M"
check_eq "hide-image-files: exit status" 0 "$RFS_EXIT"

# --- --hide-file-level-view: no .volume entries, no view paths ------------
rfs_start "$M" -P "$S" --volume-path="$V" --hide-file-level-view
check_eq "hide-file-level-view: vm1" \
    "$(expect data-flat.vmdk data.vmdk disk-flat.vmdk disk.vmdk sub vm1.cfg vm1.vmx)" "$(listing "$M/vm1")"
check_eq "hide-file-level-view: vm2" \
    "$(expect pass-rdmp.vmdk pass.vmdk raw-rdm.vmdk raw.vmdk vm2.vmtx)" "$(listing "$M/vm2")"
check_errno "hide-file-level-view: no view paths" ENOENT stat "$M/vm1/disk.volume"
rfs_stop "$M"
check_eq "hide-file-level-view: exit status" 0 "$RFS_EXIT"

rfs_finish
