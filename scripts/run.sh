#!/usr/bin/env bash
# Installs what is missing, builds a release, prepares an instance folder
# (scripts/instance.sh) and runs the server on it in the foreground.
#
# QUOR_INSTANCE (default ./instance) is the instance folder; everything in it
# is made only when missing, so a second run reuses it as it is (same
# accounts, same password).
#
# QUOR_BUILD (default ./build/release), QUOR_ADDRESS (127.0.0.1) and
# QUOR_PORT (8080) choose the build folder and where the server listens;
# QUOR_TLS_CERT and QUOR_TLS_KEY (both or neither) make it serve HTTPS with
# that certificate chain and key.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

build="${QUOR_BUILD:-$root/build/release}"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF

instance="${QUOR_INSTANCE:-$root/instance}"
. "$root/scripts/instance.sh"

echo "built into $build"
echo "instance prepared in $instance (registry file $registry, repository $repository)"
if [ -n "$new_password" ]; then
  echo "the password of administrator is $new_password (kept in $password_file)"
fi
echo "service endpoint: $endpoint (the console's service \"local\"; OpenSession answers $locator)"
echo "sign in as administrator (password in $password_file)"
tls=()
if [ -n "${QUOR_TLS_CERT:-}${QUOR_TLS_KEY:-}" ]; then
  tls=(--tls-cert "${QUOR_TLS_CERT:-}" --tls-key "${QUOR_TLS_KEY:-}")
fi
exec "$build/bin/quor-server" --address "$address" --port "$port" \
  --resource-url /QuorService/resource --resource-dir "$instance/resource" "${tls[@]}"
