#!/bin/bash
# The station record at a year's scale: history, its summary, a serial's
# attempt and serial show, timed (wall time and peak memory of kestrane-cli)
# on an SQLite file and on a PostgreSQL 15 server started here
# (tests/common/pg_server.sh), each figure printed beside its target.
# The record is made from real ones: 20 flashes of 20 images through
# kestrane-cli on simulated USB boards, by 5 stations from 4 counters, then
# multiplied in SQL to ROWS attempts, a line's year: stations drawing turn
# about, one attempt in 17 failed, one in 500 unfinished.
# Each figure is also taken on the 20 real attempts alone: "empty" below.
# Checks what the figures rest on (the record's size, the summary's count,
# serial show's length); times are printed, not judged, since a shared
# machine's are not this one's: the CPU time beside each wall time says how
# much of it was the command's own.
# Each figure is the fastest of three runs.
# Usage: record_scale.sh KESTRANE-CLI DEMO-LIBRARY-DIR [ROWS]
# With RECORD_SCALE_KEEP=1 the records and the server are left as they are,
# to be looked at (their places printed; pg_server.sh clean DIR removes them).
set -euo pipefail
cli=$(realpath "$1") demo_dir=$(realpath "$2") rows=${3:-1000000}
here=$(cd "$(dirname "$0")" && pwd)
pg_server=$here/../tests/common/pg_server.sh
work=$(mktemp -d)
pg=$(mktemp -d /tmp/kestrane-pg.XXXXXX)
if [ "${RECORD_SCALE_KEEP:-}" = 1 ]; then
  trap 'echo "kept: $work $pg"' EXIT
else
  trap '"$pg_server" clean "$pg"; rm -rf "$work"' EXIT
fi
cd "$work"
export XDG_STATE_HOME=$work/state
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

"$pg_server" start "$pg"
sqlite=$work/station.sqlite uri=$(cat "$pg/uri")
for image in $(seq 0 19); do
  { printf '\x02'; head -c 2999 /dev/urandom; } > "image$image.bin"
done

# The real records: one flash of each image, station and counter in turn.
real_records() {  # real_records DB
  "$cli" station init --db "$1" > /dev/null
  for counter in 0 1 2 3; do
    "$cli" serial init "c$counter" --first $((counter * 10000000)) --db "$1" > /dev/null
  done
  for image in $(seq 0 19); do
    env LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_LOG="$work/log" KESTRANE_SIM_FLASH_OUT="$work/flash" \
      "$cli" flash --db "$1" --station "bench-$((image % 5))" --counter "c$((image % 4))" \
      --serial le32@0x3000 "image$image.bin" > /dev/null 2> flash.err || { cat flash.err; exit 1; }
  done
}
real_records "$sqlite"
real_records "$uri"

# Attempt n (past the 20 real ones) copies real attempt n mod 20: its image,
# part, path and figures; it starts 31 s after the one before, at station
# n mod 5, and draws the next number of counter n mod 4.
multiply() {  # multiply NUMBERS-CTE: SQL over numbers(n), 21..ROWS
  cat <<SQL
INSERT INTO attempts (started, host, station, transport, path, part, image_name, image_sha256, counter, serial,
                      ended, result, exit_code, message, commands, bytes_written, seconds, tries)
$1
SELECT $2, r.host, 'bench-' || (n % 5), r.transport, r.path, r.part, r.image_name, r.image_sha256,
       'c' || (n % 4), (n % 4) * 10000000 + n / 4 + 5,
       CASE WHEN n % 500 = 0 THEN NULL ELSE $2 END,
       CASE WHEN n % 500 = 0 THEN NULL WHEN n % 17 = 0 THEN 'mismatch' ELSE r.result END,
       CASE WHEN n % 500 = 0 THEN NULL WHEN n % 17 = 0 THEN 9 ELSE r.exit_code END,
       CASE WHEN n % 500 = 0 THEN NULL ELSE r.message END,
       r.commands, r.bytes_written, r.seconds, CASE WHEN n % 500 = 0 THEN NULL WHEN n % 23 = 0 THEN 2 ELSE 1 END
FROM numbers JOIN (SELECT row_number() OVER (ORDER BY id) - 1 AS k, * FROM attempts) AS r ON r.k = n % 20;
UPDATE counters SET handed_out = (SELECT max(serial) FROM attempts WHERE counter = name) - first + 1;
SQL
}
serial=$((10000000 + rows / 8 + 5))  # a number of counter c1's, drawn half way through the year

