#!/usr/bin/env bash
# The account service on one machine in three set-ups, with the load tool of
# server_load.sh (bench/README.md): one instance on SQLite, one on PostgreSQL, two
# on PostgreSQL behind HAProxy (scripts/cluster.sh), each with 64 and 256 clients;
# then the two-instance cluster with 256 clients and one instance killed (-9)
# halfway: every account answered "注册成功" must still sign in afterwards.
#   bench/cluster_load.sh [seconds]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
source "$root/scripts/postgres.sh"
seconds=${1:-20}
build_server_release || exit 1
server="$build/server-release/server/tarnix-server"
load="$build/server-release/bench/server_load"
work=$(mktemp -d /tmp/tarnix-cluster-load-XXXXXX)
pg=
cleanup() {
  [ -n "$pg" ] && pg_stop "$pg"
  "$root/scripts/cluster.sh" stop >/dev/null 2>&1
  rm -rf "$work"
}
trap cleanup EXIT
unlimited="--challenges-per-minute 0 --sign-ins-per-minute 0 --password-changes-per-minute 0
           --codes-per-minute 0"
front=18866
status=0

one_instance() { # name, db, clients
  : >"$work/out"
  # shellcheck disable=SC2086
  "$server" --port 0 --db "$2" --outbox "$work/outbox.txt" $unlimited >"$work/out" \
    2>"$work/log" &
  local pid=$! port=
  for _ in $(seq 50); do
    port=$(sed -n 's/.*:\([0-9]*\)\/tx-client.asp$/\1/p' "$work/out"); [ -n "$port" ] && break
    sleep 0.1
  done
  echo "== $1, $3 clients (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$load" --port "$port" --clients "$3" --seconds "$seconds" --tag "$RANDOM" || status=1
  kill "$pid"; wait "$pid"
}

for clients in 64 256; do
  rm -f "$work"/accounts.db*
  one_instance "one instance, SQLite" "$work/accounts.db" "$clients"
done

pg=$(mktemp -d /tmp/tarnix-pg-load-XXXXXX)
uri=$(pg_start "$pg") || { echo "cannot start PostgreSQL"; exit 1; }
for clients in 64 256; do
  psql -q "$uri" -c "CREATE DATABASE load$clients"
  one_instance "one instance, PostgreSQL" "${uri/\/postgres\?//load$clients?}" "$clients"
done
pg_stop "$pg"
pg=

export TARNIX_SERVER_ARGS=$unlimited
for clients in 64 256; do
  "$root/scripts/cluster.sh" start "$front" >/dev/null || exit 1
  echo "== two instances, PostgreSQL, HAProxy, $clients clients" \
    "(load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$load" --port "$front" --clients "$clients" --seconds "$seconds" --tag "$RANDOM" || status=1
  "$root/scripts/cluster.sh" stop >/dev/null
done

"$root/scripts/cluster.sh" start "$front" >/dev/null || exit 1
dir=$(cat "$build/cluster.dir")
echo "== two instances, 256 clients, instance a killed (-9) after $((seconds / 2)) s" \
  "(load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
"$load" --port "$front" --clients 256 --seconds "$seconds" --tag "$RANDOM" &
load_pid=$!
sleep $((seconds / 2))
kill -9 "$(cat "$dir/server-a.pid")"
wait "$load_pid"
# Requests cut by the kill are errors; a lost account is "missing afterwards".
"$root/scripts/cluster.sh" stop >/dev/null
exit $status
