#!/usr/bin/env bash
# Verification codes by mail under load (bench/README.md, "Codes by mail"), with the
# release build, SQLite, and the load tool of server_load.sh sending "9" alone: 64
# clients, no pause, each code to a fresh address (so neither the 30 s interval nor the
# daily cap of an address is reached; the per-client-address budget is off).
#   o  the codes written to the outbox file inside the request (no SMTP);
#   r  the codes queued for an SMTP relay (server/tests/smtp_relay.py, aiosmtpd) that
#      answers each mail's DATA after RELAY_DELAY seconds (2); the mails that reach it
#      while the load runs give the delivery rate to a slow relay;
#   d  delivery: QUEUE_SECONDS (3) of the same load queue codes for a relay that answers
#      at once; then the sender empties the queue, and the rate is the mails received
#      over the time from the first code answered to the last mail received.
#   bench/mail_load.sh [seconds] [tags]    default: 20 "o r o r o r d d d"
# The tags run in the order given, so that compared settings alternate under the same
# background load. The end is a table of every run.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/scripts/common.sh"
source "$root/bench/load_lib.sh"
seconds=${1:-20}
tags=${2:-o r o r o r d d d}
relay_delay=${RELAY_DELAY:-2}
queue_seconds=${QUEUE_SECONDS:-3}
drain_limit=${DRAIN_LIMIT:-900} # seconds to wait for the queue to be empty
relay="$root/server/tests/smtp_relay.py" # Debian's python3 (its first line), with aiosmtpd
"$relay" --help >/dev/null 2>&1 || { echo "needs python3-aiosmtpd"; exit 1; }
build_server_release || exit 1
server="$build/server-release/server/tarnix-server"
load="$build/server-release/bench/server_load"
work=$(mktemp -d /tmp/tarnix-mail-load-XXXXXX)
relay_pid=
cleanup() {
  [ -n "$relay_pid" ] && kill "$relay_pid" 2>/dev/null && wait "$relay_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
budgets=(--challenges-per-minute 0 --sign-ins-per-minute 0 --password-changes-per-minute 0
         --codes-per-minute 0)
load_flags=(--clients 64 --think-ms 0 --flow code)

# start_relay DIR DELAY: the relay with its Maildir in DIR/maildir; sets relay_port.
start_relay() {
  # The relay makes the Maildir (it must not exist yet).
  "$relay" --maildir "$1/maildir" --journal "$1/journal" \
    --delay "$2" >"$1/relay.out" 2>"$1/relay.log" &
  relay_pid=$! relay_port=
  for _ in $(seq 100); do
    relay_port=$(sed -n 's/^ready \([0-9]*\)$/\1/p' "$1/relay.out")
    [ -n "$relay_port" ] && return 0
    sleep 0.1
  done
  echo "the relay did not start:" >&2; cat "$1/relay.log" >&2
  return 1
}

stop_relay() {
  kill "$relay_pid" 2>/dev/null; wait "$relay_pid" 2>/dev/null
  relay_pid=
}

# Receipt times (Unix time) of the mails in a Maildir, in order.
received() { find "$1/new" -type f -printf '%T@\n' 2>/dev/null | sort -n; }

load1() { cut -d' ' -f1 /proc/loadavg; }
field() { # pattern, field number: from the load tool's output
  awk -v p="$1" -v f="$2" 'index($0, p) == 1 {gsub(/[(),;]|\/s/, ""); print $f}' "$dir/result"
}

runs=0
code_table=()
drain_table=()
run() { # tag
  runs=$((runs + 1))
  dir="$work/run$runs"
  mkdir -p "$dir"
  local flags=(--db "$dir/accounts.db" --outbox "$dir/outbox.txt" "${budgets[@]}")
  local transport="outbox file" secs=$seconds
  if [ "$1" != o ]; then
    local delay=$relay_delay
    [ "$1" = d ] && delay=0 secs=$queue_seconds
    start_relay "$dir" "$delay" || return 1
    flags+=(--smtp-url "smtp://127.0.0.1:$relay_port" --smtp-allow-plaintext
            --mail-from "Tarnix <no-reply@example.com>")
    transport="queue, relay answering after $delay s"
  fi
  start_server "$dir" "$server" "${flags[@]}" || return 1
  local pid=$server_pid before after
  before=$(load1)
  echo "== $runs. $transport (load average before: $(cut -d' ' -f1-3 /proc/loadavg))"
  "$load" --port "$server_port" "${load_flags[@]}" --seconds "$secs" --tag "m$runs" |
    tee "$dir/result"
  local rc=${PIPESTATUS[0]}
  local codes from to
  codes=$(field "codes answered" 3)
  from=$(field "codes answered" 6)
  to=$(field "codes answered" 8)
  if [ "$1" = d ]; then
    # Until every queued mail is in the Maildir, given up by the sender, or the limit.
    local waited=0 got=0 done
    while :; do
      got=$(received "$dir/maildir" | wc -l)
      done=$(grep -c ': sent (\|: abandoned' "$dir/log")
      ((got >= codes || done >= codes || waited >= drain_limit)) && break
      sleep 1; waited=$((waited + 1))
    done
  fi
  after=$(load1)
  local cpu
  cpu=$(server_cpu "$pid")
  kill "$pid"; wait "$pid"
  local sent failed
  sent=$(grep -c ': sent (' "$dir/log")
  failed=$(grep -c ': failed (\|: abandoned' "$dir/log")
  local errors
  errors=$(awk '/^errors/{print $2 "+" $4}' "$dir/result" | tr -d '(')
  if [ "$1" = d ]; then
    local last
    last=$(received "$dir/maildir" | tail -n 1)
    # Mails per second: in all, while the codes were being queued, and after.
    read -r in_all during after_load < <(received "$dir/maildir" |
      awk -v a="$from" -v b="$to" -v last="$last" '
        {n++; if ($1 <= b) d++}
        END {printf "%.1f %.1f %.1f\n", (last > a) ? n / (last - a) : 0, d / (b - a),
             (last > b) ? (n - d) / (last - b) : 0}')
    echo "delivered $(received "$dir/maildir" | wc -l) of $codes in $(awk -v a="$from" -v l="$last" 'BEGIN{printf "%.1f", l - a}') s: $in_all/s ($during/s while queueing, $after_load/s after)"
    drain_table+=("| $runs | $codes | $(awk -v a="$from" -v b="$to" 'BEGIN{printf "%.1f", b - a}') s | $(received "$dir/maildir" | wc -l) | $(awk -v a="$from" -v l="$last" 'BEGIN{printf "%.1f", l - a}') s | **$in_all** | $during | $after_load | $failed | $cpu s | $before → $after |")
  else
    local during=0
    [ "$1" = r ] && during=$(received "$dir/maildir" | awk -v b="$to" '$1 <= b {n++} END {print n + 0}')
    code_table+=("| $runs | $transport | $(field "command code:" 4) | $(field "command code:" 6) | **$(field "command code:" 8)** | $(field "command code:" 10) | $errors | $codes | $([ "$1" = r ] && awk -v n="$during" -v s="$(awk -v a="$from" -v b="$to" 'BEGIN{print b - a}')" 'BEGIN{printf "%d (%.2f/s)", n, n / s}' || echo "-") | $cpu s | $before → $after |")
  fi
  [ -n "$relay_pid" ] && stop_relay
  return "$rc"
}

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the start"
status=0
for tag in $tags; do
  case $tag in
    o | r | d) run "$tag" || status=1 ;;
    *) echo "unknown tag $tag" >&2; status=2 ;;
  esac
done
echo
echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg) at the end"
if ((${#code_table[@]})); then
  echo "| run | codes go to | \"9\" per second | p50 ms | p99 ms | max ms | errors (+ in the check) | codes answered | mails received meanwhile | server CPU | load average before → after |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${code_table[@]}"
fi
if ((${#drain_table[@]})); then
  echo
  echo "| run | codes queued | queueing took | mails received | first code to last mail | mails/s | while queueing | after | failed attempts | server CPU | load average before → after |"
  echo "|---|---|---|---|---|---|---|---|---|---|---|"
  printf '%s\n' "${drain_table[@]}"
fi
exit $status
