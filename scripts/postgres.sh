# A throw-away PostgreSQL cluster in a folder, for the tests and cluster.sh.
# PostgreSQL refuses to run as root, so as root it runs as "nobody" in a folder
# given to nobody. It listens on a Unix socket in that folder only (no port to
# collide with another run); superuser "tarnix", trusted, database "postgres".
#   pg_start DIR   prints the connection URI of database "postgres"; 1 when it cannot
#   pg_stop DIR    stops it (fast) and removes DIR
#   pg_pause DIR   stops it (fast), keeping its data; pg_resume DIR starts it again
#   pg_bin         the folder of initdb and pg_ctl ("" when not installed)

pg_bin() {
  local d
  d=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
  [ -n "$d" ] && [ -x "$d/initdb" ] && echo "$d"
}

# Runs a command as the cluster's owner.
pg_as_owner() {
  if [ "$(id -u)" = 0 ]; then
    runuser -u nobody -- "$@"
  else
    "$@"
  fi
}

pg_start() {
  local dir=$1 bin
  bin=$(pg_bin) || return 1
  mkdir -p "$dir"
  [ "$(id -u)" = 0 ] && chown nobody "$dir"
  chmod 700 "$dir"
  pg_as_owner "$bin/initdb" -D "$dir/data" -U tarnix --auth=trust --encoding=UTF8 \
    --no-sync >"$dir/initdb.log" 2>&1 || return 1
  pg_resume "$dir" || return 1
  echo "postgresql://tarnix@/postgres?host=$dir"
}

pg_resume() {
  local dir=$1 bin
  bin=$(pg_bin) || return 1
  # Enough connections for a few instances with their pools; fsync stays on.
  pg_as_owner "$bin/pg_ctl" -D "$dir/data" -l "$dir/postgres.log" -w -t 60 \
    -o "-c listen_addresses='' -c unix_socket_directories='$dir' -c max_connections=200" \
    start >/dev/null
}

pg_pause() {
  local dir=$1 bin
  bin=$(pg_bin) || return 1
  pg_as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
}

pg_stop() {
  local dir=$1 bin
  bin=$(pg_bin) || return 0
  [ -d "$dir/data" ] && pg_as_owner "$bin/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null
  rm -rf "$dir"
}
