#!/usr/bin/env bash
# Installs quor-server as the systemd service quor-server (as root): builds the
# release as run.sh does, installs it into a prefix (bin/, lib/), makes the
# service user, prepares the instance folder (scripts/instance.sh), writes the
# unit (server/systemd/quor-server.service.in) and reloads systemd. Running it
# again installs the new build and keeps the instance as it is.
#
# QUOR_PREFIX (/opt/quor), QUOR_INSTANCE (/var/lib/quor), QUOR_USER (quor),
# QUOR_ADDRESS (127.0.0.1), QUOR_PORT (8080), QUOR_BUILD (./build/release).
#
# --print-unit prints the unit for those settings and changes nothing.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
prefix="${QUOR_PREFIX:-/opt/quor}"
instance="${QUOR_INSTANCE:-/var/lib/quor}"
user="${QUOR_USER:-quor}"
export QUOR_ADDRESS="${QUOR_ADDRESS:-127.0.0.1}" QUOR_PORT="${QUOR_PORT:-8080}"
unit_file=/etc/systemd/system/quor-server.service

# Unit files split ExecStart and paths at blanks; sed below uses '|'.
for value in "$prefix" "$instance" "$user" "$QUOR_ADDRESS" "$QUOR_PORT"; do
  case "$value" in
    "" | *[[:space:]\|\&\\]*) echo "install-service.sh: unusable setting \"$value\"" >&2; exit 2 ;;
  esac
done
for path in "$prefix" "$instance"; do
  case "$path" in /?*) ;; *) echo "install-service.sh: \"$path\" is not an absolute path below /" >&2; exit 2 ;; esac
done

unit() {
  sed -e "s|@PREFIX@|$prefix|g" -e "s|@INSTANCE@|$instance|g" -e "s|@USER@|$user|g" \
      -e "s|@ADDRESS@|$QUOR_ADDRESS|g" -e "s|@PORT@|$QUOR_PORT|g" "$root/server/systemd/quor-server.service.in"
}
if [ "${1:-}" = --print-unit ]; then
  unit
  exit 0
fi
[ $# -eq 0 ] || { echo "usage: install-service.sh [--print-unit]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "install-service.sh: run it as root" >&2; exit 1; }

"$root/scripts/install-deps.sh"
build="${QUOR_BUILD:-$root/build/release}"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF
cmake --install "$build" --prefix "$prefix" >/dev/null

if ! id -u "$user" >/dev/null 2>&1; then
  useradd --system --user-group --home-dir "$instance" --no-create-home --shell /usr/sbin/nologin "$user"
fi

# The instance, its components registered by their installed paths.
build="$prefix"
. "$root/scripts/instance.sh"
chown -R "$user:$user" "$instance"
chmod 750 "$instance"

unit > "$unit_file.new"
mv "$unit_file.new" "$unit_file"
if [ -d /run/systemd/system ]; then
  systemctl daemon-reload
  systemctl try-restart quor-server.service
  reloaded="systemd reloaded"
else
  reloaded="systemd is not running here: nothing reloaded"
fi

echo "installed into $prefix; instance in $instance (user $user)"
if [ -n "$new_password" ]; then
  echo "the password of administrator is $new_password (kept in $password_file)"
fi
echo "unit $unit_file written, $reloaded; start it with: systemctl enable --now quor-server"
echo "service endpoint: $endpoint"
