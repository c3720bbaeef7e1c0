#!/bin/bash
# Retries, the bench and the record they leave, through the real
# kestrane-cli as a black box: boards that leave in the middle of a flash
# and come back, in time for their retry or not, dropped transfers and
# refusals; the bench's boards, its summary and its yield agreeing with the
# record; every number a counter hands out used once, a void one never
# again; history's filters and a database that cannot be written. Over USB
# (the demo build of the hidapi stand-in) and over UARTs (uart_sim). Waits on
# log and output lines, never on the clock.
# Usage: cli_watch_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR UART-SIM
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") sim=$(realpath "$3")
. "$(dirname "$0")/../common/cli_common.sh"
. "$(dirname "$0")/../common/line_common.sh"

# Retries. A board that leaves in the middle and comes back: two tries, one
# number. Dropped on every try: failed after N+1. A refusal is not retried,
# nor anything once the lock was sent (a locked flash that stays in its
# bootloader ends by reading the lock back).
"$cli" serial init retry --first 7000 --db "$db" > /dev/null
KESTRANE_SIM_VANISH=12 start_usb flash --json --db "$db" --counter retry --serial le16@0x3000 fw.bin
flasher=$!
wait_line err 1 1 'sim:1: .*waiting up to 30 s for the board to come back for try 2 of 2' > /dev/null || fail "no wait: $(cat err)"
send_to control "return 1"
wait "$flasher" || fail "the board that came back exited $?: $(cat err)"
one_json '.tries == 2 and .serial == 7000' out || fail "came back: $(cat out)"
number_on flash le16@0x3000 7000 || fail "the board that came back does not hold its number"
KESTRANE_SIM_DROP=12 usb 74 flash --json --retries 2 --db "$db" --counter retry --serial le16@0x3000 fw.bin
one_json '.tries == 3 and .serial == 7001' out || fail "dropped every time: $(cat out)"
KESTRANE_SIM_ANSWER=12:41 usb 76 flash --json --db "$db" --counter retry --serial le16@0x3000 fw.bin
one_json '.tries == 1' out || fail "a refusal was retried: $(cat out)"
"$cli" history --db "$db" --json | jq -es 'map(select(.counter == "retry") | [.serial, .tries, .void])
    == [[7000, 2, false], [7001, 3, true], [7002, 1, true]]' > /dev/null || fail "tries as recorded: $(cat out)"
"$cli" serial init locked --first 1 --db "$db" > /dev/null
usb 0 flash --json --no-run --lock-pages 1 --db "$db" --counter locked --serial le16@0x3000 fw.bin
KESTRANE_SIM_DROP=$(($(jq .commands out) - 1)) usb 74 flash --json --no-run --lock-pages 1 --db "$db" --counter locked \
  --serial le16@0x3000 fw.bin
one_json '.tries == 1 and .lock.sent and .serial == 2' out || fail "retried after the lock: $(cat out)"
numbers_check locked 2 || fail "the locked flashes' numbers: $("$cli" history --db "$db" --json)"
# The bench keeps a board that left for its retry rather than forget it and
# take it as a new one when it is back (its own look at the bus and the
# retry's, each five times a second, have both seen it gone by the fourth
# empty one); a new board after it counts.
"$cli" serial init came-back --first 20 --db "$db" > /dev/null
KESTRANE_SIM_VANISH=12 start_usb watch --count 2 --json --db "$db" --counter came-back --serial le16@0x3000 fw.bin
watcher=$!
wait_line err 1 1 'sim:1: .*for try 2 of 2' > /dev/null || fail "the bench did not wait: $(cat err)"
wait_line log 1 4 '^enumerate 0 found' > /dev/null || fail "nobody looked for the board"
grep -q 'sim:1: the board left' err && fail "the bench forgot a board it was retrying"
send_to control "return 1"
wait_line out 1 1 '"path":"sim:1"' > /dev/null || fail "the bench did not retry"
send_to control attach
wait "$watcher" || fail "the bench with a retry exited $?: $(cat err)"
jq -es 'map(select(.path) | [.path, .tries, .serial]) == [["sim:1", 2, 20], ["sim:2", 1, 21]]' out > /dev/null ||
  fail "the bench took a retried board twice: $(cat out)"
