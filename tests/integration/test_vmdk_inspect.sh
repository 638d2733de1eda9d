#!/usr/bin/env bash
# vmdk-inspect against golden outputs for descriptors written the way VMware
# products write them, and against `qemu-img info` for sparse images and
# snapshot chains that qemu-img makes. Needs no root and no mounts.
set -uo pipefail

: "${RFS_BUILD_DIR:?}" "${RFS_SOURCE_DIR:?}"
inspect="$RFS_BUILD_DIR/tools/vmdk-inspect"
data="$RFS_SOURCE_DIR/tests/data/vmdk"
[[ -x $inspect ]] || { echo "missing $inspect"; exit 1; }
command -v qemu-img >/dev/null || { echo "qemu-img not installed (tools/setup-deps.sh)"; exit 77; }

work=$(mktemp -d /tmp/rfs-vmdk-inspect.XXXXXX)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# compare_chain OURS THEIRS: a --chain report against qemu-img info --backing-chain.
compare_chain() {
    python3 - "$@" <<'EOF'
import json, os, sys
ours, theirs = json.load(open(sys.argv[1])), json.load(open(sys.argv[2]))
bad = []
def check(what, a, b):
    if a != b:
        bad.append(f"{what}: vmdk-inspect {a!r}, expected {b!r}")
def graindir(where, gd, q):
    if not gd:
        return bad.append(where + " no graindir for a sparse extent")
    check(where + " grain size", gd["grainsize"] * 512, q["cluster-size"])
    check(where + " capacity", gd["capacity"] * 512, q["virtual-size"])
qemu = theirs if isinstance(theirs, list) else [theirs]
check("chain length", len(ours["chain"]), len(qemu))
for i, (o, q) in enumerate(zip(ours["chain"], qemu)):
    data = q["format-specific"]["data"]
    extents, qext = o["extentdesc"], data.get("extents", [])
    check(f"[{i}] cid pcid size extents", (o["cid"], o["pcid"], sum(e["extentsize"] for e in extents) * 512, len(extents)),
          (data["cid"], data["parent-cid"], q["virtual-size"], len(qext)))
    for k, (e, qe) in enumerate(zip(extents, qext)):
        check(f"[{i}.{k}] extent name, size", (os.path.basename(e["extentname"]), e["extentsize"] * 512),
              (os.path.basename(qe["filename"]), qe["virtual-size"]))
        graindir(f"[{i}.{k}]", e.get("graindir", {}), qe)
print("".join("  " + b + "\n" for b in bad), end="")
sys.exit(1 if bad else 0)
EOF
}

# 1. Golden JSON of each descriptor fixture (run from the data directory so
#    that filename and dirname are stable), and the text form runs too.
for desc in "$data"/*.vmdk; do
    name=$(basename "$desc" .vmdk)
    [[ -f $data/$name.json ]] || { fail "$name: no golden output"; continue; }
    if ! (cd "$data" && "$inspect" --json "$name.vmdk") >"$work/$name.json" 2>"$work/$name.err"; then
        fail "$name: vmdk-inspect failed: $(cat "$work/$name.err")"
        continue
    fi
    diff <(python3 -m json.tool --sort-keys "$work/$name.json") <(python3 -m json.tool --sort-keys "$data/$name.json") ||
        fail "$name: differs from golden output"
    (cd "$data" && "$inspect" "$name.vmdk") >/dev/null || fail "$name: text output failed"
done

# 2. Sparse images made by qemu-img: split into 2 GiB extents and a snapshot
#    chain over them.
mkdir -p "$work/img"
cd "$work/img"
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse one.vmdk 1G
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse three.vmdk 5000M
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse -b three.vmdk -F vmdk snap1.vmdk
qemu-img create -q -f vmdk -o subformat=twoGbMaxExtentSparse -b snap1.vmdk -F vmdk snap2.vmdk
for desc in one three snap2; do
    qemu-img info --backing-chain --output=json "$desc.vmdk" >"$work/qemu.json"
    "$inspect" --chain --json "$desc.vmdk" >"$work/ours.json" || { fail "$desc: vmdk-inspect --chain failed"; continue; }
    compare_chain "$work/ours.json" "$work/qemu.json" || fail "$desc: figures differ from qemu-img"
done

# 3. Failures print the error line and exit non-zero (the texts of each
#    refusal are the unit tests').
rm three-s002.vmdk
while IFS='|' read -r what pattern args; do
    # shellcheck disable=SC2086 # the arguments are words
    if "$inspect" $args >"$work/out" 2>"$work/err"; then
        fail "$what: succeeded"
    elif ! grep -q -- "$pattern" "$work/err"; then
        fail "$what: error line without '$pattern': $(cat "$work/err")"
    fi
done <<EOF
missing extent file|three-s002.vmdk|--chain snap2.vmdk
missing descriptor|none.vmdk|none.vmdk
EOF

((failures == 0)) || { echo "$failures failure(s)"; exit 1; }
echo "vmdk-inspect: all checks passed"
