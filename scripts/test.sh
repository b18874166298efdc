#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite: the native
# test-bed and pure-unit tests, then every Windows test under Wine for x86 and x64. Where this
# machine cannot run 32-bit programs, the x86 tests are reported as not run, with the reason, and
# the x64 build checks the x86 module without running it. Where it can, the path of machines
# that cannot is exercised too: the x86 module built in build/x86-no32 with 32-bit Wine refused.
# The fuzz targets of the pure units run briefly (TARVEL_FUZZ_SECONDS, default 10).
# Ends with one summary line per build folder and a total.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/platform.sh"
tarvel_probe_32bit
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

logs="$root/build/test-logs"
mkdir -p "$logs"
summaries=()
total_passed=0 total_failed=0 total_skipped=0
status=0

# summarize LABEL LOG [REASON]: one line from ctest's per-test result lines. "not run" are the
# tests this machine cannot run (REASON says why); "skipped" are those a test skipped itself.
summarize() {
  local label=$1 log=$2 reason=${3:-} results tests passed not_run skipped failed retried line
  # The last result line of each test counts (a retried test has two).
  results=$(awk 'match($0, /Test +#[0-9]+: /) { id = substr($0, RSTART, RLENGTH); last[id] = $0 }
                 END { for (id in last) print last[id] }' "$log")
  tests=$(grep -c . <<<"$results" || true)
  passed=$(grep -cE ' Passed +[0-9.]+ sec' <<<"$results" || true)
  not_run=$(grep -cF 'Not Run (Disabled)' <<<"$results" || true)
  skipped=$(grep -cF '***Skipped' <<<"$results" || true)
  failed=$((tests - passed - not_run - skipped))
  retried=$(grep -oE 'Start +[0-9]+:' "$log" | sort | uniq -d | wc -l)
  line="$label: $tests tests, $passed passed, $failed failed, $skipped skipped, $not_run not run"
  [ "$retried" -gt 0 ] && line+=", $retried run a second time after a failure (see $log)"
  [ "$not_run" -gt 0 ] && [ -n "$reason" ] && line+=" ($reason)"
  [ "$tests" -gt 0 ] || { line+=" (ctest ran nothing)"; failed=$((failed + 1)); }
  summaries+=("$line")
  total_passed=$((total_passed + passed))
  total_failed=$((total_failed + failed))
  total_skipped=$((total_skipped + skipped + not_run))
}

# list_not_run DIR REASON: a tree whose tests this machine cannot run. Its tests are listed, not
# started (ctest would only report each one as disabled).
list_not_run() {
  local dir=$1 reason=$2 count
  echo "=== tests: $dir (not run: $reason)"
  count=$(cd "$root/build/$dir" && ctest -N | grep -cE 'Test +#[0-9]+: ' || true)
  if [ "$count" -gt 0 ]; then
    summaries+=("$dir: $count tests, 0 passed, 0 failed, 0 skipped, $count not run ($reason)")
    total_skipped=$((total_skipped + count))
  else
    summaries+=("$dir: no tests registered"); total_failed=$((total_failed + 1)); status=1
  fi
}

run_ctest() {
  local dir=$1 reason=${2:-} rc=0
  echo "=== tests: $dir"
  # A test that fails is run once more: Wine processes very rarely crash or hang on their way
  # out after the test itself passed. A test that passes only the second time is named in the
  # summary, so nothing is hidden.
  (cd "$root/build/$dir" && ctest --output-on-failure -j 2 --timeout 600 --repeat until-pass:2) 2>&1 \
    | tee "$logs/$dir.log" || rc=$?
  [ $rc = 0 ] || status=1
  summarize "$dir" "$logs/$dir.log" "$reason"
}

# Where 32-bit programs run, the path of machines that cannot is checked as well: setup's plan,
# and the x86 module built with 32-bit Wine refused, byte for byte the same type library.
no32_path_check() {
  [ "$TARVEL_RUNS_32BIT" = 1 ] && [ "${TARVEL_NO_32BIT:-0}" != 1 ] || return 0
  echo "=== the path of machines that cannot run 32-bit programs (TARVEL_NO_32BIT=1)"
  plan=$(TARVEL_NO_32BIT=1 TARVEL_RUNS_32BIT= "$root/scripts/setup.sh" --plan)
  echo "$plan"
  if grep -q 'i386' <<<"$plan"; then echo "setup would install 32-bit packages"; status=1; fi
  if TARVEL_NO_32BIT=1 TARVEL_RUNS_32BIT= "$root/scripts/build.sh" x86-no32; then
    if cmp -s "$root/build/x86/res/tarvel.tlb" "$root/build/x86-no32/res/tarvel.tlb"; then
      echo "x86-no32: the type library is the same as build/x86's"
    else
      echo "x86-no32: the type library differs from build/x86's"; status=1
    fi
    list_not_run x86-no32 "32-bit programs switched off by TARVEL_NO_32BIT=1; each test program counts as one test"
  else
    echo "x86-no32: the build failed"; status=1
    summaries+=("x86-no32: build failed"); total_failed=$((total_failed + 1))
  fi
}

x86_reason=
[ "$TARVEL_RUNS_32BIT" = 1 ] || x86_reason="$TARVEL_NO_32BIT_REASON; each test program counts as one test"
run_ctest native
# The fuzz targets of the pure units, briefly (scripts/fuzz.sh SECONDS runs them longer).
echo "=== fuzz: each target for ${TARVEL_FUZZ_SECONDS:=10} s"
if "$root/scripts/fuzz.sh" "$TARVEL_FUZZ_SECONDS"; then
  summaries+=("fuzz: every target ran ${TARVEL_FUZZ_SECONDS} s without a fault")
else
  summaries+=("fuzz: a target found a fault or did not build (build/fuzz)"); total_failed=$((total_failed + 1)); status=1
fi
no32_path_check
if [ "$TARVEL_RUNS_32BIT" = 1 ]; then run_ctest x86; else list_not_run x86 "$x86_reason"; fi
run_ctest x64

"$root/tools/wine/wine-cleanup.sh" "$root/build" || true

echo
echo "=== summary"
printf '%s\n' "${summaries[@]}"
[ "$TARVEL_RUNS_32BIT" = 1 ] || echo "x86: not run because $TARVEL_NO_32BIT_REASON; the x64 build checked the x86 module (x86_module_tests)"
echo "total: $total_passed passed, $total_failed failed, $total_skipped skipped"
# The same count in ctest's words, over every tree that ran tests (tests not run are left out).
ran=$((total_passed + total_failed))
echo "$(( ran > 0 ? total_passed * 100 / ran : 0 ))% tests passed, $total_failed tests failed out of $ran"
[ $total_failed = 0 ] || status=1
exit $status
