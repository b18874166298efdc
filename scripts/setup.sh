#!/usr/bin/env bash
# Installs what the build and the tests need on Debian 12; does nothing when all is there.
#   scripts/setup.sh          install what is missing
#   scripts/setup.sh --plan   print the packages this machine needs, install nothing
# The 32-bit Wine packages are installed only where 32-bit programs can run: elsewhere they
# would make /usr/bin/wine pick a 32-bit loader that cannot start, and no Wine would work.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/platform.sh"

plan=0
[ "${1:-}" = --plan ] && plan=1

missing_of() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || printf '%s\n' "$p"
  done
}

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
export DEBIAN_FRONTEND=noninteractive
updated=0
# A mirror caught mid-sync fails an update now and then ("File has unexpected size"): try again,
# then go on with whatever lists apt has; the install below fails plainly if they lack a package.
update_lists() {
  local try
  for try in 1 2 3; do
    $sudo apt-get update -q && return 0
    echo "setup: apt-get update failed (try $try of 3)"
    [ $try = 3 ] || sleep 15
  done
  echo "setup: going on with the package lists apt already has"
}
install() {
  [ $# -gt 0 ] || return 0
  echo "setup: installing $*"
  if [ $updated = 0 ]; then update_lists; updated=1; fi
  $sudo apt-get install -y -q --no-install-recommends "$@"
}

# The probe is built with gcc: get the compilers first.
base=(cmake make gcc g++ gcc-multilib g++-multilib)
[ $plan = 1 ] || install $(missing_of "${base[@]}")
tarvel_probe_32bit

# socat: the pty pairs of tests/pty; wixl, msitools, osslsigncode, openssl: the MSI packages and signing.
packages=("${base[@]}" mingw-w64 mingw-w64-tools googletest wine wine64 libwine clang libclang-rt-14-dev nsis socat
          wixl msitools osslsigncode openssl)
if [ "$TARVEL_RUNS_32BIT" = 1 ]; then
  packages+=(wine32:i386 libwine:i386)
fi
if [ $plan = 1 ]; then
  echo "setup: this machine needs ${packages[*]}"
  exit 0
fi

missing=($(missing_of "${packages[@]}"))
[ ${#missing[@]} -gt 0 ] || exit 0
if [ "$TARVEL_RUNS_32BIT" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
  updated=0
fi
install "${missing[@]}"
