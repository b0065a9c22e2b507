#!/usr/bin/env bash
# User-space instructions of one kept-alive `cmd=c`, ours beside the bare engine
# (bench/README.md, "The kept-alive request's instructions"). Each server runs under
# callgrind with one event loop and answers ApacheBench (`ab -k -c 4`) twice, 2,000
# and 12,000 requests; a request costs the difference over 10,000, without the
# library's pool `memset` (callgrind counts `rep stosb` per byte; perf puts it at
# about 1.6 % of real time), which both pay alike.
#   bench/keepalive_instructions.sh
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
for tool in valgrind callgrind_annotate ab; do
  command -v "$tool" >/dev/null || { echo "needs $tool (valgrind, apache2-utils)"; exit 1; }
done
build_server_release || exit 1
work=$(mktemp -d /tmp/tarnix-instructions-XXXXXX)
trap 'rm -rf "$work"' EXIT
printf 'cmd=c' >"$work/body"

# Prints "total memset" instructions of one run: name, requests, command...
run() {
  local name=$1 n=$2; shift 2
  local dir="$work/$name-$n" port=""
  mkdir -p "$dir"
  valgrind --tool=callgrind --callgrind-out-file="$dir/cg.out" "$@" --threads 1 --port 0 \
    >"$dir/out" 2>"$dir/err" &
  local pid=$!
  for _ in $(seq 300); do
    port=$(sed -n 's/.*:\([0-9]*\)\/tx-client.asp$/\1/p' "$dir/out")
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { echo "$name did not start" >&2; kill "$pid"; exit 1; }
  ab -q -k -n "$n" -c 4 -p "$work/body" -T application/x-www-form-urlencoded \
    "http://127.0.0.1:$port/tx-client.asp" >"$dir/ab" || { echo "ab failed" >&2; exit 1; }
  kill -INT "$pid"
  wait "$pid"
  callgrind_annotate "$dir/cg.out" 2>/dev/null | awk '
    /PROGRAM TOTALS/ { gsub(",", "", $1); total = $1 }
    /__memset_avx2_unaligned_erms/ && !m { gsub(",", "", $1); m = $1 }
    END { print total, m + 0 }'
}

per_request() { # name, command...
  local name=$1; shift
  read -r t1 m1 < <(run "$name" 2000 "$@")
  read -r t2 m2 < <(run "$name" 12000 "$@")
  echo $(((t2 - t1 - (m2 - m1)) / 10000))
}

ours=$(per_request ours "$build/server-release/server/tarnix-server" \
  --db "$work/accounts.db" --outbox "$work/outbox.txt")
bare=$(per_request bare "$build/server-release/bench/engine_floor")
echo "user-space instructions per kept-alive cmd=c (pool memset left out)"
printf '%-12s %8s\n' ours "$ours" bare "$bare"
