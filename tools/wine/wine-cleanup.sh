#!/usr/bin/env bash
# Ends what the test runs started for the Wine prefixes under BUILDROOT:
# their wineservers (and with them every Wine process of those prefixes) and the
# null-modem test-bed daemons. Only processes that belong to those prefixes are touched.
#   wine-cleanup.sh BUILDROOT
set -u
root=${1:?usage: wine-cleanup.sh BUILDROOT}
[ -d "$root" ] || exit 0
root=$(cd "$root" && pwd)

for ready in "$root"/*/wineprefix*/.tarvel-ready "$root"/*/*/wineprefix*/.tarvel-ready; do
  [ -f "$ready" ] || continue
  prefix=$(dirname "$ready")
  WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1 || true
done
for pidfile in "$root"/*/wineprefix*.testbed/daemon.pid "$root"/*/*/wineprefix*.testbed/daemon.pid; do
  [ -f "$pidfile" ] || continue
  pid=$(cat "$pidfile" 2>/dev/null)
  # Only a daemon whose command line names this state folder is ours to end.
  if [ -n "$pid" ] && tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$(dirname "$pidfile")"; then
    kill "$pid" 2>/dev/null || true
  fi
done
exit 0
