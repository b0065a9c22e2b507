#!/usr/bin/env bash
# Installs what is missing, builds, starts the reference account server and opens
# Tarnix.exe under Wine. With no display it starts Xvfb, saves a screenshot to
# build/screenshots/ and prints its path. Stopping the client stops the server.
set -uo pipefail
source "$(dirname "$0")/common.sh"
"$root/scripts/deps.sh" || exit 1
build_server_release || exit 1
build_windows || exit 1

data="$build/server-data"
mkdir -p "$data" "$build/screenshots"
server_pid=
server="$build/server-release/server/tarnix-server"
if [ -x "$server" ]; then
  "$server" --db "$data/accounts.db" --outbox "$data/outbox.txt" "$@" >>"$data/server.log" 2>&1 &
  server_pid=$!
  echo "account server: pid $server_pid, log $data/server.log, outbox $data/outbox.txt"
else
  echo "account server not built: the client will show its connection failure"
fi
cleanup() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null
  stop_wine
  [ -n "$STARTED_XVFB" ] && kill "$STARTED_XVFB" 2>/dev/null
}
trap cleanup EXIT

headless=0
[ -z "${DISPLAY:-}" ] && headless=1
ensure_display
boot_wine
"$root/scripts/wine-run.sh" "$build/win/Tarnix.exe" &
client=$!
if ((headless)); then
  # Nobody can see the window: show it in a screenshot, then close the client.
  sleep 6
  shot="$build/screenshots/run-$(date +%Y%m%d-%H%M%S).png"
  import -window root "$shot" && echo "screenshot: $shot"
  kill "$client" 2>/dev/null
  wait "$client" 2>/dev/null
else
  wait "$client"
  echo "Tarnix exited with code $?"
fi
