#!/usr/bin/env bash
# A setup package in a fresh Wine prefix of its own: silent install, the installed control used
# by hosts of each architecture the prefix runs, silent uninstall, and nothing of it left.
#   installer_test.sh RUNNER win32|win64 PREFIX SCOPES SETUP SCRIPTHOST SCRIPT PROGID_HOST_X86 \
#                     [PROGID_HOST_X64 DEPLOY SIGN]
# RUNNER is tools/wine/wine-run.sh; SCRIPTHOST (the x64 script host, with SCRIPT) and the
# ProgID hosts are "-" where they are not to be run. SCOPES is allusers, currentuser or both
# separated by a comma (run one after the other in the same prefix).
# SETUP is TarvelSetup.exe or an MSI package. For a package, DEPLOY (the build's deploy/
# folder: each module with its registrar and assembly manifest) and SIGN (scripts/sign.sh) add:
#   - before anything is installed, each module used without registration: a host whose own
#     manifest names the module's assembly creates it by CLSID and ProgID, gets its type
#     information and its CommEvent; the same host without its manifest is refused;
#   - the files signed with a throwaway certificate and their signatures verified; the signed
#     package is the one installed;
#   - a repair that puts back a deleted module and a deleted key;
#   - after the uninstall, the signed modules registered with regsvr32: the registry must be
#     the package's apart from paths, and the hosts must work with them.
# Prints one line per failed check; exit code 0 only when none failed.
set -u
[ $# -eq 8 ] || [ $# -eq 11 ] ||
  { echo "usage: installer_test.sh RUNNER ARCH PREFIX SCOPES SETUP SCRIPTHOST SCRIPT PROGID_HOST_X86 [PROGID_HOST_X64 DEPLOY SIGN]" >&2; exit 2; }
runner=$1 arch=$2 prefix=$3 scopes=$4 setup=$5 scripthost=$6 script=$7 progid86=$8
progid64=${9:--} deploy=${10:--} sign=${11:--}
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
# Every key and value under Software\Classes of a hive that names Tarvel or the safety
# categories, one "key value" a line, sorted, with the paths of modules and folders replaced:
# what a registration wrote, wherever its files were.
cats='7dd95801-9882-11cf-9fa9-00aa006c42c4|7dd95802-9882-11cf-9fa9-00aa006c42c4'
classes_dump() {
  awk -v ids="$ids|$cats" '
    /^\[/ { key = $0; sub(/\] [0-9]+$/, "]", key)
            keep = tolower(key) ~ ids && key ~ /^\[Software\\\\Classes\\\\/ && key !~ /\\\\Installer\\\\/
            if (keep) print key; next }
    /^#/ || /^$/ { next }
    keep { print key " " $0 }' "$prefix/$1" |
  sed -E 's/"(\\\\\\\\\?\\\\)?[A-Za-z]:\\\\[^"]*\\\\Tarvel\.ocx/"<module>/; s/"(\\\\\\\\\?\\\\)?[A-Za-z]:\\\\[^"]*"/"<folder>"/' | sort -u
}
# Wine's type-library registration writes the interfaces' keys through the machine's classes,
# in both views, whatever the registering process's classes root is (Windows writes them
# where the classes root points); its unregistration takes them away again.
without_wines_interface_keys() { grep -v -i -E '\\\\Interface\\\\\{(3b91b8fe|35c2c9fc)-'; }
file_list() { (cd "$prefix/drive_c" && find . | sort); }
is_msi() { case "$setup" in *.msi) return 0 ;; *) return 1 ;; esac; }

for scope in ${scopes//,/ }; do
  case "$scope" in allusers|currentuser) ;; *) echo "installer_test.sh: bad scope $scope" >&2; exit 2 ;; esac
done

# A fresh prefix: nothing of an earlier run may count as installed or as left behind.
flush_registry
rm -rf "$prefix"
run cmd /c exit || { echo "FAIL: the prefix could not be created"; exit 1; }
flush_registry
work=$(mktemp -d); trap 'rm -rf "$work"' EXIT
before=$work/before
file_list >"$before"
[ -z "$(tarvel_keys system.reg)$(tarvel_keys user.reg)" ] || fail "the fresh prefix already has Tarvel keys"

