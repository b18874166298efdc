#!/usr/bin/env bash
# Runs one Windows program under Wine in a prefix that belongs to the build folder.
#   wine-run.sh win32|win64 PREFIX EXE [ARGS...]
# Used as CMAKE_CROSSCOMPILING_EMULATOR. On first use it creates the prefix (headless, no
# crash dialogs, no COM port mapped to a host serial device). When the native build holds the
# virtual null-modem test bed, it makes sure the test-bed daemon for this prefix runs and puts
# the test bed's preload library into the environment of wineserver and of every Wine process.
# wineserver is started detached and the program's output goes through files, so that ctest
# never waits on pipes that a process Wine started on demand inherited.
# ~/.wine is never used: WINEPREFIX is always the prefix given.
#
# Environment:
#   TARVEL_NO_32BIT=1   refuse win32 prefixes, as a machine that cannot run 32-bit programs would
#   TARVEL_TESTBED_BIN  folder with nullmodemd and preload/ (default: build/native/tools/testbed)
#   TARVEL_NO_TESTBED=1 run without the test bed
# Exported to the program: TARVEL_TESTBED_ADDR=127.0.0.1:<port> (the daemon's control channel)
# and TARVEL_TESTBED_STATE (the folder holding the test bed's state for this prefix).
set -u

if [ $# -lt 3 ]; then
  echo "usage: wine-run.sh win32|win64 PREFIX EXE [ARGS...]" >&2
  exit 2
fi
arch=$1 prefix=$2
shift 2
case "$arch" in win32|win64) ;; *) echo "wine-run.sh: bad WINEARCH $arch" >&2; exit 2 ;; esac
case "$prefix" in /*) ;; *) prefix="$PWD/$prefix" ;; esac

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
tb_bin=${TARVEL_TESTBED_BIN:-$here/../../build/native/tools/testbed}

export WINEARCH=$arch WINEPREFIX=$prefix WINEDEBUG=-all

# The loader that matches the prefix, never /usr/bin/wine's choice: with the 32-bit packages
# installed it picks the 32-bit loader, which cannot start where the kernel refuses 32-bit
# programs, so a 64-bit prefix would not work there at all.
case "$arch" in
  win64) loader=/usr/lib/wine/wine64 ;;
  win32) loader=/usr/lib/wine/wine ;;
esac
if [ "$arch" = win32 ] && [ "${TARVEL_NO_32BIT:-0}" = 1 ]; then
  # Stands for a machine that cannot run 32-bit programs: whatever needs one fails here too.
  echo "wine-run.sh: no 32-bit Wine: TARVEL_NO_32BIT=1" >&2
  exit 126
fi
if [ ! -x "$loader" ]; then
  echo "wine-run.sh: $loader is missing: a $arch prefix needs it (scripts/setup.sh installs it)" >&2
  exit 127
fi
export WINELOADER=$loader
wine() { "$loader" "$@"; }
# winedbg off: a crash ends the process at once. mscoree/mshtml off: no Mono/Gecko prompts.
export WINEDLLOVERRIDES="winedbg.exe=d;mscoree=d;mshtml=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
unset DISPLAY WAYLAND_DISPLAY

# The test bed's state (pty links, shared line state, control port) lives beside the prefix.
tb_state="$prefix.testbed"
use_testbed=0
if [ "${TARVEL_NO_TESTBED:-0}" != 1 ] && [ -x "$tb_bin/nullmodemd" ] \
   && [ -f "$tb_bin/preload/lib/x86_64-linux-gnu/libtarvel_nullmodem.so" ] \
   && [ -f "$tb_bin/preload/lib/i386-linux-gnu/libtarvel_nullmodem.so" ]; then
  use_testbed=1
fi

# Pool of virtual ports: COM10..COM49 and COM110..COM149; pair k < 20 has its ends on
# COM(10+2k) and COM(11+2k), pair k >= 20 the same from COM110. Nothing else is mapped (the
# preload hides host /dev/ttyS*, /dev/ttyUSB*, /dev/ttyACM* from Wine's port detection, so
# COM1..COM9, COM50..COM109 and COM150 and up do not exist in the prefix). A prefix mapped for
# another pool is mapped again.
pool_ports="$(seq 10 49) $(seq 110 149)"
ports_stamp() { echo "testbed=$use_testbed pool=10-49,110-149"; }
map_ports() {
  local reg="$prefix/tarvel-ports.reg" n
  {
    printf 'REGEDIT4\r\n\r\n[-HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n'
    if [ $use_testbed = 1 ]; then
      for n in $pool_ports; do printf '"COM%d"="%s/com%d"\r\n' "$n" "$tb_state" "$n"; done
    fi
    printf '\r\n'
  } > "$reg"
  wine regedit /S 'Z:'"$(printf '%s' "$reg" | tr / '\\')" </dev/null >/dev/null 2>&1 9>&-
  wineserver -k </dev/null >/dev/null 2>&1 9>&-
  wineserver -w </dev/null >/dev/null 2>&1 9>&-
  ports_stamp > "$prefix/.tarvel-ports"
}

create_prefix() {
  mkdir -p "$(dirname "$prefix")"
  rm -rf "$prefix"
  wine wineboot.exe -i </dev/null >/dev/null 2>&1 9>&-
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1 9>&-
  wine reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    </dev/null >/dev/null 2>&1 9>&-
  map_ports
  touch "$prefix/.tarvel-ready"
}

# Identity of the test-bed build: a rebuilt daemon or preload needs a fresh daemon and wineserver.
testbed_stamp() {
  stat -c '%Y %s' "$tb_bin/nullmodemd" "$tb_bin"/preload/lib/*/libtarvel_nullmodem.so 2>/dev/null | tr '\n' ' '
}

