# Prepares an instance folder: sourced by run.sh and install-service.sh, not
# run. Expects `root` (the source tree), `build` (a folder with bin/ and lib/:
# a build folder or an install prefix) and `instance` (the folder, made when
# missing); QUOR_ADDRESS (127.0.0.1) and QUOR_PORT (8080) name the endpoint
# written for the console and as the service's locator, https when
# QUOR_TLS_CERT is set.
#
# The instance holds a registry file, a home folder with config/, unifier/ and
# transform/, folders for keys, logs and resource files, the embedded
# repository, and a local account store beside the registry file with the user
# "administrator". Everything is made only when missing, so a second run reuses
# the instance as it is (same accounts, same password); the component
# libraries are registered again each time, by their paths under `build`.
#
# Leaves: instance (absolute), registry, repository, password_file,
# new_password (set when the account store was made now), address, port,
# endpoint, locator; exports QUOR_REGISTRY and QUOR_EVENTLOG.

mkdir -p "$instance"/home/{config,unifier,transform} "$instance"/keys "$instance"/logs "$instance"/resource
instance="$(cd "$instance" && pwd)"
registry="$instance/registry.reg"
export QUOR_REGISTRY="$registry"
export QUOR_EVENTLOG="${QUOR_EVENTLOG:-$instance/logs/events.log}"

# A text as a quoted registry string: backslashes and quotes escaped.
reg_text() { printf '"%s"' "$(printf '%s' "$1" | sed 's/\\/\\\\/g; s/"/\\"/g')"; }

account_settings_due=false
if [ ! -f "$registry" ]; then
  # The service key: the home folder and the default settings.
  printf 'REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService]\n"HomeDir"=%s\n"LogLevel"="Normal"\n"CompressThreshold"=dword:00000000\n' \
    "$(reg_text "$instance/home")" > "$registry"
  account_settings_due=true
fi

# The local account store beside the registry file (the directory that
# sign-in and the user and group lists use), with the user "administrator"
# and a fresh random password. The store is made under another name and
# renamed into place once complete, so an interrupted run starts over.
domain=QUOR
computer="$( (hostname -s 2>/dev/null || true) | tr -cd 'A-Za-z0-9-' | tr '[:lower:]' '[:upper:]' | cut -c1-15)"
if [ -z "$computer" ] || [ "$computer" = "$domain" ]; then computer=QUORHOST; fi
accounts="$registry.accounts"
password_file="$instance/administrator.password"
new_password=""
if [ ! -f "$accounts" ]; then
  if [ ! -s "$password_file" ]; then
    (umask 077 && python3 -c 'import secrets; print(secrets.token_urlsafe(12))' > "$password_file.tmp")
    mv "$password_file.tmp" "$password_file"
  fi
  chmod 600 "$password_file"
  new_password="$(head -n 1 "$password_file")"
  pending="$accounts.new"
  rm -f "$pending" "$pending.lock"
  "$build/bin/quor-accounts" --file "$pending" init "$domain" "$computer" >/dev/null
  "$build/bin/quor-accounts" --file "$pending" add-user administrator < "$password_file" >/dev/null
  mv "$pending" "$accounts"
  rm -f "$pending.lock"
  account_settings_due=true
fi

# What sign-in and the service core need for the local account store: the
# directory defaults of the authentication service, and on the service key
# the root context (which makes the store answer users and
# groups), the administrators and the resource folder. Written together with
# a new registry file or a new account store; later edits are kept. Sections
# appended here merge with the ones already in the file.
if [ "$account_settings_due" = true ]; then
  {
    printf '\n[HKEY_LOCAL_MACHINE\\Software\\Velt]\n"DefaultAuthority"=%s\n"DefaultRealm"=%s\n' \
      "$(reg_text "WinNT://$domain")" "$(reg_text "$domain")"
    printf '\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService]\n"RootContext"=%s\n"AdminUsers"="administrator"\n' \
      "$(reg_text "WinNT://$domain")"
    printf '"ResourceURL"="/QuorService/resource"\n"ResourceDir"=%s\n' "$(reg_text "$instance/resource")"
  } >> "$registry"
fi

# The embedded repository: an SQLite file with the repository tables, and a
# first data-source definition for it in the config folder.
# A small database to query: the data source "sample" (catalog "main").
sample="$instance/sample.db"
[ -f "$sample" ] || sqlite3 "$sample" <<'SQL'
CREATE TABLE staff (id INTEGER PRIMARY KEY, name TEXT NOT NULL, dept TEXT);
INSERT INTO staff VALUES (1, 'Ann', 'Sales'), (2, 'Bob', 'Support'), (3, 'Cy', 'Sales');
SQL
if [ ! -f "$instance/home/config/sample.xml" ]; then
  cat > "$instance/home/config/sample.xml" <<XML
<?xml version="1.0" encoding="UTF-8"?>
<!-- A data source for queries. Its account's rights are what a query can do. -->
<OLEDBSetting>
  <Provider>MSDASQL.1</Provider>
  <DataSource>sample</DataSource>
  <InitialCatalog>main</InitialCatalog>
  <ExtendedProperties>DRIVER={SQLite3};Database=$sample</ExtendedProperties>
</OLEDBSetting>
XML
fi

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

# The endpoint this run starts, written on every run (the port or the scheme
# may have changed): the console's default service "local", and the locator
# OpenSession answers ("qsc" in the service table), which names the address
# the server listens on, or the computer's name ("%s") when it listens on
# every address. Appended sections merge, the last value winning, and the
# registrations below write the file back whole.
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
printf '\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\QuorService\\ServiceInfo\\local]\n"Service"=%s\n' \
  "$(reg_text "$endpoint")" >> "$registry"
printf '\n[HKEY_LOCAL_MACHINE\\Software\\Velt\\Services]\n"qsc"=%s\n' "$(reg_text "$locator")" >> "$registry"

# The component libraries, registered into the instance's registry (again on
# every run, so that they point at this build).
for library in QuorServiceCore QuorAuth QuorAccessor FlatConvert GridPage QuorAdminMMC; do
  if [ -f "$build/lib/lib$library.so" ]; then
    "$build/bin/quor-regsvr" -s "$build/lib/lib$library.so"
  fi
done
