#!/bin/bash
# Draws-and-records per second on one counter from four processes: into an
# SQLite file on this host, and over loopback to a PostgreSQL server started
# here (tests/common/pg_server.sh), each process with its own connection.
# Usage: station.sh STATION-BENCH [PROCESSES] [DRAWS]
set -euo pipefail
bench=$(realpath "$1") processes=${2:-4} draws=${3:-250}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
pg=$(mktemp -d /tmp/kestrane-pg.XXXXXX)
trap '"$here/../tests/common/pg_server.sh" clean "$pg"; rm -rf "$work"' EXIT
"$here/../tests/common/pg_server.sh" start "$pg"
"$bench" "$work/station.sqlite" "$processes" "$draws"
"$bench" "$(cat "$pg/tcp")" "$processes" "$draws"
