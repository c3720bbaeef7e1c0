#!/bin/bash
# Round trips to the station database server, through the real kestrane-cli
# as a black box: a proxy between it and a PostgreSQL server the test starts
# itself counts each reply that follows a request (tests/common/round_trips.py).
# A whole flash with a counter, connection set-up included, takes at most 7;
# each further board of a run at most 3 (its attempt with the part, its
# number, its completion); and the record is whole all the same.
# Usage: cli_round_trips_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR PG-SERVER ROUND-TRIPS
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") pg_server=$(realpath "$3") proxy=$(realpath "$4")
. "$(dirname "$0")/../common/cli_common.sh"
start_pg "$pg_server"
export XDG_STATE_HOME=$work/state
mkfifo listening
python3 "$proxy" --to "127.0.0.1:$port_number" --count-file trips > listening &
read -r port < listening || { echo "FAIL: the proxy did not start"; exit 1; }
db=postgresql://postgres@127.0.0.1:$port/kestrane
"$cli" station init --db "$db" > /dev/null && "$cli" serial init line --first 1 --db "$db" > /dev/null ||
  fail "station init and serial init through the proxy"
random_image 5000 > fw.bin

# counted MOST WHAT ARGS...: kestrane-cli ARGS against fresh simulated USB
# boards exits 0 in at most MOST round trips.
counted() {
  local most=$1 what=$2 before after
  shift 2
  before=$(cat trips)
  env LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_FLASH_OUT="$work/flash" "$cli" "$@" --db "$db" > out 2> err ||
    fail "$what exited $?: $(cat err)"
  after=$(cat trips)
  echo "$what: $((after - before)) round trips"
  [ $((after - before)) -le "$most" ] || fail "$what took $((after - before)) round trips, not at most $most"
}

counted 7 "a flash with a counter" flash --json --counter line --serial le32@0x3000 fw.bin
jq -e '.serial == 1 and .result == "ok"' out > /dev/null || fail "the flash's number: $(cat out)"
counted 6 "a flash without one" flash fw.bin
for boards in 2 4; do
  KESTRANE_SIM_BOARDS=$boards counted $((4 + 3 * boards)) "$boards boards at once" \
    flash --all --json --counter line --serial le32@0x3000 fw.bin
done

# Fewer trips, the same record: seven numbers, once each, every attempt
# complete with its part; the number on the board that drew it.
"$cli" history --db "$db" --json > history
jq -es 'length == 8 and all(.result == "ok" and .part != "") and
        ([.[].serial | select(. != null)] | sort == [1, 2, 3, 4, 5, 6, 7])' history > /dev/null ||
  fail "the record: $(cat history)"
[ "$(od -An -tu4 -j $((0x3000)) -N4 flash | tr -d ' ')" = "$(jq 'select(.path == "sim:1") | .serial' out)" ] ||
  fail "board 1 does not hold the number its record names"
[ "$("$cli" serial show line --db "$db" --json | jq .next)" = 8 ] || fail "the counter's next number"

[ "$failures" -eq 0 ] && echo "all passed" || echo "$failures failed"
[ "$failures" -eq 0 ]
