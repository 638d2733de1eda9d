# Shared start of the benchmark scripts: root, the build to measure
# (RFS_BUILD_DIR, default build/), and a run inside the appliance sandbox.
# Sourced as the script's first step; "$@" is the script's arguments.
SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export RFS_BUILD_DIR=${RFS_BUILD_DIR:-$SRC/build}
B=$RFS_BUILD_DIR
[ "$(id -u)" -eq 0 ] || { echo "needs root" >&2; exit 1; }
[ "${1:-}" = --inside ] || exec "$SRC/platform/sandbox" bash "$0" --inside "$@"
