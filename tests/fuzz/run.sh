#!/usr/bin/env bash
# Builds the fuzz targets of the backup readers (clang, libFuzzer, ASan,
# UBSan) in BUILD_DIR and runs each for SECONDS (60). Fails on any crash,
# hang, leak or sanitizer report; the input is left in <build>/fuzz-artifacts/
# (for regressions/<target>/).
set -euo pipefail

build=${1:?usage: run.sh BUILD_DIR [SECONDS]}
seconds=${2:-60}
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
targets=(fuzz_vmdk_descriptor fuzz_vmdk_extent_header fuzz_vmdk_chain fuzz_tolcbt
         fuzz_tol_vdsk_header fuzz_movara)

CC=clang CXX=clang++ cmake -S "$src" -B "$build" -DRFS_FUZZ=ON -DRFS_SANITIZE=address \
    -DRFS_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

corpus=$(mktemp -d /tmp/rfs-fuzz-corpus.XXXXXX)
trap 'rm -rf "$corpus"' EXIT
mkdir -p "$build/fuzz-artifacts"
for t in "${targets[@]}"; do mkdir -p "$corpus/$t"; done

# Seeds: the descriptor fixtures; every other target's under
# tests/data/fuzz/<target without "fuzz_" and "vmdk_">: extent files behind a
# type byte (0 hosted sparse, 1 COWD, 2 seSparse), descriptor chains split at
# "---" lines, change-block files behind a hole byte, flat-disk starts with a
# recovery header, relocation files.
cp "$src"/tests/data/vmdk/*.vmdk "$corpus/fuzz_vmdk_descriptor/"
for t in "${targets[@]:1}"; do
    seeds=${t#fuzz_}
    cp "$src/tests/data/fuzz/${seeds#vmdk_}"/* "$corpus/$t/"
done

for t in "${targets[@]}"; do
    echo "== $t for ${seconds}s"
    # -close_fd_mask=1: the readers' log lines (standard output) would drown
    # the fuzzer's own; its reports go to standard error.
    "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
        -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/fuzz-artifacts/$t-" "$corpus/$t"
done
echo "fuzzing: no findings"
