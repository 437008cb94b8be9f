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
export QUOR_REGISTRY="$registry"
if [ ! -f "$registry" ]; then
  # The service key: the home folder and the default settings.
  home_escaped="$(printf '%s' "$instance/home" | sed 's/\\/\\\\/g; s/"/\\"/g')"
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService]\n"HomeDir"="%s"\n"LogLevel"="Normal"\n"CompressThreshold"=dword:00000000\n' \
    "$home_escaped" > "$registry"
fi

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

# The two output transformers, named by the transform folder.
for name in csv:FlatConvert.TransCSV xhtml:GridPage.TransXHTML; do
  file="$instance/home/transform/${name%%:*}.xml"
  [ -f "$file" ] || printf '<?xml version="1.0" encoding="UTF-8"?>\n<QuorTransform>\n  <transform>\n    <ProgID>%s</ProgID>\n    <Method>Convert</Method>\n  </transform>\n</QuorTransform>\n' \
    "${name#*:}" > "$file"
done

# The component libraries, registered into the instance's registry.
for library in QuorServiceCore FlatConvert GridPage; do
  if [ -f "$build/lib/lib$library.so" ]; then
    "$build/bin/quor-regsvr" -s "$build/lib/lib$library.so"
  fi
done

echo "built into $build"
echo "instance prepared in $instance (registry file $registry, repository $repository)"
echo "the server (quor-server) is not part of this build yet: nothing to start"
