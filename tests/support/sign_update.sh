#!/usr/bin/env bash
# The publisher's side of a signed update, with the openssl command line, for
# tests and benchmarks (independent of the client's and the server's code):
#   sign_update.sh keygen DIR                  DIR/key.pem (P-256) and DIR/public.hex
#                                              (X then Y, 128 hex digits)
#   sign_update.sh sign KEY FILE VERSION OUT   OUT: 64 bytes, r then s, signing
#                                              "tarnix-update:VERSION:<sha256 hex of FILE>"
set -euo pipefail
case "$1" in
keygen)
  dir=$2
  mkdir -p "$dir"
  openssl ecparam -name prime256v1 -genkey -noout -out "$dir/key.pem"
  # The DER public key ends with the point: 04, X, Y.
  openssl ec -in "$dir/key.pem" -pubout -outform DER 2>/dev/null | tail -c 64 |
    od -An -v -tx1 | tr -d ' \n' >"$dir/public.hex"
  ;;
sign)
  key=$2 file=$3 version=$4 out=$5
  digest=$(sha256sum "$file" | cut -c1-64)
  h=$(printf 'tarnix-update:%s:%s' "$version" "$digest" | openssl dgst -sha256 -sign "$key" |
    od -An -v -tx1 | tr -d ' \n')
  # DER: 30 len, then 02 len r and 02 len s, each a minimal signed integer.
  i=4
  raw=
  for _ in r s; do
    [ "${h:$i:2}" = 02 ] || { echo "sign_update: unexpected signature encoding" >&2; exit 1; }
    n=$((16#${h:$((i + 2)):2}))
    v=${h:$((i + 4)):$((n * 2))}
    i=$((i + 4 + n * 2))
    while [ ${#v} -gt 64 ] && [ "${v:0:2}" = 00 ]; do v=${v:2}; done
    while [ ${#v} -lt 64 ]; do v=0$v; done
    raw=$raw$v
  done
  printf "$(printf '%s' "$raw" | sed 's/../\\x&/g')" >"$out"
  ;;
*)
  echo "usage: sign_update.sh keygen DIR | sign KEY FILE VERSION OUT" >&2
  exit 2
  ;;
esac
