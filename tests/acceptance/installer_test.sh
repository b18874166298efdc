#!/usr/bin/env bash
# TarvelSetup.exe in a fresh Wine prefix of its own: silent install, the installed control used
# by hosts of each architecture the prefix runs, silent uninstall, and nothing of it left.
#   installer_test.sh RUNNER win32|win64 PREFIX allusers|currentuser SETUP SCRIPTHOST SCRIPT PROGID_HOST_X86
# RUNNER is tools/wine/wine-run.sh; SCRIPTHOST (the x64 script host, with SCRIPT) and
# PROGID_HOST_X86 (the x86 ProgID host) are "-" where they are not to be run.
# Prints one line per failed check; exit code 0 only when none failed.
set -u
[ $# -eq 8 ] || { echo "usage: installer_test.sh RUNNER ARCH PREFIX SCOPE SETUP SCRIPTHOST SCRIPT PROGID_HOST_X86" >&2; exit 2; }
runner=$1 arch=$2 prefix=$3 scope=$4 setup=$5 scripthost=$6 script=$7 progid86=$8
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
run() { "$runner" "$arch" "$prefix" "$@"; }
winpath() { printf 'Z:%s' "$(printf '%s' "$1" | tr / '\\')"; }
# The registry as the prefix's files hold it: the server writes them when it ends.
flush_registry() { WINEPREFIX=$prefix wineserver -k >/dev/null 2>&1; WINEPREFIX=$prefix wineserver -w >/dev/null 2>&1; }
# The keys of a hive file (system.reg: HKLM, user.reg: HKCU) that name Tarvel or one of its
# identifiers (classes, type library, interfaces) in their path or in a value, one a line.
ids='tarvel|53220173-3b27-47cd-87d5-ed74d061e3cb|b933d96b-e080-41f1-b9e6-589b5fc1ce41|517a7093-e0e8-4ed0-8a8b-70f56be73894'
ids="$ids|9385b16e-95c8-4580-8452-589bb6aad14d|3b91b8fe-d1f2-46e0-bffc-17b4fd54f45b|35c2c9fc-a637-481b-a469-73c669eaec41"
ids="$ids|cde8f418-104d-4166-b135-c8a3aea82cbe"
tarvel_keys() {
  [ -f "$prefix/$1" ] || return 0
  awk -v ids="$ids" '
    /^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key); if (tolower(key) ~ ids) { print key; last = key }; next }
    tolower($0) ~ ids && key != last { print key; last = key }' "$prefix/$1"
}
# Wine's type-library registration writes the interfaces' keys through the machine's classes,
# in both views, whatever the registering process's classes root is (Windows writes them
# where the classes root points); its unregistration takes them away again.
without_wines_interface_keys() { grep -v -i -E '\\\\Interface\\\\\{(3b91b8fe|35c2c9fc)-'; }
file_list() { (cd "$prefix/drive_c" && find . | sort); }

case "$scope" in
  allusers) scope_flag=/ALLUSERS ;;
  currentuser) scope_flag=/CURRENTUSER ;;
  *) echo "installer_test.sh: bad scope $scope" >&2; exit 2 ;;
esac

# A fresh prefix: nothing of an earlier run may count as installed or as left behind.
flush_registry
rm -rf "$prefix"
run cmd /c exit || { echo "FAIL: the prefix could not be created"; exit 1; }
flush_registry
before=$(mktemp); trap 'rm -f "$before"' EXIT
file_list >"$before"
[ -z "$(tarvel_keys system.reg)$(tarvel_keys user.reg)" ] || fail "the fresh prefix already has Tarvel keys"

# ---- install ----------------------------------------------------------------------------------
run "$setup" /S "$scope_flag"
rc=$?
[ $rc -eq 0 ] || fail "TarvelSetup.exe /S $scope_flag exited with $rc"
uninstaller=$(find "$prefix/drive_c" -path '*/Tarvel/Uninstall.exe' | head -n 1)
if [ -z "$uninstaller" ]; then
  fail "no Tarvel/Uninstall.exe was installed"
  exit 1
fi
instdir=$(dirname "$uninstaller")
case "$scope" in
  allusers) expected="$prefix/drive_c/Program Files/Tarvel" ;;
  currentuser) expected=$(dirname "$(dirname "$instdir")")  # .../AppData/Local
               [ "$(basename "$expected")" = Local ] || fail "per-user folder $instdir is not under AppData/Local"
               expected="$expected/Programs/Tarvel" ;;
