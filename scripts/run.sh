#!/usr/bin/env bash
# Installs what is missing, builds a release and prepares an instance folder:
# a registry file, a home folder with config/, unifier/ and transform/, and
# folders for keys and logs. The server itself is not built yet; once it is,
# this script starts it on the instance.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"

build="${QUOR_BUILD:-$root/build/release}"
"$root/scripts/build.sh" "$build" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF

instance="${QUOR_INSTANCE:-$root/instance}"
mkdir -p "$instance"/home/{config,unifier,transform} "$instance"/keys "$instance"/logs
registry="$instance/registry.reg"
[ -f "$registry" ] || printf 'REGEDIT4\n\n' > "$registry"

# The embedded repository: an SQLite file with the repository tables, and a
# first data-source definition for it in the config folder.
repository="$instance/repository.db"
[ -f "$repository" ] || sqlite3 "$repository" < "$root/sql/sqlite.sql"
definition="$instance/home/config/repository.xml"
if [ ! -f "$definition" ]; then
  cat > "$definition" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<!-- The embedded repository database. -->
<OLEDBSetting>
  <quorservice>VODB</quorservice>
  <Provider>MSDASQL.1</Provider>
  <ExtendedProperties>DRIVER={SQLite3};Database=$repository</ExtendedProperties>
</OLEDBSetting>
XML
fi

echo "built into $build"
echo "instance prepared in $instance (registry file $registry, repository $repository)"
echo "the server (quor-server) is not part of this build yet: nothing to start"
