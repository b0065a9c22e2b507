#!/usr/bin/env bash
# Download of a 256 MiB file from a local range-capable server on 127.0.0.1, in
# one run side by side: the update's download component (5 connections, under
# Wine) without and with a signature to check (SHA-256 of the file, P-256
# ECDSA), curl (one connection) and aria2c -x5 -s5. Every tool writes the file
# to disk; each result is checked against the source (md5). The file starts
# with a real program header (the component takes nothing else). For the
# component also its peak memory above the idle process; at the end the
# medians.
#
#   bench/download.sh [runs] [MiB] [OTHER_EXE]   (needs build/win; builds the target)
# OTHER_EXE: another build's download_bench.exe (an earlier commit's, say), run
# beside ours in the same runs, without and with the key.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-3}
mib=${2:-256}
other=${3:-}
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

# The component's run: its seconds, then its peak working set and peak
# committed memory above the idle process's, in MiB.
component() {
  local program=$exe
  if [ "${1:-}" = other ]; then program=$other; shift; fi
  "$root/scripts/wine-run.sh" "$program" "$url" "$winout" 5 "$@" | tr -d '\r' | tr '\n' ' ' |
    awk '{for (i = 1; i < NF; i++) v[$i] = $(i + 1)
          printf "%s %.1f %.1f\n", v["seconds"], v["peak_ws_mib"] - v["idle_ws_mib"],
                 v["peak_commit_mib"] - v["idle_commit_mib"]}'
}
: >"$work/times"
"$root/scripts/wine-run.sh" "$exe" "$url" "$winout" 5 >/dev/null 2>&1 || true # warm up Wine
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
printf '%-30s %8s %8s %22s\n' tool seconds MB/s "MiB above idle ws/commit"
for r in $(seq "$runs"); do
  rm -f "$out"
  read -r t ws cm < <(component)
  check component
  printf '%-30s %8s %8s %15s/%s\n' "component (5 connections)" "$t" "$(mbs "$t")" "$ws" "$cm"
  echo "component $t" >>"$work/times"
  rm -f "$out"
  read -r t ws cm < <(component "$key" 1.002)
  check "component, signed"
  printf '%-30s %8s %8s %15s/%s\n' "component, signature checked" "$t" "$(mbs "$t")" "$ws" "$cm"
  echo "signed $t" >>"$work/times"
  if [ -n "$other" ]; then
    rm -f "$out"
    read -r t ws cm < <(component other)
    check "other build"
    printf '%-30s %8s %8s\n' "other build" "$t" "$(mbs "$t")"
    echo "other $t" >>"$work/times"
    rm -f "$out"
    read -r t ws cm < <(component other "$key" 1.002)
    check "other build, signed"
    printf '%-30s %8s %8s\n' "other build, signed" "$t" "$(mbs "$t")"
    echo "other-signed $t" >>"$work/times"
  fi
  rm -f "$out"
  t0=$(now); curl -s -o "$out" "$url"; t=$(secs "$t0" "$(now)")
  check curl
  printf '%-30s %8s %8s\n' "curl (1 connection)" "$t" "$(mbs "$t")"
  echo "curl $t" >>"$work/times"
  rm -f "$out"
  t0=$(now); aria2c -q -x5 -s5 --allow-overwrite=true -d "$work" -o out.bin "$url"; t=$(secs "$t0" "$(now)")
  check aria2c
  printf '%-30s %8s %8s\n' "aria2c -x5 -s5" "$t" "$(mbs "$t")"
  echo "aria2c $t" >>"$work/times"
done
rm -f "$out"
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
for tool in component signed ${other:+other other-signed} curl aria2c; do
  awk -v k="$tool" '$1 == k {print $2}' "$work/times" | sort -g |
    awk -v k="$tool" '{a[NR] = $1} END {m = NR % 2 ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2
                      printf "median %-12s %.3f s (%d runs)\n", k, m, NR}'
done
