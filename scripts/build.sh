#!/usr/bin/env bash
# Builds the native test bed and both Windows architectures into build/.
#   scripts/build.sh            all three
#   scripts/build.sh x86|x64|native ...
#   scripts/build.sh x86-no32   the x86 module alone, in build/x86-no32, as a machine that cannot
#                               run 32-bit programs builds it (its tests registered as not run)
# Nothing here runs a 32-bit program: the x86 build's generators run natively or as 64-bit
# Windows programs. Where 32-bit programs cannot run, the x86 tests are built and registered
# as not run, and the x64 build checks the x86 module without running it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/platform.sh"
tarvel_probe_32bit
jobs=$(nproc)

configure() {
  local dir=$1; shift
  # Configure every time: folders that appear later (if(EXISTS) in the lists) are picked up.
  cmake -S "$root" -B "$root/build/$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
}

x86_flags() {
  local run=ON
  [ "$TARVEL_RUNS_32BIT" = 1 ] || run=OFF
  echo "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchain-i686.cmake" "-DTARVEL_RUN_TESTS=$run"
}

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native x86 x64)
for t in "${targets[@]}"; do
  case "$t" in
    native) configure native -DTARVEL_NATIVE=ON
            cmake --build "$root/build/native" -j "$jobs" ;;
    x86) configure x86 $(x86_flags) "-DTARVEL_TESTS_NOT_RUN_REASON=$TARVEL_NO_32BIT_REASON"
         cmake --build "$root/build/x86" -j "$jobs" ;;
    x86-no32) configure x86-no32 "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchain-i686.cmake" -DTARVEL_RUN_TESTS=OFF \
                "-DTARVEL_TESTS_NOT_RUN_REASON=32-bit programs switched off by TARVEL_NO_32BIT=1"
              TARVEL_NO_32BIT=1 cmake --build "$root/build/x86-no32" -j "$jobs" --target tarvel_ocx ;;
    x64) configure x64 "-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchain-x86_64.cmake" \
           "-DTARVEL_X86_MODULE=$root/build/x86/server/Tarvel.ocx" "-DTARVEL_X86_RUNS=$TARVEL_RUNS_32BIT"
         cmake --build "$root/build/x64" -j "$jobs" ;;
    *) echo "build.sh: unknown target $t" >&2; exit 2 ;;
  esac
done
