#!/bin/sh
# The mailbox the client tests read their codes from, as a user reads them: the
# server's own test relay (server/tests/smtp_relay.py, aiosmtpd) on 127.0.0.1,
# for a server started with --smtp-url smtp://127.0.0.1:PORT --smtp-allow-plaintext.
#
#   mail_relay.sh start DIR [SECONDS]   mails go to DIR/Maildir; prints PORT once it
#                                       listens; it ends after SECONDS (default 300)
#                                       should nobody stop it
#   mail_relay.sh stop DIR
#
# POSIX sh: the Windows tests run it through Wine's /bin/sh.
relay="$(cd "$(dirname "$0")/../../server/tests" && pwd)/smtp_relay.py"
dir=$2

case "$1" in
  start)
    mkdir -p "$dir" || exit 1
    # Every stream to a file: a caller reading the port through a pipe would
    # otherwise wait for the relay to end.
    timeout "${3:-300}" /usr/bin/python3 "$relay" --port 0 --maildir "$dir/Maildir" \
      --journal "$dir/journal.txt" </dev/null >"$dir/relay.out" 2>"$dir/relay.log" &
    echo $! >"$dir/relay.pid"
    for _ in $(seq 100); do
      port=$(sed -n 's/^ready \([0-9]*\)$/\1/p' "$dir/relay.out")
      if [ -n "$port" ]; then
        echo "$port"
        exit 0
      fi
      kill -0 "$(cat "$dir/relay.pid")" 2>/dev/null || break
      sleep 0.1
    done
    echo "mail_relay: the relay did not start:" >&2
    cat "$dir/relay.log" >&2
    exit 1
    ;;
  stop)
    [ -f "$dir/relay.pid" ] || exit 0
    pid=$(cat "$dir/relay.pid")
    kill "$pid" 2>/dev/null
    # Gone before the caller removes its folder.
    for _ in $(seq 50); do
      kill -0 "$pid" 2>/dev/null || exit 0
      sleep 0.1
    done
    exit 0
    ;;
  *)
    echo "usage: $0 start DIR [SECONDS] | stop DIR" >&2
    exit 2
    ;;
esac
