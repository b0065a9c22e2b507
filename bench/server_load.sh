#!/usr/bin/env bash
# Measures the release build of the account server under load (bench/README.md):
#   1. 256 clients doing the whole account flow for 30 s over plain HTTP;
#   2. 1,000 connections trickling one byte a second from 127.0.0.2 while 8 clients
#      on other addresses run the same flow;
#   3. the same with the per-address connection limit raised so that all 1,000 stay open;
#   4. run 1 through HTTPS (a throw-away test authority, P-256 server key);
#   1m. run 1 again, right after it, with the admin listener on (scraped every second
#      while the load runs) and JSON logs: what metrics and JSON logs cost.
# The per-address request budgets are switched off for the run (--*-per-minute 0):
# 256 clients share 8 source addresses, far more than a person's budget each.
#   bench/server_load.sh [seconds] [tags]
# tags: the scenarios to run, in that order, by their load tags (h, m, s, w, t), e.g.
# "h m h m" to set runs 1 and 1m side by side twice; default all, in the order above.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
seconds=${1:-30}
tags=${2:-h m s w t}
build_server_release || exit 1
server="$build/server-release/server/tarnix-server"
load="$build/server-release/bench/server_load"
work=$(mktemp -d /tmp/tarnix-load-XXXXXX)
trap 'rm -rf "$work"' EXIT
unlimited=(--challenges-per-minute 0 --sign-ins-per-minute 0 --password-changes-per-minute 0
           --codes-per-minute 0)

run() { # name, server flags..., --, load flags...
  local name=$1; shift
  local flags=()
  while [ "$1" != -- ]; do flags+=("$1"); shift; done; shift
  rm -f "$work"/accounts.db* "$work"/outbox.txt
  : >"$work/out"
  "$server" --port 0 --db "$work/accounts.db" --outbox "$work/outbox.txt" "${unlimited[@]}" \
    "${flags[@]}" >"$work/out" 2>"$work/log" &
  local pid=$!
  local port=
  for _ in $(seq 50); do
    port=$(sed -n 's/.*:\([0-9]*\)\/tx-client.asp$/\1/p' "$work/out"); [ -n "$port" ] && break
    sleep 0.1
  done
  # With an admin listener, a scraper asks for /metrics every second meanwhile.
  local admin scraper=
  admin=$(sed -n 's/.*admin listener on http:\/\/127.0.0.1:\([0-9]*\)\/.*/\1/p' "$work/out")
  if [ -n "$admin" ]; then
    (while kill -0 "$pid" 2>/dev/null; do
       curl -s -o /dev/null "http://127.0.0.1:$admin/metrics"; sleep 1
     done) &
    scraper=$!
  fi
  echo "== $name (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$load" --port "$port" "$@"
  local rc=$?
  [ -n "$scraper" ] && kill "$scraper" 2>/dev/null
  # utime and stime, in clock ticks (fields 14 and 15 after the command name).
  local ticks
  ticks=$(sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}')
  echo "server CPU: $(awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.1f", t/hz}') s"
  kill "$pid"; wait "$pid"
  return $rc
}

status=0
"$root/server/tests/make_test_ca.sh" "$work/ca" ec
for tag in $tags; do
  case $tag in
    h) run "256 clients, HTTP" -- --clients 256 --seconds "$seconds" --tag h || status=1 ;;
    m) run "256 clients, HTTP, metrics scraped and JSON logs" --admin-listen 127.0.0.1:0 \
         --log-format json -- --clients 256 --seconds "$seconds" --tag m || status=1 ;;
    s) run "1,000 slow connections and 8 clients" -- --clients 8 --seconds "$seconds" \
         --slow 1000 --tag s || status=1 ;;
    # The same with the per-address connection limit raised, so that all 1,000 stay
    # open until the time-out ends them.
    w) run "1,000 slow connections held open, 8 clients" --max-per-address 1024 -- \
         --clients 8 --seconds "$seconds" --slow 1000 --tag w || status=1 ;;
    t) run "256 clients, HTTPS" --tls-cert "$work/ca/server.pem" \
         --tls-key "$work/ca/server.key" -- --clients 256 --seconds "$seconds" \
         --ca "$work/ca/ca.pem" --tag t || status=1 ;;
    *) echo "unknown scenario tag $tag" >&2; status=2 ;;
  esac
done
exit $status
