#!/usr/bin/env bash
# A local cluster of the account service: a PostgreSQL cluster in a temporary
# folder (run as "nobody" when started as root), two server instances on that
# database, and HAProxy in front with the shipped configuration
# (deploy/haproxy/tarnix.cfg): HTTPS on 127.0.0.1:PORT+1 with a test certificate,
# and plain HTTP on 127.0.0.1:PORT through the same instances. Both pass the
# client's address on in a PROXY header (the instances run with --proxy-from).
#   scripts/cluster.sh start [PORT]   (default 8866, the client's own; builds the server if needed)
#   scripts/cluster.sh stop
# The folder is named in build/cluster.dir; it holds the plain frontend
# (plain.cfg), the test authority to trust (ca/ca.pem), and the instances' outbox
# (outbox.txt) and log (server.log), both shared by the two, and per instance the
# first line it printed (a.port, b.port). Extra server flags:
# TARNIX_SERVER_ARGS="--threads 8 ..."; another server program: TARNIX_CLUSTER_SERVER;
# another state file than build/cluster.dir: TARNIX_CLUSTER_STATE.
set -uo pipefail
source "$(dirname "$0")/common.sh"
source "$(dirname "$0")/postgres.sh"
state=${TARNIX_CLUSTER_STATE:-$build/cluster.dir}

server=${TARNIX_CLUSTER_SERVER:-$build/server-release/server/tarnix-server}
[ -x "$server" ] || server="$build/native/server/tarnix-server"

# Starts one instance on a free port; prints "PID PORT".
start_instance() {
  local name=$1 db=$2 front=$3 out
  out="$dir/$name.port"
  # shellcheck disable=SC2086
  # One outbox and one log for both: lines are appended whole (O_APPEND). The load
  # tools' clients all come from 127.0.0.1: the per-address limit is raised for them.
  "$server" --port 0 --db "$db" --outbox "$dir/outbox.txt" --max-per-address 1024 \
    --proxy-from 127.0.0.1 --exempt-addresses "" \
    --device-key-file "$dir/device.key" \
    --update-location "127.0.0.1:$front/download/Tarnix.exe" ${TARNIX_SERVER_ARGS:-} \
    >"$out" 2>>"$dir/server.log" &
  local pid=$! port=
  for _ in $(seq 100); do
    port=$(sed -n 's/.*:\([0-9]*\)\/.*/\1/p' "$out" 2>/dev/null | head -n 1)
    [ -n "$port" ] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$dir/server.log" >&2; return 1; }
  echo "$pid $port"
}

stop_cluster() {
  local dir
  dir=$(cat "$state" 2>/dev/null) || { echo "no cluster is running"; return 0; }
  # HAProxy binds with SO_REUSEPORT: a next start would share the port with this
  # one if it were still running.
  if [ -f "$dir/haproxy.pid" ]; then
    local pid
    pid=$(cat "$dir/haproxy.pid")
    kill "$pid" 2>/dev/null
    while kill -0 "$pid" 2>/dev/null; do sleep 0.1; done
  fi
  for f in "$dir"/server-*.pid; do
    [ -f "$f" ] || continue
    kill "$(cat "$f")" 2>/dev/null
  done
  for f in "$dir"/server-*.pid; do
    [ -f "$f" ] || continue
    while kill -0 "$(cat "$f")" 2>/dev/null; do sleep 0.1; done
  done
  pg_stop "$dir"
  rm -f "$state"
  echo "cluster stopped"
}

start_cluster() {
  local front=${1:-8866} uri db a b
  [ -f "$state" ] && { echo "a cluster is running ($(cat "$state")): stop it first" >&2; return 1; }
  if [ ! -x "$server" ]; then
    "$root/scripts/deps.sh" || return 1
    build_server_release || return 1
    server="$build/server-release/server/tarnix-server"
  fi
  command -v haproxy >/dev/null || { echo "haproxy is not installed" >&2; return 1; }
  dir=$(mktemp -d /tmp/tarnix-cluster-XXXXXX)
  mkdir -p "$(dirname "$state")"
  echo "$dir" >"$state"
  if ! uri=$(pg_start "$dir"); then
    cat "$dir"/*.log >&2
    stop_cluster
    return 1
  fi
  psql -q "$uri" -c "CREATE DATABASE tarnix" || { stop_cluster; return 1; }
  db=${uri/\/postgres\?//tarnix?}
  # Both instances sign device cookies with one key, so either takes the other's.
  (umask 077 && head -c 32 /dev/urandom >"$dir/device.key") || { stop_cluster; return 1; }
  a=$(start_instance a "$db" "$front") || { stop_cluster; return 1; }
  echo "${a% *}" >"$dir/server-a.pid"
  b=$(start_instance b "$db" "$front") || { stop_cluster; return 1; }
  echo "${b% *}" >"$dir/server-b.pid"
  # The shipped configuration, and beside it a plain frontend to the same instances
  # (a file of its own: HAProxy reads both).
  sh "$root/server/tests/make_test_ca.sh" "$dir/ca" ec || { stop_cluster; return 1; }
  cat "$dir/ca/server.pem" "$dir/ca/server.key" >"$dir/haproxy.pem"
  (umask 077 && for _ in 1 2 3; do head -c 48 /dev/urandom | base64 -w0; echo; done \
    >"$dir/ticket.keys") || { stop_cluster; return 1; }
  cat >"$dir/plain.cfg" <<CFG
frontend plain
  bind 127.0.0.1:$front
  tcp-request connection track-sc0 src table tarnix
  tcp-request connection reject if { sc0_conn_cur gt 1024 }
  default_backend instances
CFG
  if ! TARNIX_BIND=127.0.0.1:$((front + 1)) TARNIX_CERT=$dir/haproxy.pem \
    TARNIX_TICKET_KEYS=$dir/ticket.keys TARNIX_A=127.0.0.1:${a#* } TARNIX_B=127.0.0.1:${b#* } \
    TARNIX_MAXCONN=4096 TARNIX_PER_SOURCE=1024 \
    haproxy -D -f "$root/deploy/haproxy/tarnix.cfg" -f "$dir/plain.cfg" -p "$dir/haproxy.pid"; then
    stop_cluster
    return 1
  fi
  echo "cluster: http://127.0.0.1:$front/tx-client.asp and https://127.0.0.1:$((front + 1))/tx-client.asp" \
    "(trust $dir/ca/ca.pem) -> instances on ports ${a#* } and ${b#* }"
  echo "database: $db"
  echo "folder: $dir (logs, outboxes, plain.cfg, ca/)"
}

case "${1:-}" in
  start) start_cluster "${2:-}" ;;
  stop) stop_cluster ;;
  *) echo "usage: $0 start [PORT] | stop" >&2; exit 2 ;;
esac
