#!/usr/bin/env bash
# Signs an update for the client's check:
#   sign-update.sh KEY.pem PROGRAM VERSION OUT.sig
# OUT.sig is 64 bytes, r then s (big-endian), an ECDSA P-256 signature with
# SHA-256 of "tarnix-update:" + VERSION + ":" + the lower-case hex SHA-256 of PROGRAM.
set -euo pipefail
key=$1 program=$2 version=$3 sig=$4
hash=$(sha256sum "$program" | cut -d' ' -f1)
der=$(mktemp)
trap 'rm -f "$der"' EXIT
printf 'tarnix-update:%s:%s' "$version" "$hash" | openssl dgst -sha256 -sign "$key" -binary >"$der"
# The DER sequence holds r and s as INTEGERs: each becomes exactly 32 bytes.
openssl asn1parse -inform DER -in "$der" | sed -n 's/.*INTEGER *:\([0-9A-Fa-f]*\)$/\1/p' |
  while read -r n; do
    n=${n#00}
    printf '%64s' "$n" | tr ' ' 0
  done | perl -0777 -ne 'print pack("H*", $_)' >"$sig"
[ "$(stat -c %s "$sig")" -eq 64 ] || { echo "sign-update: bad signature length" >&2; exit 1; }
