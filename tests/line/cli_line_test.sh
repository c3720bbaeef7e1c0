#!/bin/bash
# The production line through the real kestrane-cli as a black box: serial
# numbers placed into each board's image and drawn from one counter by two
# processes at once, the station record through a SIGKILL and through
# another program's lock, retries, recording off or impossible, history, and
# the bench's yield. Over USB (the demo build of the hidapi stand-in) and
# over UARTs (uart_sim). Waits on log and output lines, never on the clock.
# Usage: cli_line_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR UART-SIM
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") sim=$(realpath "$3")
. "$(dirname "$0")/../common/cli_common.sh"
export XDG_STATE_HOME=$work/state

db=$work/line.sqlite
random_image 5000 > fw.bin
random_image 3000 > fw2.bin
head -c 16384 /dev/urandom > junk
mkfifo control uart_control
port=$work/ttySIM1

# USB: fresh simulated boards for each run; stdout in out, stderr in err,
# the bus's log in log, board N's flash in flash (1) or flash.N.
usb_env=(LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_LOG="$work/log" KESTRANE_SIM_FLASH_OUT="$work/flash"
         KESTRANE_SIM_CONTROL="$work/control")
prepare() {
  : > log
  : > err
  rm -f flash flash.*
}
usb() {  # usb STATUS ARGS...: runs and checks the exit status
  local want=$1 got
  shift
  prepare
  env "${usb_env[@]}" "$cli" "$@" > out 2> err
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
}
start_usb() {  # in the background, the tool's process id in $!
  prepare
  env "${usb_env[@]}" "$cli" "$@" > out 2> err &
}

# UART boards (start_boards) keep their events in ulog and read orders from
# uart_control, beside the USB bus's log and control.
uart_log=ulog uart_fifo=uart_control

