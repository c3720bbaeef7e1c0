#!/bin/bash
# A PostgreSQL 15 server of the tests' own in DIR (a new folder under /tmp
# that the server's user can reach): its cluster in DIR/data, a Unix socket
# in DIR/socket, and 127.0.0.1 on a free port. As root, initdb and the
# server run as nobody, which PostgreSQL insists on. The superuser postgres
# logs in without a password over the socket and over 127.0.0.1; every
# other role needs its password over 127.0.0.1. Once started, DIR/uri holds
# the socket URI of database kestrane and DIR/tcp the same over 127.0.0.1.
# Usage: pg_server.sh start DIR          (makes the cluster the first time)
#        pg_server.sh stop DIR [MODE]    (pg_ctl's mode: fast, immediate)
#        pg_server.sh clean DIR          (stops it and removes DIR)
#        pg_server.sh psql DIR ARGS...   (psql as the superuser on kestrane)
set -euo pipefail
action=$1 dir=$(realpath -m "$2")
cd /  # the server's user may not enter the caller's folder
bin=/usr/lib/postgresql/15/bin
[ -x "$bin/initdb" ] || bin=$(pg_config --bindir)
as_server=()
if [ "$(id -u)" -eq 0 ]; then
  as_server=(setpriv --reuid=nobody --regid=nogroup --clear-groups --)
fi

started() { "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" status > /dev/null 2>&1; }

make_cluster() {
  mkdir -p "$dir/socket"
  [ "$(id -u)" -ne 0 ] || chown -R nobody:nogroup "$dir"
  chmod 755 "$dir"
  "${as_server[@]}" "$bin/initdb" -D "$dir/data" -U postgres -A trust -E UTF8 --locale=C --no-sync > "$dir/initdb.log"
  sed -i '/^host/d' "$dir/data/pg_hba.conf"
  cat >> "$dir/data/pg_hba.conf" <<HBA
host all postgres 127.0.0.1/32 trust
host all all 127.0.0.1/32 scram-sha-256
HBA
}

# A port nothing listens on now; should another take it first, the start
# fails and the next one is tried.
start_on_free_port() {
  local try
  for try in 1 2 3 4 5 6 7 8; do
    port=$((20000 + (RANDOM * 7 + try) % 40000))
    [ -e "$dir/port" ] && [ "$try" -eq 1 ] && port=$(cat "$dir/port")
    if "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -l "$dir/log" -w -t 60 -s \
      -o "-c listen_addresses=127.0.0.1 -c port=$port -c unix_socket_directories=$dir/socket -c max_connections=40" \
      start; then
      echo "$port" > "$dir/port"
      return 0
    fi
  done
  echo "pg_server.sh: the server would not start: $(tail -n 5 "$dir/log")" >&2
  return 1
}

case $action in
  start)
    [ -d "$dir/data" ] || make_cluster
    started || start_on_free_port
    port=$(cat "$dir/port")
    echo "postgresql:///kestrane?host=$dir/socket&port=$port&user=postgres" > "$dir/uri"
    echo "postgresql://postgres@127.0.0.1:$port/kestrane" > "$dir/tcp"
    "$bin/psql" -XqAt "postgresql:///postgres?host=$dir/socket&port=$port&user=postgres" \
      -c "SELECT 1 FROM pg_database WHERE datname = 'kestrane'" | grep -q 1 ||
      "$bin/psql" -Xq "postgresql:///postgres?host=$dir/socket&port=$port&user=postgres" -c "CREATE DATABASE kestrane"
    ;;
  stop)
    ! started || "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -m "${3:-fast}" -w -s stop
    ;;
  psql)
    shift 2
    "$bin/psql" -XqAt -v ON_ERROR_STOP=1 "$(cat "$dir/uri")" "$@"
    ;;
  clean)
    [ ! -d "$dir/data" ] || ! started || "${as_server[@]}" "$bin/pg_ctl" -D "$dir/data" -m immediate -w -s stop
    rm -rf "$dir"
    ;;
  *) echo "usage: pg_server.sh start|stop|clean DIR [MODE]" >&2; exit 64 ;;
esac
