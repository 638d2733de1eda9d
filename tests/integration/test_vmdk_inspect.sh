#!/usr/bin/env bash
# vmdk-inspect against golden outputs for descriptors written the way VMware
# products write them, and against `qemu-img info` for sparse images and
# snapshot chains that qemu-img makes. Needs no root and no mounts.
set -euo pipefail

: "${RFS_BUILD_DIR:?}" "${RFS_SOURCE_DIR:?}"
inspect="$RFS_BUILD_DIR/tools/vmdk-inspect"
data="$RFS_SOURCE_DIR/tests/data/vmdk"
[[ -x $inspect ]] || { echo "missing $inspect"; exit 1; }
command -v qemu-img >/dev/null || { echo "qemu-img not installed (tools/setup-deps.sh)"; exit 77; }
command -v python3 >/dev/null || { echo "python3 not installed"; exit 77; }

work=$(mktemp -d /tmp/rfs-vmdk-inspect.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# 1. Golden JSON of each descriptor fixture (run from the data directory so
#    that filename and dirname are stable), and the text form runs too.
for desc in "$data"/*.vmdk; do
    name=$(basename "$desc" .vmdk)
    expected="$data/$name.json"
    [[ -f $expected ]] || { fail "$name: no golden output"; continue; }
    if ! (cd "$data" && "$inspect" --json "$name.vmdk") >"$work/$name.json" 2>"$work/$name.err"; then
        fail "$name: vmdk-inspect failed: $(cat "$work/$name.err")"
        continue
    fi
    python3 - "$expected" "$work/$name.json" <<'EOF' || fail "$name: differs from golden output"
import json, sys
want, got = (json.load(open(p)) for p in sys.argv[1:3])
if want != got:
    for k in sorted(set(want) | set(got)):
        if want.get(k) != got.get(k):
            print(f"  {k}: expected {want.get(k)!r}, got {got.get(k)!r}")
    sys.exit(1)
EOF
    (cd "$data" && "$inspect" "$name.vmdk") >/dev/null || fail "$name: text output failed"
done

# Compares the figures of a vmdk-inspect --chain --json report with
# `qemu-img info --backing-chain --output=json` of the same descriptor.
compare_with_qemu() {
    local desc=$1
    (cd "$(dirname "$desc")" && "$inspect" --chain --json "$(basename "$desc")") >"$work/ours.json" ||
        { fail "$desc: vmdk-inspect --chain failed"; return; }
    qemu-img info --backing-chain --output=json "$desc" >"$work/qemu.json"
    python3 - "$work/ours.json" "$work/qemu.json" <<'EOF' || fail "$desc: figures differ from qemu-img"
import json, os, sys
ours = json.load(open(sys.argv[1]))
qemu = json.load(open(sys.argv[2]))
if isinstance(qemu, dict):
    qemu = [qemu]
chain = ours["chain"]
bad = []
def check(what, a, b):
    if a != b:
        bad.append(f"{what}: vmdk-inspect {a!r}, qemu-img {b!r}")
check("chain length", len(chain), len(qemu))
for i, (o, q) in enumerate(zip(chain, qemu)):
    data = q["format-specific"]["data"]
    check(f"[{i}] cid", o["cid"], data["cid"])
    check(f"[{i}] pcid", o["pcid"], data["parent-cid"])
    extents = o["extentdesc"]
    check(f"[{i}] virtual size", sum(e["extentsize"] for e in extents) * 512, q["virtual-size"])
    qext = data.get("extents", [])
    check(f"[{i}] extent count", len(extents), len(qext))
    for k, (e, qe) in enumerate(zip(extents, qext)):
        check(f"[{i}.{k}] extent name", os.path.basename(e["extentname"]), os.path.basename(qe["filename"]))
        check(f"[{i}.{k}] extent size", e["extentsize"] * 512, qe["virtual-size"])
        gd = e.get("graindir")
        if gd is None:
            bad.append(f"[{i}.{k}] no graindir for a sparse extent")
            continue
        check(f"[{i}.{k}] grain size", gd["grainsize"] * 512, qe["cluster-size"])
        check(f"[{i}.{k}] capacity", gd["capacity"] * 512, qe["virtual-size"])
        per_table = gd["grainsize"] * gd["numgtespergt"]
        check(f"[{i}.{k}] gd_entry_count", gd["gd_entry_count"], -(-gd["capacity"] // per_table))
for b in bad:
    print("  " + b)
sys.exit(1 if bad else 0)
EOF
}

# 2. Sparse images made by qemu-img: split into 2 GiB extents, a snapshot
#    chain over them, and single-file sparse extents behind a descriptor of
#    our own (a single-file image's embedded descriptor is not a descriptor
#    file of the appliance).
mkdir -p "$work/img"
cd "$work/img"
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse one.vmdk 1G
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse three.vmdk 5000M
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse -b three.vmdk -F vmdk snap1.vmdk
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse -b snap1.vmdk -F vmdk snap2.vmdk
compare_with_qemu "$work/img/one.vmdk"
compare_with_qemu "$work/img/three.vmdk"
compare_with_qemu "$work/img/snap2.vmdk"

for size in 1M 100M 1025M; do
    qemu-img create -q -f vmdk -o subformat=monolithicSparse "mono-$size.vmdk" "$size"
    sectors=$(($(qemu-img info --output=json "mono-$size.vmdk" |
        python3 -c 'import json,sys; print(json.load(sys.stdin)["virtual-size"])') / 512))
    printf '# Disk DescriptorFile\nversion=1\nCID=fffffffe\nparentCID=ffffffff\ncreateType="monolithicSparse"\nRW %s SPARSE "mono-%s.vmdk"\n' \
        "$sectors" "$size" >"wrap-$size.vmdk"
    "$inspect" --chain --json "wrap-$size.vmdk" >"$work/wrap.json" || { fail "wrap-$size: vmdk-inspect failed"; continue; }
    qemu-img info --output=json "mono-$size.vmdk" >"$work/mono.json"
    python3 - "$work/wrap.json" "$work/mono.json" <<'EOF' || fail "mono-$size: figures differ from qemu-img"
import json, sys
gd = json.load(open(sys.argv[1]))["extentdesc"][0]["graindir"]
q = json.load(open(sys.argv[2]))
ok = gd["capacity"] * 512 == q["virtual-size"] and gd["grainsize"] * 512 == q["cluster-size"]
ok = ok and gd["gd_entry_count"] == -(-gd["capacity"] // (gd["grainsize"] * gd["numgtespergt"]))
if not ok:
    print("  ", gd, q["virtual-size"], q["cluster-size"])
sys.exit(0 if ok else 1)
EOF
done

# 3. Failures print the error line and exit non-zero.
expect_failure() {
    local what=$1 pattern=$2
    shift 2
    if "$inspect" "$@" >"$work/out" 2>"$work/err"; then
        fail "$what: succeeded"
    elif ! grep -q -- "$pattern" "$work/err"; then
        fail "$what: error line without '$pattern': $(cat "$work/err")"
    fi
}
rm "$work/img/three-s002.vmdk"
expect_failure "missing extent file" "three-s002.vmdk" --chain "$work/img/snap2.vmdk"
printf 'version=1\nCID=1\ncreateType="vmfs"\nRW 1 VMFS "x-flat.vmdk"\n' >"$work/img/nopcid.vmdk"
expect_failure "descriptor without parentCID" "(0) is corrupted" --chain "$work/img/nopcid.vmdk"
printf 'version=1' >"$work/img/unfinished.vmdk"
expect_failure "unfinished last line" "cannot parse the input file" "$work/img/unfinished.vmdk"
expect_failure "missing descriptor" "$work/img/none.vmdk" "$work/img/none.vmdk"
printf '\x00' | dd of="$work/img/one-s001.vmdk" bs=1 seek=0 conv=notrunc status=none
expect_failure "bad sparse magic" "not a hosted sparse extent" --chain --json "$work/img/one.vmdk"

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "vmdk-inspect: all checks passed"
