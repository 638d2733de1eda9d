#!/usr/bin/env bash
# Bad input: names at the 255-byte limit, paths at the 4096-byte limit,
# malformed movara.json files, entries that cannot be read. Each gives a
# clear error; recovery_fs keeps serving and exits cleanly.
. "$(dirname "$0")/lib.sh"

S=$T/scratch
V=$T/vol
M=$T/mnt
L=$T/log
mkdir -p "$L"
mkscratch "$S" --preset sample

# --- names at the limit ----------------------------------------------------
d250=$(printf 'a%.0s' $(seq 245)).vmdk   # .volume form: 252 bytes
d252=$(printf 'b%.0s' $(seq 247)).vmdk   # .volume form: 254 bytes
d253=$(printf 'c%.0s' $(seq 248)).vmdk   # .volume form would be 255 bytes
n255=$(printf 'd%.0s' $(seq 251)).vmx    # the longest name there is
mkdir -p "$S/names"
for n in "$d250" "$d252" "$d253" "$n255"; do echo "$n" >"$S/names/$n"; done

# --- malformed relocation files: every flat file here is missing ---------
for vm in bad-json not-object missing-key number empty directory; do mkdir -p "$S/$vm"; done
printf '{"flat_directory": "store"' >"$S/bad-json/movara.json"
printf '["store"]\n' >"$S/not-object/movara.json"
printf '{"flat_dir": "store"}\n' >"$S/missing-key/movara.json"
printf '{"flat_directory": 42}\n' >"$S/number/movara.json"
: >"$S/empty/movara.json"
mkdir -p "$S/directory/movara.json"

# --- entries that cannot be read ------------------------------------------
mkdir -p "$S/locked/inner" "$S/odd"
echo secret >"$S/odd/secret.vmx"
chmod 000 "$S/locked" "$S/odd/secret.vmx"
ln -s loop-b.vmx "$S/odd/loop-a.vmx"
ln -s loop-a.vmx "$S/odd/loop-b.vmx"
ln -s nowhere "$S/odd/dangling.vmdk"
echo fine >"$S/odd/fine.vmx"
printf 'bytes\n' >"$S/odd/$(printf 'caf\xe9.vmx')"

# --- a path at the 4096-byte limit: directories of 200 bytes ---------------
deep_rel=$(python3 - "$S" <<'PY'
import os, sys
scratch = sys.argv[1]
comp = "e" * 200
fd = os.open(scratch, os.O_RDONLY)
parts = []
# Deep enough that "<scratch>/<path>" passes 4096 bytes by the last file.
while len(scratch) + 1 + len("/".join(parts + [comp])) < 3900:
    os.mkdir(comp, dir_fd=fd)
    nfd = os.open(comp, os.O_RDONLY, dir_fd=fd)
    os.close(fd)
    fd = nfd
    parts.append(comp)
base = len(scratch) + 1 + len("/".join(parts)) + 1   # "<scratch>/<dirs>/"
fits = 4095 - base              # translated path of 4095 bytes: still served
too_long = 4096 - base          # 4096 bytes: beyond the limit
for n in (fits, too_long):
    name = ("f" * (n - 4)) + ".vmx"
    with os.fdopen(os.open(name, os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=fd), "w") as f:
        f.write(str(n))
os.close(fd)
print("/".join(parts), fits, too_long)
PY
)
read -r deep fits too_long <<<"$deep_rel"

# Without the DAC capabilities root cannot pass mode 000 either, as on the
# appliance for files that the store's component locked.
rfs_priv=(setpriv --inh-caps=-dac_override,-dac_read_search --bounding-set=-dac_override,-dac_read_search)
mkdir -p "$M"
# rfs_start runs $RFS_BIN; wrap it for this test.
real_bin=$RFS_BIN
RFS_BIN=$T/rfs-wrapper
printf '#!/bin/sh\nexec %s "%s" "$@"\n' "${rfs_priv[*]}" "$real_bin" >"$RFS_BIN"
chmod +x "$RFS_BIN"
rfs_start "$M" -P "$S" --volume-path="$V" -L "$L"

