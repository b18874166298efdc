#!/usr/bin/env bash
# Builds the libFuzzer targets of the pure units (tests/fuzz) in build/fuzz with clang,
# AddressSanitizer and UndefinedBehaviorSanitizer, and runs each for SECONDS.
#   scripts/fuzz.sh 30            CI: a short bounded run of every target
#   scripts/fuzz.sh 1800          by hand: a long run (the corpus in build/fuzz/corpus grows
#                                 from run to run)
#   scripts/fuzz.sh 60 fuzz_prop_blob   one target only
# Needs clang and libclang-rt-14-dev (Debian 12). Exits non-zero when a target finds a fault;
# the input that caused it is left in build/fuzz/artifacts/<target>/.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:?usage: scripts/fuzz.sh SECONDS [target...]}
shift
build="$root/build/fuzz"
jobs=$(nproc)

cmake -S "$root" -B "$build" -DTARVEL_NATIVE=ON -DTARVEL_FUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
      -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build "$build" -j "$jobs" --target fuzzers

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_device_names fuzz_dos_device_list fuzz_prop_blob fuzz_receive_buffer)
failed=()
for t in "${targets[@]}"; do
  corpus="$build/corpus/$t"
  artifacts="$build/artifacts/$t"
  mkdir -p "$corpus" "$artifacts"
  seeds=()
  [ -d "$root/tests/fuzz/seeds/$t" ] && seeds=("$root/tests/fuzz/seeds/$t")
  echo "== $t: $seconds s"
  # New inputs go to the first folder (the build's corpus); the seeds are only read.
  if "$build/tests/fuzz/$t" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -print_final_stats=1 -artifact_prefix="$artifacts/" "$corpus" "${seeds[@]}" \
       >"$build/$t.log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::peak_rss_mb)' "$build/$t.log" || true
  else
    tail -n 40 "$build/$t.log"
    failed+=("$t")
  fi
done
if [ ${#failed[@]} -gt 0 ]; then
  echo "fuzz.sh: faults found by: ${failed[*]} (inputs in $build/artifacts)" >&2
  exit 1
fi
echo "fuzz.sh: no fault found"