# The architectures whose hosts run here, with their ProgID host and staged module folder.
archs=()
[ "$progid86" = - ] || archs+=(x86)
[ "$progid64" = - ] || archs+=(x64)
host_of() { if [ "$1" = x86 ]; then echo "$progid86"; else echo "$progid64"; fi; }

# ---- without registration ---------------------------------------------------------------------
# A program folder holding the host, the module and its assembly manifest, and the host's
# application manifest naming that assembly, as docs/reference.md shows it. COM10 and COM12
# are test-bed ports of this prefix; nothing else uses them here.
if is_msi && [ "$deploy" != - ]; then
  for a in "${archs[@]}"; do
    app="$prefix/drive_c/regfree-$a"
    mkdir -p "$app"
    cp "$deploy/$a/Tarvel.ocx" "$deploy/$a/QUENBY.Tarvel.manifest" "$app/"
    cp "$(host_of $a)" "$app/host.exe"
    version=$(sed -n 's/.*assemblyIdentity type="win32" name="QUENBY.Tarvel" version="\([0-9.]*\)".*/\1/p' "$app/QUENBY.Tarvel.manifest")
    processor=x86; [ $a = x64 ] && processor=amd64
    cat >"$app/host.exe.manifest" <<EOF
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="TarvelTestHost" version="1.0.0.0" processorArchitecture="$processor"/>
  <dependency>
    <dependentAssembly>
      <assemblyIdentity type="win32" name="QUENBY.Tarvel" version="$version" processorArchitecture="$processor"/>
    </dependentAssembly>
  </dependency>
</assembly>
EOF
    out=$(run "$app/host.exe" 10 /clsid 2>&1)
    rc=$?
    [ $rc -eq 0 ] || fail "$a host with its manifest, nothing registered: exit $rc: $out"
    rm "$app/host.exe.manifest"
    out=$(run "$app/host.exe" 10 /clsid 2>&1)
    rc=$?
    # Step 2 (creation), refused as an unregistered class (REGDB_E_CLASSNOTREG).
    [ $rc -eq 2 ] && printf '%s' "$out" | grep -q '0x80040154' ||
      fail "$a host without its manifest: expected REGDB_E_CLASSNOTREG, got exit $rc: $out"
    rm -rf "$app"
  done
  flush_registry
  [ -z "$(tarvel_keys system.reg)$(tarvel_keys user.reg)" ] || fail "using the control without registration registered something"
fi

# ---- signing ----------------------------------------------------------------------------------
# A throwaway self-signed certificate; every file of the package signed and verified. Signing
# rewrites the files: the signed package is the one installed below, and the signed modules
# are registered at the end.
signed=-
if is_msi && [ "$sign" != - ]; then
  signed=$work/signed
  mkdir -p "$signed"
  cp -r "$deploy/x86" "$deploy/x64" "$signed/"
  cp "$setup" "$signed/"
  setup=$signed/$(basename "$setup")
  openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Tarvel test signing" \
    -keyout "$work/key.pem" -out "$work/cert.pem" >/dev/null 2>&1 &&
  openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:throwaway \
    -out "$work/cert.p12" >/dev/null 2>&1 || fail "openssl could not make the test certificate"
  to_sign=("$signed"/x86/Tarvel.ocx "$signed"/x86/TarvelUserReg.exe "$signed"/x64/Tarvel.ocx "$signed"/x64/TarvelUserReg.exe "$setup")
  # The setup program too, where the build made one.
  nsis=$(dirname "$deploy")/installer/TarvelSetup.exe
  [ -f "$nsis" ] && cp "$nsis" "$signed/" && to_sign+=("$signed/TarvelSetup.exe")
  bash "$sign" --verify "$work/cert.pem" "$signed/x64/Tarvel.ocx" >/dev/null 2>&1 &&
    fail "an unsigned module passed verification"
  TARVEL_SIGN_PKCS12=$work/cert.p12 TARVEL_SIGN_PASSWORD=throwaway bash "$sign" "${to_sign[@]}" >/dev/null ||
    fail "sign.sh failed"
  out=$(bash "$sign" --verify "$work/cert.pem" "${to_sign[@]}") || fail "signatures do not verify: $out"
  # The package carries the unsigned build's modules (the build signs them before packing
  # when it has a certificate); here the package's own signature is what is checked.