listed=$(ls -A1 "$M/names")
check_contains "250-byte descriptor gets its 252-byte .volume" "$listed" "${d250%.vmdk}.volume"
check_contains "252-byte descriptor gets its 254-byte .volume" "$listed" "${d252%.vmdk}.volume"
check_not_contains "253-byte descriptor: no 255-byte .volume" "$listed" "${d253%.vmdk}.volume"
check_contains "253-byte descriptor itself is still listed" "$listed" "$d253"
check_contains "255-byte name is listed" "$listed" "$n255"
check_eq "255-byte name reads" "$n255" "$(cat "$M/names/$n255")"
check_errno "256-byte name" ENAMETOOLONG stat "$M/names/${n255}x"
check_contains "the missing .volume entry is logged" "$(cat "$L/recovery_fs")" \
    "recovery_fs_readdir: Failed to create '.volume' entry for $S/names/$d253"

for vm in bad-json not-object missing-key number empty directory; do
    check_errno "movara.json ($vm): flat file stays missing" ENOENT stat "$M/$vm/disk-flat.vmdk"
done
log=$(cat "$L/recovery_fs")
check_contains "malformed JSON is logged" "$log" "Could not get JSON object from $S/bad-json/movara.json"
check_contains "empty file is logged" "$log" "Could not get JSON object from $S/empty/movara.json"
check_contains "top level not an object is logged" "$log" \
    "Cannot get JSON sub_object \"flat_directory\" from $S/not-object/movara.json"
check_contains "missing key is logged" "$log" \
    "Cannot get JSON sub_object \"flat_directory\" from $S/missing-key/movara.json"
check_contains "number value is logged" "$log" \
    "JSON sub_object \"flat_directory\" from $S/number/movara.json is not a string"

check_eq "locked directory is listed" "yes" "$(ls "$M" | grep -qx locked && echo yes)"
check_errno "locked directory cannot be opened" EACCES listdir "$M/locked"
check_errno "locked file cannot be read (open fails as EIO)" EIO read "$M/odd/secret.vmx"
check_eq "unreadable entries are skipped, the rest is listed" \
    "$(printf '%s\n' "$(printf 'caf\xe9.vmx')" fine.vmx secret.vmx | LC_ALL=C sort)" "$(listing "$M/odd")"
check_errno "link loop" ELOOP stat "$M/odd/loop-a.vmx"
check_eq "non-UTF-8 name reads" "bytes" "$(cat "$M/odd/$(printf 'caf\xe9.vmx')")"

check_eq "4095-byte translated path is served" "$fits" "$(python3 - "$M/$deep" "$fits" <<'PY'
import os, sys
os.chdir(sys.argv[1].split("/e")[0])   # the mount point
for part in sys.argv[1][len(os.getcwd()) + 1:].split("/"):
    os.chdir(part)
name = "f" * (int(sys.argv[2]) - 4) + ".vmx"
print(open(name).read())
PY
)"
check_eq "4096-byte translated path: ENAMETOOLONG" "ENAMETOOLONG" "$(python3 - "$M/$deep" "$too_long" <<'PY'
import errno, os, sys
os.chdir(sys.argv[1].split("/e")[0])
for part in sys.argv[1][len(os.getcwd()) + 1:].split("/"):
    os.chdir(part)
try:
    os.stat("f" * (int(sys.argv[2]) - 4) + ".vmx")
    print("served")
except OSError as e:
    print(errno.errorcode[e.errno])
PY
)"

check_eq "still serving after all of it" "$(cat "$S/vm1/vm1.vmx")" "$(cat "$M/vm1/vm1.vmx")"
rfs_stop "$M"
check_eq "exit status after unmount" 0 "$RFS_EXIT"
rfs_finish
