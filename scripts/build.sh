#!/usr/bin/env bash
# Builds the native test bed and both Windows architectures into build/.
#   scripts/build.sh            all three
#   scripts/build.sh x86|x64|native
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=$(nproc)

configure_and_build() {
  local dir=$1; shift
  # Configure every time: folders that appear later (if(EXISTS) in the lists) are picked up.
  cmake -S "$root" -B "$root/build/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$root/build/$dir" -j "$jobs"
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native x86 x64)
for t in "${targets[@]}"; do
  case "$t" in
    native) configure_and_build native -DTARVEL_NATIVE=ON ;;
    x86) configure_and_build x86 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-i686.cmake" ;;
    x64) configure_and_build x64 -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64.cmake" ;;
    *) echo "build.sh: unknown target $t" >&2; exit 2 ;;
  esac
done
