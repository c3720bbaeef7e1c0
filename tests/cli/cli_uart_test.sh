#!/bin/bash
# kestrane-cli as a black box against simulated boards on serial ports
# (uart_sim: the bootloader model behind pseudo-terminals, through the
# kernel's real tty layer): every command, every exit status a port can give,
# several ports at once, the bench over ports, and JSON. Waits on lines of
# the boards' log and of the tool's own output, never on the clock.
# Usage: cli_uart_test.sh KESTRANE-CLI UART-SIM
set -u
cli=$(realpath "$1") sim=$(realpath "$2")
. "$(dirname "$0")/../common/cli_common.sh"

random_image 5000 > fw.bin
srec_cat fw.bin -binary -o fw.hex -intel
mkfifo control
port=$work/ttySIM1

send() { send_to control "$1"; }

run() {
  "$cli" "$@" > out 2> err
}
# expect STATUS ARGS...: runs and checks the exit status.
expect() {
  local want=$1 got
  shift
  run "$@"
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
}

# Usage errors, before any port is opened.
expect 0 --help && grep -q '^  75  another program is using the serial port' out || fail "--help lacks status 75"
expect 0 flash --help && grep -q '128 over a serial port' out || fail "flash --help lacks the UART write size"
for usage in "flash --port $port --device sim:1 fw.bin" "flash --port $port --all fw.bin" "flash --baud 115200 fw.bin" \
             "verify --timeout 1 fw.bin" "flash --port $port --baud 9600 fw.bin" "run --port $port --timeout 0" \
             "flash --port $port --port $port fw.bin" "flash --port $port --wait fw.bin" "identify --all" \
             "list --port $port" "identify fw.bin"; do
  expect 64 $usage
done

# One board: identify, flash, verify, run, each by the part's name.
start_boards
# One port by two paths is given twice, not found in use by the tool itself.
ln -s "$port" link-to-port
for twice in "$work/link-to-port" "$work/./ttySIM1"; do
  expect 64 flash --no-record --port "$port" --port "$twice" fw.bin
  grep -qF -- "--port $twice is given twice (as $port)" err || fail "one port by two paths: $(cat err)"
done
expect 0 identify --port "$port"
grep -q "^$port  EFM8BB31F64G-QFN32  UART  ok  flash 64 KB, application limit 0xFA00, 512-byte pages, bootloader 0x90 (1.0)  " out ||
  fail "identify: $(cat out)"
expect 0 identify --port "$port" --json
jq -en 'input | .part == "EFM8BB31F64G-QFN32" and .family == "EFM8BB3" and .interface == "uart" and .flash_size == 65536
       and .app_limit == 64000 and .app_limit_inferred == false and .page_size == 512 and .bootloader_version == 144' \
  out > /dev/null || fail "identify --json: $(cat out)"
: > log
expect 0 flash --no-run --json --port "$port" --baud 460800 fw.hex
jq -en 'input | .part == "EFM8BB31F64G-QFN32" and .interface == "uart" and .result == "ok" and .bytes_written == 5000' out \
  > /dev/null || fail "flash --json: $(cat out)"
# 128 data bytes a record by default over a UART: ten 512-byte pages, each
# erased with its first chunk (page 0's written last) and three more chunks.
[ "$(grep -c '^1 record 32' log)" -eq 10 ] && [ "$(grep -c '^1 record 33' log)" -eq 31 ] ||
  fail "not 128 bytes a record: $(grep -c '^1 record 3[23]' log) erases and writes"
expect 0 verify --port "$port" fw.bin
grep -q "EFM8BB31F64G-QFN32  UART  ok  matches the image" out || fail "verify: $(cat out)"
expect 0 run --port "$port"
grep -q "  UART  ok  started" out && grep -q '^1 record 36' log || fail "run: $(cat out)"
# The board now runs its application and says nothing.
expect 74 identify --port "$port" --timeout 0.2
for cause in "$port: the identify at 0x0000 got no answer: no reply within 0.2 s" "in its bootloader" \
             "TX and RX crossed" "right port"; do
  grep -qF "$cause" err || fail "silence does not say '$cause': $(cat err)"
