#!/usr/bin/env bash
# The main job: installs what is missing, builds the test bed and both architectures, then for
# x86 and x64 registers Tarvel.ocx with Wine's regsvr32 in a fresh Wine prefix of its own
# (build/demo/<arch>/wineprefix) and uses the registered control the way its users do:
#  - tarvel_demo.exe creates it by its ProgID, connects, sends, prints every CommEvent while a
#    peer echoes on the far end of a virtual null-modem pair, drives the modem lines, disconnects;
#  - the VBScript and JScript samples run in the project's script host against a pair whose far
#    end echoes (build/native/tools/testbed/nullmodem --echo B).
# Ends by itself; exit status 0 only when every step succeeded.
# Where this machine cannot run 32-bit programs, the x86 half is skipped with the reason.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/platform.sh"
tarvel_probe_32bit
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

winpath() { printf 'Z:%s' "$1" | tr / '\\'; }

# Runs one sample script on the A end of a freshly leased pair whose B end echoes.
run_sample() {
  local winearch=$1 prefix=$2 scripthost=$3 sample=$4 comA comB rc=0
  coproc NULLMODEM { exec "$root/build/native/tools/testbed/nullmodem" --prefix "$prefix" --echo B; }
  local nm_pid=$NULLMODEM_PID nm_in=${NULLMODEM[1]}
  read -r comA comB <&"${NULLMODEM[0]}" || { echo "no virtual pair"; return 1; }
  echo "--- $(basename "$sample") on $comA (the far end $comB echoes)"
  "$root/tools/wine/wine-run.sh" "$winearch" "$prefix" "$scripthost" "$(winpath "$sample")" "${comA#COM}" || rc=$?
  exec {nm_in}>&-   # ends the lease
  wait "$nm_pid" 2>/dev/null || true
  echo "--- exit code $rc"
  return $rc
}

# Fresh prefixes: whatever an earlier run left is ended and removed first.
demo_root="$root/build/demo"
"$root/tools/wine/wine-cleanup.sh" "$demo_root" || true
rm -rf "$demo_root"

status=0
arches=(x86 x64)
if [ "$TARVEL_RUNS_32BIT" != 1 ]; then
  echo "=== x86: skipped: $TARVEL_NO_32BIT_REASON (the x86 Tarvel.ocx was built; scripts/test.sh checks it)"
  arches=(x64)
fi
for arch in "${arches[@]}"; do
  winearch=win32; [ $arch = x64 ] && winearch=win64
  build="$root/build/$arch"
  prefix="$demo_root/$arch/wineprefix"
  echo "=== $arch: creating the Wine prefix $prefix"
  mkdir -p "$(dirname "$prefix")"
  echo "=== $arch: regsvr32 Tarvel.ocx"
  if ! "$root/tools/wine/wine-run.sh" $winearch "$prefix" regsvr32.exe /s "$(winpath "$build/server/Tarvel.ocx")"; then
    echo "regsvr32 failed"
    status=1
    continue
  fi
  echo "registered $(winpath "$build/server/Tarvel.ocx")"
  echo "=== $arch: tarvel_demo (the control by its ProgID)"
  "$root/tools/wine/wine-run.sh" $winearch "$prefix" "$build/tools/demo/tarvel_demo.exe" || status=1
  echo "=== $arch: samples in the script host"
  for sample in "$root/samples/vbscript/echo.vbs" "$root/samples/jscript/echo.js"; do
    run_sample $winearch "$prefix" "$build/tools/scripthost/tarvel_scripthost.exe" "$sample" || status=1
  done
done
"$root/tools/wine/wine-cleanup.sh" "$demo_root" || true
[ $status = 0 ] && echo "=== demo finished: all steps succeeded" || echo "=== demo finished: some steps FAILED"
exit $status
