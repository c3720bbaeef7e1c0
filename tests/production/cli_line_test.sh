#!/bin/bash
# The production line through the real kestrane-cli as a black box: serial
# numbers placed into each board's image and drawn from one counter by two
# processes at once, the station record through a SIGKILL, through another
# program's lock and a full filesystem, recording off or impossible, and
# numbers that would read as blank flash. (Retries, the bench and history
# are in cli_watch_test.sh.) Over USB (the demo build of the hidapi
# stand-in) and over UARTs (uart_sim). Waits on log and output lines, never
# on the clock.
# Usage: cli_line_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR UART-SIM
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") sim=$(realpath "$3")
. "$(dirname "$0")/../common/cli_common.sh"
. "$(dirname "$0")/../common/line_common.sh"

# Usage: refused before any board is looked for.
for usage in "flash --serial le32@0x3000 fw.bin" "flash --counter line fw.bin" "flash --no-record --db $db fw.bin" \
             "flash --serial le24@0x3000 --counter line fw.bin" "flash --retries 101 fw.bin" "verify --counter line fw.bin" \
             "serial init line" "serial show --first 1" "serial init line --first 5 --last 2" "history --json --csv"; do
  usb 64 $usage
  [ -s log ] && fail "$usage: the bus was looked at"
done

# One format of each family lands at its address, verified with it in place,
# the numbers drawn in order.
"$cli" serial init line --first 1000 --last 1999 --db "$db" > /dev/null || fail "serial init"
"$cli" serial init line --first 1 --db "$db" > /dev/null 2>&1
[ $? -eq 78 ] || fail "a counter initialised again with other bounds did not exit 78"
numbers=()
for placement in le32@0x3000 be16@0x3000 dec8@0x2FF0 hex5@0x3001; do
  usb 0 flash --json --db "$db" --counter line --serial "$placement" fw.bin
  numbers+=("$(jq .serial out)")
  number_on flash "$placement" "${numbers[-1]}" || fail "$placement: the board does not hold fw.bin with ${numbers[-1]} in place"
done
[ "${numbers[*]}" = "1000 1001 1002 1003" ] || fail "numbers drawn: ${numbers[*]}"

# Refused where the file alone shows it (over the image's own bytes, or a
# number the format cannot hold): no board opened, no number drawn. Beyond
# the part's area (the EFM8UB11F16G's ends at 0x39FF): refused once the board
# is identified, nothing erased, and no number drawn, since the number is
# drawn only for a board that takes it; the attempt is recorded.
"$cli" serial init big --first 70000 --db "$db" > /dev/null
# The image's byte at 0x10 made one it cannot be erased to, so that the
# refusal names it whatever the random bytes after it are.
printf '\x5a' | dd of=fw.bin bs=1 seek=16 conv=notrunc status=none
usb 65 flash --db "$db" --counter line --serial le32@0x0010 fw.bin
grep -q 'holds 0x5A at 0x10, inside le32@0x10' err || fail "overlap: $(cat err)"
usb 65 flash --db "$db" --counter big --serial le16@0x3000 fw.bin
grep -q "would hand out 70000, which does not fit le16@0x3000" err || fail "too large: $(cat err)"
grep -q '^open' log && fail "a board was opened for a number that cannot be placed"
[ "$(counter_next line) $(counter_next big)" = "1004 70000" ] || fail "a refused number was drawn"
KESTRANE_SIM_FLASH_IN=junk usb 65 flash --json --db "$db" --counter line --serial le32@0x39FE fw.bin
one_json '.result == "image-size" and .serial == null' out && grep -q 'le32@0x39FE (0x39FE to 0x3A01) runs past' out ||
  fail "out of area: $(cat out)"
cmp -s flash junk || fail "a board was erased for a number beyond its area"
[ "$(counter_next line)" = 1004 ] || fail "a number was drawn for a board whose area the place runs past"
"$cli" history --db "$db" --json | jq -es 'map(select(.result == "image-size")) | length == 1
    and (.[0] | .serial == null and .exit_code == 65 and (.message | test("runs past")))' > /dev/null ||
  fail "the refused board's attempt: $("$cli" history --db "$db")"

