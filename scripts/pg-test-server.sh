#!/usr/bin/env bash
# A PostgreSQL server of the tests' own: a cluster in DIR, listening on a Unix socket in DIR (and,
# given PORT, on 127.0.0.1:PORT too, for clients that have no Unix sockets: the Windows build under
# Wine), owned by an unprivileged user when run as root (the server refuses to run as root).
#   pg-test-server.sh start DIR [PORT]   prints the connection URI of database "postgres" when it
#                                        is ready (over TCP when PORT is given); a cluster already
#                                        in DIR (a server stopped) starts again with its data
#   pg-test-server.sh stop DIR
set -euo pipefail
cmd=$1 dir=$2 tcp_port=${3:-}
bin=$(ls -d /usr/lib/postgresql/*/bin 2>/dev/null | sort -V | tail -n 1)
[ -x "$bin/initdb" ] || { echo "no PostgreSQL server installed (postgresql)" >&2; exit 1; }
as=()
user=$(id -un)
if [ "$(id -u)" -eq 0 ]; then
  user=postgres
  as=(runuser -u postgres --)
fi
case "$cmd" in
  start)
    mkdir -p "$dir"
    [ "$(id -u)" -eq 0 ] && chown postgres "$dir"
    [ -d "$dir/data" ] || "${as[@]}" "$bin/initdb" -D "$dir/data" -U "$user" -A trust >"$dir/initdb.log" 2>&1
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-k $dir -c listen_addresses=${tcp_port:+127.0.0.1} -c fsync=off -p ${tcp_port:-5432}" start >/dev/null
    if [ -n "$tcp_port" ]; then
      echo "postgresql://$user@127.0.0.1:$tcp_port/postgres"
    else
      echo "postgresql:///postgres?host=$dir&port=5432&user=$user"
    fi
    ;;
  stop)
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 64 ;;
esac
