#!/usr/bin/env bash
# Checks the account server's Debian package on this machine, as an operator uses
# it: installed with apt-get, its unit verified and rated by systemd-analyze, the
# installed server started with the packaged configuration as user tarnix (no
# systemd runs here, so as the unit would: setpriv, umask 077), data kept when the
# package is removed, codes mailed through a real relay once the configuration's SMTP
# lines are filled in as the operator's guide says, and nothing left once it is purged. Needs root; installs and
# purges tarnix-server system-wide.
#
#   package_test.sh DEB WORK_DIR
set -uo pipefail
abs() { echo "$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"; }
deb=$(abs "$1") work=$(abs "$2")
root=$(cd "$(dirname "$0")/../.." && pwd)
unit=/lib/systemd/system/tarnix-server.service
config=/etc/tarnix/server.toml
state=/var/lib/tarnix
max_exposure=2.0

if [ "$(id -u)" != 0 ]; then
  echo "package checks: skipped (needs root)"
  exit 77
fi
mkdir -p "$work"

failures=0
check() { # check DESCRIPTION COMMAND...
  local what=$1
  shift
  if "$@"; then
    echo "ok   $what"
  else
    echo "FAIL $what"
    failures=$((failures + 1))
  fi
}

version=$(dpkg-deb -f "$deb" Version)
install_package() {
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "$deb" \
    >"$work/apt.log" 2>&1 || { tail -n 20 "$work/apt.log"; return 1; }
}
mode_owner() { stat -c '%a %U:%G' "$1" 2>/dev/null; }

# A run before that stopped half-way leaves it installed.
dpkg --purge tarnix-server >/dev/null 2>&1

check "apt-get install ./$(basename "$deb")" install_package
check "installed at $version" test "$(dpkg-query -W -f='${Status} ${Version}' tarnix-server)" = \
  "install ok installed $version"
check "system user and group tarnix" \
  bash -c 'uid=$(id -u tarnix) && [ "$uid" -lt 1000 ] && [ "$(id -gn tarnix)" = tarnix ]'
check "the binary in /usr/sbin" test -x /usr/sbin/tarnix-server
check "the operator's guide in /usr/share/doc" test -s /usr/share/doc/tarnix-server/operating.md.gz
check "the HAProxy example in the package" bash -c "dpkg-deb -c \"$deb\" | grep '/usr/share/doc/tarnix-server/examples/tarnix.cfg$' >/dev/null"
check "$config is a conffile" bash -c "dpkg-query -W -f='\${Conffiles}' tarnix-server | grep -q ' $config '"
check "$config is 0640 root:tarnix" test "$(mode_owner $config)" = "640 root:tarnix"
check "$state is 0700 tarnix:tarnix" test "$(mode_owner $state)" = "700 tarnix:tarnix"
check "a device key of 32 bytes, 0600 tarnix" bash -c "[ \"\$(stat -c '%a %U %s' $state/device.key)\" = '600 tarnix 32' ]"
device_key=$(sha256sum <$state/device.key)
check "a password key of 64 hex digits and a newline, 0600 tarnix" bash -c \
  "[ \"\$(stat -c '%a %U %s' $state/secret.key)\" = '600 tarnix 65' ] && grep -qx '[0-9a-f]\{64\}' $state/secret.key"
secret_key=$(sha256sum <$state/secret.key)

systemd-analyze verify "$unit" >"$work/verify.log" 2>&1
verified=$?
check "systemd-analyze verify passes, silently" \
  bash -c "[ $verified = 0 ] && [ ! -s '$work/verify.log' ] || { cat '$work/verify.log'; false; }"
systemd-analyze security --offline=true "$unit" >"$work/security.log" 2>&1
exposure=$(sed -n 's/.*Overall exposure level for tarnix-server.service: \([0-9.]*\).*/\1/p' \
  "$work/security.log")
echo "     exposure $exposure"
check "exposure $exposure is at most $max_exposure" \
  awk -v e="$exposure" -v m="$max_exposure" 'BEGIN { exit !(e != "" && e + 0 <= m + 0) }'
check "the unit runs the packaged configuration as tarnix" \
  grep -qx "ExecStart=/usr/sbin/tarnix-server --config $config" "$unit"

# As the unit runs things: user tarnix, in /.
as_tarnix() { (cd / && exec setpriv --reuid=tarnix --regid=tarnix --init-groups "$@"); }

check "the packaged configuration keeps metrics on 127.0.0.1:9866" bash -c "$(declare -f as_tarnix);
  as_tarnix /usr/sbin/tarnix-server --config $config --print-config |
  grep -qx 'admin-listen = \"127.0.0.1:9866\"'"