numbers_check came-back 2 && as_recorded came-back || fail "the retried board's record: $(cat out history.json)"
# Over a port: a reply lost once; the board answers the port again.
start_boards --drop 14
"$cli" flash --json --timeout 0.3 --port "$port" --db "$db" --counter retry --serial be16@0x3000 fw.bin > out 2> err ||
  fail "a reply lost once: $(cat err)"
stop_boards
one_json '.tries == 2' out && number_on flash be16@0x3000 "$(jq .serial out)" || fail "lost once: $(cat out)"

# A board that leaves the bench in the middle of its flash and comes back,
# with no retry, or one it does not come back in time for: its attempt
# fails, recorded with its number void; back, it is a new attempt with the
# next number. With a retry it comes back in time for, one attempt, one
# number. Over USB and over a port, where a board leaves by going silent
# (its chip in its application) and comes back when reset into its
# bootloader.
leaves() {  # leaves COUNTER WAIT-FOR BOARDS START-COMMAND...: in out, err; the board returned once WAIT-FOR is said
  local counter=$1 said=$2 boards=$3 watcher
  shift 3
  "$cli" serial init "$counter" --first 100 --db "$db" > /dev/null
  prepare
  : > out
  "$@" --json --db "$db" --counter "$counter" --serial le16@0x3000 fw.bin &
  watcher=$!
  wait_line err 1 1 "$said" > /dev/null || fail "$counter: never said '$said': $(cat err)"
  send_to "$fifo" "return 1"
  # A bench that never takes the board back would watch for ever.
  wait_line out 1 "$boards" '"path":' > /dev/null || {
    fail "$counter: not $boards boards: $(cat out err)"
    pkill -P "$watcher"
    kill "$watcher"
  }
  wait "$watcher"
}
usb_watch() { exec env "${usb_env[@]}" "$cli" watch --count 2 "$@" > out 2> err; }
fifo=control
KESTRANE_SIM_VANISH=12 leaves left-usb 'sim:1  the board left' 2 usb_watch --retries 0
jq -es 'map(select(.path) | [.path, .serial, .result]) == [["sim:1", 100, "transfer-failed"], ["sim:1", 101, "ok"]]' \
  out > /dev/null && numbers_check left-usb 2 && as_recorded left-usb && number_on flash le16@0x3000 101 ||
  fail "a board that left and came back: $(cat out history.json)"
KESTRANE_SIM_VANISH=12 leaves late-usb 'sim:1  the board left' 2 usb_watch --retries 1 --wait=0.2
jq -es 'map(select(.path) | [.serial, .result, .tries]) == [[100, "transfer-failed", 1], [101, "ok", 1]]' out \
  > /dev/null && numbers_check late-usb 2 && as_recorded late-usb && number_on flash le16@0x3000 101 ||
  fail "a board back too late for its retry: $(cat out history.json)"
uart_watch() {
  start_boards --silent 14
  "$cli" watch --count "$count" --timeout 0.3 --port "$port" "$@" > out 2> err
  local status=$?
  stop_boards
  return "$status"
}
fifo=uart_control count=2
leaves left-uart "$port  the board left" 2 uart_watch --retries 0
jq -es 'map(select(.path) | [.serial, .result]) == [[100, "transfer-failed"], [101, "ok"]]' out > /dev/null &&
  numbers_check left-uart 2 && as_recorded left-uart && number_on flash le16@0x3000 101 ||
  fail "a board that left a port and came back: $(cat out history.json)"
count=1
leaves retried-uart 'for try 2 of 2' 1 uart_watch --retries 1 || fail "a port's board back for its retry: $(cat err)"
jq -es 'map(select(.path) | [.serial, .result, .tries]) == [[100, "ok", 2]]' out > /dev/null &&
  numbers_check retried-uart 1 && as_recorded retried-uart && number_on flash le16@0x3000 100 ||
  fail "a port's board back for its retry: $(cat out history.json)"