restart_if_rebuilt() {
  local stamp
  stamp=$(testbed_stamp)
  [ -f "$tb_state/stamp" ] || { mkdir -p "$tb_state"; echo "$stamp" > "$tb_state/stamp"; return; }
  [ "$(cat "$tb_state/stamp")" = "$stamp" ] && return
  local pid
  pid=$(cat "$tb_state/daemon.pid" 2>/dev/null)
  if [ -n "$pid" ] && tr '\0' ' ' < "/proc/$pid/cmdline" 2>/dev/null | grep -qF -- "$tb_state"; then
    kill "$pid" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  fi
  if [ -d "$prefix" ]; then
    wineserver -k </dev/null >/dev/null 2>&1 9>&-
    wineserver -w </dev/null >/dev/null 2>&1 9>&-
  fi
  echo "$stamp" > "$tb_state/stamp"
}

mkdir -p "$(dirname "$prefix")"
{
  flock 9
  if [ $use_testbed = 1 ]; then
    restart_if_rebuilt
    # Starts the daemon unless it already runs for this state folder; waits until it listens.
    if "$tb_bin/nullmodemd" --ensure --state "$tb_state" --prefix "$prefix" </dev/null >/dev/null 2>&1 9>&-; then
      # A wineserver that outlived its daemon maps the old daemon's shared state: restart it.
      daemon_pid=$(cat "$tb_state/daemon.pid" 2>/dev/null)
      if [ "$(cat "$tb_state/server-daemon" 2>/dev/null)" != "$daemon_pid" ]; then
        if [ -d "$prefix" ]; then
          wineserver -k </dev/null >/dev/null 2>&1 9>&-
          wineserver -w </dev/null >/dev/null 2>&1 9>&-
        fi
        echo "$daemon_pid" > "$tb_state/server-daemon"
      fi
      export LD_PRELOAD="$tb_bin/preload/\$LIB/libtarvel_nullmodem.so${LD_PRELOAD:+:$LD_PRELOAD}"
      export TARVEL_TESTBED_STATE="$tb_state"
      export TARVEL_TESTBED_ADDR="127.0.0.1:$(cat "$tb_state/port" 2>/dev/null)"
    else
      use_testbed=0
    fi
  fi
  if [ ! -f "$prefix/.tarvel-ready" ]; then
    create_prefix
  elif [ "$(cat "$prefix/.tarvel-ports" 2>/dev/null)" != "$(ports_stamp)" ]; then
    map_ports
  fi
  # Detached server start; the preload (if any) is in its environment from here on. It lingers
  # ten minutes after its last client, so that a test never starts against a server that is
  # just shutting down (between the build's generator runs and the tests, say);
  # wine-cleanup.sh ends it when the run is over.
  ( wineserver -p600; wine cmd /c exit ) </dev/null >/dev/null 2>&1 9>&-
} 9>"$prefix.lock"

# The program's output goes through files, not straight to the caller's pipes. Wine starts some
# processes on demand from whichever program first needs them (the desktop process, explorer.exe,
# for the first window; services), and they inherit that program's standard handles. Were
# those the caller's pipes, the caller (ctest, a command substitution) would wait for the pipes to
# close, that is for the desktop process, which stays as long as other Wine programs of the
# prefix keep coming: a test that had passed then hung until ctest's time-out. Each file is
# copied out as it grows, and the copying ends when the program itself has exited.
outdir=$(mktemp -d "${TMPDIR:-/tmp}/tarvel-wine-run.XXXXXX")
trap 'rm -rf "$outdir"' EXIT
: >"$outdir/out"; : >"$outdir/err"
"$loader" "$@" <&0 >"$outdir/out" 2>"$outdir/err" &
program=$!
tail -q -n +1 -s 0.05 --pid=$program -f "$outdir/out" &
copy_out=$!
tail -q -n +1 -s 0.05 --pid=$program -f "$outdir/err" >&2 &
copy_err=$!
trap 'kill $program $watch 2>/dev/null' TERM INT HUP
# wineserver 8 very rarely crashes under load. A process of the prefix can then be left with
# its main thread ended and another thread (the device-notification listener) blocked for
# ever: the process never exits and the caller would wait until its time-out. Such a process
# is ended here after its main thread has been gone for 10 s, and the run fails saying so.
watch_main_thread() {
  local gone=0
  while sleep 2 </dev/null >/dev/null 2>&1; do
    if grep -q '^State:[[:space:]]*Z' "/proc/$program/status" 2>/dev/null; then
      gone=$((gone + 2))
      if [ $gone -ge 10 ]; then
        echo "wine-run.sh: the program's main thread ended $gone s ago but the process did not exit (is wineserver gone?): ended" >&2
        kill -KILL $program 2>/dev/null
        return
      fi
    else
      gone=0
    fi
  done
}
watch_main_thread &
watch=$!
wait $program
rc=$?
kill $watch 2>/dev/null
wait $copy_out $copy_err
exit $rc
