#!/usr/bin/env bash
# The main job: installs what is missing, builds both architectures, and runs the demo host
# against a virtual null-modem pair under Wine, printing every event it receives.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
status=0
for arch in x86 x64; do
  winearch=win32; [ $arch = x64 ] && winearch=win64
  echo "=== demo: $arch"
  "$root/tools/wine/wine-run.sh" $winearch "$root/build/$arch/wineprefix" \
      "$root/build/$arch/tools/demo/port_demo.exe" || status=1
done
"$root/tools/wine/wine-cleanup.sh" "$root/build" || true
exit $status
