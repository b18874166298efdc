#!/usr/bin/env bash
# Renders the control's user interface into docs/: the property page and the about box as
# Wine's X11 driver draws them on a virtual screen, and the design-time placeholder drawn
# through IViewObject::Draw.
#   tools/pictures/render.sh [BUILD_DIR [OUT_DIR]]
# BUILD_DIR (default build/x86) must hold tarvel_pictures; OUT_DIR defaults to docs/.
# Installs xvfb, x11-apps and imagemagick with apt-get when they are missing. Uses its own
# Wine prefix (build/pictures-prefix) with the X11 driver and undecorated windows, and stops
# Xvfb and that prefix's wineserver when it ends, however it ends.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
build=${1:-$root/build/x86}
case "$build" in /*) ;; *) build="$PWD/$build" ;; esac
exe="$build/tools/pictures/tarvel_pictures.exe"
docs=${2:-$root/docs}
if [ ! -f "$exe" ]; then
  echo "render.sh: $exe not found; build the tarvel_pictures target first" >&2
  exit 1
fi

missing=()
command -v Xvfb >/dev/null || missing+=(xvfb)
command -v xwd >/dev/null || missing+=(x11-apps)
[ -x /usr/bin/convert ] || missing+=(imagemagick)
if [ ${#missing[@]} -gt 0 ]; then
  apt-get install -y --no-install-recommends "${missing[@]}"
fi

# A 64-bit exe needs a win64 prefix; the PE header's machine field tells which one this is.
machine=$(od -An -tx2 -j "$(( $(od -An -tu4 -j60 -N4 "$exe") + 4 ))" -N2 "$exe" | tr -d ' ')
if [ "$machine" = 8664 ]; then arch=win64; else arch=win32; fi
export WINEARCH=$arch WINEPREFIX="$root/build/pictures-prefix-$arch" WINEDEBUG=-all
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d"

# A free display number: the first without a lock file.
display=90
while [ -e "/tmp/.X$display-lock" ]; do display=$((display + 1)); done
export DISPLAY=":$display"

xvfb_pid=
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  if [ -n "$xvfb_pid" ]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
}
trap cleanup EXIT INT TERM

Xvfb "$DISPLAY" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

if [ ! -d "$WINEPREFIX" ]; then
  wineboot -i >/dev/null 2>&1
fi
# X11 driver (the tests' prefixes use the null one), no window-manager frames.
wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d x11 /f >/dev/null 2>&1
wine reg add 'HKCU\Software\Wine\X11 Driver' /v Decorated /d N /f >/dev/null 2>&1
wineserver -w

mkdir -p "$docs"
# Shows one window for a few seconds and grabs it by its title once it is drawn.
capture() {  # mode title output
  local mode=$1 title=$2 out=$3
  timeout 60 wine "$exe" "$mode" 8 >/dev/null 2>&1 &
  local pid=$!
  local ok=0
  for _ in $(seq 60); do
    sleep 0.25
    if xwd -silent -name "$title" -out /dev/null 2>/dev/null; then ok=1; break; fi
  done
  sleep 1  # let the first paint finish
  if [ $ok = 1 ] && xwd -silent -name "$title" | convert xwd:- -strip "$out"; then
    echo "wrote $out"
  else
    echo "render.sh: no window titled '$title'" >&2
  fi
  wait "$pid" || true
  [ $ok = 1 ]
}

capture page "Tarvel Control Properties" "$docs/property-page.png"
capture about "About Tarvel Control" "$docs/about-box.png"

bmp=$(mktemp --suffix=.bmp)
timeout 60 wine "$exe" placeholder "$(winepath -w "$bmp")" >/dev/null 2>&1
# True size (48 x 48) enlarged four times without smoothing, so the edges stay visible.
convert "$bmp" -filter point -resize 400% -strip "$docs/placeholder.png"
rm -f "$bmp"
echo "wrote $docs/placeholder.png"
