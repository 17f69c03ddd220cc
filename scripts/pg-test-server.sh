#!/usr/bin/env bash
# A PostgreSQL server of the tests' own: a cluster in DIR, listening only on a Unix socket in DIR,
# owned by an unprivileged user when run as root (the server refuses to run as root).
#   pg-test-server.sh start DIR   prints the connection URI of database "postgres" when it is ready
#   pg-test-server.sh stop DIR
set -euo pipefail
cmd=$1 dir=$2
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
    "${as[@]}" "$bin/initdb" -D "$dir/data" -U "$user" -A trust >"$dir/initdb.log" 2>&1
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/server.log" -w -t 30 \
      -o "-k $dir -c listen_addresses= -c fsync=off -p 5432" start >/dev/null
    echo "postgresql:///postgres?host=$dir&port=5432&user=$user"
    ;;
  stop)
    "${as[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w stop >/dev/null 2>&1 || true
    ;;
  *) echo "usage: $0 start|stop DIR" >&2; exit 64 ;;
esac