done
stop_boards
holds_image flash fw.bin || fail "the board does not hold the image"

# Every flash ends with one CRC check of the pages its image spans, sent
# after its last write: images of one byte, of whole pages, of the part's
# whole area (125 pages), and of a size drawn at random. Without verify,
# none.
for size in 1 512 3584 64000 $((1 + RANDOM % 64000)) no-verify; do
  start_boards
  if [ "$size" = no-verify ]; then
    expect 0 flash --no-verify --port "$port" sized.bin
  else
    random_image "$size" > sized.bin
    expect 0 flash --port "$port" sized.bin
  fi
  stop_boards
  if [ "$size" = no-verify ]; then
    grep -q '^24..34' flash.frames && fail "--no-verify sent a verify: $(grep '^24..34' flash.frames)"
  else
    holds_image flash sized.bin && verified flash.frames sized.bin ||
      fail "a flash of $size bytes was not verified as $(final_verify sized.bin): $(grep '^24..34' flash.frames)"
  fi
done

# Exit statuses of a port that cannot be used, each with its message.
start_boards
expect 69 flash --port "$work/ttyNONE" fw.bin && grep -q "ttyNONE: no such port" err || fail "no port: $(cat err)"
target=$(readlink -f "$port")
mode=$(stat -c %a "$target")
chmod 0 "$target"
without_override=(setpriv --bounding-set=-dac_override,-dac_read_search)
[ "$(id -u)" -eq 0 ] || without_override=()
"${without_override[@]}" "$cli" identify --port "$port" > out 2> err
status=$?
[ "$status" -eq 77 ] && grep -q "dialout" err || fail "no permission exited $status: $(cat err)"
chmod "$mode" "$target"
flock "$port" "$cli" identify --port "$port" > out 2> err
status=$?
[ "$status" -eq 75 ] && grep -q "another program has the port open" err || fail "busy port exited $status: $(cat err)"
[ -s log ] && fail "a port that could not be opened was written to: $(cat log)"
expect 1 verify --json --port "$port" fw.bin
jq -en 'input | .result == "mismatch" and (.pages_differ | length) == 10' out > /dev/null || fail "verify --json: $(cat out)"
stop_boards

# Not for this part: too large for it, or a boot-record file for other
# parts; refused once the board is identified, nothing erased. A file for it
# is flashed.
start_boards --part EFM8BB10F2G-QFN20
expect 65 flash --port "$port" fw.bin
grep -q "EFM8BB10F2G-QFN20's application area of 1536 bytes" err || fail "too large: $(cat err)"
boot_records() {  # boot_records ID...: identify records, setup, and an erase that writes 01 02 03 04 at 0
  local id
  for id in "$@"; do printf "\$\x03\x30\x${id:0:2}\x${id:2:2}"; done
  printf '$\x04\x31\xa5\xf1\x00$\x07\x32\x00\x00\x01\x02\x03\x04'
}
boot_records 3001 3002 > bb10f8.efm8
boot_records 3008 > bb10f2.efm8
expect 65 flash --port "$port" --json bb10f8.efm8
jq -en 'input | .result == "wrong-part" and .message == "bb10f8.efm8 is for the EFM8BB10F8G-QSOP24 (0x3001) or the "
       + "EFM8BB10F8G-QFN20 (0x3002), not this EFM8BB10F2G-QFN20"' out > /dev/null || fail "wrong part: $(cat out)"
grep -q '^1 record 3[23]' log && fail "a board was written for an image not meant for it"
expect 0 flash --port "$port" bb10f2.efm8
stop_boards
[ "$(head -c 4 flash | od -An -tx1 | tr -d ' \n')" = 01020304 ] || fail "a file for the part was not flashed"