esac
[ "$instdir" = "$expected" ] || fail "installed into $instdir, not $expected"
for f in x86/Tarvel.ocx x86/TarvelUserReg.exe; do
  [ -f "$instdir/$f" ] || fail "$f was not installed"
done
if [ "$arch" = win64 ]; then
  for f in x64/Tarvel.ocx x64/TarvelUserReg.exe; do
    [ -f "$instdir/$f" ] || fail "$f was not installed on 64-bit Windows"
  done
else
  [ ! -e "$instdir/x64" ] || fail "the x64 module was installed on 32-bit Windows"
fi

flush_registry
# Where the registration and the Apps entry went: HKLM (system.reg) or HKCU (user.reg) only.
if [ "$scope" = allusers ]; then mine=system.reg other=user.reg; else mine=user.reg other=system.reg; fi
tarvel_keys "$mine" | grep -q -x '\[Software\\\\Classes\\\\QUENBY\.TarvelCtrl\.1\\\\CLSID\]' ||
  fail "the ProgID is not registered in $mine"
tarvel_keys "$mine" | grep -q -x '\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Tarvel\]' ||
  fail "no Apps entry in $mine"
stray=$(tarvel_keys "$other" | without_wines_interface_keys)
if [ -n "$stray" ]; then
  fail "a $scope install wrote Tarvel entries into $other:"
  printf '%s\n' "$stray" | head -n 20
fi
# The class's server is the installed module (under Wine the last one registered: Wine keeps
# one view of the user's classes, where Windows keeps a 32-bit one beside it).
grep -i -F -q "$(printf '%s' "${instdir#$prefix/drive_c/}" | sed 's|/|\\\\|g')" "$prefix/$mine" ||
  fail "no registration in $mine names the install folder"


# ---- the installed control, by its ProgID -----------------------------------------------------
# COM10 and COM12 are test-bed ports of this prefix; nothing else uses them here. Wine's COM
# looks classes up in the machine's classes only, so a per-user registration is seen by no
# host there: those runs are for Windows.
if [ "$scope" = currentuser ]; then
  echo "per-user install: hosts not run (Wine's COM does not read the user's classes)"
elif [ "$scripthost" != - ]; then
  out=$(run "$scripthost" "$(winpath "$script")" 10 2>&1)
  rc=$?
  [ $rc -eq 0 ] || fail "64-bit script host: exit $rc: $out"
fi
if [ "$progid86" != - ] && [ "$scope" = allusers ]; then
  out=$(run "$progid86" 12 2>&1)
  rc=$?
  [ $rc -eq 0 ] || fail "32-bit ProgID host: exit $rc: $out"
fi

# ---- uninstall --------------------------------------------------------------------------------
run "$uninstaller" /S
rc=$?
[ $rc -eq 0 ] || fail "Uninstall.exe /S exited with $rc"
# The uninstaller hands over to a copy of itself and returns at once; the copy removes the
# folder last. Bounded wait, not a timing check: a working uninstaller ends long before.
for _ in $(seq 240); do [ -d "$instdir" ] || break; sleep 0.5; done
[ ! -d "$instdir" ] || fail "the install folder is still there: $(cd "$instdir" && find . | tr '\n' ' ')"

# The uninstaller's copy of itself can only be deleted once it has ended: NSIS leaves it to the
# next restart, which wineboot -r is for a prefix.
run wineboot.exe -r || fail "wineboot -r failed"
flush_registry
for hive in system.reg user.reg; do
  if [ -n "$(tarvel_keys $hive)" ]; then
    fail "Tarvel entries left in $hive:"
    tarvel_keys $hive | head -n 20
  fi
done
# What stays: the empty folder in which the uninstaller's copy ran (NSIS's ~nsuN.tmp in the
# user's temp folder; the copy itself went at the restart). Anything else is a leftover.
after=$(file_list)
left=$(comm -13 "$before" <(printf '%s\n' "$after") | grep -v -x '\./users/[^/]*/Temp/~nsu[0-9A-Za-z]*\.tmp')
if [ -n "$left" ]; then
  fail "files left behind:"
  printf '%s\n' "$left" | head -n 20
fi

echo "installer $arch $scope: $failures failed checks"
[ $failures -eq 0 ]
