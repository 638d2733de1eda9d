#!/usr/bin/env bash
# Builds the VMDK fuzz targets (clang, libFuzzer, ASan, UBSan) in BUILD_DIR and
# runs each for SECONDS (60). Fails on any crash, hang, leak or sanitizer
# report; the input is left in <build>/fuzz-artifacts/ (for regressions/<target>/).
set -euo pipefail

build=${1:?usage: run.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
targets=(fuzz_vmdk_descriptor fuzz_vmdk_extent_header)

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -DRFS_FUZZ=ON -DRFS_SANITIZE=address \
    -DRFS_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

corpus=$(mktemp -d /tmp/rfs-fuzz-corpus.XXXXXX)
trap 'rm -rf "$corpus"' EXIT
mkdir -p "$corpus/fuzz_vmdk_descriptor" "$corpus/fuzz_vmdk_extent_header" "$build/fuzz-artifacts"

# Seeds: the descriptor fixtures, and generated extent headers (a type byte,
# then the extent file: 0 hosted sparse, 1 COWD).
cp "$src"/tests/data/vmdk/*.vmdk "$corpus/fuzz_vmdk_descriptor/"
python3 - "$corpus/fuzz_vmdk_extent_header" <<'PY'
import struct, sys
out = sys.argv[1]
ceil = lambda a, b: -(-a // b)
def directory(entries, first, tables, gtes):
    """The grain directory (padded to sectors) and the tables it points at, from sector FIRST on."""
    gd, body = [], b""
    for i in range(entries):
        gd.append(first + len(body) // 512 if i in tables else 0)
        body += struct.pack(f"<{gtes}I", *tables[i]) if i in tables else b""
    return struct.pack(f"<{entries}I", *gd).ljust(ceil(entries * 4, 512) * 512, b"\0") + body
def sparse(capacity, grain, gtes, tables):
    hdr = struct.pack("<IIIQQQQIQQQBBBBB", 0x564D444B, 1, 3, capacity, grain, 0, 0, gtes, 0, 1, 0, 0, 10, 32, 13, 10)
    entries = ceil(capacity, grain * gtes)
    return (hdr.ljust(512, b"\0") + directory(entries, 1 + ceil(entries * 4, 512), tables, gtes)).ljust(2050, b"\0")
def cowd(sectors, grain, tables):
    hdr = struct.pack("<IIIIIIII", 0x44574F43, 1, 3, sectors, grain, 5, 0, 0).ljust(2560, b"\0")
    entries = ceil(sectors, grain * 4096)
    return hdr + directory(entries, 5 + ceil(entries * 4, 512), tables, 4096)
seeds = {
    "sparse-small": b"\0" + sparse(2048, 8, 512, {0: list(range(512))}),
    "sparse-edge": b"\0" + sparse(65537, 128, 512, {1: [7] * 512}),
    "cowd": b"\1" + cowd(8192, 1, {1: [3] * 4096}),
    "sesparse": b"\2" + cowd(4096, 1, {}),
}
for name, data in seeds.items():
    open(f"{out}/{name}", "wb").write(data)
PY

for t in "${targets[@]}"; do
    echo "== $t for ${seconds}s"
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "$corpus/$t"
done
echo "fuzzing: no findings"