check "the packaged configuration names the password key" bash -c "$(declare -f as_tarnix);
  as_tarnix /usr/sbin/tarnix-server --config $config --print-config |
  grep -qx 'secret-key-file = \"$state/secret.key\"'"

# The installed server, as the unit starts it, on free ports (the public one and
# the admin listener's). Sets its pid and ports into server_pid, port and admin_port.
server_pid= port= admin_port=
start_server() {
  rm -f "$work/stdout"
  (cd / && umask 077 && exec setpriv --reuid=tarnix --regid=tarnix --init-groups \
    /usr/sbin/tarnix-server --config "$config" --port 0 --admin-listen 127.0.0.1:0 \
    >"$work/stdout" 2>"$work/server.log") &
  server_pid=$!
  for _ in $(seq 100); do
    port=$(sed -n 's/.*listening on http:\/\/[^:]*:\([0-9]*\).*/\1/p' "$work/stdout" 2>/dev/null)
    admin_port=$(sed -n 's/.*admin listener on http:\/\/[^:]*:\([0-9]*\).*/\1/p' "$work/stdout" \
      2>/dev/null)
    [ -n "$port" ] && [ -n "$admin_port" ] && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$work/server.log"
  return 1
}
stop_server() {
  kill -TERM "$server_pid" 2>/dev/null
  wait "$server_pid"
}
ask() { curl -s --max-time 5 --data-binary "$1" "http://127.0.0.1:$port/tx-client.asp"; }
status_field() { ask "cmd=5" | iconv -f GBK -t UTF-8 | cut -d'|' -f"$1"; }
sign_in() { # sign_in NAME PASSWORD: the answer, in UTF-8
  local challenge proof
  challenge=$(ask "cmd=0&u=$1")
  proof=$(printf '%s' "$challenge$2" | md5sum | cut -c1-32)
  ask "cmd=1&u=$1&p=$proof" | iconv -f GBK -t UTF-8
}

check "the installed server starts as tarnix with $config" start_server
get() { curl -s -o /dev/null -w '%{http_code}' --max-time 5 "http://127.0.0.1:$1"; }
check "it is ready (/readyz 200)" test "$(get "$port/readyz")" = 200
check "ready on the admin listener too" test "$(get "$admin_port/readyz")" = 200
check "its metrics name the package's version" bash -c "curl -s --max-time 5 \
  http://127.0.0.1:$admin_port/metrics | grep -qx 'tarnix_build_info{version=\"$version\"} 1'"
check "no metrics on the public port" test "$(get "$port/metrics")" != 200
check "it answers" test "$(ask 'cmd=c')" = "ConnectionOk"
check "it runs as tarnix" test "$(ps -o user= -p "$server_pid")" = tarnix
check "it signs device cookies with the packaged key" bash -c "! grep -q 'no --device-key-file' '$work/server.log'"
check "it logs that passwords are sealed" bash -c "grep -q 'passwords sealed under key' '$work/server.log' &&
  ! grep -q 'stored in plain text' '$work/server.log'"
check "its version is the package's" test "$(status_field 7)" = "tarnix-server $version"
code=$(ask "cmd=9&emily=pkg@example.com")
check "a sign-up goes into $state" test "$(ask "cmd=2&u=pkguser1&p=secret1&q=pkg@example.com" |
  iconv -f GBK -t UTF-8)" = "注册成功"
check "the admin command, as tarnix, finds the account" bash -c "$(declare -f as_tarnix);
  as_tarnix /usr/sbin/tarnix-server admin --config $config accounts show pkguser1 |
  grep -q pkg@example.com"
check "the database is tarnix's, 0600" test "$(mode_owner $state/accounts.db)" = "600 tarnix:tarnix"
check "SIGTERM stops it with exit code 0" stop_server

check "dpkg --remove" bash -c "dpkg --remove tarnix-server >\"$work/remove.log\" 2>&1"
check "removing keeps the accounts" test -f $state/accounts.db
check "removing keeps the configuration" test -f $config
check "reinstall" install_package
check "the reinstalled server starts" start_server
check "the account is still there" test "$(status_field 8)" = 1
check "the device key is the same" test "$(sha256sum <$state/device.key)" = "$device_key"
check "the password key is the same" test "$(sha256sum <$state/secret.key)" = "$secret_key"
check "the account still signs in (its sealed password opens)" test "$(sign_in pkguser1 secret1)" = "ok，欢迎回来"
check "stopped again" stop_server

