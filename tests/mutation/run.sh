#!/usr/bin/env bash
# Applies each mutation of mutations.tsv to the product code in turn, rebuilds
# the test programs that its selector names, runs those tests and puts the
# file back. A mutation is caught when a selected test fails.
#
#   tests/mutation/run.sh [--src DIR] [--list FILE] [--no-check] [build-dir] [id...]
#
# --src DIR     the source tree to mutate (default: this script's tree); the
#               build directory must be configured from it
# --list FILE   the mutation list (default: mutations.tsv beside this script)
# --no-check    skip the first run of the selected tests without mutations
# build-dir     default DIR/build, configured (RelWithDebInfo) when missing
# id...         only these mutations
#
# Prints one line per mutation, "ID caught|missed|n/a|build-failed", and a
# summary. Build and test output goes to build-dir/mutation-logs.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
src=$(cd "$here/../.." && pwd)
list="$here/mutations.tsv"
check=1
while [ $# -gt 0 ]; do
    case "$1" in
    --src) src=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --list) list=$(cd "$(dirname "$2")" && pwd)/$(basename "$2"); shift 2 ;;
    --no-check) check=0; shift ;;
    -h|--help) sed -n '2,16p' "$0"; exit 0 ;;
    *) break ;;
    esac
done
build="$src/build"
if [ $# -gt 0 ] && { [ -d "$1" ] || [[ "$1" == */* ]]; }; then
    build="$1"
    shift
fi
wanted=("$@")
jobs=2

[ -f "$build/CMakeCache.txt" ] ||
    cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null || exit 2
build=$(cd "$build" && pwd)
logs="$build/mutation-logs"
mkdir -p "$logs"

# The file under mutation and its saved content, put back on any exit.
saved=$(mktemp)
current=""
restore() {
    if [ -n "$current" ]; then
        cat "$saved" >"$current" # a new mtime, so that the next build recompiles it
        current=""
    fi
}
trap 'restore; rm -f "$saved"' EXIT
trap 'restore; echo "interrupted" >&2; exit 130' INT TERM

# Replaces the one occurrence of $2 in file $1 by $3; status 3 when $2 does
# not occur exactly once. \n, \t and \\ in $2 and $3 stand for themselves.
apply() {
    python3 - "$@" <<'EOF'
import sys
def unescape(s):
    return s.replace('\\\\', '\0').replace('\\n', '\n').replace('\\t', '\t').replace('\0', '\\')
path, old, new = sys.argv[1], unescape(sys.argv[2]), unescape(sys.argv[3])
text = open(path).read()
if text.count(old) != 1:
    sys.exit(3)
open(path, 'w').write(text.replace(old, new))
EOF
}

# The ctest arguments of a selector.
ctest_args() {
    case "$1" in
    integration:* | conformance:*) echo "-L ${1%%:*} -R ${1#*:}" ;;
    *) echo "-L unit -R $1" ;;
    esac
}

# The unit test programs that run the tests of a selector.
unit_targets() {
    ctest --test-dir "$build" -N -L unit -R "$1" --show-only=json-v1 2>/dev/null |
        jq -r '.tests[].command[0]' | xargs -r -n1 basename | sort -u
}

# Builds what a selector needs: its unit test programs, or everything.
build_for() {
    case "$1" in
    integration:* | conformance:*) cmake --build "$build" -j"$jobs" ;;
    *) cmake --build "$build" -j"$jobs" --target $(unit_targets "$1") ;;
    esac
}

run_tests() {
    # shellcheck disable=SC2046
    ctest --test-dir "$build" $(ctest_args "$1") --timeout 120 -j"$jobs" --output-on-failure
}

selected() {
    [ ${#wanted[@]} -eq 0 ] && return 0
    local w
    for w in "${wanted[@]}"; do [ "$w" = "$1" ] && return 0; done
    return 1
}

# Fields are split at \037 rather than at TABs: read merges adjacent TABs,
# which would lose an empty replacement.
mapfile -t rows < <(grep -v '^#' "$list" | grep -v '^[[:space:]]*$' | tr '\t' '\037')

# All unit test programs first: the selectors are resolved against the tests
# they register.
all_units=$(cmake --build "$build" --target help | sed -n 's/^\.\.\. \(unit_[a-z_]*\).*/\1/p')
cmake --build "$build" -j"$jobs" --target $all_units >"$logs/prebuild.log" 2>&1 ||
    { echo "mutation: the unmutated build fails, see $logs/prebuild.log" >&2; exit 2; }

if [ $check -eq 1 ]; then
    sels=()
    for row in "${rows[@]}"; do
        IFS=$'\037' read -r id _ _ _ sel _ <<<"$row"
        selected "$id" && [[ "$sel" != *:* ]] && sels+=("($sel)")
    done
    if [ ${#sels[@]} -gt 0 ]; then
        union=$(IFS='|'; echo "${sels[*]}")
        run_tests "$union" >"$logs/check.log" 2>&1 ||
            { echo "mutation: the selected tests fail without mutations, see $logs/check.log" >&2; exit 2; }
    fi
fi

declare -A count=([caught]=0 [missed]=0 [n/a]=0 [build-failed]=0)
missed=()
for row in "${rows[@]}"; do
    IFS=$'\037' read -r id file old new sel _ <<<"$row"
    selected "$id" || continue
    log="$logs/$id.log"
    result=""
    cp "$src/$file" "$saved" 2>/dev/null || result="n/a"
    if [ -z "$result" ]; then
        current="$src/$file"
        apply "$src/$file" "$old" "$new"
        case $? in
        0) ;;
        3) result="n/a"; current="" ;;
        *) echo "mutation: cannot apply $id" >&2; restore; exit 2 ;;
        esac
    fi
    if [ -z "$result" ] && [[ "$sel" != *:* ]] && [ -z "$(unit_targets "$sel")" ]; then
        result="n/a" # the selector names no test
    fi
    if [ -z "$result" ]; then
        if ! build_for "$sel" >"$log" 2>&1; then
            result="build-failed"
        elif run_tests "$sel" >>"$log" 2>&1; then
            result="missed"
        else
            result="caught"
        fi
        # make and ctest handle a Ctrl-C themselves, so bash skips the INT
        # trap; their "Interrupt" in the log tells (not in a test's name on
        # ctest's progress lines).
        if [ "$result" != missed ] && grep -v -E '^ *Start +[0-9]+:|Test +#[0-9]+:' "$log" | grep -q 'Interrupt'; then
            restore
            echo "interrupted" >&2
            exit 130
        fi
    fi
    restore
    echo "$id $result"
    count[$result]=$((count[$result] + 1))
    [ "$result" = missed ] && missed+=("$id")
done

total=$((count[caught] + count[missed] + count[n/a] + count[build-failed]))
echo "summary: $total mutations, ${count[caught]} caught, ${count[missed]} missed," \
    "${count[n/a]} n/a, ${count[build-failed]} build-failed"
[ ${#missed[@]} -eq 0 ] || echo "missed: ${missed[*]}"