encode() {  # encode FORMAT NUMBER: the number's bytes in hex, as the format lays them out
  perl -e 'my ($format, $n) = @ARGV;
    my %binary = (le16 => "v", le32 => "V", le64 => "Q<", be16 => "n", be32 => "N", be64 => "Q>");
    my ($kind, $digits) = $format =~ /^(dec|hex)(\d+)$/;
    my $bytes = $binary{$format} ? pack($binary{$format}, $n) : sprintf($kind eq "dec" ? "%0${digits}d" : "%0${digits}X", $n);
    print unpack "H*", $bytes' "$1" "$2"
}
# number_on FLASH-FILE FORMAT@ADDRESS NUMBER: the board holds fw.bin with the
# number at its place, 0xFF between.
number_on() {
  local format=${2%@*} address=$((${2#*@}))
  perl -e 'local $/; open my $in, "<", "fw.bin"; binmode $in; my $image = <$in>;
    my ($at, $bytes) = ($ARGV[0], pack "H*", $ARGV[1]);
    $image .= "\xFF" x ($at - length $image);
    binmode STDOUT; print $image . $bytes' "$address" "$(encode "$format" "$3")" > expected
  holds_image "$1" expected
}
counter_next() {  # counter_next NAME
  "$cli" serial show "$1" --db "$db" --json | jq .next
}

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
usb 65 flash --db "$db" --counter line --serial le32@0x0010 fw.bin
grep -q 'at 0x10, inside le32@0x10' err || fail "overlap: $(cat err)"
usb 65 flash --db "$db" --counter big --serial le16@0x3000 fw.bin
grep -q "would hand out 70000, which does not fit le16@0x3000" err || fail "too large: $(cat err)"
grep -q '^open' log && fail "a board was opened for a number that cannot be placed"
[ "$(counter_next line) $(counter_next big)" = "1004 70000" ] || fail "a refused number was drawn"
KESTRANE_SIM_FLASH_IN=junk usb 65 flash --json --db "$db" --counter line --serial le32@0x39FE fw.bin
jq -e '.result == "image-size" and .serial == null' out > /dev/null && grep -q 'le32@0x39FE (0x39FE to 0x3A01) runs past' out ||
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
[ "$status" -eq 75 ] && jq -e '.serial == null' out > /dev/null || fail "a busy port ($status): $(cat out err)"
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
"$cli" history --db "$db" --serial 9000 --json | jq -e '.result == "ok"' > /dev/null || fail "the waiting flash was not recorded"

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
jq -e '.tries == 2 and .serial == 7000' out > /dev/null || fail "came back: $(cat out)"
number_on flash le16@0x3000 7000 || fail "the board that came back does not hold its number"
KESTRANE_SIM_DROP=12 usb 74 flash --json --retries 2 --db "$db" --counter retry --serial le16@0x3000 fw.bin
jq -e '.tries == 3 and .serial == 7001' out > /dev/null || fail "dropped every time: $(cat out)"
KESTRANE_SIM_ANSWER=12:41 usb 76 flash --json --db "$db" --counter retry --serial le16@0x3000 fw.bin
jq -e '.tries == 1' out > /dev/null || fail "a refusal was retried: $(cat out)"
"$cli" history --db "$db" --json | jq -es 'map(select(.counter == "retry") | [.serial, .tries, .void])
    == [[7000, 2, false], [7001, 3, true], [7002, 1, true]]' > /dev/null || fail "tries as recorded: $(cat out)"
usb 0 flash --json --no-run --lock-pages 1 --no-record fw.bin
KESTRANE_SIM_DROP=$(($(jq .commands out) - 1)) usb 74 flash --json --no-run --lock-pages 1 --no-record fw.bin
jq -e '.tries == 1 and .lock.sent' out > /dev/null || fail "retried after the lock: $(cat out)"
# The bench keeps a board that left for its retry rather than forget it and
# take it as a new one when it is back (its own look at the bus and the
# retry's, each five times a second, have both seen it gone by the fourth
# empty one); a new board after it counts.
KESTRANE_SIM_VANISH=12 start_usb watch --count 2 --json --no-record fw.bin
watcher=$!
wait_line err 1 1 'sim:1: .*for try 2 of 2' > /dev/null || fail "the bench did not wait: $(cat err)"
wait_line log 1 4 '^enumerate 0 found' > /dev/null || fail "nobody looked for the board"
grep -q 'sim:1: the board left' err && fail "the bench forgot a board it was retrying"
send_to control "return 1"
wait_line out 1 1 '"path":"sim:1"' > /dev/null || fail "the bench did not retry"
send_to control attach
wait "$watcher" || fail "the bench with a retry exited $?: $(cat err)"
jq -es 'map(select(.path) | [.path, .tries]) == [["sim:1", 2], ["sim:2", 1]]' out > /dev/null ||
  fail "the bench took a retried board twice: $(cat out)"
# Over a port: a reply lost once; the board answers the port again.
start_boards --drop 14
"$cli" flash --json --timeout 0.3 --port "$port" --db "$db" --counter retry --serial be16@0x3000 fw.bin > out 2> err ||
  fail "a reply lost once: $(cat err)"
stop_boards
jq -e '.tries == 2' out > /dev/null && number_on flash be16@0x3000 "$(jq .serial out)" || fail "lost once: $(cat out)"

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
[ "$(cat status)" = 0 ] && jq -e '.result == "ok" and .serial == 1 and .tries == 2 and .record_error == null' out > /dev/null ||
  fail "a board flashed while the filesystem filled up ($(cat status)): $(cat out err)"
jq -e '.result == "ok" and .serial == 1 and (.void | not)' history > /dev/null || fail "its record: $(cat history)"
[ "$(cat status.full)" = 73 ] && grep -q 'full\|no room\|No space' err.full || fail "a full filesystem ($(cat status.full)): $(cat err.full)"
grep -q '^open' log && fail "a board was opened with no room for its record"
jq -e '.next == 2' counter > /dev/null || fail "a number was drawn with no room for its record: $(cat counter)"
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

# The bench: two boards at once, one refusing; the summary in JSON. Then a
# counter with one number left stops the line by itself: the board left
# without one is untouched, no attempt, so the bench's figures and the
# record's agree.
"$cli" serial init bench --first 300 --last 302 --db "$db" > /dev/null
KESTRANE_SIM_BOARDS=2 KESTRANE_SIM_ANSWER=12:41 usb 76 watch --count 2 --json --db "$db" --counter bench \
  --serial le16@0x3000 fw2.bin
tail -n 1 out | jq -e '.summary and .boards == 2 and .passed == 1 and .failed == 1 and .yield == 0.5
    and .first_pass_yield == 0.5 and .serial_first == 300 and .serial_last == 301 and .untouched == 0
    and .stopped == null and .exit_code == 76' > /dev/null || fail "watch's summary: $(cat out)"
tail -n 1 out > summaries
KESTRANE_SIM_BOARDS=2 timeout 60 env "${usb_env[@]}" "$cli" watch --json --db "$db" --counter bench \
  --serial le16@0x3000 fw2.bin > out 2> err
status=$?
[ "$status" -eq 78 ] && grep -q "sim:[12]: left untouched, not counted: counter 'bench' has handed out its last number, 302" err ||
  fail "the last number did not stop the line ($status): $(cat err)"
jq -es 'map(select(.path)) | length == 1 and .[0].serial == 302' out > /dev/null || fail "past the last number: $(cat out)"
tail -n 1 out | jq -e '.boards == 1 and .passed == 1 and .failed == 0 and .yield == 1 and .untouched == 1
    and (.stopped | test("handed out its last number, 302"))' > /dev/null || fail "past the last number's summary: $(cat out)"
grep -q "^1 board: 1 ok, 0 failed; .*; 1 board untouched; the line stopped: counter 'bench' has handed out" err ||
  fail "the summary does not say the line stopped: $(cat err)"
tail -n 1 out >> summaries
"$cli" history --db "$db" --image "$(sha256sum fw2.bin | cut -c 1-64)" --summary --json > out
jq -es '(.[0:2] | {attempts: map(.boards) | add, passed: map(.passed) | add, failed: map(.failed) | add})
    == (.[2] | {attempts, passed, failed})' summaries out > /dev/null ||
  fail "the bench's figures and the record's disagree: $(cat summaries out)"

# A number whose bytes are all 0xFF (65535 in le16 and be16, 4294967295 in
# le32 and be32) would read as blank flash, the board as unnumbered: no
# binary format takes it, and being each one's largest, the line stops
# there (65) before any board is opened. Text formats take it.
"$cli" serial init blank --first 65533 --db "$db" > /dev/null
KESTRANE_SIM_BOARDS=3 timeout 60 env "${usb_env[@]}" "$cli" watch --json --db "$db" --counter blank \
  --serial be16@0x3000 fw.bin > out 2> err
status=$?
[ "$status" -eq 65 ] && jq -es 'map(select(.path) | .serial) | sort == [65533, 65534]' out > /dev/null &&
  tail -n 1 out | jq -e '.boards == 2 and .untouched == 1 and (.stopped | test("65535, which is 0xFFFF in be16@0x3000, as blank flash reads"))' \
  > /dev/null || fail "the bench at 0xFFFF ($status): $(cat out err)"
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
jq -e '.name == "odd\ufffd"' out > /dev/null || fail "serial init --json: $(cat out)"
sha=$(sha256sum fw2.bin | cut -c 1-10)
"$cli" history --db "$db" --image "$sha" --summary --json > out
jq -e '.image == "fw2.bin" and .attempts == 3 and .passed == 2 and .failed == 1 and .first_pass_yield == 2 / 3
       and .serial_first == 300 and .serial_last == 302 and .voids == 1' out > /dev/null || fail "--summary: $(cat out)"
[ "$("$cli" history --db "$db" --image "$sha" --csv | head -c 11)" = "id,started," ] &&
  [ "$("$cli" history --db "$db" --image "$sha" --csv | wc -l)" -eq 4 ] || fail "--csv"
"$cli" history --db "$db" --serial 302 --json | jq -es 'length == 1 and .[0].image == "fw2.bin"' > /dev/null ||
  fail "--serial"
[ -z "$("$cli" history --db "$db" --since 2999-01-01)" ] || fail "--since"
"$cli" history --db "$db" --image xyz > /dev/null 2> err
[ $? -eq 64 ] || fail "a prefix that is not hex: $(cat err)"
XDG_STATE_HOME=$work/fresh "$cli" history > /dev/null 2> err
[ $? -eq 66 ] && [ ! -e fresh ] || fail "history without a database: $(cat err)"

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
  "${as_user[@]}" "$cli" serial show bench --db "$2" --json > out 2>> err && jq -e '.next == 303' out > /dev/null ||
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
env "${usb_env[@]}" script -qec "$cli watch --count 1 --no-record fw.bin" /dev/null > terminal
grep -q '1 passed, 0 failed, yield 100.0%, first pass 100.0%, [0-9]* boards/h' terminal || fail "no live yield line"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: serial numbers, the station record, retries and the bench's yield check out"
