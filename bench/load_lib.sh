# Shared by the load scripts (sourced): a server on a free port, and its CPU time.

# start_server DIR EXE FLAGS...: runs EXE --port 0 FLAGS..., its stdout in DIR/out and its
# log in DIR/log; sets server_pid and server_port; 1 (the log shown) when it did not start.
start_server() {
  local dir=$1 exe=$2
  shift 2
  "$exe" --port 0 "$@" >"$dir/out" 2>"$dir/log" &
  server_pid=$! server_port=
  for _ in $(seq 100); do
    server_port=$(sed -n 's/.*:\([0-9]*\)\/tx-client.asp$/\1/p' "$dir/out")
    [ -n "$server_port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "the server did not start:" >&2
  cat "$dir/log" >&2
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  return 1
}

# server_cpu PID...: their user + system time so far, in seconds (fields 14 and 15 of
# each stat after the command name, in clock ticks); processes already gone count 0.
server_cpu() {
  local p ticks=0
  for p in "$@"; do
    ticks=$((ticks + $(sed 's/.*) //' "/proc/$p/stat" 2>/dev/null | awk '{t = $12 + $13} END {print t + 0}')))
  done
  awk -v t="$ticks" -v hz="$(getconf CLK_TCK)" 'BEGIN{printf "%.1f", t/hz}'
}
