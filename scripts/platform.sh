# Sourced by the scripts: what this machine can run.
#
# tarvel_probe_32bit sets TARVEL_RUNS_32BIT (1 or 0) and TARVEL_NO_32BIT_REASON, and prints the
# verdict the first time in a run (the result is exported, so the scripts a script calls reuse it
# without printing it again). TARVEL_NO_32BIT=1 forces "no", so that the path of machines that
# cannot run 32-bit programs can be exercised anywhere.

tarvel_probe_32bit() {
  [ -n "${TARVEL_RUNS_32BIT:-}" ] && return 0
  local root src exe out rc
  root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  src="$root/tools/probe32/probe32.c"
  TARVEL_RUNS_32BIT=0
  if [ "${TARVEL_NO_32BIT:-0}" = 1 ]; then
    TARVEL_NO_32BIT_REASON="32-bit programs switched off by TARVEL_NO_32BIT=1"
  elif ! command -v gcc >/dev/null 2>&1; then
    TARVEL_NO_32BIT_REASON="no gcc to build the 32-bit probe"
  else
    exe=$(mktemp "${TMPDIR:-/tmp}/tarvel-probe32.XXXXXX")
    if ! out=$(gcc -m32 -static -nostdlib -ffreestanding -fno-pic -no-pie -O1 -o "$exe" "$src" 2>&1); then
      TARVEL_NO_32BIT_REASON="gcc cannot build a 32-bit program here ($(printf '%s' "$out" | head -n 1))"
    else
      rc=0; out=$("$exe" 2>&1) || rc=$?
      if [ $rc = 32 ]; then
        TARVEL_RUNS_32BIT=1
        TARVEL_NO_32BIT_REASON=
      else
        # bash's own message ends with the kernel's reason, e.g. "Exec format error".
        TARVEL_NO_32BIT_REASON="this machine cannot execute 32-bit programs (probe: ${out:+${out##*: }, }exit status $rc)"
      fi
    fi
    rm -f "$exe"
  fi
  export TARVEL_RUNS_32BIT TARVEL_NO_32BIT_REASON
  if [ $TARVEL_RUNS_32BIT = 1 ]; then
    echo "32-bit programs: this machine runs them; the x86 tests run"
  else
    echo "32-bit programs: cannot run ($TARVEL_NO_32BIT_REASON); the x86 module is built and checked, its tests are not run"
  fi
}
