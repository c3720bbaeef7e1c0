#!/bin/bash
# The station database across a plant network: a PostgreSQL server started
# here (tests/common/pg_server.sh) behind a proxy on loopback that holds each
# direction's bytes DELAY/2 ms, DELAY ms of round trip (tests/common/round_trips.py,
# which counts the trips too).
#  - draws-and-records per second on one counter from 1, 2, 4 and 8
#    processes, each with a connection of its own (station_bench).
#    Target: 8 processes at least 5 times as many as one, which they reach
#    only when no process holds the counter across the network.
#  - what watch's boards cost the record: 8 threads sharing one Station and
#    its one connection, as watch's 8 ports do. Target: at least 50 boards
#    a second.
#  - kestrane-cli watch itself over 8 serial ports of simulated boards
#    (uart_sim), each board leaving once flashed and coming back as the
#    next; its port looks bound it (below).
# Round trips per draw-and-record and per board are printed beside each.
# "small" runs a few draws and boards, checks the numbers and the record,
# and holds the figures to no target: a shared machine's timing is not one.
# Usage: station_delay.sh STATION-BENCH KESTRANE-CLI UART-SIM [small|full] [DELAY-MS]
set -euo pipefail
bench=$(realpath "$1") cli=$(realpath "$2") sim=$(realpath "$3") mode=${4:-full} delay=${5:-10}
here=$(cd "$(dirname "$0")" && pwd)
pg_server=$here/../tests/common/pg_server.sh
if [ "$mode" = small ]; then draws=20 boards=24; else draws=200 boards=200; fi
work=$(mktemp -d)
pg=$(mktemp -d /tmp/kestrane-pg.XXXXXX)
trap 'jobs -p | xargs -r kill 2>/dev/null || true; "$pg_server" clean "$pg"; rm -rf "$work"' EXIT
cd "$work"
export XDG_STATE_HOME=$work/state
"$pg_server" start "$pg" > /dev/null
mkfifo listening
python3 "$here/../tests/common/round_trips.py" --to "127.0.0.1:$(cat "$pg/port")" --count-file trips \
  --delay-ms "$delay" > listening &
read -r port < listening
db=postgresql://postgres@127.0.0.1:$port/kestrane
failed=0
below() { echo "  BELOW THE TARGET: $*"; [ "$mode" = small ] || failed=1; }

echo "station database over $delay ms of round trip (loopback through a proxy)"
declare -A rate
for processes in 1 2 4 8; do
  before=$(cat trips)
  line=$("$bench" "$db" "$processes" "$draws" 0)
  trips=$(($(cat trips) - before))
  rate[$processes]=$(sed -n 's/.*: \([0-9]*\) per second.*/\1/p' <<< "$line")
  printf '%d process%-2s x %d draws-and-records: %5d per second, %.1f round trips each (connections and checks included)\n' \
    "$processes" "$([ "$processes" -eq 1 ] && echo "" || echo es)" "$draws" "${rate[$processes]}" \
    "$(awk -v t="$trips" -v n=$((processes * draws)) 'BEGIN { print t / n }')"
done
scaling=$(awk -v a="${rate[8]}" -v b="${rate[1]}" 'BEGIN { printf "%.1f", a / b }')
echo "8 processes draw ${scaling} times as fast as one (target: at least 5)"
awk -v s="$scaling" 'BEGIN { exit !(s >= 5) }' || below "8 processes against one"

# What watch's boards cost its one connection: 8 threads sharing one
# Station, each board begun, its counter checked as last seen, its number
# drawn with its part, and completed.
before=$(cat trips)
line=$("$bench" "$db" 1 "$boards" 0 8)
trips=$(($(cat trips) - before))
shared=$(sed -n 's/.*: \([0-9]*\) per second.*/\1/p' <<< "$line")
printf "watch's record, 8 ports on one connection: %d boards a second (target: at least 50), %.1f round trips a board\n" \
  "$shared" "$(awk -v t="$trips" -v n="$boards" 'BEGIN { print t / n }')"
[ "$shared" -ge 50 ] || below "watch's record on one connection"

# watch itself: 8 ports, a 1 KB image, each board back in its bootloader
# once it has left, until BOARDS are done. It looks at each port twice a
# second, and a board that left is seen gone at one look and its successor
# at the next: that, not the record, bounds this figure, with or without
# the delay.
{ printf '\x02'; head -c 1023 /dev/urandom; } > fw.bin
mkfifo control
: > sim.out  # made first, so that tail below never looks before it is there
"$sim" --links "$work" --boards 8 --control control > sim.out &
while IFS= read -r line && [ "$line" != ready ]; do :; done < <(tail -n +1 -f --pid=$! sim.out)
"$cli" serial init watch --first 1 --db "$db" > /dev/null
ports=()
for ((n = 1; n <= 8; n++)); do ports+=(--port "$work/ttySIM$n"); done
# err made before watch starts, or the tail below may look for it first
# and give up.
: > err
before=$(cat trips)
start=$EPOCHREALTIME
"$cli" watch --db "$db" --counter watch --serial le32@0x3F00 --count "$boards" --json "${ports[@]}" fw.bin \
  > out 2> err &
watcher=$!
(tail -n +1 -f --pid=$watcher err | while IFS= read -r line; do
  if [[ $line =~ ttySIM([0-9]+)\ +the\ board\ left ]]; then echo "return ${BASH_REMATCH[1]}" > control; fi
done) &
wait "$watcher" || { echo "watch exited $?: $(tail -n 3 err)"; exit 1; }
elapsed=$(awk -v from="$start" -v to="$EPOCHREALTIME" 'BEGIN { print to - from }')
trips=$(($(cat trips) - before))
echo quit > control
per_second=$(awk -v n="$boards" -v s="$elapsed" 'BEGIN { printf "%.0f", n / s }')
printf 'kestrane-cli watch, 8 ports, one connection: %d boards in %.2f s, %d a second, %.1f round trips a board\n' \
  "$boards" "$elapsed" "$per_second" "$(awk -v t="$trips" -v n="$boards" 'BEGIN { print t / n }')"

# Every board passed and holds a number of its own, drawn once.
[ "$(jq -s "map(select(.path and .result == \"ok\")) | length" out)" = "$boards" ] &&
  [ "$(jq -s "[.[].serial | select(. != null)] | unique | length" out)" = "$boards" ] ||
  { echo "watch: not $boards boards with a number each: $(tail -n 3 out)"; exit 1; }
exit "$failed"