# The bench: two boards at once, one refusing; the summary in JSON. Then a
# counter with one number left stops the line by itself: the board left
# without one is untouched, no attempt, so the bench's figures and the
# record's agree.
"$cli" serial init bench --first 300 --last 302 --db "$db" > /dev/null
KESTRANE_SIM_BOARDS=2 KESTRANE_SIM_ANSWER=12:41 usb 76 watch --count 2 --json --db "$db" --counter bench \
  --serial le16@0x3000 fw2.bin
tail -n 1 out | one_json '.summary and .boards == 2 and .passed == 1 and .failed == 1 and .yield == 0.5
    and .first_pass_yield == 0.5 and .serial_first == 300 and .serial_last == 301 and .untouched == 0
    and .stopped == null and .exit_code == 76' || fail "watch's summary: $(cat out)"
tail -n 1 out > summaries
KESTRANE_SIM_BOARDS=2 timeout 60 env "${usb_env[@]}" "$cli" watch --json --db "$db" --counter bench \
  --serial le16@0x3000 fw2.bin > out 2> err
status=$?
[ "$status" -eq 78 ] && grep -q "sim:[12]: left untouched, not counted: counter 'bench' has handed out its last number, 302" err ||
  fail "the last number did not stop the line ($status): $(cat err)"
jq -es 'map(select(.path)) | length == 1 and .[0].serial == 302' out > /dev/null || fail "past the last number: $(cat out)"
tail -n 1 out | one_json '.boards == 1 and .passed == 1 and .failed == 0 and .yield == 1 and .untouched == 1
    and (.stopped | test("handed out its last number, 302"))' || fail "past the last number's summary: $(cat out)"
grep -q "^1 board: 1 ok, 0 failed; .*; 1 board untouched; the line stopped: counter 'bench' has handed out" err ||
  fail "the summary does not say the line stopped: $(cat err)"
tail -n 1 out >> summaries
"$cli" history --db "$db" --image "$(sha256sum fw2.bin | cut -c 1-64)" --summary --json > out
jq -es '(.[0:2] | {attempts: map(.boards) | add, passed: map(.passed) | add, failed: map(.failed) | add})
    == (.[2] | {attempts, passed, failed})' summaries out > /dev/null ||
  fail "the bench's figures and the record's disagree: $(cat summaries out)"

# History: the filters, and the summary per image. A file name that holds a
# line break or another control character keeps its attempt on one line of
# text, quoted and escaped; CSV quotes it, JSON escapes it, and a name that
# is not UTF-8 does not stop JSON.
cp fw.bin "$(printf 'fw\nline\033.bin')"
cp fw.bin "$(printf 'fw\351.bin')"
names=$work/names.sqlite
usb 0 flash --db "$names" "$(printf 'fw\nline\033.bin')"
usb 0 flash --db "$names" "$(printf 'fw\351.bin')"
"$cli" history --db "$names" > out || fail "history of odd names: $(cat out)"
[ "$(wc -l < out)" -eq 2 ] && grep -qF '"fw\nline\x1B.bin"' out || fail "a name with a line break: $(cat -A out)"
"$cli" history --db "$names" --json > out || fail "history --json of odd names exited $?"
jq -es 'map(.image) == ["fw\nline\u001b.bin", "fw\ufffd.bin"]' out > /dev/null || fail "history --json: $(cat out)"
"$cli" history --db "$names" --csv > out
sqlite3 :memory: ".import --csv out attempts" "SELECT image FROM attempts" > csv_names
printf 'fw\nline\033.bin\nfw\351.bin\n' | cmp -s - csv_names || fail "history --csv: $(cat -A out)"
"$cli" serial init "$(printf 'odd\377')" --first 1 --json --db "$names" > out || fail "serial init of a name not UTF-8"
one_json '.name == "odd\ufffd"' out || fail "serial init --json: $(cat out)"
sha=$(sha256sum fw2.bin | cut -c 1-10)
"$cli" history --db "$db" --image "$sha" --summary --json > out
jq -es 'length >= 1 and (.[0] | .image == "fw2.bin" and .attempts == 3 and .passed == 2 and .failed == 1 and .first_pass_yield == 2 / 3
       and .serial_first == 300 and .serial_last == 302 and .voids == 1)' out > /dev/null || fail "--summary: $(cat out)"
