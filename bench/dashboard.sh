#!/bin/bash
# The dashboard over a large station record: the time of the page's first
# load (the page, its script, Chart.js and its data, as a browser asks for
# them) and of /api/summary, then the dashboard's resident memory sampled
# over many updates, each a new attempt and a fresh read of the page's data.
# Usage: dashboard.sh KESTRANE-CLI [ATTEMPTS] [UPDATES]
# (1000000 attempts and 3600 updates, an hour of the page's polls, by default.)
set -euo pipefail
cli=$(realpath "$1") attempts=${2:-1000000} updates=${3:-3600}
work=$(mktemp -d)
trap 'kill "${dashboard:-}" 2>/dev/null; wait 2>/dev/null; rm -rf "$work"' EXIT
db=$work/record.sqlite

# The record: a counter made by kestrane-cli, then ATTEMPTS attempts over
# the last 30 days from four stations, three images, one in twenty failed.
# (bench/record_scale.sh makes its record of real flashes for history's own
# figures, on both stores, and keeps none: this one is made in SQL alone.)
"$cli" serial init scale --first 1 --db "$db" > /dev/null
sqlite3 "$db" <<SQL
WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < $attempts)
INSERT INTO attempts (started, host, transport, path, part, image_name, image_sha256, counter, serial, ended,
                      result, exit_code, message, commands, bytes_written, seconds, tries, station)
SELECT strftime('%Y-%m-%dT%H:%M:%fZ', 'now', printf('-%d seconds', ($attempts - i) * 2592000 / $attempts)),
       'bench', 'usb', 'sim:1', 'EFM8UB11F16G-QSOP24', printf('fw-%d.hex', i % 3),
       printf('%064x', i % 3), 'scale', i,
       strftime('%Y-%m-%dT%H:%M:%fZ', 'now', printf('-%d seconds', ($attempts - i) * 2592000 / $attempts)),
       CASE WHEN i % 20 = 0 THEN 'refused' ELSE 'ok' END, CASE WHEN i % 20 = 0 THEN 76 ELSE 0 END,
       CASE WHEN i % 20 = 0 THEN 'the bootloader refused the write at 0x0200 with ''C'' (CRC mismatch)' ELSE '' END,
       93, 14848, 1.5, 1, printf('bench-%d', i % 4)
FROM n;
UPDATE counters SET handed_out = $attempts WHERE name = 'scale';
SQL
echo "record: $("$cli" history --db "$db" --summary --json | head -1)"

port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"$cli" dashboard --db "$db" --listen "127.0.0.1:$port" > "$work/out" 2> "$work/err" &
dashboard=$!
# Its first line says it listens.
timeout 60 grep -q -m1 'is at http' <(tail -F "$work/out" 2> /dev/null) || { cat "$work/err"; exit 1; }
# AddressSanitizer keeps what is freed in quarantine, up to 256 MB, rather
# than use it again: a sanitized build's memory is said, not judged.
sanitized=$(ldd "$cli" | grep -c libasan || true)
python3 - "http://127.0.0.1:$port" "$dashboard" "$db" "$attempts" "$updates" "$sanitized" <<'PYTHON'
import sqlite3, sys, time, urllib.request
base, pid, db, attempts, updates = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
sanitized = sys.argv[6] != '0'

def seconds(path):
    start = time.monotonic()
    with urllib.request.urlopen(base + path, timeout=600) as response:
        response.read()
    return time.monotonic() - start

def rss():
    with open(f'/proc/{pid}/status') as status:
        return next(int(line.split()[1]) for line in status if line.startswith('VmRSS'))

load = sum(seconds(path) for path in ['/', '/page.js', '/page.css', '/chart.js', '/api/page'])
summary = seconds('/api/summary')
print(f'first page load ({attempts} attempts): {load:.3f} s (the page, its script and style, Chart.js and its data)')
print(f'/api/summary ({attempts} attempts): {summary:.3f} s')
print(f'resident memory after the first load: {rss()} kB')
record = sqlite3.connect(db, isolation_level=None)
samples, every = [], max(1, updates // 10)
for i in range(1, updates + 1):
    record.execute("INSERT INTO attempts (started, host, transport, path, part, image_name, image_sha256, station) "
                   "VALUES (strftime('%Y-%m-%dT%H:%M:%fZ', 'now'), 'bench', 'usb', 'sim:1', 'EFM8UB11F16G-QSOP24', "
                   "'fw-0.hex', printf('%064x', 0), 'bench-0')")
    # The limit changes each time, so that no update is served from the
    # figures the dashboard keeps for the polls of one second.
    seconds(f'/api/page?limit={50 + i % 2}')
    if i % every == 0:
        samples.append(rss())
print(f'resident memory over {updates} updates, in kB: {" ".join(map(str, samples))}')
print(f'growth from the first sample to the last: {samples[-1] - samples[0]} kB')
# The targets: each under a second, and memory flat (a page's data kept
# per poll would be some 60 kB each, hundreds of MB an hour).
missed = [what for what, took in [('the first load', load), ('/api/summary', summary)] if took >= 1.0]
if samples[-1] - samples[0] > 4096 and not sanitized:
    missed.append('flat memory')
if missed:
    sys.exit('missed: ' + ', '.join(missed))
PYTHON
