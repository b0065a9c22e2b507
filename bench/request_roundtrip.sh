#!/usr/bin/env bash
# Round trip of one account request against a local server that answers at once:
# server_request (WinInet, under Wine) and curl making the same POST, both with a
# new connection per request, sequential requests, the median of each. The
# server is a tiny Python peer on 127.0.0.1 (one answer per connection,
# "ConnectionOk", then close). server_request is also measured against the
# tests' scripted responder inside the benchmark process.
#
#   bench/request_roundtrip.sh [requests=200] [rounds=5]   (needs build/win configured)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
n=${1:-200}
rounds=${2:-5}
cmake --build "$root/build/win" --target request_roundtrip_bench minimal_post >/dev/null
exe="$root/build/win/bench/request_roundtrip_bench.exe"
minimal="$root/build/win/bench/minimal_post.exe"
work=$(mktemp -d)
server_pid=
cleanup() { [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null; rm -rf "$work"; }
trap cleanup EXIT

python3 - "$work/port" <<'PY' &
import socket, sys
s = socket.socket()
s.bind(("127.0.0.1", 0))
s.listen(64)
open(sys.argv[1], "w").write(str(s.getsockname()[1]))
answer = b"HTTP/1.1 200 OK\r\nContent-Length: 12\r\nConnection: close\r\n\r\nConnectionOk"
while True:
    c, _ = s.accept()
    data = b""
    while b"\r\n\r\n" not in data:
        piece = c.recv(65536)
        if not piece:
            break
        data += piece
    head, _, body = data.partition(b"\r\n\r\n")
    length = 0
    for line in head.split(b"\r\n"):
        if line.lower().startswith(b"content-length:"):
            length = int(line.split(b":", 1)[1])
    while len(body) < length:
        piece = c.recv(65536)
        if not piece:
            break
        body += piece
    c.sendall(answer)
    c.close()
PY
server_pid=$!
for _ in $(seq 50); do [ -s "$work/port" ] && break; sleep 0.1; done
url="http://127.0.0.1:$(cat "$work/port")/tx-client.asp"

field() { awk -v k="$1" '/^(server_request|minimal_)/{for(i=1;i<=NF;i++) if($i==k) print $(i+1)}' | tr -d '\r'; }
port=$(cat "$work/port")
# The three Wine programs take turns, round after round, so that a change in
# the machine's load falls on all of them alike; each figure is the median of
# the rounds' medians.
: >"$work/rounds"
for r in $(seq "$rounds"); do
  "$root/scripts/wine-run.sh" "$minimal" wininet "$port" "$n" >"$work/minimal-wininet.log" 2>&1
  "$root/scripts/wine-run.sh" "$exe" "$n" "$url" >"$work/native-peer.log" 2>&1
  "$root/scripts/wine-run.sh" "$minimal" winsock "$port" "$n" >"$work/minimal-winsock.log" 2>&1
  # The same two WinInet POSTs in one process, request by request in turn.
  "$root/scripts/wine-run.sh" "$exe" "$n" "$url" alternate >"$work/alternate.log" 2>&1
  alt=$(tr -d '\r' <"$work/alternate.log" | awk '/^alternate/{for(i=1;i<=NF;i++) v[$i]=$(i+1)
    print v["server_request_ms"], v["minimal_wininet_ms"], v["difference_ms"]}')
  echo "$r $(field median_ms <"$work/native-peer.log") $(field median_ms <"$work/minimal-wininet.log") \
$(field median_ms <"$work/minimal-winsock.log") $(field wrong <"$work/native-peer.log") \
$(cut -d' ' -f1 /proc/loadavg) $alt" >>"$work/rounds"
done
"$root/scripts/wine-run.sh" "$exe" "$n" >"$work/responder.log" 2>&1

# curl: time_total is curl's own request time; wall is the whole process.
: >"$work/curl_total"
: >"$work/curl_wall"
for _ in $(seq "$n"); do
  t0=$(date +%s%N)
  curl -s -o /dev/null -w '%{time_total}\n' -X POST \
    -H 'Content-Type: application/x-www-form-urlencoded' --data 'cmd=c' "$url" >>"$work/curl_total"
  t1=$(date +%s%N)
  echo $(( (t1 - t0) / 1000 )) >>"$work/curl_wall"
done

median() { sort -g | awk '{a[NR]=$1} END {if (NR%2) print a[(NR+1)/2]; else print (a[NR/2]+a[NR/2+1])/2}'; }
echo "       separate processes                          in turn, one process"
echo "round  server_request  minimal WinInet  minimal Winsock  server_request  minimal WinInet  difference  (ms, medians; load)"
awk '{printf "%5s  %14s  %15s  %15s  %14s  %15s  %10s  (%s)\n", $1, $2, $3, $4, $7, $8, $9, $6}' \
  "$work/rounds"
sr=$(awk '{print $2}' "$work/rounds" | median)
sr_wrong=$(awk '{s += $5} END {print s}' "$work/rounds")
rr=$(field median_ms <"$work/responder.log")
mi=$(awk '{print $3}' "$work/rounds" | median)
ms=$(awk '{print $4}' "$work/rounds" | median)
at=$(awk '{print $7}' "$work/rounds" | median)
am=$(awk '{print $8}' "$work/rounds" | median)
ad=$(awk '{print $9}' "$work/rounds" | median)
ct=$(median <"$work/curl_total" | awk '{printf "%.3f", $1 * 1000}')
cw=$(median <"$work/curl_wall" | awk '{printf "%.3f", $1 / 1000}')
echo "requests: $n each per round, $rounds rounds, sequential, new connection per request; load after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo "server_request -> Python peer, median:        ${sr} ms (wrong answers: ${sr_wrong})"
echo "server_request -> in-process responder:       ${rr} ms"
echo "minimal WinInet POST -> Python peer, median:  ${mi} ms"
echo "minimal Winsock POST -> Python peer, median:  ${ms} ms"
echo "in turn in one process: server_request ${at} ms, minimal WinInet ${am} ms, difference ${ad} ms"
echo "curl -> Python peer, time_total median:       ${ct} ms"
echo "curl -> Python peer, process wall median:     ${cw} ms"
awk -v a="$sr" -v b="$mi" -v c="$ms" \
  'BEGIN {printf "ratio server_request / minimal WinInet: %.2f; / minimal Winsock: %.2f\n", a / b, a / c}'
awk -v a="$sr" -v b="$ct" -v c="$cw" \
  'BEGIN {printf "ratio server_request / curl time_total: %.1f; server_request / curl wall: %.2f\n", a / b, a / c}'