# Two processes, four boards on ports each, one counter: eight numbers, each
# once, each on the board its record names.
"$cli" serial init pair --first 1 --db "$db" > /dev/null
start_boards --boards 8
flashers=()
for half in 1 2; do
  ports=()
  for ((n = 4 * half - 3; n <= 4 * half; n++)); do ports+=(--port "$work/ttySIM$n"); done
  "$cli" flash --json --db "$db" --counter pair --serial be32@0x3000 "${ports[@]}" fw.bin > "out.$half" 2> "err.$half" &
  flashers+=($!)
done
for flasher in "${flashers[@]}"; do wait "$flasher" || fail "a process drawing from the shared counter exited $?"; done
stop_boards
jq -es '[.[].serial] | sort == [1, 2, 3, 4, 5, 6, 7, 8]' out.1 out.2 > /dev/null || fail "not eight numbers once each: $(cat out.1 out.2)"
"$cli" history --db "$db" --json > records
for ((n = 1; n <= 8; n++)); do
  number=$(jq --arg path "$work/ttySIM$n" 'select(.counter == "pair" and .path == $path) | .serial' records)
  file=flash.$n
  [ "$n" -eq 1 ] && file=flash
  number_on "$file" be32@0x3000 "$number" || fail "board $n does not hold the number its record names ($number)"
done

# Killed in the middle of a flash (the board stays silent after page 0 was
# erased): the attempt is unfinished, its number never handed out again, and
# the next run works.
"$cli" serial init kill --first 500 --db "$db" > /dev/null
start_boards --silent 14
"$cli" flash --db "$db" --counter kill --serial le16@0x3000 --port "$port" --timeout 60 fw.bin > out 2> err &
victim=$!
wait_line ulog 1 1 '^1 silent' > /dev/null || fail "the flash never reached the silence"
grep -q '^1 record 32' ulog || fail "killed before the first erase"
kill -KILL "$victim"
wait "$victim" 2> /dev/null
stop_boards
"$cli" history --db "$db" --serial 500 --json > out
jq -e --arg path "$port" '.result == "unfinished" and .exit_code == null and (.void | not) and .path == $path
       and .part == "EFM8BB31F64G-QFN32"' out > /dev/null || fail "the killed attempt: $(cat out)"
[ "$(counter_next kill)" = 501 ] || fail "the killed attempt's number is handed out again"
start_boards
"$cli" flash --json --db "$db" --counter kill --serial le16@0x3000 --port "$port" fw.bin > out 2> err || fail "the run after the kill: $(cat err)"
stop_boards
number_on flash le16@0x3000 501 || fail "the run after the kill did not place 501"

# A board that cannot be opened, its port held by another program, is no
# attempt: nothing recorded, no number drawn (nor voided), and the next
# board gets the number.
"$cli" serial init busy --first 60 --db "$db" > /dev/null
attempts=$("$cli" history --db "$db" --json | jq -s length)
start_boards
flock "$port" "$cli" flash --json --db "$db" --counter busy --serial le16@0x3000 --port "$port" fw.bin > out 2> err
status=$?
[ "$status" -eq 75 ] && one_json '.serial == null' out || fail "a busy port ($status): $(cat out err)"
[ "$(counter_next busy)" = 60 ] || fail "a number was drawn for a board whose port was busy"
[ "$("$cli" history --db "$db" --json | jq -s length)" = "$attempts" ] || fail "a busy port was recorded as an attempt"
"$cli" flash --json --db "$db" --counter busy --serial le16@0x3000 --port "$port" fw.bin > out 2> err ||
  fail "the board after the busy port: $(cat err)"
stop_boards
number_on flash le16@0x3000 60 || fail "the board after the busy port does not hold 60"

