#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing need; does nothing
# when they are all present. Needs root (or sudo) only when something is missing.
# --tests: also the standard SOAP clients that only the tests drive.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libpugixml-dev libexpat1-dev zlib1g-dev libssl-dev unixodbc-dev libcpp-httplib-dev libboost1.74-dev
  libgtest-dev tzdata python3 python3-zeep openssl
  odbcinst libsqliteodbc odbc-postgresql sqlite3
  postgresql postgresql-client
  libldap2-dev slapd ldap-utils
  qt6-base-dev qt6-qpa-plugins fonts-dejavu-core
  clang-14 libclang-rt-14-dev
  # the service unit's check (systemd-analyze), a supervisor that needs no systemd (supervise)
  systemd daemontools
)
if [ "${1:-}" = --tests ]; then
  # standard SOAP clients the tests drive from the served WSDL (server/tests/clients)
  packages+=(python3-suds php-cli php-soap libsoap-lite-perl gsoap libgsoap-dev jaxws openjdk-17-jdk-headless)
  # Node.js and npm for the node soap client: Debian's, unless the machine has
  # a Node.js of its own (which carries npm and conflicts with Debian's).
  command -v npm >/dev/null || packages+=(nodejs npm)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
  # A fresh PostgreSQL package starts its default cluster; the tests run their own.
fi