# A family whose parts are not documented, and no known family at all.
start_boards --identity 1605
expect 0 identify --port "$port"
grep -q "  EFM8SB2  UART  ok  flash not documented, application limit not documented, 1024-byte pages" out ||
  fail "identify of a family: $(cat out)"
stop_boards
start_boards --identity 7777
expect 0 identify --port "$port" --json
jq -en 'input | .part == null and .family == null and .page_size == null and .bootloader_version == 144' out > /dev/null ||
  fail "identify of an unknown part: $(cat out)"
stop_boards

# Silence in the middle of a flash, after the board answered: not the
# wiring. Commands 0 to 6 identify the part (the ids of the EFM8BB1s whose
# area takes the image and of the BB2s are asked first), 7 is setup, 8 page
# 0's erase, 9 a write.
start_boards --silent 9
expect 74 flash --port "$port" --timeout 0.3 --retries 0 fw.bin
grep -q "the write at 0x0080 got no answer: no reply within 0.3 s; check the adapter" err ||
  fail "silence mid-flash: $(cat err)"
stop_boards

# Several ports at once: boards 2 and 3 are flashed while board 1 has not
# answered yet, and board 1's line dropping fails board 1 alone.
start_boards --boards 3 --silent 0
: > err
"$cli" flash --timeout 60 --port "$port" --port "$work/ttySIM2" --port "$work/ttySIM3" fw.bin > out 2> err &
flasher=$!
wait_line log 1 1 '^2 record 36' > /dev/null && wait_line log 1 1 '^3 record 36' > /dev/null ||
  fail "boards 2 and 3 were not flashed while board 1 was silent"
send "hangup 1"
wait $flasher
status=$?
[ "$status" -eq 74 ] || fail "a dropped line exited $status, not 74"
grep -q "ttySIM1: the identify at 0x0000 got no answer: the port hung up" err || fail "hang-up: $(cat err)"
[ "$(grep -c '  UART  ok  ' out)" -eq 2 ] || fail "not one line per board: $(cat out)"
stop_boards
holds_image flash.2 fw.bin && holds_image flash.3 fw.bin || fail "--port did not flash boards 2 and 3"

# The bench over ports: both boards are flashed; once board 1 has been seen
# leaving (it runs its application), it is reset into its bootloader and
# counts again. A port that does not exist is said once.
start_boards --boards 2
: > err
"$cli" watch --count 3 --json --port "$port" --port "$work/ttySIM2" --port "$work/ttyNONE" fw.bin > out 2> err &
watcher=$!
# Said as a result is: when, and on which port.
wait_line err 1 1 "^[0-9]{4}-[0-9]{2}-[0-9]{2} [0-9]{2}:[0-9]{2}:[0-9]{2}  $port  the board left\$" > /dev/null ||
  fail "watch never said, with the time and port, that board 1 left: $(cat err)"
send "return 1"
wait $watcher || fail "watch --count 3 exited $?"
jq -es 'map(select(.path) | .path) as $paths | $paths == ["'"$port"'", "'"$work/ttySIM2"'", "'"$port"'"]
       or $paths == ["'"$work/ttySIM2"'", "'"$port"'", "'"$port"'"]' \
  out > /dev/null || fail "watch did not count board 1 twice: $(cat out)"
jq -es 'map(select(.path)) | all(.result == "ok" and .part == "EFM8BB31F64G-QFN32" and .interface == "uart" and (.time | length) > 0)' \
  out > /dev/null || fail "watch --json: $(cat out)"
grep -q '^3 boards: 3 ok, 0 failed' err || fail "watch summary: $(cat err)"
[ "$(grep -c 'ttyNONE: no such port.*(still watching)' err)" -eq 1 ] || fail "the missing port is not said once: $(cat err)"
stop_boards
holds_image flash fw.bin && holds_image flash.2 fw.bin || fail "watch did not flash the boards"

