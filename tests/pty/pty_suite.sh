#!/usr/bin/env bash
# The registered control on real ptys, without the test bed: COM ports of a fresh prefix of
# its own are mapped to socat pty pairs, and nothing is preloaded.
#   pty_suite.sh RUNNER win32|win64 PREFIX OCX SCRIPTHOST CHECKS_JS PEER SOAK|- SOAK_SECONDS
# RUNNER is tools/wine/wine-run.sh, PEER the native tarvel_pty_peer, SOAK tarvel_soak.exe.
#   COM5          -> pair 1, tarvel_pty_peer on the far end (pty_checks.js: main, then reopen)
#   COM7 / COM8   -> pair 2, both ends in the prefix   } the random soak: the control on COM7
#   COM9 / COM10  -> pair 3, both ends in the prefix   } and COM9, its peers on COM8 and COM10
# Prints every check; exit code 0 only when all passed.
set -u
[ $# -eq 9 ] || { echo "usage: pty_suite.sh RUNNER ARCH PREFIX OCX SCRIPTHOST CHECKS_JS PEER SOAK SOAK_SECONDS" >&2; exit 2; }
runner=$1 arch=$2 prefix=$3 ocx=$4 scripthost=$5 checks=$6 peer=$7 soak=$8 soak_seconds=$9
links="$prefix.links"
failures=0
fail() { echo "FAIL $*"; failures=$((failures + 1)); }
# No test bed: no preload, no virtual ports, exactly what a user's prefix has.
run() { TARVEL_NO_TESTBED=1 "$runner" "$arch" "$prefix" "$@"; }
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }

command -v socat >/dev/null || { echo "FAIL socat is not installed (scripts/setup.sh installs it)"; exit 1; }
[ -x "$peer" ] || { echo "FAIL $peer is missing (scripts/build.sh native builds it)"; exit 1; }

# Only processes started here are ended here, by their ids.
declare -A socat_pid=()
peer_pid=
cleanup() {
  [ -n "$peer_pid" ] && kill "$peer_pid" 2>/dev/null
  for p in "${socat_pid[@]}"; do kill "$p" 2>/dev/null; done
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
}
trap cleanup EXIT

# start_pair NAME LINK_A LINK_B: a socat pty pair; returns once both links exist.
start_pair() {
  local name=$1 a=$2 b=$3
  rm -f "$a" "$b"
  socat pty,raw,echo=0,link="$a" pty,raw,echo=0,link="$b" </dev/null >/dev/null 2>&1 &
  socat_pid[$name]=$!
  for _ in $(seq 100); do [ -e "$a" ] && [ -e "$b" ] && return 0; sleep 0.05; done
  fail "socat made no pty pair for $name"
  return 1
}

# wait_gone PID SECONDS
wait_gone() {
  for _ in $(seq $(($2 * 10))); do kill -0 "$1" 2>/dev/null || return 0; sleep 0.1; done
  return 1
}

start=$(date +%s)
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
rm -rf "$prefix" "$links"
mkdir -p "$links"
run cmd /c exit || { echo "FAIL the prefix could not be created"; exit 1; }
start_pair p1 "$links/com5" "$links/far5" || exit 1
start_pair p2 "$links/com7" "$links/com8" || exit 1
start_pair p3 "$links/com9" "$links/com10" || exit 1
for n in 5 7 8 9 10; do
  run reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$links/com$n" /f >/dev/null || fail "mapping COM$n"
done
# The mapping takes effect when the server starts again.
WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1
WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1
run regsvr32.exe /s "$(winpath "$ocx")" || fail "regsvr32 $ocx exited with $?"
echo "prefix ready, control registered: $(( $(date +%s) - start )) s"

# start_peer: tarvel_pty_peer on the far end of pair 1. A pty stays up when the program on
# one end closes it, so the far end hangs up the way a bridge does: when the peer has exited
# (after HANGUP), its socat ends, which hangs up both ends.
start_peer() {
  ( "$peer" "$links/far5"; kill "${socat_pid[p1]}" 2>/dev/null ) &
  peer_pid=$!
}

echo "--- checks on COM5 (socat pty, tarvel_pty_peer on the far end)"
start_peer
run "$scripthost" "$(winpath "$checks")" main 5
rc=$?
[ $rc = 0 ] || fail "pty_checks.js main: $rc checks failed"
# After its HANGUP the peer is gone, and socat with it.
wait_gone "$peer_pid" 10 || { fail "the peer did not hang up"; kill "$peer_pid" 2>/dev/null; }
peer_pid=
wait_gone "${socat_pid[p1]}" 10 || { fail "socat did not end after the hang-up"; kill "${socat_pid[p1]}" 2>/dev/null; }

echo "--- the far end comes back"
start_pair p1 "$links/com5" "$links/far5" || exit 1
start_peer
run "$scripthost" "$(winpath "$checks")" reopen 5
rc=$?
[ $rc = 0 ] || fail "pty_checks.js reopen: $rc checks failed"

if [ "$soak" != - ]; then
  echo "--- random soak, $soak_seconds s, on COM7 and COM9 (peers on COM8 and COM10)"
  echo "    left out on ptys: line events, modem lines, hang-ups and unplug/replug (no test bed)"
  if [ -f "$soak" ]; then
    run "$soak" --ports 7,8,9,10 --seconds "$soak_seconds" || fail "the soak failed"
  else
    fail "$soak is missing"
  fi
fi

echo "pty suite: $failures failed, $(( $(date +%s) - start )) s"
[ $failures = 0 ]
