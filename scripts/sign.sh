#!/usr/bin/env bash
# Signs Windows files in place (Authenticode: modules, programs, MSI packages) with osslsigncode.
#   scripts/sign.sh FILE...
#   scripts/sign.sh --verify CAFILE FILE...   checks each file's signature against CAFILE
#
# The certificate comes from the environment, so that the build can sign every file it makes
# (installer/CMakeLists.txt calls this script for each one):
#   TARVEL_SIGN_PKCS12           the PKCS#12 file (certificate and private key)
#   TARVEL_SIGN_PASSWORD_FILE    a file holding its password (first line), or
#   TARVEL_SIGN_PASSWORD         the password itself (kept off osslsigncode's command line)
#   TARVEL_SIGN_TIMESTAMP        optional: an RFC 3161 time-stamping address
#
# Without TARVEL_SIGN_PKCS12 the files stay unsigned and the script says so (exit code 0).
# Exit code 1 when a file could not be signed or a signature does not verify; the file is
# then left as it was.
set -euo pipefail

die() { echo "sign.sh: $*" >&2; exit 1; }
command -v osslsigncode >/dev/null || die "osslsigncode is missing (Debian package osslsigncode; scripts/setup.sh installs it)"

if [ "${1:-}" = --verify ]; then
  [ $# -ge 3 ] || die "usage: sign.sh --verify CAFILE FILE..."
  ca=$2; shift 2
  failed=0
  for f in "$@"; do
    if out=$(osslsigncode verify -CAfile "$ca" -in "$f" 2>&1); then
      echo "sign.sh: verified: $f"
    else
      echo "sign.sh: NOT verified: $f"; printf '%s\n' "$out" | tail -n 5
      failed=1
    fi
  done
  exit $failed
fi

[ $# -ge 1 ] || die "usage: sign.sh FILE... | sign.sh --verify CAFILE FILE..."
if [ -z "${TARVEL_SIGN_PKCS12:-}" ]; then
  for f in "$@"; do echo "sign.sh: unsigned (no certificate: TARVEL_SIGN_PKCS12 is not set): $f"; done
  exit 0
fi
[ -r "$TARVEL_SIGN_PKCS12" ] || die "cannot read the certificate $TARVEL_SIGN_PKCS12"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
pass=$work/pass
if [ -n "${TARVEL_SIGN_PASSWORD_FILE:-}" ]; then
  head -n 1 "$TARVEL_SIGN_PASSWORD_FILE" | tr -d '\r\n' >"$pass" || die "cannot read $TARVEL_SIGN_PASSWORD_FILE"
else
  printf '%s' "${TARVEL_SIGN_PASSWORD:-}" >"$pass"
fi
timestamp=()
[ -z "${TARVEL_SIGN_TIMESTAMP:-}" ] || timestamp=(-ts "$TARVEL_SIGN_TIMESTAMP")

for f in "$@"; do
  [ -f "$f" ] || die "no such file: $f"
  out=$work/$(basename "$f")
  rm -f "$out"
  # MSI packages get the extended signature as well, which covers the package's metadata.
  extra=()
  case "$f" in *.msi|*.MSI) extra=(-add-msi-dse) ;; esac
  if ! log=$(osslsigncode sign -pkcs12 "$TARVEL_SIGN_PKCS12" -readpass "$pass" -h sha256 \
               -n "Tarvel Serial Port Control" "${timestamp[@]}" "${extra[@]}" -in "$f" -out "$out" 2>&1); then
    printf '%s\n' "$log" >&2
    die "could not sign $f"
  fi
  # Replace the file's contents, not the file: its timestamps and links stay meaningful.
  cat "$out" >"$f"
  echo "sign.sh: signed: $f"
done
