#!/usr/bin/env bash
# Installs what is missing, builds, starts the reference account server and opens
# Tarnix.exe under Wine. With no display it starts Xvfb, saves a screenshot to
# build/screenshots/ and prints its path. Stopping the client stops the server.
# The client is built with this checkout's update signing key (made on first use
# in build/server-data/) and runs from a copy in build/server-data/client/, which
# an update replaces; given --update-file, the server signs that file with the key.
set -uo pipefail
source "$(dirname "$0")/common.sh"
"$root/scripts/deps.sh" || exit 1
build_server_release || exit 1
build_windows || exit 1

data="$build/server-data"
mkdir -p "$data" "$build/screenshots"
server_pid=
server="$build/server-release/server/tarnix-server"
server_args=("$@")
for arg in "$@"; do
  case "$arg" in
    --update-file | --update-file=*)
      [ -f "$data/update-key.pem" ] && server_args+=(--update-key "$data/update-key.pem") ;;
  esac
done
# The key that signs device cookies, made on first use: with it a client stays a
# known device of its accounts across server restarts.
if [ ! -f "$data/device.key" ]; then
  (umask 077 && head -c 32 /dev/urandom >"$data/device.key.new" &&
    mv "$data/device.key.new" "$data/device.key")
fi
if [ -x "$server" ]; then
  # The key of the stored passwords, made on first use beside the database.
  [ -f "$data/secret.key" ] || "$server" keygen-secret "$data" || exit 1
  "$server" --db "$data/accounts.db" --outbox "$data/outbox.txt" \
    --device-key-file "$data/device.key" --secret-key-file "$data/secret.key" \
    "${server_args[@]}" \
    >>"$data/server.log" 2>&1 &
  server_pid=$!
  codes_to="the outbox $data/outbox.txt (one line per code: time, address, code)"
  for arg in "$@"; do
    case "$arg" in
      --smtp-url=*) codes_to="the SMTP relay ${arg#--smtp-url=}" ;;
      --smtp-url) codes_to="the SMTP relay named by --smtp-url" ;;
    esac
  done
  echo "account server: pid $server_pid, log $data/server.log"
  echo "verification codes go to $codes_to"
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
# A fresh copy each run: an update replaces the program in its own folder.
client_dir="$data/client"
mkdir -p "$client_dir"
rm -f "$client_dir"/Tarnix.exe*
cp "$build/win/Tarnix.exe" "$client_dir/Tarnix.exe"
(cd "$client_dir" && exec "$root/scripts/wine-run.sh" "$client_dir/Tarnix.exe") &
client=$!
if ((headless)); then
  # Nobody can see the window: show it in a screenshot, then close the client.
  sleep 6
  shot="$build/screenshots/run-$(date +%Y%m%d-%H%M%S).png"
  import -window root "$shot" && echo "screenshot: $shot"
  if kill -0 "$client" 2>/dev/null; then
    kill "$client" 2>/dev/null
    wait "$client" 2>/dev/null
    echo "Tarnix was closed by this script after the screenshot (no display to show it on)."
    exit 0
  fi
  wait "$client"
  code=$?
  echo "Tarnix ended by itself before the screenshot, with code $code"
  exit $code
else
  wait "$client"
  echo "Tarnix exited with code $?"
fi
