# Prepares an instance folder: sourced by run.sh and install-service.sh, not
# run. Expects `root` (the source tree), `build` (a folder with bin/ and lib/:
# a build folder or an install prefix) and `instance` (the folder, made when
# missing); QUOR_ADDRESS (127.0.0.1) and QUOR_PORT (8080) name the endpoint
# written for the console and as the service's locator, https when
# QUOR_TLS_CERT is set.
#
# quor-instance (testing/Instance.h, the builder the tests and benchmarks use
# too) makes the registry file, a home folder with config/, unifier/ and
# transform/, folders for keys, logs and resource files, the embedded
# repository, a small database to query (the data source "sample"), and a
# local account store beside the registry file with the user
# "administrator", whose fresh random password it keeps in
# administrator.password. Everything is made only when missing, so a second
# run reuses the instance as it is (same accounts, same password); the
# endpoint is written and the component libraries are registered again each
# time, by their paths under `build`.
#
# Leaves: instance (absolute), registry, repository, password_file,
# new_password (set when the account store was made now), address, port,
# endpoint, locator; exports QUOR_REGISTRY and QUOR_EVENTLOG.

mkdir -p "$instance"
instance="$(cd "$instance" && pwd)"
registry="$instance/registry.reg"
repository="$instance/repository.db"
password_file="$instance/administrator.password"
export QUOR_REGISTRY="$registry"
export QUOR_EVENTLOG="${QUOR_EVENTLOG:-$instance/logs/events.log}"

# The endpoint this run starts, written on every run (the port or the scheme
# may have changed): the console's default service "local", and the locator
# OpenSession answers ("qsc" in the service table), which names the address
# the server listens on, or the computer's name ("%s") when it listens on
# every address.
address="${QUOR_ADDRESS:-127.0.0.1}"
port="${QUOR_PORT:-8080}"
scheme=http
[ -n "${QUOR_TLS_CERT:-}" ] && scheme=https
case "$address" in
  0.0.0.0|::|'[::]') client_address=127.0.0.1; locator_host=%s ;;
  *:*) client_address="[${address#[}"; client_address="${client_address%]}]"; locator_host="$client_address" ;;
  *) client_address="$address"; locator_host="$address" ;;
esac
endpoint="$scheme://$client_address:$port/QuorService/QuorServiceCore.sod"
locator="$scheme://$locator_host:$port/QuorService/QuorServiceCore.sod"

# Prints the administrator's password when it made the account store now.
new_password="$("$build/bin/quor-instance" --dir "$instance" --schema "$root/sql/sqlite.sql" \
  --bin "$build/bin" --lib "$build/lib" --password-file "$password_file" \
  --console-service "$endpoint" --locator "$locator")"
