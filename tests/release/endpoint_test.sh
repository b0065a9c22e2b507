#!/usr/bin/env bash
# scripts/release.sh's check of TARNIX_ENDPOINT_URL alone (nothing is built): a plain
# http:// endpoint is taken only on this machine, with one line saying why not.
set -uo pipefail
release="$(cd "$(dirname "$0")/../.." && pwd)/scripts/release.sh"
failures=0

expect() { # allowed|refused URL (empty: no TARNIX_ENDPOINT_URL, a test release)
  local said rc
  said=$(env -u TARNIX_ENDPOINT_URL ${2:+"TARNIX_ENDPOINT_URL=$2"} "$release" --check-endpoint 2>&1)
  rc=$?
  if { [ "$1" = allowed ] && [ $rc -eq 0 ] && [ -z "$said" ]; } ||
     { [ "$1" = refused ] && [ $rc -ne 0 ] && [ "$(wc -l <<<"$said")" -eq 1 ] &&
       [[ $said == *"$2"*https://* ]]; }; then
    echo "ok   $1: ${2:-no endpoint}"
  else
    echo "FAIL $1: ${2:-no endpoint} (exit $rc) $said"
    failures=$((failures + 1))
  fi
}

expect allowed ""
expect allowed https://accounts.example.com/tx-client.asp
expect allowed http://127.0.0.1:8866/tx-client.asp
expect allowed http://localhost:8866/tx-client.asp
expect allowed "http://[::1]:8866/tx-client.asp"
expect refused http://accounts.example.com/tx-client.asp
expect refused http://127.0.0.1.example.com/tx-client.asp
expect refused http://127.0.0.1@accounts.example.com/tx-client.asp
expect refused http://127.0.0.300/tx-client.asp
echo "endpoint checks: $failures failed"
exit $((failures > 0))
