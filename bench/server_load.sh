#!/usr/bin/env bash
# Measures the release build of the account server under load (bench/README.md):
#   1. 256 clients doing the whole account flow for 30 s over plain HTTP;
#   2. 1,000 connections trickling one byte a second from 127.0.0.2 while 8 clients
#      on other addresses run the same flow;
#   3. the same with the per-address connection limit raised so that all 1,000 stay open;
#   4. run 1 through HTTPS (a throw-away test authority, P-256 server key);
#   1m. run 1 again, right after it, with the admin listener on (scraped every second
#      while the load runs) and JSON logs: what metrics and JSON logs cost;
#   u. sign-up alone: 64 clients, no pause, a code and a sign-up with a fresh account;
#   i. sign-in alone: 64 clients, no pause, challenge and sign-in to accounts made first.
# The per-address request budgets are switched off for the run (--*-per-minute 0):
# 256 clients share 8 source addresses, far more than a person's budget each.
#   bench/server_load.sh [seconds] [tags]
# tags: the scenarios to run, in that order, by their load tags (h, m, s, w, t, u, i), e.g.
# "h m h m" to set runs 1 and 1m side by side twice; default the first five, in the order
# above. Among them, words that set the server of the scenarios after them:
#   nokey | key      passwords in plain text (the default) or sealed (AES-256-GCM) under a
#                    key from `tarnix-server keygen-secret`
#   sqlite | pg      a fresh SQLite file (the default) or a fresh database in a throw-away
#                    PostgreSQL cluster (scripts/postgres.sh), for each run
#   full | normal    SQLite's synchronous: FULL (the product's, the default) or NORMAL, from
#                    a build of its own (build/server-release-sync-normal), for measuring
#                    what FULL costs
#   noscreen | screen  the password screen and the event record off (the default) or on:
#                    a generated 1 GiB breach corpus (make_corpus), libpwquality's
#                    dictionary check, and the chained record of security events
# e.g. "nokey u key u nokey u key u". The end is a table of every run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
source "$root/scripts/postgres.sh"
source "$root/bench/load_lib.sh"
seconds=${1:-30}
tags=${2:-h m s w t}
build_server_release || exit 1
server="$build/server-release/server/tarnix-server"
load="$build/server-release/bench/server_load"
# The only build that commits with synchronous=NORMAL; the store honours the definition
# only when it is set.
normal_tree="$build/server-release-sync-normal"
work=$(mktemp -d /tmp/tarnix-load-XXXXXX)
pg=
cleanup() {
  [ -n "$pg" ] && pg_stop "$pg"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
unlimited=(--challenges-per-minute 0 --sign-ins-per-minute 0 --password-changes-per-minute 0
           --codes-per-minute 0)

# The settings words' state, and what they need, made on first use.
key=nokey store=sqlite sync=full screen=noscreen
pg_uri=
runs=0
table=()
need() { # what the current words need: the NORMAL build, the key, PostgreSQL
  if [ "$store" = sqlite ] && [ "$sync" = normal ] && [ ! -e "$work/normal.built" ]; then
    cmake --preset server-release -S "$root" -B "$normal_tree" \
      -DCMAKE_CXX_FLAGS=-DTARNIX_SQLITE_SYNCHRONOUS=NORMAL >/dev/null &&
      cmake --build "$normal_tree" --target tarnix-server || return 1
    touch "$work/normal.built"
  fi
  if [ "$key" = key ] && [ ! -e "$work/key/secret.key" ]; then
    mkdir -p "$work/key" && "$server" keygen-secret "$work/key" || return 1
  fi
  if [ "$screen" = screen ] && [ ! -e "$work/screen/events.key" ]; then
    mkdir -p "$work/screen" &&
      "$build/server-release/bench/make_corpus" "$work/screen/corpus.txt" 1024 &&
      printf 'minlen = 6\ndictcheck = 1\nusercheck = 0\n' >"$work/screen/pwquality.conf" &&
      head -c 32 /dev/urandom >"$work/screen/events.key" && chmod 600 "$work/screen/events.key" ||
      return 1
  fi
  if [ "$store" = pg ] && [ -z "$pg_uri" ]; then
    pg=$(mktemp -d /tmp/tarnix-pg-load-XXXXXX)
    pg_uri=$(pg_start "$pg") || { echo "cannot start PostgreSQL" >&2; return 1; }
  fi
}

load1() { cut -d' ' -f1 /proc/loadavg; }

run() { # name, command to report ("" for all), server flags..., --, load flags...
  local name=$1 command=$2; shift 2
  local flags=()
  while [ "$1" != -- ]; do flags+=("$1"); shift; done; shift
  need || { echo "cannot set up: $store, $sync, $key" >&2; return 1; }
  runs=$((runs + 1))
  local exe=$server db="$work/accounts.db" sync_label=$sync
  rm -f "$work"/accounts.db* "$work"/outbox.txt
  if [ "$store" = pg ]; then
    psql -q "$pg_uri" -c "CREATE DATABASE run$runs" || return 1
    db=${pg_uri/\/postgres\?//run$runs?}
    sync_label="-"
  elif [ "$sync" = normal ]; then
    exe="$normal_tree/server/tarnix-server"
  fi
  [ "$key" = key ] && flags+=(--secret-key-file "$work/key/secret.key")
  [ "$screen" = screen ] && flags+=(--breached-passwords "$work/screen/corpus.txt"
    --password-quality-file "$work/screen/pwquality.conf"
    --events-key-file "$work/screen/events.key")
  start_server "$work" "$exe" --db "$db" --outbox "$work/outbox.txt" "${unlimited[@]}" \
    "${flags[@]}" || return 1
  local pid=$server_pid port=$server_port
  # The NORMAL build says so in its log; anything else would measure the wrong thing.
  if [ "$sync_label" = normal ] && ! grep -q 'synchronous=NORMAL' "$work/log"; then
    echo "$exe does not commit with synchronous=NORMAL" >&2; kill "$pid"; return 1
  fi
  # With an admin listener, a scraper asks for /metrics every second meanwhile.
  local admin scraper=
  admin=$(sed -n 's/.*admin listener on http:\/\/127.0.0.1:\([0-9]*\)\/.*/\1/p' "$work/out")
  if [ -n "$admin" ]; then
    (while kill -0 "$pid" 2>/dev/null; do
       curl -s -o /dev/null "http://127.0.0.1:$admin/metrics"; sleep 1
     done) &
    scraper=$!
  fi
  # PostgreSQL's own CPU: its postmaster and every backend, over the load only.
  local db_pids=() db_cpu0=0
  if [ "$store" = pg ]; then
    local postmaster
    postmaster=$(head -n 1 "$pg/data/postmaster.pid")
    db_pids=("$postmaster" $(pgrep -P "$postmaster"))
    db_cpu0=$(server_cpu "${db_pids[@]}")
  fi
  local before after
  before=$(load1)
  echo "== $name; $store, synchronous $sync_label, $key, $screen (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$load" --port "$port" "$@" | tee "$work/result"
  local rc=${PIPESTATUS[0]}
  after=$(load1)
  [ -n "$scraper" ] && kill "$scraper" 2>/dev/null
  local cpu db_cpu=-
  cpu=$(server_cpu "$pid")
  if [ "$store" = pg ]; then
    local postmaster
    postmaster=$(head -n 1 "$pg/data/postmaster.pid")
    # Backends of this run only: those there before it ended with theirs.
    db_cpu=$(awk -v a="$(server_cpu "$postmaster" $(pgrep -P "$postmaster"))" -v b="$db_cpu0" \
      'BEGIN{printf "%.1f", a - b}')
  fi
  echo "server CPU: $cpu s; PostgreSQL's: $db_cpu s"
  kill "$pid"; wait "$pid"
  # One row: the run, what its command did (or all requests), errors, accounts, CPU.
  local r=$work/result rate p50 p99 what=${command:-all requests}
  if [ -n "$command" ]; then
    read -r rate p50 p99 < <(awk -v c="command $command:" 'index($0, c) == 1 {
      gsub(/[()\/s]/, "", $4); print $4, $6, $8}' "$r")
  else
    rate=$(awk '/^requests/{gsub(/[(\/s),]/, "", $3); print $3}' "$r")
    read -r p50 p99 < <(awk '/^latency ms/{print $4, $8}' "$r")
  fi
  local total errors created missing per_request
  total=$(awk '/^requests/{print $2}' "$r")
  errors=$(awk '/^errors/{print $2 "+" $4}' "$r" | tr -d '(')
  created=$(awk '/^requests/{gsub(",", ""); print $6}' "$r")
  missing=$(awk '/^requests/{print $9}' "$r")
  per_request=$(awk -v c="$cpu" -v d="$db_cpu" -v n="$total" \
    'BEGIN{printf "%.3f", (n > 0) ? (c + d) * 1000 / n : 0}')
  table+=("| $runs | $name | $store | $sync_label | $key | $screen | $what | $rate | $p50 | $p99 | $errors | $created / $missing | $cpu s | $db_cpu | $per_request ms | $before → $after |")
  return "$rc"
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
status=0
"$root/server/tests/make_test_ca.sh" "$work/ca" ec
for tag in $tags; do
  case $tag in
    key | nokey) key=$tag ;;
    sqlite | pg) store=$tag ;;
    full | normal) sync=$tag ;;
    screen | noscreen) screen=$tag ;;
    h) run "256 clients, HTTP" "" -- --clients 256 --seconds "$seconds" --tag h || status=1 ;;
    m) run "256 clients, HTTP, metrics scraped and JSON logs" "" --admin-listen 127.0.0.1:0 \
         --log-format json -- --clients 256 --seconds "$seconds" --tag m || status=1 ;;
    s) run "1,000 slow connections and 8 clients" "" -- --clients 8 --seconds "$seconds" \
         --slow 1000 --tag s || status=1 ;;
    # The same with the per-address connection limit raised, so that all 1,000 stay
    # open until the time-out ends them.
    w) run "1,000 slow connections held open, 8 clients" "" --max-per-address 1024 -- \
         --clients 8 --seconds "$seconds" --slow 1000 --tag w || status=1 ;;
    t) run "256 clients, HTTPS" "" --tls-cert "$work/ca/server.pem" \
         --tls-key "$work/ca/server.key" -- --clients 256 --seconds "$seconds" \
         --ca "$work/ca/ca.pem" --tag t || status=1 ;;
    u) run "sign-up, 64 clients" sign-up -- --clients 64 --think-ms 0 --seconds "$seconds" \
         --flow sign-up --tag u || status=1 ;;
    i) run "sign-in, 64 clients" sign-in -- --clients 64 --think-ms 0 --seconds "$seconds" \
         --flow sign-in --tag i || status=1 ;;
    *) echo "unknown scenario tag $tag" >&2; status=2 ;;
  esac
done
echo
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
echo "| run | scenario | store | synchronous | key | screen and record | measured | per second | p50 ms | p99 ms | errors (+ in the check) | accounts created / missing | server CPU | PostgreSQL CPU | CPU per request (both) | load average before → after |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
exit $status
