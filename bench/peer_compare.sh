#!/usr/bin/env bash
# The account server beside nginx on the same machine (bench/README.md, "Beside nginx"):
# nginx (Debian nginx-light) answers the same POST with a fixed `return 200
# "ConnectionOk"`, our release build answers `cmd=c` at its default limits. Each row runs
# against nginx and ours in turn, RUNS times (default 3), and the table gives every
# run, the ratio of the medians (ours / nginx) and the p99s:
#   1. new connection per request, 64 at once (ApacheBench, 20,000 requests)
#   2. the same over HTTPS, a full handshake each (ab, 3,000): P-256 and RSA-2048
#      certificates, TLS 1.3 and 1.2
#   3. keep-alive, 64 connections (wrk, 8 s)
#   4. keep-alive, 256 connections (wrk, 8 s; ours with --max-per-address 1024)
#   5. HTTPS keep-alive, 64 connections (wrk, 8 s)
#   6. TLS handshakes one after another, full and resumed, TLS 1.3 and 1.2 (openssl
#      s_time, 5 s each; "reuse" resumes the first connection's session)
#   7. "HAProxy + ours": the shipped deploy/haproxy/tarnix.cfg ending TLS in front of
#      ours (--proxy-from), against nginx: rows 2 (P-256), 6 and 5 through it; the
#      CPU is HAProxy's and ours together. Last, HTTPS keep-alive through HAProxy in
#      front of the bare engine (a plain tcp frontend, no PROXY header), in the nginx
#      column of its row.
#   bench/peer_compare.sh [rows...]     e.g. bench/peer_compare.sh 1 4
#   OUR_FLAGS="--threads 2" bench/peer_compare.sh 2    (more flags for our server)
#   RUNS=3 HTTPS_REQUESTS=1000 VARIANT_RUNS=1 bench/peer_compare.sh   (a shorter run;
#     VARIANT_RUNS=0: row 2 with P-256 over TLS 1.3 only)
#   BARE=1 bench/peer_compare.sh 1 3    (a third server in every run: the bare engine,
#     bench/engine_floor.cpp, the same library started the same way and nothing of ours;
#     the table adds its column, ours / bare and its CPU)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
runs=${RUNS:-3}
https_requests=${HTTPS_REQUESTS:-3000} # row 2's handshakes per run
variant_runs=${VARIANT_RUNS:-$runs}    # runs of row 2's RSA and TLS 1.2 variants
bare=${BARE:-0}
rows=("$@")
((${#rows[@]})) || rows=(1 2 3 4 5 6 7)
for tool in nginx ab wrk openssl haproxy; do
  command -v "$tool" >/dev/null || { echo "needs $tool (nginx-light, apache2-utils, wrk, haproxy)"; exit 1; }
done
build_server_release || exit 1
server="$build/server-release/server/tarnix-server"
floor="$build/server-release/bench/engine_floor"
work=$(mktemp -d /tmp/tarnix-peer-XXXXXX)
pids=()
# The servers start in command substitutions, so their pids come from their pid files:
# they are not this shell's children, and are waited for until they are gone.
cleanup() {
  local f p
  for f in "$work"/*/pid; do [ -f "$f" ] && pids+=("$(<"$f")"); done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; done
  for p in "${pids[@]}"; do
    for _ in $(seq 50); do kill -0 "$p" 2>/dev/null || break; sleep 0.1; done
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
"$root/server/tests/make_test_ca.sh" "$work/ec" ec
"$root/server/tests/make_test_ca.sh" "$work/rsa"
printf 'cmd=c' >"$work/body"
cat >"$work/post.lua" <<'EOF'
wrk.method = "POST"
wrk.body = "cmd=c"
wrk.headers["Content-Type"] = "application/x-www-form-urlencoded"
EOF

free_port() {
  local p
  while :; do
    p=$((20000 + RANDOM % 10000))
    ss -Htln "sport = :$p" | grep -q . || { echo "$p"; return; }
  done
}

# nginx as Debian ships it (worker_processes auto, access log on), one plain and two
# TLS listeners (P-256 and RSA-2048) with its default session tickets.
ng_http=$(free_port); ng_ec=$(free_port); ng_rsa=$(free_port)
tls_server() { # port, certificate folder
  echo "server { listen 127.0.0.1:$1 ssl; ssl_certificate $2/server.pem;"
  echo "  ssl_certificate_key $2/server.key; ssl_protocols TLSv1.2 TLSv1.3;"
  echo "  location = /tx-client.asp { return 200 \"ConnectionOk\"; } }"
}
cat >"$work/nginx.conf" <<EOF
worker_processes auto;
daemon off;
pid $work/nginx.pid;
error_log $work/nginx-error.log;
events { worker_connections 4096; }
http {
  access_log $work/nginx-access.log;
  client_body_temp_path $work/nginx-body;
  default_type text/plain;
  server { listen 127.0.0.1:$ng_http; location = /tx-client.asp { return 200 "ConnectionOk"; } }
  $(tls_server "$ng_ec" "$work/ec")
  $(tls_server "$ng_rsa" "$work/rsa")
}
EOF
nginx -c "$work/nginx.conf" -p "$work" 2>>"$work/nginx-error.log" &
ng_pid=$!
pids+=("$ng_pid")

# Starts a server that prints its URL; prints its port, and keeps its pid in $work/<name>/pid.
start_server() { # name, command...
  local name=$1; shift
  mkdir -p "$work/$name"
  : >"$work/$name/out"
  "$@" >"$work/$name/out" 2>"$work/$name/log" &
  echo $! >"$work/$name/pid"
  for _ in $(seq 50); do
    sed -n 's/.*:\([0-9]*\)\/tx-client.asp$/\1/p' "$work/$name/out" | grep . && return
    sleep 0.1
  done
  echo "server $name did not start" >&2; exit 1
}
# Ours at its default limits, with a fresh database: plain, P-256 and RSA-2048.
start_ours() { # name, flags...
  local name=$1; shift
  # shellcheck disable=SC2086
  start_server "$name" "$server" --port 0 --db "$work/$name/accounts.db" \
    --outbox "$work/$name/outbox.txt" "$@" ${OUR_FLAGS:-}
}
our_http=$(start_ours http)
# Row 4's 256 connections all come from one address: past the default per-address
# limit (64), so that row runs against an instance that allows them.
our_wide=$(start_ours wide --max-per-address 1024)
our_ec=$(start_ours ec --tls-cert "$work/ec/server.pem" --tls-key "$work/ec/server.key")
our_rsa=$(start_ours rsa --tls-cert "$work/rsa/server.pem" --tls-key "$work/rsa/server.key")
# The bare engine has no limits of its own: one plain instance serves rows 1, 3 and 4.
if ((bare)); then
  bare_http=$(start_server bare-http "$floor")
  bare_ec=$(start_server bare-ec "$floor" --tls-cert "$work/ec/server.pem" --tls-key "$work/ec/server.key")
  bare_rsa=$(start_server bare-rsa "$floor" --tls-cert "$work/rsa/server.pem" --tls-key "$work/rsa/server.key")
fi
# Row 7: ours behind the shipped HAProxy configuration (P-256, ticket keys), and the
# bare engine behind a plain tcp frontend of the same HAProxy. All of ab's and wrk's
# connections come from 127.0.0.1: the per-address limits are raised as for row 4.
if [[ " ${rows[*]} " == *" 7 "* ]]; then
  our_behind=$(start_ours behind --proxy-from 127.0.0.1 --exempt-addresses "" \
    --max-per-address 1024)
  floor_http=$(start_server floor-http "$floor")
  cat "$work/ec/server.pem" "$work/ec/server.key" >"$work/haproxy.pem"
  for _ in 1 2 3; do head -c 48 /dev/urandom | base64 -w0; echo; done >"$work/ticket.keys"
  hp_ours=$(free_port); hp_bare=$(free_port)
  printf '%s\n' "frontend bare" \
    "  bind 127.0.0.1:$hp_bare ssl crt $work/haproxy.pem tls-ticket-keys $work/ticket.keys alpn http/1.1" \
    "  default_backend bare" "backend bare" "  server floor 127.0.0.1:$floor_http" \
    >"$work/haproxy-bare.cfg"
  mkdir -p "$work/haproxy"
  TARNIX_BIND=127.0.0.1:$hp_ours TARNIX_CERT=$work/haproxy.pem \
    TARNIX_TICKET_KEYS=$work/ticket.keys TARNIX_A=127.0.0.1:$our_behind \
    TARNIX_B=127.0.0.1:$our_behind TARNIX_MAXCONN=4096 TARNIX_PER_SOURCE=1024 \
    haproxy -db -f "$root/deploy/haproxy/tarnix.cfg" -f "$work/haproxy-bare.cfg" \
    2>"$work/haproxy/log" &
  echo $! >"$work/haproxy/pid"
fi
sleep 0.5

# CPU time (user + system, clock ticks) of processes and their children so far:
# nginx's master and workers, our one process, or HAProxy and ours together. On a
# shared machine the CPU a server spends per request says more than its rate, which
# depends on what else runs.
cpu_ticks() { # pids...
  local total=0 p
  for p in "$@" $(for q in "$@"; do pgrep -P "$q"; done); do
    total=$((total + $(sed 's/.*) //' "/proc/$p/stat" | awk '{print $12 + $13}')))
  done
  echo "$total"
}
hz=$(getconf CLK_TCK)

# Each measurement prints "requests/s p99-ms errors".
ab_run() { # requests, url, extra ab flags...
  local n=$1 url=$2; shift 2
  local out rc
  out=$(ab -q -n "$n" -c 64 "$@" -p "$work/body" -T application/x-www-form-urlencoded "$url" 2>&1)
  rc=$?
  local rps p99 failed
  rps=$(awk '/^Requests per second/{print $4}' <<<"$out")
  p99=$(awk '$1=="99%"{print $2}' <<<"$out")
  failed=$(awk '/^Failed requests/{f=$3} /^Non-2xx/{f+=$3} END{print f+0}' <<<"$out")
  # Which kind, when any: "(Connect: 0, Receive: 7, Length: 0, Exceptions: 0)".
  [ "$failed" != 0 ] &&
    failed+=$(awk '/^Failed requests/{getline; print}' <<<"$out" | tr -d ' ' | tr 'A-Z' 'a-z')
  ((rc)) && failed="ab-exit-$rc:$(tail -n 1 <<<"$out" | tr ' ' '_')"
  echo "${rps:-0} ${p99:-0} $failed"
}
wrk_run() { # connections, url
  local out
  out=$(wrk -t2 -c"$1" -d8s --latency -s "$work/post.lua" "$2" 2>&1)
  local rps p99 errors
  rps=$(awk '/^Requests\/sec/{printf "%d", $2}' <<<"$out")
  p99=$(awk '$1=="99%"{v=$2; if (v ~ /us$/) v=v/1000; else if (v ~ /ms$/) v=v+0;
        else if (v ~ /s$/) v=v*1000; print v}' <<<"$out")
  errors=$(awk '/Socket errors/{gsub(",",""); print $4+$6+$8+$10} /Non-2xx/{print $5}' <<<"$out" |
           awk '{s+=$1} END{print s+0}')
  echo "${rps:-0} ${p99:-0} $errors"
}
stime_run() { # port, -new|-reuse, -tls1_3|-tls1_2
  local out
  out=$(openssl s_time -connect "127.0.0.1:$1" "$2" "$3" -time 5 -www /tx-client.asp 2>&1)
  local rate
  rate=$(awk '/connections in [0-9.]+ real seconds/{printf "%.0f", $1/$4}' <<<"$out")
  echo "${rate:-0} 0 0"
}

median() { tr ' ' '\n' | sort -g | awk '{v[NR]=$1} END{print v[int((NR+1)/2)]}'; }
cpu_per_k() { # ticks, rate, seconds of the run
  awk -v t="$1" -v hz="$hz" -v n="$2" -v s="$3" 'BEGIN{printf "%.1f", (n * s > 0) ? t / hz * 1000 / (n * s / 1000) : 0}'
}
# One measurement: command, server pid. Prints "requests/s p99-ms errors cpu-ms-per-1k".
measure() {
  local t0 t1 s0 r p e
  # shellcheck disable=SC2086
  t0=$(cpu_ticks $2); s0=$EPOCHREALTIME
  read -r r p e <<<"$(eval "$1")"
  # shellcheck disable=SC2086
  t1=$(cpu_ticks $2)
  echo "$r $p $e $(cpu_per_k $((t1 - t0)) "$r" "$(awk -v a="$s0" -v b="$EPOCHREALTIME" 'BEGIN{print b - a}')")"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%.2f", (b > 0) ? a / b : 0}'; }
difference() { awk -v a="$1" -v b="$2" 'BEGIN{printf "%+.1f", a - b}'; }
table=()
# One row: label, nginx's command, ours, our server's pid, the bare engine's command
# and its instance (measured with BARE=1). Each command prints "requests/s p99-ms
# errors"; the row adds the servers' CPU ms per 1,000 requests. Every run measures
# nginx, ours, then the bare engine.
compare() {
  local label=$1 ng=$2 ours=$3 our_pid=$4 bare_cmd="" bare_pid="" i r p e c
  ((bare)) && bare_cmd=$5 bare_pid=$(<"$work/$6/pid")
  local ng_rps=() ng_p99=() our_rps=() our_p99=() ng_cpu=() our_cpu=() errs=""
  local bare_rps=() bare_p99=() bare_cpu=() line
  echo "== $label (load average $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  for ((i = 0; i < runs; i++)); do
    read -r r p e c <<<"$(measure "$ng" "$ng_pid")"
    ng_rps+=("$r"); ng_p99+=("$p"); ng_cpu+=("$c")
    [ "$e" != 0 ] && errs+=" nginx:$e"
    read -r r p e c <<<"$(measure "$ours" "$our_pid")"
    our_rps+=("$r"); our_p99+=("$p"); our_cpu+=("$c")
    [ "$e" != 0 ] && errs+=" ours:$e"
    line="   run $((i + 1)): nginx ${ng_rps[i]}/s p99 ${ng_p99[i]} ms cpu ${ng_cpu[i]} ms/1k, ours ${our_rps[i]}/s p99 ${our_p99[i]} ms cpu ${our_cpu[i]} ms/1k"
    if [ -n "$bare_cmd" ]; then
      read -r r p e c <<<"$(measure "$bare_cmd" "$bare_pid")"
      bare_rps+=("$r"); bare_p99+=("$p"); bare_cpu+=("$c")
      [ "$e" != 0 ] && errs+=" bare:$e"
      line+=", bare ${bare_rps[i]}/s p99 ${bare_p99[i]} ms cpu ${bare_cpu[i]} ms/1k"
    fi
    echo "$line" >&2
  done
  local our_med ng_med our_p99_med ng_p99_med
  our_med=$(echo "${our_rps[*]}" | median); ng_med=$(echo "${ng_rps[*]}" | median)
  our_p99_med=$(echo "${our_p99[*]}" | median); ng_p99_med=$(echo "${ng_p99[*]}" | median)
  local ours_col="${our_rps[*]} req/s, p99 ${our_p99[*]} ms" ng_col="${ng_rps[*]} req/s, p99 ${ng_p99[*]} ms"
  local cpu_ours cpu_ng
  cpu_ours=$(echo "${our_cpu[*]}" | median); cpu_ng=$(echo "${ng_cpu[*]}" | median)
  if [ -n "$bare_cmd" ]; then
    local bare_med bare_p99_med
    bare_med=$(echo "${bare_rps[*]}" | median); bare_p99_med=$(echo "${bare_p99[*]}" | median)
    table+=("| $label | $ours_col | ${bare_rps[*]} req/s, p99 ${bare_p99[*]} ms | $ng_col | $(ratio "$our_med" "$ng_med") | $(ratio "$our_med" "$bare_med") | $(difference "$our_p99_med" "$ng_p99_med") | $(difference "$our_p99_med" "$bare_p99_med") | $cpu_ours / $(echo "${bare_cpu[*]}" | median) / $cpu_ng |${errs:- none} |")
  else
    table+=("| $label | $ours_col | $ng_col | $(ratio "$our_med" "$ng_med") | $(difference "$our_p99_med" "$ng_p99_med") | $cpu_ours / $cpu_ng |${errs:- none} |")
  fi
}

for row in "${rows[@]}"; do
  case $row in
  1) compare "1. cmd=c, new connection each, 64 at once (ab, 20,000)" \
       "ab_run 20000 http://127.0.0.1:$ng_http/tx-client.asp" \
       "ab_run 20000 http://127.0.0.1:$our_http/tx-client.asp" "$(<"$work/http/pid")" \
       "ab_run 20000 http://127.0.0.1:${bare_http:-}/tx-client.asp" bare-http ;;
  2) for v in 1.3 1.2; do
       for key in ec rsa; do
         name=P-256 ng_port=$ng_ec our_port=$our_ec bare_port=${bare_ec:-} saved=$runs
         [ $key = rsa ] && name=RSA-2048 ng_port=$ng_rsa our_port=$our_rsa bare_port=${bare_rsa:-}
         [ $key = rsa ] || [ $v = 1.2 ] && runs=$variant_runs
         ((runs)) || { runs=$saved; continue; }
         compare "2. HTTPS, full handshake each, $name, TLS $v (ab, $https_requests)" \
           "ab_run $https_requests https://127.0.0.1:$ng_port/tx-client.asp -f TLS$v" \
           "ab_run $https_requests https://127.0.0.1:$our_port/tx-client.asp -f TLS$v" \
           "$(<"$work/$key/pid")" \
           "ab_run $https_requests https://127.0.0.1:$bare_port/tx-client.asp -f TLS$v" "bare-$key"
         runs=$saved
       done
     done ;;
  3) compare "3. keep-alive, 64 connections (wrk, 8 s)" \
       "wrk_run 64 http://127.0.0.1:$ng_http/tx-client.asp" \
       "wrk_run 64 http://127.0.0.1:$our_http/tx-client.asp" "$(<"$work/http/pid")" \
       "wrk_run 64 http://127.0.0.1:${bare_http:-}/tx-client.asp" bare-http ;;
  4) compare "4. keep-alive, 256 connections (wrk, 8 s)" \
       "wrk_run 256 http://127.0.0.1:$ng_http/tx-client.asp" \
       "wrk_run 256 http://127.0.0.1:$our_wide/tx-client.asp" "$(<"$work/wide/pid")" \
       "wrk_run 256 http://127.0.0.1:${bare_http:-}/tx-client.asp" bare-http ;;
  5) compare "5. HTTPS keep-alive, 64 connections, P-256 (wrk, 8 s)" \
       "wrk_run 64 https://127.0.0.1:$ng_ec/tx-client.asp" \
       "wrk_run 64 https://127.0.0.1:$our_ec/tx-client.asp" "$(<"$work/ec/pid")" \
       "wrk_run 64 https://127.0.0.1:${bare_ec:-}/tx-client.asp" bare-ec ;;
  6) for v in 1_3 1_2; do
       for mode in new reuse; do
         compare "6. TLS ${v/_/.} handshakes one at a time, P-256, -$mode (s_time, 5 s)" \
           "stime_run $ng_ec -$mode -tls$v" "stime_run $our_ec -$mode -tls$v" "$(<"$work/ec/pid")" \
           "stime_run ${bare_ec:-} -$mode -tls$v" bare-ec
       done
     done ;;
  7) behind="$(<"$work/haproxy/pid") $(<"$work/behind/pid")"
     for v in 1.3 1.2; do
       compare "7. HAProxy + ours: HTTPS, full handshake each, P-256, TLS $v (ab, $https_requests)" \
         "ab_run $https_requests https://127.0.0.1:$ng_ec/tx-client.asp -f TLS$v" \
         "ab_run $https_requests https://127.0.0.1:$hp_ours/tx-client.asp -f TLS$v" "$behind"
     done
     for v in 1_3 1_2; do
       for mode in new reuse; do
         compare "7. HAProxy + ours: TLS ${v/_/.} handshakes one at a time, P-256, -$mode (s_time, 5 s)" \
           "stime_run $ng_ec -$mode -tls$v" "stime_run $hp_ours -$mode -tls$v" "$behind"
       done
     done
     compare "7. HAProxy + ours: HTTPS keep-alive, 64 connections, P-256 (wrk, 8 s)" \
       "wrk_run 64 https://127.0.0.1:$ng_ec/tx-client.asp" \
       "wrk_run 64 https://127.0.0.1:$hp_ours/tx-client.asp" "$behind"
     # The "nginx" side of this row is HAProxy in front of the bare engine, and its CPU
     # theirs together.
     saved_ng_pid=$ng_pid
     ng_pid="$(<"$work/haproxy/pid") $(<"$work/floor-http/pid")"
     compare "7. HTTPS keep-alive through HAProxy, 64 connections: ours, and HAProxy + bare engine in the nginx column (wrk, 8 s)" \
       "wrk_run 64 https://127.0.0.1:$hp_bare/tx-client.asp" \
       "wrk_run 64 https://127.0.0.1:$hp_ours/tx-client.asp" "$behind"
     ng_pid=$saved_ng_pid ;;
  *) echo "no row $row" >&2; exit 2 ;;
  esac
done

echo
if ((bare)); then
  echo "| load | tarnix-server | bare engine | nginx | ratio | ours / bare | p99 ours - nginx, ms | p99 ours - bare, ms | server CPU ms per 1,000 requests, ours / bare / nginx | errors |"
  echo "|---|---|---|---|---|---|---|---|---|---|"
else
  echo "| load | tarnix-server | nginx | ratio | p99 ours - nginx, ms | server CPU ms per 1,000 requests, ours / nginx | errors |"
  echo "|---|---|---|---|---|---|---|"
fi
printf '%s\n' "${table[@]}"