[ "$("$cli" history --db "$db" --image "$sha" --csv | head -c 11)" = "id,started," ] &&
  [ "$("$cli" history --db "$db" --image "$sha" --csv | wc -l)" -eq 4 ] || fail "--csv"
"$cli" history --db "$db" --serial 302 --json | jq -es 'length == 1 and .[0].image == "fw2.bin"' > /dev/null ||
  fail "--serial"
[ -z "$("$cli" history --db "$db" --since 2999-01-01)" ] || fail "--since"
"$cli" history --db "$db" --image xyz > /dev/null 2> err
[ $? -eq 64 ] || fail "a prefix that is not hex: $(cat err)"
XDG_STATE_HOME=$work/fresh "$cli" history > /dev/null 2> err
[ $? -eq 66 ] && [ ! -e fresh ] || fail "history without a database: $(cat err)"

# A mount of its own: a mount namespace, a user namespace's when not root.
small_filesystem=(unshare --mount)
[ "$(id -u)" -eq 0 ] || small_filesystem=(unshare --map-root-user --mount)
export cli
# A database that cannot be written is read as it is: a read-only file, a
# read-only folder, a read-only mount, nothing made beside it. A copy whose
# write-ahead log holds records the file does not, where the log's shared
# memory file cannot be made, gives the records of the file and says so.
# Root is made to obey the modes as a user does.
as_user=(setpriv --bounding-set=-dac_override,-dac_read_search)
[ "$(id -u)" -eq 0 ] || as_user=()
attempts=$("$cli" history --db "$db" --json | jq -s length)
reads() {  # reads WHAT DB [ATTEMPTS]: history and serial show exit 0 with the records
  "${as_user[@]}" "$cli" history --db "$2" --json > out 2> err && [ "$(jq -s length out)" = "${3:-$attempts}" ] ||
    fail "$1: history: $(cat err)"
  "${as_user[@]}" "$cli" serial show bench --db "$2" --json > out 2>> err && one_json '.next == 303' out ||
    fail "$1: serial show: $(cat err)"
}
mkdir archive
cp "$db" archive/line.sqlite
chmod 444 archive/line.sqlite
reads "a read-only file" archive/line.sqlite
[ "$(ls archive)" = line.sqlite ] || fail "reading made files beside the database: $(ls archive)"
chmod 555 archive
reads "a read-only folder" archive/line.sqlite
chmod 755 archive
"${small_filesystem[@]}" bash -c 'mount --bind archive archive && mount -o remount,ro,bind archive archive &&
  "$cli" history --db archive/line.sqlite --json > out 2> err' || fail "a read-only mount: $(cat err)"
[ "$(jq -s length out)" = "$attempts" ] || fail "a read-only mount: $(cat out)"
mkfifo holder
sqlite3 "$db" < holder > holder.out 2>&1 &
exec 3> holder
printf 'SELECT count(*) FROM counters;\n.print held\n' >&3
wait_line holder.out 1 1 '^held$' > /dev/null || fail "sqlite3 did not read the database: $(cat holder.out)"
usb 0 flash --db "$db" fw.bin
mkdir copy
cp "$db" copy/line.sqlite
cp "$db-wal" copy/line.sqlite-wal
exec 3>&-
chmod 444 copy/*
chmod 555 copy
reads "a copy with its log" copy/line.sqlite "$attempts"
grep -q 'the records in copy/line.sqlite-wal are not read' err || fail "the copy's log: $(cat err)"
chmod 755 copy

# On a terminal the bench keeps a live line of its yield.
"$cli" serial init terminal --first 1 --db "$db" > /dev/null
env "${usb_env[@]}" script -qec "$cli watch --count 1 --db $db --counter terminal --serial le16@0x3000 fw.bin" /dev/null \
  > terminal
grep -q '1 passed, 0 failed, yield 100.0%, first pass 100.0%, [0-9]* boards/h' terminal || fail "no live yield line"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: retries, the bench, its yield and history check out against the record"
