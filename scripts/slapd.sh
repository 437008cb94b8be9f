#!/usr/bin/env bash
# slapd.sh start|stop <folder> [port]
# A private OpenLDAP server for the tests: its own slapd.conf, mdb database and
# TLS certificates in <folder>, listening on 127.0.0.1 only, run as the
# unprivileged "openldap" user when started by root. It carries the schema of
# scripts/ldap/quor.schema, the memberof overlay and the entries of
# scripts/ldap/testdata.ldif (added through the server so the overlay fills
# memberOf). StartTLS works with the certificate authority <folder>/ca.pem.
set -euo pipefail
cmd="${1:-}"; dir="${2:-}"; port="${3:-53389}"
[ -n "$cmd" ] && [ -n "$dir" ] || { echo "usage: slapd.sh start|stop <folder> [port]" >&2; exit 2; }
root="$(cd "$(dirname "$0")/.." && pwd)"
suffix="dc=quor,dc=test"
url="ldap://127.0.0.1:$port"

as_ldap() {
  if [ "$(id -u)" -eq 0 ]; then runuser -u openldap -- "$@"; else "$@"; fi
}

case "$cmd" in
  start)
    mkdir -p "$dir/data"
    chmod 700 "$dir"
    cp "$root/scripts/ldap/quor.schema" "$dir/quor.schema"

    # A certificate authority of the run and a server certificate for loopback.
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Quor Test CA" \
      -keyout "$dir/ca.key" -out "$dir/ca.pem" >"$dir/openssl.log" 2>&1
    openssl req -newkey rsa:2048 -nodes -subj "/CN=localhost" \
      -keyout "$dir/server.key" -out "$dir/server.csr" >>"$dir/openssl.log" 2>&1
    printf 'subjectAltName=IP:127.0.0.1,DNS:localhost\nextendedKeyUsage=serverAuth\n' > "$dir/server.ext"
    openssl x509 -req -in "$dir/server.csr" -CA "$dir/ca.pem" -CAkey "$dir/ca.key" -CAcreateserial \
      -days 2 -extfile "$dir/server.ext" -out "$dir/server.pem" >>"$dir/openssl.log" 2>&1

    # The administrator's password lives only in this folder.
    rootpw="$(openssl rand -hex 16)"
    printf '%s' "$rootpw" > "$dir/rootpw"
    chmod 600 "$dir/rootpw" "$dir/ca.key" "$dir/server.key"

    cat > "$dir/slapd.conf" <<CONF
include /etc/ldap/schema/core.schema
include /etc/ldap/schema/cosine.schema
include /etc/ldap/schema/inetorgperson.schema
include $dir/quor.schema

pidfile $dir/slapd.pid
argsfile $dir/slapd.args
modulepath /usr/lib/ldap
moduleload back_mdb
moduleload memberof

TLSCACertificateFile $dir/ca.pem
TLSCertificateFile $dir/server.pem
TLSCertificateKeyFile $dir/server.key

# The root DSE and the schema are public; the entries need a bind.
access to dn.base="" by * read
access to dn.base="cn=Subschema" by * read
access to attrs=userPassword by self =xw by anonymous auth by * none
access to * by users read by * none

database mdb
maxsize 67108864
suffix "$suffix"
rootdn "cn=admin,$suffix"
rootpw $(slappasswd -s "$rootpw")
directory $dir/data
index objectClass eq
index sAMAccountName,userPrincipalName eq,sub
index member,memberOf eq

overlay memberof
memberof-group-oc group
memberof-member-ad member
memberof-memberof-ad memberOf
memberof-refint true
CONF
    chmod 600 "$dir/slapd.conf"
    [ "$(id -u)" -eq 0 ] && chown -R openldap:openldap "$dir"

    as_ldap slapd -f "$dir/slapd.conf" -h "$url/" -s 0 2>"$dir/slapd.log" || {
      cat "$dir/slapd.log" >&2; exit 1; }
    for _ in $(seq 1 100); do
      ldapsearch -x -H "$url" -b "" -s base -o nettimeout=2 >/dev/null 2>&1 && break
      sleep 0.1
    done
    ldapsearch -x -H "$url" -b "" -s base -o nettimeout=2 >/dev/null || {
      echo "slapd did not start" >&2; cat "$dir/slapd.log" >&2; exit 1; }
    if ! ldapsearch -x -H "$url" -D "cn=admin,$suffix" -y "$dir/rootpw" -b "$suffix" -s base >/dev/null 2>&1; then
      ldapadd -x -H "$url" -D "cn=admin,$suffix" -y "$dir/rootpw" -f "$root/scripts/ldap/testdata.ldif" \
        >"$dir/load.log" 2>&1 || { cat "$dir/load.log" >&2; exit 1; }
    fi
    ;;
  stop)
    if [ -f "$dir/slapd.pid" ]; then
      pid="$(cat "$dir/slapd.pid")"
      kill "$pid" 2>/dev/null || true
      for _ in $(seq 1 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
      done
    fi
    ;;
  *) echo "usage: slapd.sh start|stop <folder> [port]" >&2; exit 2 ;;
esac