# The guide's way to real mail: only the SMTP lines of the packaged configuration
# filled in, the password file made as the guide says, and a code then reaches a
# real relay (STARTTLS, AUTH; its certificate from a throw-away authority, which
# the configuration's commented smtp-ca-file line is for).
relay_pid=
start_relay() {
  # The relay makes its Maildir (a folder already there would lack new/ and cur/).
  rm -rf "$work/relay" && mkdir -p "$work/relay"
  sh "$root/server/tests/make_test_ca.sh" "$work/relay/ca" || return 1
  install -m 0644 "$work/relay/ca/ca.pem" /etc/tarnix/relay-ca.pem
  /usr/bin/python3 "$root/server/tests/smtp_relay.py" --port 0 --maildir "$work/relay/maildir" \
    --journal "$work/relay/journal" --auth relayuser:relay-pass-1 \
    --starttls "$work/relay/ca/server.pem" "$work/relay/ca/server.key" >"$work/relay/stdout" \
    2>"$work/relay/stderr" &
  relay_pid=$!
  for _ in $(seq 100); do
    relay_port=$(sed -n 's/^ready \([0-9]*\)$/\1/p' "$work/relay/stdout")
    [ -n "$relay_port" ] && return 0
    sleep 0.1
  done
  cat "$work/relay/stderr"
  return 1
}
fill_smtp_lines() {
  sed -i -e "s|^# smtp-url = .*|smtp-url = \"smtp://127.0.0.1:$relay_port\"|" \
    -e 's|^# smtp-user = .*|smtp-user = "relayuser"|' \
    -e 's|^# \(smtp-password-file = \)|\1|' -e 's|^# \(mail-from = \)|\1|' \
    -e 's|^# \(smtp-ca-file = \)|\1|' "$config"
  install -o tarnix -g tarnix -m 0600 /dev/null /etc/tarnix/smtp-password
  printf 'relay-pass-1\n' | sh -c 'cat >/etc/tarnix/smtp-password'
  [ "$(grep -c '^smtp-\|^mail-from' "$config")" = 5 ]
}
# The first mail in the relay's Maildir whose decoded body holds the code.
mailed() { # mailed CODE ADDRESS
  /usr/bin/python3 - "$work/relay/maildir" "$1" "$2" <<'PY'
import mailbox, os, sys
if not os.path.isdir(os.path.join(sys.argv[1], "new")):
    sys.exit(1)
for m in mailbox.Maildir(sys.argv[1], create=False):
    if m["To"] == sys.argv[3] and sys.argv[2] in m.get_payload(decode=True).decode():
        sys.exit(0)
sys.exit(1)
PY
}
check "a real SMTP relay starts" start_relay
check "the SMTP lines filled in as the guide says" fill_smtp_lines
check "check-config, as tarnix, passes" bash -c "$(declare -f as_tarnix);
  as_tarnix /usr/sbin/tarnix-server check-config --config $config >'$work/check-config.log' 2>&1 ||
  { cat '$work/check-config.log'; false; }"
check "the server starts with mail" start_server
code=$(ask "cmd=9&emily=mailed@example.com")
check "a code is given" bash -c "[[ '$code' =~ ^[0-9]{6}\$ ]]"
delivered() {
  for _ in $(seq 150); do
    mailed "$code" mailed@example.com && return 0
    sleep 0.1
  done
  cat "$work/server.log" "$work/relay/journal"
  return 1
}
check "the code reaches the relay's mailbox" delivered
check "the server signed in to the relay" grep -qx 'auth relayuser ok' "$work/relay/journal"
check "nothing went to the outbox" bash -c "! grep -q mailed@example.com $state/outbox.txt"
check "a sign-up with the mailed code" test "$(ask "cmd=2&u=pkguser2&p=secret2&q=mailed@example.com" |
  iconv -f GBK -t UTF-8)" = "注册成功"
check "stopped with mail" stop_server
kill "$relay_pid" 2>/dev/null
wait "$relay_pid" 2>/dev/null

check "dpkg --purge" bash -c "dpkg --purge tarnix-server >\"$work/purge.log\" 2>&1"
check "purged" bash -c '! dpkg-query -W -f="\${Status}" tarnix-server 2>/dev/null | grep -q installed'
for gone in /usr/sbin/tarnix-server "$unit" /etc/tarnix "$state" \
  /etc/systemd/system/multi-user.target.wants/tarnix-server.service \
  /var/lib/systemd/deb-systemd-helper-enabled/tarnix-server.service; do
  check "nothing left: $gone" test ! -e "$gone"
done
check "nothing left: user tarnix" bash -c '! getent passwd tarnix >/dev/null'
check "nothing left: group tarnix" bash -c '! getent group tarnix >/dev/null'

echo "package checks: $failures failed (exposure $exposure)"
exit $((failures > 0))
