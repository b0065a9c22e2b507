#!/usr/bin/env bash
# Download of a 256 MiB file from a local range-capable server on 127.0.0.1, in
# one run side by side: the update's download component (5 connections, under
# Wine) without and with a signature to check (SHA-256 of the file, P-256
# ECDSA), curl (one connection) and aria2c -x5 -s5. Every tool writes the file
# to disk; each result is checked against the source (md5). The file starts
# with a real program header (the component takes nothing else).
#
#   bench/download.sh [runs] [MiB]       (needs build/win; builds the target)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
mib=${2:-256}
cmake --build "$root/build/win" --target download_bench >/dev/null
exe="$root/build/win/bench/download_bench.exe"
work="$root/build/bench-download"
mkdir -p "$work"
src="$work/source.bin"
if [ ! -f "$src" ] || [ "$(stat -c %s "$src")" -ne $((mib * 1048576)) ]; then
  { head -c 4096 "$root/build/win/Tarnix.exe"; head -c $((mib * 1048576 - 4096)) /dev/urandom; } >"$src"
fi
want=$(md5sum <"$src" | cut -d' ' -f1)
sign="$root/tests/support/sign_update.sh"
rm -rf "$work/key"
"$sign" keygen "$work/key"
"$sign" sign "$work/key/key.pem" "$src" 1.002 "$work/source.sig"
key=$(cat "$work/key/public.hex")
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')
python3 "$root/bench/range_server.py" "$src" "$port" "$work/source.sig" &
server=$!
trap 'kill $server 2>/dev/null || true' EXIT
for _ in $(seq 50); do curl -s -o /dev/null -r 0-0 "http://127.0.0.1:$port/x" && break; sleep 0.1; done
url="http://127.0.0.1:$port/update/Tarnix.exe"
out="$work/out.bin"
winout="Z:$(echo "$out" | tr / '\\')"

check() { [ "$(md5sum <"$out" | cut -d' ' -f1)" = "$want" ] || { echo "$1: file differs" >&2; exit 1; }; }
mbs() { python3 -c "print(f'{$mib*1.048576/$1:.1f}')"; }
now() { date +%s.%N; }
secs() { python3 -c "print(f'{$2-$1:.3f}')"; }

"$root/scripts/wine-run.sh" "$exe" "$url" "$winout" 5 >/dev/null 2>&1 || true # warm up Wine
printf '%-28s %8s %8s\n' tool seconds MB/s
for r in $(seq "$runs"); do
  rm -f "$out"
  t=$("$root/scripts/wine-run.sh" "$exe" "$url" "$winout" 5 | tr -d '\r' | awk '/^seconds/{print $2}')
  check component
  printf '%-28s %8s %8s\n' "component (5 connections)" "$t" "$(mbs "$t")"
  rm -f "$out"
  t=$("$root/scripts/wine-run.sh" "$exe" "$url" "$winout" 5 "$key" 1.002 | tr -d '\r' |
    awk '/^seconds/{print $2}')
  check "component, signed"
  printf '%-28s %8s %8s\n' "component, signature checked" "$t" "$(mbs "$t")"
  rm -f "$out"
  t0=$(now); curl -s -o "$out" "$url"; t=$(secs "$t0" "$(now)")
  check curl
  printf '%-28s %8s %8s\n' "curl (1 connection)" "$t" "$(mbs "$t")"
  rm -f "$out"
  t0=$(now); aria2c -q -x5 -s5 --allow-overwrite=true -d "$work" -o out.bin "$url"; t=$(secs "$t0" "$(now)")
  check aria2c
  printf '%-28s %8s %8s\n' "aria2c -x5 -s5" "$t" "$(mbs "$t")"
done
rm -f "$out"