# Another program holds the database: the flash waits for it, touching no
# board, and then records.
"$cli" serial init held --first 9000 --db "$db" > /dev/null
mkfifo sql
sqlite3 "$db" < sql > sql.out 2>&1 &
holder=$!
exec 3> sql
printf 'BEGIN EXCLUSIVE;\nUPDATE counters SET first = first WHERE name = "held";\n.print held\n' >&3
wait_line sql.out 1 1 '^held$' > /dev/null || fail "sqlite3 did not take the lock: $(cat sql.out)"
start_usb flash --db "$db" --counter held --serial le16@0x3000 fw.bin
flasher=$!
wait_line err 1 1 "waiting for the station database $db" > /dev/null || fail "the flash did not say it waits: $(cat err)"
[ -s log ] && fail "a board was looked for while the record could not be written"
printf 'COMMIT;\n' >&3
exec 3>&-
wait "$holder"
wait "$flasher" || fail "the flash that waited for the database exited $?: $(cat err)"
"$cli" history --db "$db" --serial 9000 --json | one_json '.result == "ok"' || fail "the waiting flash was not recorded"

# Recording: to the default database unless told; off with --no-record; a
# database asked for that cannot be written flashes nothing; the default one
# that cannot be is said once, and the boards are flashed.
usb 0 flash fw.bin
"$cli" history --json | jq -es 'length == 1 and .[0].path == "sim:1"' > /dev/null || fail "not recorded by default"
XDG_STATE_HOME=$work/fresh usb 0 flash --no-record fw.bin
[ -e fresh ] && fail "--no-record made a database"
usb 73 flash --db "$work/missing/line.sqlite" fw.bin
grep -q "cannot open the station database $work/missing/line.sqlite" err || fail "unwritable --db: $(cat err)"
: > not_a_folder
XDG_STATE_HOME=$work/not_a_folder usb 73 flash --counter line --serial le16@0x3000 fw.bin
grep -q '^open' log && fail "a board was opened without the record that was asked for"
XDG_STATE_HOME=$work/not_a_folder KESTRANE_SIM_BOARDS=2 usb 0 flash --all fw.bin
[ "$(grep -c 'flashing without a record' err)" -eq 1 ] || fail "the default database's failure is not said once: $(cat err)"
holds_image flash fw.bin && holds_image flash.2 fw.bin || fail "the boards were not flashed without the default database"

# The station database's filesystem fills up while a board is flashed (it
# leaves and comes back to be tried again): its record is completed all the
# same, from the room its begin kept. Then a full filesystem refuses the
# next board before it is touched, its number not drawn. A small filesystem
# of its own: a tmpfs in a mount namespace, a user namespace's when not root.
small_filesystem=(unshare --mount)
[ "$(id -u)" -eq 0 ] || small_filesystem=(unshare --map-root-user --mount)
mkdir small
export cli work demo_dir
export -f wait_line
"${small_filesystem[@]}" bash -c 'mount -t tmpfs -o size=1m tmpfs small || exit 1
  db=small/line.sqlite
  usb=(env LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_LOG="$work/log" KESTRANE_SIM_FLASH_OUT="$work/flash"
       KESTRANE_SIM_CONTROL="$work/control")
  "$cli" serial init full --first 1 --db "$db" > /dev/null || exit 1
  : > err
  KESTRANE_SIM_VANISH=12 "${usb[@]}" "$cli" flash --json --db "$db" --counter full --serial le16@0x3000 fw.bin \
    > out 2> err &
  flasher=$!
  wait_line err 1 1 "waiting up to 30 s for the board to come back" > /dev/null || exit 1
  cat /dev/zero > small/filler 2> /dev/null
  [ "$(df --output=avail small | tail -n 1)" -eq 0 ] || exit 1
  echo "return 1" > control
  wait $flasher
  echo $? > status
  "$cli" history --db "$db" --json > history 2>&1
  cat /dev/zero >> small/filler 2> /dev/null
  : > log
  "${usb[@]}" "$cli" flash --db "$db" --counter full --serial le16@0x3000 fw.bin > out.full 2> err.full
  echo $? > status.full
  rm small/filler
  "$cli" serial show full --db "$db" --json > counter' || fail "no small filesystem for the station database"