# A path that cannot be a serial port (a device that is not a terminal, a
# folder, a regular file) is a mistake in the command: refused by every
# command that takes --port before a file is read, a record opened or a
# board touched, the good port beside it included.
start_boards
for path in /dev/null "$work" fw.bin; do
  for command in "flash missing.bin" "verify missing.bin" identify run "lock --lock-pages 1" "watch missing.bin"; do
    timeout 30 "$cli" $command --port "$port" --port "$path" > out 2> err
    status=$?
    [ "$status" -eq 69 ] && grep -qF "$path: not a serial port" err || fail "$command --port $path exited $status: $(cat err)"
  done
done
timeout 30 "$cli" flash --db "$work/none.sqlite" --port /dev/null fw.bin > out 2> err
[ $? -eq 69 ] && [ ! -e none.sqlite ] || fail "a record was opened for a path that is no port: $(cat err)"
[ -s log ] && fail "a board was touched beside a path that is no port: $(cat log)"
stop_boards

# Killed in the middle of a flash, the tool leaves no port busy. SIGTERM,
# SIGINT and SIGHUP clear the port's exclusive flag on the way out, so that
# a user (or root without CAP_SYS_ADMIN, whom the flag lets through) opens
# it again. SIGKILL cannot be caught: the kernel drops the tool's lock, the
# flag stays on the pseudo-terminal while the board keeps its other end
# open, and root takes the port over without a word; the kernel lets no one
# else open it until then.
as_user=(setpriv --bounding-set=-sys_admin)
[ "$(id -u)" -eq 0 ] || as_user=()
opens_again() {  # opens_again WHAT [WRAPPER...]: identify over the port exits 0 and says nothing amiss
  local what=$1
  shift
  "$@" "$cli" identify --port "$port" > out 2> err
  local status=$?
  [ "$status" -eq 0 ] && [ ! -s err ] || fail "$what: the port was refused afterwards ($status): $(cat err)"
}
for signal in TERM INT HUP KILL; do
  start_boards --drop 14
  env --default-signal "$cli" flash --no-record --timeout 60 --port "$port" fw.bin > out 2> err &
  victim=$!
  wait_line log 1 1 '^1 silent' > /dev/null || fail "SIG$signal: the flash never reached the lost reply"
  kill -"$signal" "$victim"
  wait "$victim" 2> /dev/null
  status=$?
  [ "$status" -eq $((128 + $(kill -l "$signal"))) ] || fail "SIG$signal: the flash exited $status: $(cat err)"
  if [ "$signal" != KILL ]; then
    opens_again "SIG$signal" "${as_user[@]}"
  elif [ "$(id -u)" -eq 0 ]; then
    opens_again "SIGKILL"
    opens_again "SIGKILL, once root has used the port" "${as_user[@]}"
  else
    "$cli" identify --port "$port" > out 2> err
    [ $? -eq 75 ] || fail "SIGKILL: a user opened a port whose exclusive flag is set: $(cat err)"
  fi
  stop_boards
done
# The bench: a first SIGTERM lets the board in progress finish, a second
# ends the tool, the port left free.
start_boards --drop 14
env --default-signal "$cli" watch --no-record --timeout 60 --port "$port" fw.bin > out 2> err &
watcher=$!
wait_line log 1 1 '^1 silent' > /dev/null || fail "watch never reached the lost reply"
kill -TERM "$watcher"
wait_line err 1 1 'stopping once the 1 board in progress is done' > /dev/null || fail "watch did not say it stops: $(cat err)"
kill -TERM "$watcher"
wait "$watcher"
status=$?
[ "$status" -eq 143 ] || fail "watch stopped twice exited $status: $(cat err)"
opens_again "watch stopped twice" "${as_user[@]}"
stop_boards

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: every command and exit status checks out against simulated boards on serial ports"
