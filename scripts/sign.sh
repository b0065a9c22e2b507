#!/usr/bin/env bash
# Signs a Windows program in place with Authenticode (SHA-256):
#   TARNIX_SIGN_PFX=cert.p12 TARNIX_SIGN_PASSWORD=... scripts/sign.sh FILE
# With TARNIX_TIMESTAMP_URL set and reachable, an RFC 3161 time-stamp is added;
# otherwise the signature goes without one (it then ends with the certificate).
set -euo pipefail
file=$1
: "${TARNIX_SIGN_PFX:?TARNIX_SIGN_PFX must name a PKCS#12 file}"
args=(sign -pkcs12 "$TARNIX_SIGN_PFX" -pass "${TARNIX_SIGN_PASSWORD:-}" -h sha256
      -n "Tarnix" -i "https://tarnix.invalid/")
if [ -n "${TARNIX_TIMESTAMP_URL:-}" ] &&
   curl -s -o /dev/null --max-time 5 "$TARNIX_TIMESTAMP_URL"; then
  args+=(-ts "$TARNIX_TIMESTAMP_URL")
fi
tmp="$file.signing"
rm -f "$tmp"
osslsigncode "${args[@]}" -in "$file" -out "$tmp" >/dev/null
mv -f "$tmp" "$file"
