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
#   bench/peer_compare.sh [rows...]     e.g. bench/peer_compare.sh 1 4
#   OUR_FLAGS="--threads 2" bench/peer_compare.sh 2    (more flags for our server)
#   RUNS=3 HTTPS_REQUESTS=1000 VARIANT_RUNS=1 bench/peer_compare.sh   (a shorter run)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
runs=${RUNS:-3}
https_requests=${HTTPS_REQUESTS:-3000} # row 2's handshakes per run
variant_runs=${VARIANT_RUNS:-$runs}    # runs of row 2's RSA and TLS 1.2 variants
rows=("$@")
((${#rows[@]})) || rows=(1 2 3 4 5 6)
for tool in nginx ab wrk openssl; do
  command -v "$tool" >/dev/null || { echo "needs $tool (nginx-light, apache2-utils, wrk)"; exit 1; }
done
build_server_release || exit 1
server="$build/server-release/server/tarnix-server"
work=$(mktemp -d /tmp/tarnix-peer-XXXXXX)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null; wait "$p" 2>/dev/null; done
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

# Ours at its default limits, with a fresh database: plain, P-256 and RSA-2048.
start_ours() { # name, flags...
  local name=$1; shift
  mkdir -p "$work/$name"
  # shellcheck disable=SC2086
  "$server" --port 0 --db "$work/$name/accounts.db" --outbox "$work/$name/outbox.txt" "$@" ${OUR_FLAGS:-} \
    >"$work/$name/out" 2>"$work/$name/log" &
  pids+=($!)
  echo $! >"$work/$name/pid"
  for _ in $(seq 50); do
    sed -n 's/.*:\([0-9]*\)\/tx-client.asp$/\1/p' "$work/$name/out" | grep . && return
    sleep 0.1
  done
  echo "our server ($name) did not start" >&2; exit 1
}
our_http=$(start_ours http)
# Row 4's 256 connections all come from one address: past the default per-address
# limit (64), so that row runs against an instance that allows them.
our_wide=$(start_ours wide --max-per-address 1024)
our_ec=$(start_ours ec --tls-cert "$work/ec/server.pem" --tls-key "$work/ec/server.key")
our_rsa=$(start_ours rsa --tls-cert "$work/rsa/server.pem" --tls-key "$work/rsa/server.key")
sleep 0.5

# CPU time (user + system, clock ticks) of a process and its children so far: nginx's
# master and workers, or our one process. On a shared machine the CPU a server spends
# per request says more than its rate, which depends on what else runs.
cpu_ticks() {
  local total=0 p
  for p in "$1" $(pgrep -P "$1"); do
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
table=()
# One row: label, nginx's command, ours, and our server's pid. Each command prints
# "requests/s p99-ms errors"; the row adds the servers' CPU ms per 1,000 requests.
compare() {
  local label=$1 ng=$2 ours=$3 our_pid=$4 i a b r p e t0 t1
  local ng_rps=() ng_p99=() our_rps=() our_p99=() ng_cpu=() our_cpu=() errs=""
  echo "== $label (load average $(cut -d' ' -f1-3 /proc/loadavg))" >&2
  cpu_per_k() { # ticks, rate, seconds of the run
    awk -v t="$1" -v hz="$hz" -v n="$2" -v s="$3" 'BEGIN{printf "%.0f", (n * s > 0) ? t / hz * 1000 / (n * s / 1000) : 0}'
  }
  for ((i = 0; i < runs; i++)); do
    t0=$(cpu_ticks "$ng_pid"); local s0=$EPOCHREALTIME
    read -r r p e <<<"$(eval "$ng")"; ng_rps+=("$r"); ng_p99+=("$p")
    t1=$(cpu_ticks "$ng_pid")
    ng_cpu+=("$(cpu_per_k $((t1 - t0)) "$r" "$(awk -v a="$s0" -v b="$EPOCHREALTIME" 'BEGIN{print b - a}')")")
    [ "$e" != 0 ] && errs+=" nginx:$e"
    t0=$(cpu_ticks "$our_pid"); s0=$EPOCHREALTIME
    read -r r p e <<<"$(eval "$ours")"; our_rps+=("$r"); our_p99+=("$p")
    t1=$(cpu_ticks "$our_pid")
    our_cpu+=("$(cpu_per_k $((t1 - t0)) "$r" "$(awk -v a="$s0" -v b="$EPOCHREALTIME" 'BEGIN{print b - a}')")")
    [ "$e" != 0 ] && errs+=" ours:$e"
    echo "   run $((i + 1)): nginx ${ng_rps[i]}/s p99 ${ng_p99[i]} ms cpu ${ng_cpu[i]} ms/1k," \
         "ours ${our_rps[i]}/s p99 ${our_p99[i]} ms cpu ${our_cpu[i]} ms/1k" >&2
  done
  a=$(echo "${our_rps[*]}" | median); b=$(echo "${ng_rps[*]}" | median)
  local ratio p99d
  ratio=$(awk -v a="$a" -v b="$b" 'BEGIN{printf "%.2f", (b > 0) ? a / b : 0}')
  p99d=$(awk -v a="$(echo "${our_p99[*]}" | median)" -v b="$(echo "${ng_p99[*]}" | median)" \
         'BEGIN{printf "%+.1f", a - b}')
  table+=("| $label | ${our_rps[*]} req/s, p99 ${our_p99[*]} ms | ${ng_rps[*]} req/s, p99 ${ng_p99[*]} ms | $ratio | $p99d | $(echo "${our_cpu[*]}" | median) / $(echo "${ng_cpu[*]}" | median) |${errs:- none} |")
}

for row in "${rows[@]}"; do
  case $row in
  1) compare "1. cmd=c, new connection each, 64 at once (ab, 20,000)" \
       "ab_run 20000 http://127.0.0.1:$ng_http/tx-client.asp" \
       "ab_run 20000 http://127.0.0.1:$our_http/tx-client.asp" "$(<"$work/http/pid")" ;;
  2) for v in 1.3 1.2; do
       for key in ec rsa; do
         name=P-256 ng_port=$ng_ec our_port=$our_ec saved=$runs
         [ $key = rsa ] && name=RSA-2048 ng_port=$ng_rsa our_port=$our_rsa
         [ $key = rsa ] || [ $v = 1.2 ] && runs=$variant_runs
         compare "2. HTTPS, full handshake each, $name, TLS $v (ab, $https_requests)" \
           "ab_run $https_requests https://127.0.0.1:$ng_port/tx-client.asp -f TLS$v" \
           "ab_run $https_requests https://127.0.0.1:$our_port/tx-client.asp -f TLS$v" \
           "$(<"$work/$key/pid")"
         runs=$saved
       done
     done ;;
  3) compare "3. keep-alive, 64 connections (wrk, 8 s)" \
       "wrk_run 64 http://127.0.0.1:$ng_http/tx-client.asp" \
       "wrk_run 64 http://127.0.0.1:$our_http/tx-client.asp" "$(<"$work/http/pid")" ;;
  4) compare "4. keep-alive, 256 connections (wrk, 8 s)" \
       "wrk_run 256 http://127.0.0.1:$ng_http/tx-client.asp" \
       "wrk_run 256 http://127.0.0.1:$our_wide/tx-client.asp" "$(<"$work/wide/pid")" ;;
  5) compare "5. HTTPS keep-alive, 64 connections, P-256 (wrk, 8 s)" \
       "wrk_run 64 https://127.0.0.1:$ng_ec/tx-client.asp" \
       "wrk_run 64 https://127.0.0.1:$our_ec/tx-client.asp" "$(<"$work/ec/pid")" ;;
  6) for v in 1_3 1_2; do
       for mode in new reuse; do
         compare "6. TLS ${v/_/.} handshakes one at a time, P-256, -$mode (s_time, 5 s)" \
           "stime_run $ng_ec -$mode -tls$v" "stime_run $our_ec -$mode -tls$v" "$(<"$work/ec/pid")"
       done
     done ;;
  *) echo "no row $row" >&2; exit 2 ;;
  esac
done

echo
echo "| load | tarnix-server | nginx | ratio | p99 ours - nginx, ms | server CPU ms per 1,000 requests, ours / nginx | errors |"
echo "|---|---|---|---|---|---|---|"
printf '%s\n' "${table[@]}"
