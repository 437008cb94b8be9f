#!/usr/bin/env bash
# Installs what is missing (Debian packages, and the npm package soap for the
# node SOAP client's test), builds everything with AddressSanitizer and
# UndefinedBehaviorSanitizer, starts a private PostgreSQL cluster with the
# repository schema and a private slapd with the test directory, runs every
# test with CTest, soaks one server for two minutes (scripts/soak.sh), fuzzes
# the parsers for a short while (scripts/fuzz.sh), then builds the database
# layer, server, store, core and authentication tests again with
# ThreadSanitizer and runs them, and stops both services.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh" --tests
# The npm package soap, for the node client's test (server/CMakeLists.txt
# looks for it in build/node).
node_soap=1.13.0
if ! grep -qs "\"version\": \"$node_soap\"" "$root/build/node/node_modules/soap/package.json"; then
  mkdir -p "$root/build/node"
  npm install --prefix "$root/build/node" --no-save --no-package-lock --no-audit --no-fund --loglevel=error \
    "soap@$node_soap"
fi
# No include may reach a layer its folder does not build on.
python3 "$root/scripts/check_layers.py"

build="${QUOR_TEST_BUILD:-$root/build/test}"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=address,undefined -DQUOR_WERROR=ON
# State written as guarded by a lock is used only under it (clang's analysis).
python3 "$root/scripts/check_thread_safety.py" "$build"

# PostgreSQL and slapd on loopback, each in a folder of its own; stopped on
# every exit.
pgdir="$(mktemp -d /tmp/quor-pg.XXXXXX)"
pgport="${QUOR_TEST_PG_PORT:-$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')}"
ldapdir="$(mktemp -d /tmp/quor-ldap.XXXXXX)"
ldapport="${QUOR_TEST_LDAP_PORT:-$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])')}"
cleanup() {
  "$root/scripts/pg.sh" stop "$pgdir" || true; rm -rf "$pgdir"
  "$root/scripts/slapd.sh" stop "$ldapdir" || true; rm -rf "$ldapdir"
}
trap cleanup EXIT
"$root/scripts/pg.sh" start "$pgdir" "$pgport"
PGPASSWORD=quor psql -h 127.0.0.1 -p "$pgport" -U quor -d quor -q -v ON_ERROR_STOP=1 -f "$root/sql/postgresql.sql"
export QUOR_TEST_PG="DRIVER={PostgreSQL Unicode};Server=127.0.0.1;Port=$pgport;Database=quor;UID=quor;PWD=quor"

# The test directory (scripts/ldap/testdata.ldif): its base, the identity the
# service searches as, and the authority that signed the server's certificate.
"$root/scripts/slapd.sh" start "$ldapdir" "$ldapport"
export QUOR_TEST_LDAP_URL="ldap://127.0.0.1:$ldapport"
export QUOR_TEST_LDAP_BASE="dc=quor,dc=test"
export QUOR_TEST_LDAP_BIND_DN="cn=quor-svc,ou=Services,dc=quor,dc=test"
export QUOR_TEST_LDAP_BIND_PASSWORD="quor-svc-pw"
export QUOR_TEST_LDAP_CA="$ldapdir/ca.pem"

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export LSAN_OPTIONS="${LSAN_OPTIONS:-suppressions=$root/scripts/lsan.supp:print_suppressions=0}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)" --timeout 300

# The soak: one server of this build under a mixed load for two minutes
# (SQLite); a death, a sanitizer report, a hang, an unexpected failure or a
# lost write fails it. A lighter load than the default, for the slower
# server, so that its pulses still grow and empty the connection pool.
"$root/scripts/soak.sh" --build "$build" --minutes 2 --clients 16 --pulse-clients 32 --think-ms 200

# The parsers under libFuzzer (clang, build/fuzz): their regression inputs,
# then 30 seconds of fuzzing per target.
"$root/scripts/fuzz.sh" 30

# Calls run in parallel: the same road under ThreadSanitizer (the servers the
# tests start are built with it too, and a race makes them exit non-zero).
# The standard SOAP clients' tests ran above; their calls are one at a time,
# as are those of the large-content and tampered-request roads, which run
# long under this sanitizer and exercise no thread the others do not.
tsan="${QUOR_TSAN_BUILD:-$root/build/tsan}"
cmake -S "$root" -B "$tsan" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DQUOR_SANITIZE=thread -DQUOR_WERROR=ON >/dev/null
cmake --build "$tsan" -j "$(nproc)" --target odbc_tests soap_tests server_tests admin_tests store_tests auth_tests core_tests \
  road_tests collab_tests content_tests query_tests \
  quor-server quor-regsvr quor-accounts quor-call quor_test_plugin quor_soap_test_plugin SiteSetup \
  QuorServiceCore QuorAuth QuorAccessor FlatConvert GridPage
unset ASAN_OPTIONS LSAN_OPTIONS
export TSAN_OPTIONS="${TSAN_OPTIONS:-second_deadlock_stack=1:suppressions=$root/scripts/tsan.supp}"
# Tests that move tens of megabytes through one call run in the build above
# only: under ThreadSanitizer, beside the others, they outlast their timeouts.
ctest --test-dir "$tsan" --output-on-failure -j "$(nproc)" --timeout 300 \
  -E '_NOT_BUILT$|^qt\.|^SoapClient\.|LargeContentRoad\.|BudgetRoad\.(AnAnswerOverItsLimit|ARequestTheProcess)|^SessionRoad\.ACapturedRequest'

# The documentation's examples as a new user runs them (the blocks marked in
# README.md and docs/*.md, see docs/tests.md): run.sh on a temporary instance
# and a free port (a release build into build/release), the quor-call and
# Query examples, the console with its default service name, and a clean stop.
unset TSAN_OPTIONS
python3 "$root/scripts/readme_check.py"
