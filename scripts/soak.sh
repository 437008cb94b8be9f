#!/usr/bin/env bash
# soak.sh [--pg] [--build DIR] [soak options...]
# Runs the soak (bench/soak.cpp): one quor-server of a build under a
# long mixed load, supervised; see `soak --help` for its options (--minutes,
# default 10; --servers 2 with --pg, two servers on the one cluster). The build is run.sh's release (build/release, $QUOR_BUILD),
# brought up to date first, unless --build names another that holds the
# program (test.sh gives its sanitizer build).
#
# With --pg the repository is a private PostgreSQL cluster (scripts/pg.sh in
# a temporary folder on a free loopback port, the tables of
# sql/postgresql.sql) which the soak restarts every minute
# (--pg-restart-every changes that); the cluster is stopped at the end.
# The exit status is the soak's: 0 passed, 1 failed, 2 a wrong command line.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

release="${QUOR_BUILD:-$root/build/release}"
build="$release"
pg=false
args=()
while [ $# -gt 0 ]; do
  case "$1" in
    --pg) pg=true; shift ;;
    --build) build="$(cd "$2" && pwd)"; shift 2 ;;
    *) args+=("$1"); shift ;;
  esac
done

if [ "$build" = "$release" ]; then
  "$root/scripts/install-deps.sh"
  "$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
elif [ ! -x "$build/bin/soak" ]; then
  echo "soak.sh: $build/bin/soak is not built" >&2
  exit 2
fi

if [ "$pg" = true ]; then
  pgdir="$(mktemp -d /tmp/quor-soak-pg.XXXXXX)"
  pgport="$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')"
  cleanup() { "$root/scripts/pg.sh" stop "$pgdir" || true; rm -rf "$pgdir"; }
  trap cleanup EXIT
  "$root/scripts/pg.sh" start "$pgdir" "$pgport"
  PGPASSWORD=quor psql -h 127.0.0.1 -p "$pgport" -U quor -d quor -q -v ON_ERROR_STOP=1 -f "$root/sql/postgresql.sql"
  args=(--pg "DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=$pgport;Database=quor;UID=quor;PWD=quor"
        --pg-restart "'$root/scripts/pg.sh' restart '$pgdir'" "${args[@]}")
fi

status=0
"$build/bin/soak" "${args[@]}" || status=$?
exit "$status"
