#!/bin/bash
# The dashboard's page over a station's file whose database keeps each
# hour's figures is the page read attempt by attempt from the same record
# kept as an older version had it: the same JSON, for the whole line, from
# a time on, and for one station. The record is written in SQL, its
# attempts begun, completed, numbered and withdrawn as stations write them,
# over the last three days.
# Usage: dashboard_page_test.sh KESTRANE-CLI
set -u
cli=$(realpath "$1")
. "$(dirname "$0")/../common/cli_common.sh"
trap 'jobs -p | xargs -r kill 2>/dev/null; rm -rf "$work"' EXIT

"$cli" serial init line --first 1 --db kept.sqlite > /dev/null || fail "serial init"
sqlite3 kept.sqlite <<'SQL' || fail "the record"
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 3000)
INSERT INTO attempts (started, host, transport, path, part, image_name, image_sha256, station, tries)
SELECT strftime('%Y-%m-%dT%H:%M:%fZ', 'now', printf('-%d seconds', abs(random()) % 259200)), 'bench', 'usb', 'sim:1',
       'EFM8UB11F16G-QSOP24', printf('fw-%d.hex', abs(random()) % 4), printf('%064x', abs(random()) % 3),
       CASE abs(random()) % 4 WHEN 0 THEN '<b>east</b>' ELSE printf('bench-%d', abs(random()) % 3) END,
       abs(random()) % 3
FROM n;
-- Most complete, some failing in one command or another; a few are left
-- unfinished, a few numbered, a few withdrawn.
UPDATE attempts SET ended = started, exit_code = CASE WHEN id % 7 = 0 THEN 76 WHEN id % 11 = 0 THEN 1 ELSE 0 END,
       result = CASE WHEN id % 7 = 0 THEN 'refused' WHEN id % 11 = 0 THEN 'mismatch' ELSE 'ok' END,
       message = CASE WHEN id % 7 = 0 THEN printf('the bootloader refused the %s at 0x0200', CASE id % 3 WHEN 0
                 THEN 'erase' WHEN 1 THEN 'write' ELSE 'setup' END) ELSE '' END
WHERE id % 13 <> 0;
UPDATE attempts SET counter = 'line', serial = id WHERE id % 5 = 0;
UPDATE attempts SET withdrawn = 1 WHERE id % 17 = 0 AND ended IS NULL OR id % 19 = 0;
SQL

# The same record as the version before kept it.
cp kept.sqlite old.sqlite
sqlite3 old.sqlite "DROP TRIGGER attempts_hours_insert; DROP TRIGGER attempts_hours_update; DROP TABLE hour_tally;
                    DROP INDEX attempts_failed; PRAGMA user_version = 3" || fail "the older record"

serve() {  # serve NAME ARGS...: a dashboard, its address in NAME.at
  local name=$1 at
  shift
  at=127.0.0.1:$(free_port)
  "$cli" dashboard --listen "$at" "$@" > "$name.out" 2> "$name.err" &
  wait_line "$name.out" 1 1 'is at http://' > /dev/null || fail "$name did not start: $(cat "$name.err")"
  echo "$at" > "$name.at"
}
serve kept --db kept.sqlite
serve old --db old.sqlite
serve kept_east --db kept.sqlite --station '<b>east</b>'
serve old_east --db old.sqlite --station '<b>east</b>'
[ "$(sqlite3 old.sqlite 'PRAGMA user_version')" = 3 ] || fail "the older record was upgraded by reading it"

page() {  # page NAME PATH: the page's data without the time it was read at
  http_get "http://$(cat "$1.at")$2" | jq -S 'del(.now)'
}
since=$(date -u -d '-2 days -17 minutes' +%Y-%m-%dT%H:%M:%S)
for asked in "kept /api/page" "kept /api/page?since=$since" "kept_east /api/page" "kept_east /api/page?since=$since"; do
  set -- $asked
  # Twice at most: an attempt may pass from the last day's hours to its
  # days between the two reads.
  for try in 1 2; do
    page "$1" "$2" > kept.json && page "${1/kept/old}" "$2" > old.json || fail "GET $2"
    cmp -s kept.json old.json && break
  done
  cmp -s kept.json old.json || fail "$1 $2 is not the page read attempt by attempt: $(diff kept.json old.json | head)"
  one_json '(.over_time.periods | length) > 3 and (.failures | length) > 0 and .last_id > 0' \
    kept.json ||
    fail "$1 $2 shows too little to tell: $(head -c 300 kept.json)"
done

[ "$failures" -eq 0 ] || exit 1
echo "the page from the hourly tally is the page read attempt by attempt"
