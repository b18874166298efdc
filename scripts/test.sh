#!/usr/bin/env bash
# Installs what is missing, builds everything and runs the whole test suite:
# the native test-bed and pure-unit tests, then every Windows test under Wine for x86 and x64.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

status=0
for dir in native x86 x64; do
  echo "=== tests: $dir"
  (cd "$root/build/$dir" && ctest --output-on-failure -j 2 --timeout 600) || status=1
done
"$root/tools/wine/wine-cleanup.sh" "$root/build" || true
exit $status
