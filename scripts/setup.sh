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
failed_suites=""   # "URI suite" of every index the last update could not fetch, one a line
apt_lists=()       # apt options naming trimmed sources, once the install had to do without some
# A mirror caught mid-sync fails an update now and then ("File has unexpected size"): try again,
# then go on with whatever lists apt has.
update_lists() {
  local try log
  log=$(mktemp)
  for try in 1 2 3; do
    if $sudo apt-get "${apt_lists[@]}" update -q 2>&1 | tee "$log"; [ "${PIPESTATUS[0]}" = 0 ]; then
      failed_suites=""
      rm -f "$log"
      return 0
    fi
    echo "setup: apt-get update failed (try $try of 3)"
    [ $try = 3 ] || sleep 15
  done
  failed_suites=$(sed -n 's|.*Failed to fetch \([^ ]*\)/dists/\([^/ ]*\)/.*|\1 \2|p' "$log" | sort -u)
  rm -f "$log"
  echo "setup: going on with the package lists apt already has"
}
# Copies the configured sources into a directory of our own, leaving out the suites whose
# lists could not be fetched, and points apt at it. A stale mirror of one suite (the security
# updates, say) then stops holding back packages whose other architecture it lists at a newer
# version than the rest of the archive.
trim_sources() {
  local dir f
  dir=$(mktemp -d)
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -e "$f" ] || continue
    awk -v failed="$failed_suites" '
      BEGIN { n = split(failed, l, "\n"); for (i = 1; i <= n; i++) { split(l[i], p, " "); drop[p[1] " " p[2]] = 1 } }
      function flush(   i, out, k, s, kept) {
        if (!nlines) return
        kept = ""
        for (k = 1; k <= nsuites; k++) {
          s = suites[k]; out = 0
          for (i = 1; i <= nuris; i++) if ((uris[i] " " s) in drop) out = 1
          if (!out) kept = kept " " s
        }
        if (kept != "")
          for (i = 1; i <= nlines; i++) print (lines[i] ~ /^Suites:/ ? "Suites:" kept : lines[i])
        print ""
        nlines = nuris = nsuites = 0
      }
      /^[ \t]*$/ { flush(); next }
      { lines[++nlines] = $0 }
      /^URIs:/ { for (i = 2; i <= NF; i++) { u = $i; sub(/\/$/, "", u); uris[++nuris] = u } }
      /^Suites:/ { for (i = 2; i <= NF; i++) suites[++nsuites] = $i }
      END { flush() }' "$f" > "$dir/$(basename "$f")"
  done
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -e "$f" ] || continue
    awk -v failed="$failed_suites" '
      BEGIN { n = split(failed, l, "\n"); for (i = 1; i <= n; i++) { split(l[i], p, " "); drop[p[1] " " p[2]] = 1 } }
      /^deb(-src)?[ \t]/ { t = $0; gsub(/\[[^]]*\]/, "", t); split(t, w, " "); u = w[2]; sub(/\/$/, "", u)
                            if ((u " " w[3]) in drop) next }
      { print }' "$f" > "$dir/$(basename "$f" .list)-kept.list"
  done
  apt_lists=(-o "Dir::Etc::SourceParts=$dir" -o Dir::Etc::SourceList=/dev/null)
}
install() {
  [ $# -gt 0 ] || return 0
  echo "setup: installing $*"
  if [ $updated = 0 ]; then update_lists; updated=1; fi
  $sudo apt-get "${apt_lists[@]}" install -y -q --no-install-recommends "$@" && return 0
  [ -n "$failed_suites" ] || return 1
  echo "setup: the install failed while these lists could not be fetched:"
  printf '%s\n' "$failed_suites" | sed 's/^/  /'
  echo "setup: trying again without them"
  trim_sources
  $sudo apt-get "${apt_lists[@]}" update -q || echo "setup: the trimmed update failed too; going on"
  $sudo apt-get "${apt_lists[@]}" install -y -q --no-install-recommends "$@"
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
