#!/usr/bin/env bash
# scripts/wine-run.sh ends with the program it runs, output and exit code
# included, even when a process the program left behind still holds that output
# (as Wine's desktop process holds the first window's standard error).
set -uo pipefail
wine_run=$1 heir=$2
start=$(date +%s)
out=$("$wine_run" "$heir" 40000 2>&1 | timeout 20 cat; echo "status ${PIPESTATUS[*]}")
echo "$out"
grep -q "left a process holding this one's output" <<<"$out" || { echo "FAIL: the output is lost"; exit 1; }
grep -q "^status [0-9]* 0$" <<<"$out" || { echo "FAIL: the output stayed open after the program ended ($(($(date +%s) - start)) s)"; exit 1; }
grep -q "^status 5 " <<<"$out" || { echo "FAIL: the program's exit code 5 is lost"; exit 1; }
echo "ok: ended with the program in $(($(date +%s) - start)) s"