figure() {  # figure NAME TARGET COMMAND...: prints NAME, wall and CPU s, peak MB, output bytes
  local name=$1 target=$2 began took run user system cpu kb
  shift 2
  seconds=
  for run in 1 2 3; do
    began=$EPOCHREALTIME
    /usr/bin/time -f "%U %S %M" -o time.txt "$@" > out.txt 2> err.txt || fail "$name: $(cat err.txt)"
    took=$(echo "$EPOCHREALTIME - $began" | bc)
    if [ -z "$seconds" ] || [ "$(echo "$took < $seconds" | bc)" = 1 ]; then
      seconds=$took
      read -r user system kb < <(tail -n 1 time.txt)
      cpu=$(echo "$user + $system" | bc)
    fi
  done
  printf '%-54s %7.3f s (CPU %6.2f s) %6.1f MB %10d bytes   target: %s\n' "$name" "$seconds" "$cpu" \
    "$(echo "$kb / 1024" | bc -l)" "$(stat -c %s out.txt)" "$target"
}
declare -A took

measure() {  # measure STORE DB WHEN
  local store=$1 db=$2 when=$3
  figure "$store $when: history --summary" "< 0.3 s, < 50 MB" "$cli" history --summary --db "$db"
  figure "$store $when: history" "< 50 MB" "$cli" history --db "$db"
  figure "$store $when: history --json" "< 50 MB" "$cli" history --json --db "$db"
  [ "$(wc -l < out.txt)" -eq "$4" ] || fail "$store $when: history --json gave $(wc -l < out.txt) lines, not $4"
  figure "$store $when: history --csv" "< 50 MB" "$cli" history --csv --db "$db"
  figure "$store $when: history --serial $serial" "within 2x of empty${took[$store]:+ (${took[$store]} s)}" \
    "$cli" history --serial "$serial" --db "$db"
  took[$store]=$seconds
  figure "$store $when: history --station bench-3 --since" "< 50 MB" \
    "$cli" history --station bench-3 --since 2025-06-01 --json --db "$db"
  figure "$store $when: serial show" "grows with stations and gaps" "$cli" serial show --db "$db"
  # 4 counters, each with a line of its own and one per station that drew in
  # turn from it, one range each past the gap after the real attempts' numbers
  [ "$(stat -c %s out.txt)" -le 2048 ] || fail "$store $when: serial show wrote $(stat -c %s out.txt) bytes"
}

echo "the record at $rows attempts: 20 images, 5 stations, 4 counters"
measure sqlite "$sqlite" empty 20
measure postgresql "$uri" empty 20
# SQLite's tallies are kept by their triggers row by row as the attempts go
# in. PostgreSQL's triggers would update each image's tally row a million
# times in one transaction, every version kept until it ends: there the
# tallies are made as station init makes them for a database of an older
# version.
began=$EPOCHREALTIME
sqlite3 "$sqlite" "$(multiply "WITH RECURSIVE numbers(n) AS (SELECT 21 UNION ALL SELECT n + 1 FROM numbers WHERE n < $rows)" \
  "strftime('%Y-%m-%dT%H:%M:%S.000Z', '2025-01-01', '+' || (n * 31) || ' seconds')")"
echo "sqlite: multiplied in $(echo "$EPOCHREALTIME - $began" | bc) s"
began=$EPOCHREALTIME
"$pg_server" psql "$pg" -q -v ON_ERROR_STOP=1 -c "SET synchronous_commit = off" \
  -c "ALTER TABLE attempts DISABLE TRIGGER attempts_tally_insert" \
  -c "ALTER TABLE attempts DISABLE TRIGGER attempts_hours_insert" -c "$(multiply \
  "WITH numbers AS (SELECT generate_series(21, $rows) AS n)" \
  "to_char(timestamp '2025-01-01' + n * interval '31 seconds', 'YYYY-MM-DD\"T\"HH24:MI:SS.MS\"Z\"')")" \
  -c "UPDATE kestrane_schema SET version = 2" > /dev/null
"$cli" station init --db "$uri" > /dev/null
"$pg_server" psql "$pg" -q -c "VACUUM ANALYZE" > /dev/null
echo "postgresql: multiplied in $(echo "$EPOCHREALTIME - $began" | bc) s"
measure sqlite "$sqlite" full "$rows"
measure postgresql "$uri" full "$rows"
for db in "$sqlite" "$uri"; do
  summed=$("$cli" history --summary --json --db "$db" | jq -s 'map(select(.station == null) | .attempts) | add')
  [ "$summed" -eq "$rows" ] || fail "the summary of $db counts $summed attempts, not $rows"
done
[ "$failures" -eq 0 ] && echo "0 failed" || { echo "$failures failed"; exit 1; }
