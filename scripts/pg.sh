#!/usr/bin/env bash
# pg.sh start|stop|restart <folder> [port]
# A private PostgreSQL 15 cluster for the tests: initdb into <folder> as the
# unprivileged "postgres" user, listening on loopback only (room for the
# connection pools of many servers at once), with a "quor" role
# (password "quor") owning a "quor" database.
set -euo pipefail
cmd="$1"; dir="$2"; port="${3:-55432}"
bindir="$(ls -d /usr/lib/postgresql/*/bin | sort -V | tail -n 1)"
as_pg() {
  if [ "$(id -un)" = postgres ]; then "$@"; else runuser -u postgres -- "$@"; fi
}
case "$cmd" in
  start)
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres: "$dir"
    chmod 700 "$dir"
    if [ ! -f "$dir/data/PG_VERSION" ]; then
      echo postgres > "$dir/pwfile"
      [ "$(id -u)" -eq 0 ] && chown postgres: "$dir/pwfile"
      as_pg "$bindir/initdb" -D "$dir/data" -U postgres -A scram-sha-256 --pwfile="$dir/pwfile" \
        --locale=C --encoding=UTF8 >"$dir/initdb.log" 2>&1 || { cat "$dir/initdb.log" >&2; exit 1; }
      rm -f "$dir/pwfile"
    fi
    as_pg "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 60 \
      -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir -c fsync=off -c max_connections=500" start >/dev/null
    export PGPASSWORD=postgres
    psql="psql -h 127.0.0.1 -p $port -U postgres -v ON_ERROR_STOP=1 -q"
    if ! $psql -d postgres -tAc "select 1 from pg_roles where rolname='quor'" | grep -q 1; then
      $psql -d postgres -c "create role quor login password 'quor'"
      $psql -d postgres -c "create database quor owner quor encoding 'UTF8' lc_collate 'C' lc_ctype 'C' template template0"
    fi
    ;;
  restart)
    # A fast stop (sessions cut off) and a start with the options of the last one.
    as_pg "$bindir/pg_ctl" -D "$dir/data" -l "$dir/server.log" -m fast -w -t 60 restart >/dev/null
    ;;
  stop)
    if [ -f "$dir/data/postmaster.pid" ]; then
      as_pg "$bindir/pg_ctl" -D "$dir/data" -m fast -w stop >/dev/null || true
    fi
    ;;
  *) echo "usage: pg.sh start|stop|restart <folder> [port]" >&2; exit 2 ;;
esac
