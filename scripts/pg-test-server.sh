#!/usr/bin/env bash
# A PostgreSQL server of the tests' own: a cluster in DIR, listening on a Unix socket in DIR (and,
# given PORT, on 127.0.0.1:PORT too, for clients that have no Unix sockets: the Windows build under
# Wine), owned by an unprivileged user when run as root (the server refuses to run as root).
#   pg-test-server.sh start DIR [PORT]   prints the connection URI of database "postgres" when it
#                                        is ready (over TCP when PORT is given); a cluster already
#                                        in DIR (a server stopped) starts again with its data
#   pg-test-server.sh start-tls DIR PORT PASSWORD
#                                        the same on localhost:PORT, where it takes only TLS
#                                        connections of user "line" with PASSWORD (scram-sha-256);
#                                        its certificate (for localhost and 127.0.0.1) is signed by a
#                                        CA of its own, DIR/tls/ca.crt; DIR/tls/other-ca.crt is a CA
#                                        that signed nothing of it. Prints the URI without password
#                                        and without sslmode: postgresql://line@localhost:PORT/postgres
#   pg-test-server.sh stop DIR
set -euo pipefail
cmd=$1 dir=$2 tcp_port=${3:-} password=${4:-}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "no PostgreSQL server installed (postgresql)" >&2; exit 1; }
as=()
user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  user=postgres
  as=(runuser -u postgres --)
fi

# A CA and a certificate it signs for this machine's loopback names, in DIR/tls, made once.
make_certificates() {
  local tls=$dir/tls
  [ -f "$tls/server.crt" ] && return
  mkdir -p "$tls"
  local ec=(-newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes)
  for ca in ca other-ca; do
    openssl req -x509 "${ec[@]}" -days 3650 -subj "/CN=quarnelix-dfu tests $ca" \
      -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign \
      -keyout "$tls/$ca.key" -out "$tls/$ca.crt" 2>/dev/null
  done
  openssl req "${ec[@]}" -subj /CN=localhost -keyout "$tls/server.key" -out "$tls/server.csr" 2>/dev/null
  printf 'subjectAltName=DNS:localhost,IP:127.0.0.1\n' >"$tls/server.ext"
  openssl x509 -req -in "$tls/server.csr" -CA "$tls/ca.crt" -CAkey "$tls/ca.key" -CAcreateserial \
    -days 3650 -extfile "$tls/server.ext" -out "$tls/server.crt" 2>/dev/null
  chmod 600 "$tls/server.key"
  chmod 755 "$tls"
  [ "$(id -u)" -eq 0 ] && chown -R postgres "$tls"
  # only TLS over TCP, with a password; the Unix socket stays open to this script
  "${as[@]}" tee -a "$dir/data/postgresql.conf" >/dev/null <<CONF
ssl = on
ssl_cert_file = '$tls/server.crt'
ssl_key_file = '$tls/server.key'
password_encryption = 'scram-sha-256'
CONF
  printf 'local all all trust\nhostssl all line 127.0.0.1/32 scram-sha-256\nhostssl all line ::1/128 scram-sha-256\n' |
    "${as[@]}" tee "$dir/data/pg_hba.conf" >/dev/null
}

case "$cmd" in
  start|start-tls)
    [ "$cmd" = start-tls ] && { [ -n "$tcp_port" ] && [ -n "$password" ] || { echo "usage: $0 start-tls DIR PORT PASSWORD" >&2; exit 64; }; }
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    [ -d "$dir/data" ] || "${as[@]}" "$bin/initdb" -D "$dir/data" -U "$user" -A trust >"$dir/initdb.log" 2>&1
    listen=${tcp_port:+127.0.0.1}
    if [ "$cmd" = start-tls ]; then
      make_certificates
      listen=localhost
    fi
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-k $dir -c listen_addresses=$listen -c fsync=off -p ${tcp_port:-5432}" start >/dev/null
    if [ "$cmd" = start-tls ]; then
      "$bin/psql" -q -h "$dir" -p "$tcp_port" -U "$user" -d postgres -v ON_ERROR_STOP=1 >/dev/null <<SQL
DO \$\$ BEGIN
  IF NOT EXISTS (SELECT FROM pg_roles WHERE rolname = 'line') THEN CREATE ROLE line LOGIN; END IF;
END \$\$;
ALTER ROLE line PASSWORD '${password//\'/\'\'}';
GRANT CREATE ON SCHEMA public TO line;
SQL
      echo "postgresql://line@localhost:$tcp_port/postgres"
    elif [ -n "$tcp_port" ]; then
      echo "postgresql://$user@127.0.0.1:$tcp_port/postgres"
    else
      echo "postgresql:///postgres?host=$dir&port=5432&user=$user"
    fi
    ;;
  stop)
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 start|start-tls|stop DIR" >&2; exit 64 ;;
esac
