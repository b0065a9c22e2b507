#!/usr/bin/env bash
# Runs one whole-program scenario: starts the reference account server (a
# native Linux program) as the scenario needs it, runs the Windows driver under
# Wine against the built client, and stops the server afterwards.
#
#   run_e2e.sh SCENARIO SERVER DRIVER TARNIX_EXE APP_PROG NEXT_EXE WORK_DIR [PUBLIC_KEY PRIVATE_KEY]
#
# PUBLIC_KEY is the update key the clients were built with (empty: unsigned
# updates); PRIVATE_KEY, its private half, with which the server signs the update.
#
# SCENARIO is one of:
#   server_down   nothing listens on the client's built-in port 8866; the real Tarnix.exe
#   fresh_server  a new server on a free port, mailing its codes to a local relay
#                 (tests/support/mail_relay.sh) whose Maildir the driver reads; the
#                 client started with that endpoint
#   cluster       as fresh_server, through scripts/cluster.sh: two instances on one
#                 PostgreSQL database (and its mail queue) behind HAProxy (exit 77 when
#                 those are not installed)
#   device_cookie a new server on a free port: the client signs in through its window,
#                 the account is then locked from outside with 5 wrong proofs, and the
#                 client, started again in the same prefix, still signs in (its device
#                 cookie kept there); in a fresh prefix the same password gets the lock
#   installed     a server on 8866; TARNIX_EXE is an installed copy, started in its folder
#   update        a server on 8866 that names version 1.002 and serves NEXT_EXE;
#                 the real Tarnix.exe, copied into a folder of its own, updates itself
#                 (signed by the server when the client was built with a key)
#   rollout       a server on 8866 naming 1.001 with a rollout of 1.002 (NEXT_EXE): at
#                 0 % the real Tarnix.exe is offered nothing; at 100 % it updates
#                 itself (its downloads carrying the install cookie it got at the
#                 first run); after pull the same install, as 1.001 again, is
#                 offered nothing new
#   rollback      a server on 8866 that names the older version 1.000 and serves a
#                 release signed for it; with a key the real Tarnix.exe stays as it is
set -uo pipefail
scenario=$1 server=$2 driver=$3 tarnix=$4 app_prog=$5 next=$6 work=$7
public_key=${8:-} private_key=${9:-}
here=$(cd "$(dirname "$0")" && pwd)
wine_run="$here/../../scripts/wine-run.sh"

# The texts the driver expects; keep them equal to those in scenarios_win.cpp.
announcement="欢迎使用Tarnix账号服务，祝您使用愉快"
description="修复了若干问题，提升了稳定性"

dir="$work/e2e_$scenario"
rm -rf "$dir"
mkdir -p "$dir"
server_pid=

cluster_state=
stop_server() {
  if [ -n "$cluster_state" ]; then
    TARNIX_CLUSTER_STATE=$cluster_state "$here/../../scripts/cluster.sh" stop >/dev/null
    cluster_state=
    return 0
  fi
  [ -n "$server_pid" ] || return 0
  kill -TERM "$server_pid" 2>/dev/null
  local rc=0
  wait "$server_pid" || rc=$?
  server_pid=
  return $rc
}

# The mailbox of the scenarios that sign up: the relay the server mails its codes to.
relay_dir="$dir/relay"
relay_port=
start_relay() {
  relay_port=$(sh "$here/../support/mail_relay.sh" start "$relay_dir" 170) || return 1
}
trap 'stop_server; sh "$here/../support/mail_relay.sh" stop "$relay_dir"' EXIT

# Asks the server with curl, as a client without cookies; the answer's body.
ask() {
  curl -s --max-time 10 --data-binary "$1" "$url"
}

# One sign-in attempt from outside; its answer.
sign_in_from_outside() {
  local challenge
  challenge=$(ask "cmd=0&u=$1")
  ask "cmd=1&u=$1&p=$(printf '%s' "$challenge$2" | md5sum | cut -d' ' -f1)"
}