[ "$(cat status)" = 0 ] && one_json '.result == "ok" and .serial == 1 and .tries == 2 and .record_error == null' out ||
  fail "a board flashed while the filesystem filled up ($(cat status)): $(cat out err)"
one_json '.result == "ok" and .serial == 1 and (.void | not)' history || fail "its record: $(cat history)"
[ "$(cat status.full)" = 73 ] && grep -q 'full\|no room\|No space' err.full || fail "a full filesystem ($(cat status.full)): $(cat err.full)"
grep -q '^open' log && fail "a board was opened with no room for its record"
one_json '.next == 2' counter || fail "a number was drawn with no room for its record: $(cat counter)"
# Completing the record fails still (its attempt removed meanwhile): the
# board's own result is printed, its number used, and the run fails (73)
# saying why the record is incomplete.
"$cli" serial init lost --first 40 --db "$db" > /dev/null
KESTRANE_SIM_VANISH=12 start_usb flash --db "$db" --counter lost --serial le16@0x3000 fw.bin
flasher=$!
wait_line err 1 1 'waiting up to 30 s for the board to come back' > /dev/null || fail "no wait: $(cat err)"
sqlite3 "$db" "DELETE FROM attempts WHERE counter = 'lost'"
send_to control "return 1"
wait "$flasher"
status=$?
[ "$status" -eq 73 ] && grep -q '  ok  .*serial number 40  ' out && ! grep -q void out &&
  grep -q 'the record is incomplete: attempt [0-9]* stays unfinished' err || fail "a record not completed ($status): $(cat out err)"
number_on flash le16@0x3000 40 || fail "the board whose record was lost does not hold its number"

# A number whose bytes are all 0xFF (65535 in le16 and be16, 4294967295 in
# le32 and be32) would read as blank flash, the board as unnumbered: no
# binary format takes it, and being each one's largest, the line stops
# there (65) before any board is opened. Text formats take it.
"$cli" serial init blank --first 65533 --db "$db" > /dev/null
KESTRANE_SIM_BOARDS=3 timeout 60 env "${usb_env[@]}" "$cli" watch --json --db "$db" --counter blank \
  --serial be16@0x3000 fw.bin > out 2> err
status=$?
[ "$status" -eq 65 ] && jq -es 'map(select(.path) | .serial) | sort == [65533, 65534]' out > /dev/null &&
  tail -n 1 out | one_json '.boards == 2 and .untouched == 1 and (.stopped | test("65535, which is 0xFFFF in be16@0x3000, as blank flash reads"))' ||
    fail "the bench at 0xFFFF ($status): $(cat out err)"
for placement in le16@0x3000 be16@0x3000; do
  usb 65 flash --db "$db" --counter blank --serial "$placement" fw.bin
  grep -q "would hand out 65535, which is 0xFFFF in $placement, as blank flash reads: the board would look unnumbered (at most 65534)" err ||
    fail "$placement at 0xFFFF: $(cat err)"
  grep -q '^open' log && fail "$placement: a board was opened for a number that reads as blank flash"
done
"$cli" serial init blank32 --first 4294967295 --db "$db" > /dev/null
for placement in le32@0x3000 be32@0x3000; do
  usb 65 flash --db "$db" --counter blank32 --serial "$placement" fw.bin
  grep -q "is 0xFFFFFFFF in $placement" err || fail "$placement at 0xFFFFFFFF: $(cat err)"
done
[ "$(counter_next blank) $(counter_next blank32)" = "65535 4294967295" ] || fail "a number that reads as blank flash was drawn"
usb 0 flash --json --db "$db" --counter blank --serial dec5@0x3000 fw.bin
number_on flash dec5@0x3000 65535 || fail "dec5 did not take 65535"
usb 0 flash --json --db "$db" --counter blank32 --serial hex8@0x3000 fw.bin
number_on flash hex8@0x3000 4294967295 || fail "hex8 did not take 4294967295"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: serial numbers and the station record check out"