fi

# The installed control, by its ProgID, from the script host and the ProgID hosts.
hosts_work() {
  if [ "$scripthost" != - ]; then
    out=$(run "$scripthost" "$(winpath "$script")" 10 2>&1)
    rc=$?
    [ $rc -eq 0 ] || fail "$1: 64-bit script host: exit $rc: $out"
  fi
  for a in "${archs[@]}"; do
    out=$(run "$(host_of $a)" 12 2>&1)
    rc=$?
    [ $rc -eq 0 ] || fail "$1: $a ProgID host: exit $rc: $out"
  done
}

# ---- install, use, repair, uninstall, once per scope -------------------------------------------
package_dump=
for scope in ${scopes//,/ }; do
  if is_msi; then
    # Per user: Windows takes ALLUSERS=2 MSIINSTALLPERUSER=1 and makes ALLUSERS empty; Wine 8's
    # msi knows no MSIINSTALLPERUSER (it installs per machine then), so the per-user context is
    # asked for the way both understand.
    case "$scope" in
      allusers) scope_args=() ;;
      currentuser) scope_args=(ALLUSERS=) ;;
    esac
    # Per machine, the package goes over an older version of itself (the same package with a
    # lower version, a product code and a package code of its own), which it must replace.
    older_code=
    if [ "$scope" = allusers ]; then
      older=$work/older.msi
      older_code='{6F1C2A3B-0D4E-4F50-8A61-7B8C9D0E1F20}'
      cp "$deploy/$(basename "$setup")" "$older"
      msibuild "$older" -q "UPDATE \`Property\` SET \`Value\` = '1.0.0' WHERE \`Property\` = 'ProductVersion'" \
        -q "UPDATE \`Property\` SET \`Value\` = '$older_code' WHERE \`Property\` = 'ProductCode'" \
        -s "Tarvel Serial Port Control" QUENBY "$(msiinfo suminfo "$older" | sed -n 's/^Template: //p')" \
        '{6F1C2A3B-0D4E-4F50-8A61-7B8C9D0E1F21}' || fail "the older package could not be made"
      run msiexec /i "$(winpath "$older")" /qn
      rc=$?
      [ $rc -eq 0 ] || fail "msiexec /i of the older package exited with $rc"
    fi
    run msiexec /i "$(winpath "$setup")" /qn "${scope_args[@]}"
    rc=$?
    [ $rc -eq 0 ] || fail "msiexec /i $(basename "$setup") /qn ${scope_args[*]} exited with $rc"
    if [ -n "$older_code" ]; then
      flush_registry
      grep -q -i -F "\\\\Uninstall\\\\$older_code]" "$prefix/system.reg" &&
        fail "the package did not replace the older version (its Apps entry is still there)"
      [ "$(grep -c -i '\\\\Uninstall\\\\{[^]]*\] ' "$prefix/system.reg")" -ge 1 ] ||
        fail "no Apps entry of the package"
    fi
    instdir=$(find "$prefix/drive_c" -path '*/Tarvel/x86/Tarvel.ocx' | head -n 1)
    instdir=${instdir%/x86/Tarvel.ocx}
    installed=(x86/Tarvel.ocx x86/TarvelUserReg.exe x86/QUENBY.Tarvel.manifest reference.md)
    installed64=(x64/Tarvel.ocx x64/TarvelUserReg.exe x64/QUENBY.Tarvel.manifest)
  else
    case "$scope" in
      allusers) scope_flag=/ALLUSERS ;;
      currentuser) scope_flag=/CURRENTUSER ;;
    esac
    run "$setup" /S "$scope_flag"
    rc=$?
    [ $rc -eq 0 ] || fail "TarvelSetup.exe /S $scope_flag exited with $rc"
    uninstaller=$(find "$prefix/drive_c" -path '*/Tarvel/Uninstall.exe' | head -n 1)
    instdir=${uninstaller%/Uninstall.exe}
    installed=(x86/Tarvel.ocx x86/TarvelUserReg.exe Uninstall.exe)
    installed64=(x64/Tarvel.ocx x64/TarvelUserReg.exe)
  fi
  if [ -z "$instdir" ]; then
    fail "$scope: nothing was installed"
    exit 1
  fi
  case "$scope" in
    allusers) expected="$prefix/drive_c/Program Files/Tarvel" ;;
    currentuser) expected=$(dirname "$(dirname "$instdir")")  # .../AppData/Local
                 [ "$(basename "$expected")" = Local ] || fail "per-user folder $instdir is not under AppData/Local"
                 expected="$expected/Programs/Tarvel" ;;
  esac
  [ "$instdir" = "$expected" ] || fail "$scope: installed into $instdir, not $expected"
  for f in "${installed[@]}"; do
    [ -f "$instdir/$f" ] || fail "$f was not installed"
  done
  if [ "$arch" = win64 ] && [ "$(basename "$setup")" != Tarvel-x86.msi ]; then
    for f in "${installed64[@]}"; do
      [ -f "$instdir/$f" ] || fail "$f was not installed on 64-bit Windows"
    done
  else
    [ ! -e "$instdir/x64" ] || fail "the x64 module was installed on 32-bit Windows"
  fi

  flush_registry
  # Where the registration and the Apps entry went: HKLM (system.reg) or HKCU (user.reg) only.
  if [ "$scope" = allusers ]; then mine=system.reg other=user.reg; else mine=user.reg other=system.reg; fi
  tarvel_keys "$mine" | grep -q -x '\[Software\\\\Classes\\\\QUENBY\.TarvelCtrl\.1\\\\CLSID\]' ||
    fail "$scope: the ProgID is not registered in $mine"
  if ! is_msi; then
    tarvel_keys "$mine" | grep -q -x '\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\Uninstall\\\\Tarvel\]' ||
      fail "no Apps entry in $mine"
  fi
  # Windows Installer keeps its own records of a per-user product's components in the machine's
  # hive (Installer\UserData\<user>), and Wine's msi the product's Apps entry too (Windows keeps
  # that in the user's); the uninstall takes them away again, which the checks below see.
  stray=$(tarvel_keys "$other" | without_wines_interface_keys |
          grep -v -E '^\[Software\\\\Microsoft\\\\Windows\\\\CurrentVersion\\\\(Installer\\\\|Uninstall\\\\\{[0-9A-F-]+\}\]$)')
  if [ -n "$stray" ]; then
    fail "a $scope install wrote Tarvel entries into $other:"
    printf '%s\n' "$stray" | head -n 20
  fi
  # The class's server is the installed module (under Wine the last one registered: Wine keeps
  # one view of the user's classes, where Windows keeps a 32-bit one beside it).
  grep -i -F -q "$(printf '%s' "${instdir#$prefix/drive_c/}" | sed 's|/|\\\\|g')" "$prefix/$mine" ||
    fail "no registration in $mine names the install folder"
  [ "$scope" = allusers ] && is_msi && package_dump=$(classes_dump system.reg)

  # ---- the installed control, by its ProgID ---------------------------------------------------
  # Wine's COM looks classes up in the machine's classes only, so a per-user registration is
  # seen by no host there: those runs are for Windows.
  if [ "$scope" = currentuser ]; then
    echo "per-user install: hosts not run (Wine's COM does not read the user's classes)"
  else
    hosts_work "installed"
  fi

  # ---- repair (packages) -------------------------------------------------------------------------
  # A deleted module and a deleted key come back with the default repair modes (missing files,
  # machine and user registry, shortcuts), asked for through the package; Wine's msiexec /f
  # refuses both contexts' products (exit 1605 or 1).
  if is_msi; then
    module=$instdir/x86/Tarvel.ocx
    [ -e "$instdir/x64" ] && module=$instdir/x64/Tarvel.ocx
    root=HKLM; [ "$scope" = currentuser ] && root=HKCU
    rm -f "$module"
    run reg delete "$root\\Software\\Classes\\QUENBY.TarvelCtrl.1" /f >/dev/null 2>&1 ||
      fail "$scope: the ProgID key could not be deleted before the repair"
    run msiexec /i "$(winpath "$setup")" REINSTALL=ALL REINSTALLMODE=omus /qn "${scope_args[@]}"
    rc=$?
    [ $rc -eq 0 ] || fail "$scope: the repair (REINSTALL=ALL REINSTALLMODE=omus) exited with $rc"
    [ -f "$module" ] || fail "$scope: the repair did not put ${module#$instdir/} back"
    flush_registry
    tarvel_keys "$mine" | grep -q -x '\[Software\\\\Classes\\\\QUENBY\.TarvelCtrl\.1\\\\CLSID\]' ||
      fail "$scope: the repair did not put the ProgID back"
    [ "$scope" = currentuser ] || hosts_work "repaired"
  fi

  # ---- uninstall ------------------------------------------------------------------------------
  if is_msi; then
    run msiexec /x "$(winpath "$setup")" /qn "${scope_args[@]}"
    rc=$?
    [ $rc -eq 0 ] || fail "msiexec /x /qn exited with $rc"
  else
    run "$uninstaller" /S
    rc=$?
    [ $rc -eq 0 ] || fail "Uninstall.exe /S exited with $rc"
    # The uninstaller hands over to a copy of itself and returns at once; the copy removes the
    # folder last. Bounded wait, not a timing check: a working uninstaller ends long before.
    for _ in $(seq 240); do [ -d "$instdir" ] || break; sleep 0.5; done
  fi
  [ ! -d "$instdir" ] || fail "the install folder is still there: $(cd "$instdir" && find . | tr '\n' ' ')"

  # The uninstaller's copy of itself can only be deleted once it has ended: NSIS leaves it to the
  # next restart, which wineboot -r is for a prefix.
  is_msi || run wineboot.exe -r || fail "wineboot -r failed"
  flush_registry
  for hive in system.reg user.reg; do
    if [ -n "$(tarvel_keys $hive)" ]; then
      fail "$scope: Tarvel entries left in $hive:"
      tarvel_keys $hive | head -n 20
    fi
  done
  # The safety categories stay defined, as regsvr32 /u leaves them: other controls share them.
  if is_msi && [ "$scope" = allusers ]; then
    for c in 7DD95801 7DD95802; do
      grep -q -i -F "[Software\\\\Classes\\\\Component Categories\\\\{$c-9882-11CF-9FA9-00AA006C42C4}]" "$prefix/system.reg" ||
        fail "the uninstall removed the category definition {$c-...}"
    done
  fi
  # What stays: the empty folder in which the uninstaller's copy ran (NSIS's ~nsuN.tmp in the
  # user's temp folder; the copy itself went at the restart), and the empty folders Windows
  # Installer makes for itself (its package cache) and for a per-user install (the user's
  # programs folder). Anything else is a leftover.
  after=$(file_list)
  left=$(comm -13 "$before" <(printf '%s\n' "$after") |
         grep -v -x -E '\./users/[^/]*/(Temp/~nsu[0-9A-Za-z]*\.tmp|AppData/Local/Programs)|\./windows/Installer')
  if [ -n "$left" ]; then
    fail "$scope: files left behind:"
    printf '%s\n' "$left" | head -n 20
  fi
done

# ---- the modules registered with regsvr32 ----------------------------------------------------------
# The signed ones where they were signed: they still register and work. Their registration
# must be the package's, apart from paths.
if is_msi && [ "$deploy" != - ] && [ -n "$package_dump" ]; then
  modules=$deploy
  [ "$signed" = - ] || modules=$signed
  if [ "$arch" = win64 ] && [ "$progid86" = - ]; then
    echo "the x86 module cannot be registered here (no 32-bit programs): registry comparison not run"
  else
    for a in "${archs[@]}"; do
      run regsvr32.exe /s "$(winpath "$modules/$a/Tarvel.ocx")" || fail "regsvr32 of the $a module in $modules failed"
    done
    hosts_work "registered with regsvr32"
    flush_registry
    if ! diff <(printf '%s\n' "$package_dump") <(classes_dump system.reg) >"$work/diff"; then
      fail "the package's registry differs from regsvr32's (< package, > regsvr32):"
      head -n 40 "$work/diff"
    fi
  fi
fi

echo "installer $arch $scopes $(basename "$setup"): $failures failed checks"
[ $failures -eq 0 ]