port_in_use() {
  (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null
}

# Starts the server with the given flags; sets url to the endpoint it prints.
start_server() {
  # timeout: should this script be killed, the server still frees its port.
  timeout 170 "$server" --db "$dir/accounts.db" --outbox "$dir/outbox.txt" "$@" \
    >"$dir/server.out" 2>"$dir/server.log" &
  server_pid=$!
  for _ in $(seq 100); do
    url=$(sed -n 's/^tarnix-server listening on //p' "$dir/server.out")
    [ -n "$url" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "run_e2e: the server did not start:" >&2
  cat "$dir/server.log" >&2
  return 1
}

# Sets key_args to what makes the server sign its update file with the key
# the client was built with (none for a client without a key).
key_args=()
signing_args() {
  key_args=()
  [ -n "$public_key" ] || return 0
  # The client takes only an update signed with its key: the server must hold it.
  if [ ! -f "$private_key" ]; then
    echo "run_e2e: the client was built with an update key; give its private key as TARNIX_E2E_UPDATE_KEY" >&2
    return 1
  fi
  local have
  have=$(openssl ec -in "$private_key" -pubout -outform DER 2>/dev/null | tail -c 64 |
    od -An -v -tx1 | tr -d ' \n')
  if [ "$have" != "$(echo "$public_key" | tr 'A-F' 'a-f')" ]; then
    echo "run_e2e: $private_key is not the key the client was built with" >&2
    return 1
  fi
  key_args=(--update-key "$private_key")
}

if [ ! -x "$server" ]; then
  echo "run_e2e: no server at $server (build the native tree first)" >&2
  exit 1
fi

url=
args=()
case "$scenario" in
  server_down)
    if port_in_use 8866; then
      echo "run_e2e: something listens on 127.0.0.1:8866; this scenario needs the port closed" >&2
      exit 1
    fi
    args=(--gtest_filter=EndToEnd.ServerDown "--tarnix=$tarnix")
    ;;
  installed)
    # TARNIX_EXE is the program as the installer put it, in its own folder.
    if port_in_use 8866; then
      echo "run_e2e: something listens on 127.0.0.1:8866; this scenario needs the port" >&2
      exit 1
    fi
    start_server --port 8866 --announcement "$announcement" || exit 1
    args=(--gtest_filter=EndToEnd.Installed "--tarnix=$tarnix")
    ;;
  fresh_server)
    start_relay || exit 1
    start_server --port 0 --announcement "$announcement" --smtp-url "smtp://127.0.0.1:$relay_port" \
      --smtp-allow-plaintext --mail-from "Tarnix <no-reply@example.com>" || exit 1
    args=(--gtest_filter=EndToEnd.FreshServer "--app=$app_prog" "--url=$url"
          "--maildir=$relay_dir/Maildir" "--server-log=$dir/server.log")
    ;;
  device_cookie)
    start_server --port 0 --announcement "$announcement" --lock-seconds 600 || exit 1
    account=e2e-device password=secret-e2e
    [ "$(ask "cmd=9&emily=device@example.com" | wc -c)" = 6 ] &&
      ask "cmd=2&u=$account&p=$password&q=device@example.com" >/dev/null || {
      echo "run_e2e: cannot make the account" >&2
      exit 1
    }
    common=("--app=$app_prog" "--url=$url" "--server-log=$dir/server.log"
            "--account=$account" "--password=$password")
    # A prefix of its own for the device too: Wine 8 keeps a host's cookies in one
    # file named by its cache index, and once other tests have made that file it
    # writes later cookies to new files the index never points to, so a cookie set
    # in the shared prefix is not there for the next process.
    device_prefix="$dir/device-prefix"
    export WINEPREFIX=$device_prefix
    "$wine_run" "$driver" --gtest_filter=EndToEnd.SignInAsDevice "${common[@]}" --expect=new ||
      exit 1
    # A stranger without the cookie: five wrong proofs lock the account for strangers.
    for _ in 1 2 3 4 5; do sign_in_from_outside "$account" wrong-guess >/dev/null; done
    if ! grep -q "account $account locked for clients it does not know" "$dir/server.log" ||
      ! sign_in_from_outside "$account" "$password" | iconv -f gbk -t utf-8 | grep -q "锁定"; then
      echo "run_e2e: five wrong proofs from outside did not lock the account" >&2
      exit 1
    fi
    "$wine_run" "$driver" --gtest_filter=EndToEnd.SignInAsDevice "${common[@]}" --expect=known
    rc=$?
    /usr/lib/wine/wineserver -k 2>/dev/null
    rm -rf "$device_prefix" "$device_prefix.lock"
    unset WINEPREFIX
    ((rc == 0)) || exit 1
    # A prefix of its own: no cookie, so the lock holds for it.
    fresh_prefix="$dir/fresh-prefix"
    args=(--gtest_filter=EndToEnd.SignInAsDevice "${common[@]}" --expect=locked)
    WINEPREFIX=$fresh_prefix "$wine_run" "$driver" "${args[@]}"
    rc=$?
    WINEPREFIX=$fresh_prefix /usr/lib/wine/wineserver -k 2>/dev/null
    rm -rf "$fresh_prefix" "$fresh_prefix.lock"
    stop_server || rc=1
    exit $rc
    ;;
  cluster)
    if ! command -v haproxy >/dev/null || ! ls /usr/lib/postgresql/*/bin/initdb >/dev/null 2>&1; then
      echo "run_e2e: PostgreSQL or HAProxy is not installed: skipping the cluster scenario"
      exit 77
    fi
    port=18866
    while port_in_use "$port"; do port=$((port + 1)); done
    start_relay || exit 1
    cluster_state="$dir/cluster.dir"
    # The flags are split at spaces: a sender without a display name.
    TARNIX_CLUSTER_STATE=$cluster_state TARNIX_CLUSTER_SERVER=$server \
      TARNIX_SERVER_ARGS="--announcement $announcement --smtp-url smtp://127.0.0.1:$relay_port
        --smtp-allow-plaintext --mail-from no-reply@example.com" \
      "$here/../../scripts/cluster.sh" start "$port" || exit 1
    cluster_dir=$(cat "$cluster_state")
    args=(--gtest_filter=EndToEnd.FreshServer "--app=$app_prog"
          "--url=http://127.0.0.1:$port/tx-client.asp" "--maildir=$relay_dir/Maildir"
          "--server-log=$cluster_dir/server.log")
    ;;
  update)
    if port_in_use 8866; then
      echo "run_e2e: something listens on 127.0.0.1:8866; this scenario needs the port" >&2
      exit 1
    fi
    # E2E_INSTALL_DIR: an installed copy (TARNIX_EXE is then the file it holds).
    install_dir=${E2E_INSTALL_DIR:-$dir/install}
    if [ -z "${E2E_INSTALL_DIR:-}" ]; then
      mkdir -p "$install_dir"
      cp "$tarnix" "$install_dir/Tarnix.exe"
    fi
    # The new program with 4 KiB appended (ignored by the loader), so that the
    # old and the new file never have the same size.
    cp "$next" "$dir/served.exe"
    head -c 4096 /dev/zero >>"$dir/served.exe"
    signing_args || exit 1
    start_server --port 8866 --client-version 1.002 --update-file "$dir/served.exe" \
      --update-location 127.0.0.1:8866/download/Tarnix.exe "${key_args[@]}" \
      --update-description "$description" --announcement "" || exit 1
    args=(--gtest_filter=EndToEnd.Update "--install=$install_dir" "--served=$dir/served.exe"
          "--original=$tarnix" "--server-log=$dir/server.log" "--signed=${#key_args[@]}")
    ;;
  rollback)
    if port_in_use 8866; then
      echo "run_e2e: something listens on 127.0.0.1:8866; this scenario needs the port" >&2
      exit 1
    fi
    install_dir=$dir/install
    mkdir -p "$install_dir"
    cp "$tarnix" "$install_dir/Tarnix.exe"
    # An older release, validly signed for the version the server names: this
    # very program, made another size so that taking it would show.
    cp "$tarnix" "$dir/served.exe"
    head -c 4096 /dev/zero >>"$dir/served.exe"
    signing_args || exit 1
    start_server --port 8866 --client-version 1.000 --update-file "$dir/served.exe" \
      --update-location 127.0.0.1:8866/download/Tarnix.exe "${key_args[@]}" \
      --update-description "$description" --announcement "$announcement" || exit 1
    args=(--gtest_filter=EndToEnd.Rollback "--install=$install_dir" "--original=$tarnix"
          "--server-log=$dir/server.log" "--signed=${#key_args[@]}")
    ;;
  rollout)
    if port_in_use 8866; then
      echo "run_e2e: something listens on 127.0.0.1:8866; this scenario needs the port" >&2
      exit 1
    fi
    install_dir=$dir/install
    mkdir -p "$install_dir"
    cp "$tarnix" "$install_dir/Tarnix.exe"
    cp "$next" "$dir/served.exe"
    head -c 4096 /dev/zero >>"$dir/served.exe"
    signing_args || exit 1
    if [ ${#key_args[@]} -gt 0 ]; then
      "$here/../support/sign_update.sh" sign "$private_key" "$dir/served.exe" 1.002 \
        "$dir/served.exe.sig" || exit 1
    else
      head -c 64 /dev/zero >"$dir/served.exe.sig" # a client without a key fetches none
    fi
    start_server --port 8866 --update-location 127.0.0.1:8866/download/Tarnix.exe \
      --announcement "$announcement" || exit 1
    rollout() { "$server" admin --db "$dir/accounts.db" rollout "$@" >>"$dir/admin.out"; }
    # Every step waits out the second in which the server may still hold the last one.
    rollout start 1.002 --file "$dir/served.exe" --signature "$dir/served.exe.sig" \
      --description "$description" --percent 0 || exit 1
    sleep 1.2
    "$wine_run" "$driver" --gtest_filter=EndToEnd.RolloutOffersNothing --phase=0 \
      "--install=$install_dir" "--original=$tarnix" "--server-log=$dir/server.log" \
      --downloads-before=0 || exit 1
    rollout percent 100 || exit 1
    sleep 1.2
    "$wine_run" "$driver" --gtest_filter=EndToEnd.Update "--install=$install_dir" \
      "--served=$dir/served.exe" "--original=$tarnix" "--server-log=$dir/server.log" \
      "--signed=${#key_args[@]}" || exit 1
    # One install across all three runs (its cookie kept in the prefix), and its
    # download counted for it: the download carried the cookie.
    installs=$(sqlite3 -bail "$dir/accounts.db" 2>&1 "SELECT COUNT(*), SUM(offered > 0),
      SUM(file_bytes > 0 OR completed > 0) FROM rollout_installs
      WHERE CAST(version AS TEXT) = '1.002'")
    if [ "$installs" != "1|1|1" ]; then
      echo "run_e2e: rollout installs (all|offered|fetched) are $installs, not 1|1|1" >&2
      exit 1
    fi
    rollout pull || exit 1
    sleep 1.2
    cp "$tarnix" "$install_dir/Tarnix.exe"
    args=(--gtest_filter=EndToEnd.RolloutOffersNothing --phase=pulled "--install=$install_dir"
          "--original=$tarnix" "--server-log=$dir/server.log"
          "--downloads-before=$(grep -c "GET /download/" "$dir/server.log")")
    ;;
  *)
    echo "run_e2e: unknown scenario $scenario" >&2
    exit 2
    ;;
esac

"$wine_run" "$driver" "${args[@]}"
rc=$?
if ! stop_server; then
  echo "run_e2e: the server did not stop cleanly" >&2
  rc=1
fi
if [ $rc -ne 0 ] && [ -s "$dir/server.log" ]; then
  echo "--- server log" >&2
  tail -n 40 "$dir/server.log" >&2
fi
exit $rc
