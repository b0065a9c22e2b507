#!/usr/bin/env bash
# testssl.sh (Debian's testssl.sh) against the built-in HTTPS and against the shipped
# HAProxy configuration in front of an instance: the test fails on any "NOT ok" or
# "VULNERABLE" in the protocols, ciphers, server defaults, vulnerabilities and
# preferences sections. The test authority is given to testssl, so the chain of
# trust is judged as a client that trusts it would. Exit 77 (skipped) without
# testssl or haproxy.
#
# One line is checked again rather than believed: testssl calls client-initiated
# renegotiation a "DoS threat" when openssl s_client exits 0 after asking for it,
# which it also does when the server ends the connection at once without an alert
# (as the built-in HTTPS does: the library closes a connection whose client asks to
# renegotiate); whether it shows depends on which of the two is quicker. The line
# passes only when a request sent after asking is left unanswered, while the same
# request without the asking is answered.
#   tls_scan_test.sh SERVER HAPROXY_CFG MAKE_TEST_CA_SCRIPT
set -uo pipefail
server=$1 cfg=$2 make_ca=$3
for tool in testssl haproxy openssl; do
  command -v "$tool" >/dev/null || { echo "needs $tool (testssl.sh, haproxy)"; exit 77; }
done
dir=$(mktemp -d /tmp/tarnix-tls-scan-XXXXXX)
# The servers start in command substitutions: their pids are in files.
cleanup() {
  local f p
  for f in "$dir"/*.pid; do
    [ -f "$f" ] || continue
    p=$(cat "$f")
    kill "$p" 2>/dev/null
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$dir"
}
trap cleanup EXIT

sh "$make_ca" "$dir/ca" ec || exit 1
# CTest ends a test past its time with SIGKILL, which no trap sees: the servers end
# themselves a little after that time.
life=1000
# Starts the server as `name` with its flags; prints the port it took.
start() {
  local name=$1 port=
  shift
  timeout "$life" "$server" --port 0 --db "$dir/$name.db" --outbox "$dir/$name.outbox" "$@" \
    >"$dir/$name.out" 2>"$dir/$name.log" &
  echo $! >"$dir/$name.pid"
  for _ in $(seq 50); do
    port=$(sed -n 's/.*:\([0-9]*\)\/tx-client.asp$/\1/p' "$dir/$name.out" 2>/dev/null)
    [ -n "$port" ] && break
    sleep 0.1
  done
  [ -n "$port" ] || { cat "$dir/$name.log" >&2; return 1; }
  echo "$port"
}
builtin=$(start builtin --tls-cert "$dir/ca/server.pem" --tls-key "$dir/ca/server.key") || exit 1
behind=$(start behind --proxy-from 127.0.0.1 --exempt-addresses "") || exit 1
front=
while [ -z "$front" ]; do
  front=$((20000 + RANDOM % 10000))
  ss -Htln "sport = :$front" | grep -q . && front=
done
cat "$dir/ca/server.pem" "$dir/ca/server.key" >"$dir/haproxy.pem"
for _ in 1 2 3; do head -c 48 /dev/urandom | base64 -w0; echo; done >"$dir/ticket.keys"
TARNIX_BIND=127.0.0.1:$front TARNIX_CERT=$dir/haproxy.pem TARNIX_TICKET_KEYS=$dir/ticket.keys \
  TARNIX_A=127.0.0.1:$behind TARNIX_B=127.0.0.1:$behind TARNIX_MAXCONN=1000 \
  timeout "$life" haproxy -db -q -f "$cfg" >"$dir/haproxy.log" 2>&1 &
echo $! >"$dir/haproxy.pid"
for _ in $(seq 100); do
  ss -Htln "sport = :$front" | grep -q . && break
  kill -0 "$(cat "$dir/haproxy.pid")" 2>/dev/null || { cat "$dir/haproxy.log" >&2; exit 1; }
  sleep 0.1
done

# Whether a client asking to renegotiate over TLS 1.2 loses its connection: a request
# after the asking is not answered, one on a connection that did not ask is.
renegotiation_ends_the_connection() { # port
  local request='POST /tx-client.asp HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\n\r\ncmd=c'
  local asked plain
  # shellcheck disable=SC2059
  asked=$( (echo R; sleep 1; printf "$request"; sleep 1) |
    timeout 10 openssl s_client -tls1_2 -connect "127.0.0.1:$1" -CAfile "$dir/ca/ca.pem" 2>&1)
  # shellcheck disable=SC2059
  plain=$( (sleep 1; printf "$request"; sleep 1) |
    timeout 10 openssl s_client -tls1_2 -connect "127.0.0.1:$1" -CAfile "$dir/ca/ca.pem" 2>&1)
  grep -q RENEGOTIATING <<<"$asked" && ! grep -q ConnectionOk <<<"$asked" &&
    grep -q ConnectionOk <<<"$plain"
}

status=0
scan() { # name, port
  local start=$SECONDS
  testssl --quiet --color 0 --warnings off --add-ca "$dir/ca/ca.pem" -p -s -S -U -P \
    "127.0.0.1:$2" >"$dir/$1.scan" 2>&1
  echo "$1: scanned in $((SECONDS - start)) s"
  if ! grep -q "Has server cipher order" "$dir/$1.scan"; then
    echo "$1: the scan did not finish:"; cat "$dir/$1.scan"; status=1
    return
  fi
  local findings
  findings=$(grep -E "NOT ok|VULNERABLE" "$dir/$1.scan")
  if grep -q "Secure Client-Initiated Renegotiation" <<<"$findings" &&
    renegotiation_ends_the_connection "$2"; then
    echo "$1: renegotiation ends the connection (testssl's line not taken)"
    findings=$(grep -v "Secure Client-Initiated Renegotiation" <<<"$findings")
  fi
  if [ -n "$findings" ]; then
    echo "$findings"
    echo "$1: findings above"; status=1
  fi
}
scan built-in "$builtin"
scan haproxy "$front"
exit $status
