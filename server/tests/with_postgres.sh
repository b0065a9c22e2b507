#!/usr/bin/env bash
# Runs a command with a fresh PostgreSQL cluster for it: TARNIX_TEST_PG holds the
# URI of its "postgres" database. One cluster for the whole command, removed at the
# end. Exit 77 (skipped) when PostgreSQL is not installed.
set -uo pipefail
. "$(dirname "$0")/../../scripts/postgres.sh"
if ! pg_bin >/dev/null; then
  echo "PostgreSQL is not installed (Debian package postgresql): skipping the PostgreSQL runs"
  exit 77
fi
dir=$(mktemp -d /tmp/tarnix-pg-test-XXXXXX)
trap 'pg_stop "$dir"' EXIT
if ! TARNIX_TEST_PG=$(pg_start "$dir"); then
  echo "cannot start PostgreSQL:"
  cat "$dir"/*.log
  exit 1
fi
export TARNIX_TEST_PG
"$@"
