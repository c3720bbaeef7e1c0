#!/bin/bash
# Hands-free entry through the real kestrane-cli: programmed boards (their
# application running) behind pseudo-terminals, whose reset and entry pins
# hang on the port's RTS and DTR (a stand-in loaded with LD_PRELOAD, since a
# pseudo-terminal has none) or on GPIO lines (a stand-in for libgpiod put
# first by LD_LIBRARY_PATH); the stand-ins stamp each change and uart_sim
# logs it. Holds are read from those stamps, never timed here. And an
# application's own way in, over a port and over USB (the hidapi stand-in).
# Usage: cli_entry_test.sh KESTRANE-CLI UART-SIM MODEM-SEAM GPIOD-DIR HIDAPI-DEMO-DIR
set -u
cli=$(realpath "$1") sim=$(realpath "$2") seam=$(realpath "$3") gpiod_dir=$(realpath "$4") demo_dir=$(realpath "$5")
. "$(dirname "$0")/../common/cli_common.sh"

random_image 5000 > fw.bin
printf '\x02\x00\x10\x75\x81\x20' > app.bin  # a programmed board: byte 0 is not 0xFF
mkfifo control
port=$work/ttySIM1
mkdir gpio && echo 32 > gpio/gpiochip0
export KESTRANE_SIM_WIRES=$work/wires KESTRANE_SIM_GPIO=$work/gpio
wired=(--power-on --flash-in app.bin --wires "$KESTRANE_SIM_WIRES")
by_rts=(--reset-line rts --boot-line dtr)
by_gpio=(--reset-line gpio:gpiochip0:17 --boot-line gpio:gpiochip0:18)

# expect STATUS ARGS...: kestrane-cli with both stand-ins, stdout in out,
# stderr in err.
expect() {
  local want=$1 got
  shift
  env LD_PRELOAD="$seam" LD_LIBRARY_PATH="$gpiod_dir" "$cli" "$@" < /dev/null > out 2> err
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
}
erased_nothing() {  # erased_nothing WHAT: no erase or write reached the board
  grep -q '^1 record 3[23]' log && fail "$1: the board was written to"
}
# The last entry's holds in ms, from the stamps: reset asserted to released,
# and reset released to boot released.
holds() {
  awk '$2 == "pin" { t[$3 " " $4] = $5; if ($3 == "reset" && $4 == "high") { rh = $5; rl = t["reset low"] }
                     if ($3 == "entry" && $4 == "high") eh = $5 }
       END { printf "%d %d\n", (rh - rl) / 1000000, (eh - rh) / 1000000 }' log
}
# The pins' levels once the tool was done: "reset high entry high" when
# both were released.
last_levels() {
  awk '$2 == "pin" { level[$3] = $4 } END { printf "reset %s entry %s\n", level["reset"], level["entry"] }' log
}

# Usage errors, before anything is opened: no board touched, no record.
start_boards "${wired[@]}" "${by_rts[@]}"
for usage in "--reset rts fw.bin" "--port $port --boot dtr fw.bin" "--port $port --reset rts --boot rts fw.bin" \
             "--port $port --reset cts fw.bin" "--port $port --reset gpio:gpiochip0 fw.bin" \
             "--port $port --reset gpio:gpiochip0:x fw.bin" "--port $port --after reset fw.bin" \
             "--port $port --after run --reset rts fw.bin" "--port $port --enter-baud 57600 fw.bin" \
             "--port $port --enter-command 5 fw.bin" "--port $port --enter-command zz fw.bin" \
             "--port $port --entry-sequence reset=1 fw.bin" "--port $port --enter-hid 10C4:8846:00 fw.bin" \
             "--enter-hid 10C4:88:00 fw.bin"; do
  expect 64 flash --db "$work/none.sqlite" $usage
done
# One GPIO line named twice, by its chip's name and by its path, is refused
# as given twice rather than found in use once opened.
for twice in "--reset gpio:gpiochip0:17 --boot gpio:/dev/gpiochip0:17" \
             "--reset gpio:/dev/./gpiochip0:17 --boot gpio:gpiochip0:17:active-high"; do
  expect 64 flash --db "$work/none.sqlite" --port "$port" $twice fw.bin
  grep -qF -- "--reset, --boot and --trigger need a line each" err || fail "$twice: $(cat err)"
done
expect 64 watch --no-record --port "$port" --reset gpio:gpiochip0:17 --trigger gpio:/dev/gpiochip0:17 fw.bin
grep -qF -- "--reset, --boot and --trigger need a line each" err || fail "a trigger on the reset line: $(cat err)"
# --entry-sequence: the bad step named, once the lines are known.
for bad in "reset=2:step 1, 'reset=2'" "reset=1,wait=10:step 2, 'wait=10'" "reset=1,,reset=0:step 2, ''" \
           "reset=1,jump=1:step 2, 'jump=1'" "boot=1,reset=1:step 1, 'boot=1': no boot line" \
           "wait=61s:step 1, 'wait=61s'" "reset=1,wait=5x:step 2, 'wait=5x'"; do
  expect 64 flash --db "$work/none.sqlite" --port "$port" --entry-sequence "${bad%%:*}" --reset rts fw.bin
  grep -qF -- "--entry-sequence: ${bad#*:}" err || fail "'${bad%%:*}' is not named: $(cat err)"
done
[ ! -e none.sqlite ] && ! grep -q 'pin\|trained' log || fail "a usage error opened something: $(cat log)"
expect 64 watch --no-record --port "$port" --reset rts --boot dtr fw.bin
grep -q "needs --trigger gpio:CHIP:OFFSET, or a terminal to press Enter on" err || fail "watch without a trigger: $(cat err)"
grep -q 'trained\|record' log && fail "watch without a trigger talked to the board"

# Over RTS and DTR: a programmed board flashed hands-free. The open raised
# both lines (the board held in reset), the tool released both at once, then
# held boot through reset and past it, and left everything released (the
# port keeps its lines when it closes).
expect 0 flash --no-record --json --port "$port" --reset rts --boot dtr fw.bin
jq -en 'input | .result == "ok" and .interface == "uart"' out > /dev/null || fail "flash over rts/dtr: $(cat out)"
awk '$2 == "pin" { print $3, $4, $5 }' log | tail -8 > session
[ "$(cut -d' ' -f1,2 session | tr '\n' ' ')" = \
  "reset low entry low reset high entry high entry low reset low reset high entry high " ] &&
  [ "$(sed -n 1p session | cut -d' ' -f3)" = "$(sed -n 2p session | cut -d' ' -f3)" ] &&
  [ "$(sed -n 3p session | cut -d' ' -f3)" = "$(sed -n 4p session | cut -d' ' -f3)" ] ||
  fail "not raised by the open, released at once, then the sequence: $(cat session)"
read -r reset_hold boot_hold < <(holds)
((reset_hold >= 10 && boot_hold >= 50)) || fail "the default holds are ${reset_hold} and ${boot_hold} ms, not 10 and 50"
[ "$(last_levels)" = "reset high entry high" ] || fail "lines not released: $(last_levels)"
# Without a role the lines are left as a port leaves them: raised by the
# open, dropped by the close; the board held in reset meanwhile answers nothing.
: > log
expect 74 identify --port "$port" --timeout 0.2
[ "$(awk '$2 == "pin" { print $3, $4 }' log | tail -4 | tr '\n' ' ')" = "reset low entry low reset high entry high " ] &&
  ! grep -q trained log || fail "lines without a role: $(grep -E 'pin|trained' log)"
stop_boards
holds_image flash fw.bin || fail "the board does not hold the image after a hands-free flash"

# The sequence's holds at least as asked, with one that keeps boot asserted
# through the flash: released when the command ends. --after reset then
# starts the application after --no-run.
start_boards "${wired[@]}" "${by_rts[@]}"
expect 0 identify --port "$port" --reset rts --boot dtr --entry-sequence "boot=1,reset=1,wait=30ms,reset=0,wait=80ms,boot=0"
read -r reset_hold boot_hold < <(holds)
((reset_hold >= 30 && boot_hold >= 80)) || fail "asked 30 and 80 ms, held ${reset_hold} and ${boot_hold}"
: > log
expect 0 flash --no-record --no-run --after reset --port "$port" --reset rts --boot dtr \
  --entry-sequence "boot=1,reset=1,wait=10ms,reset=0,wait=50ms" fw.bin
[ "$(last_levels)" = "reset high entry high" ] || fail "boot held through the flash was not released: $(last_levels)"
[ "$(awk '$2 == "pin" { print $3, $4 }' log | tail -3 | tr '\n' ' ')" = "entry high reset low reset high " ] ||
  fail "no reset pulse with boot released after: $(grep pin log)"
stop_boards
grep -q 'mode application' flash.state || fail "--after reset did not start the application: $(cat flash.state)"
holds_image flash fw.bin || fail "the board does not hold the image after --after reset"

# Polarity: through a transistor stage the lines are active high. Told so,
# the board is flashed; not told, no answer after the entry (exit 74),
# nothing erased, and the lines left released as the tool sees them.
start_boards "${wired[@]}" --reset-line rts:inverted --boot-line dtr:inverted
expect 74 flash --no-record --port "$port" --reset rts --boot dtr --timeout 0.5 fw.bin
grep -qF "$port: no answer after the entry sequence: check the reset and boot wiring and their polarity" err ||
  fail "wrong polarity: $(cat err)"
erased_nothing "wrong polarity"
[ "$(last_levels)" = "reset low entry low" ] || fail "lines not released through the stage: $(last_levels)"
expect 0 flash --no-record --port "$port" --reset rts:active-high --boot dtr:active-high fw.bin
stop_boards
holds_image flash fw.bin || fail "an active-high wiring was not flashed"

# Lines released when a flash fails mid-way, after the board answered.
start_boards "${wired[@]}" "${by_rts[@]}" --silent 9
expect 74 flash --no-record --retries 0 --timeout 0.3 --port "$port" --reset rts --boot dtr fw.bin
[ "$(last_levels)" = "reset high entry high" ] || fail "lines not released after a failure: $(last_levels)"
stop_boards

# Over GPIO, the chip named or given by path; a line another program holds
# (75), a chip or offset that does not exist or RTS on a port that has none
# (69), a chip that may not be opened (77): all before anything is erased.
start_boards "${wired[@]}" "${by_gpio[@]}"
expect 0 flash --no-record --port "$port" --reset gpio:gpiochip0:17 --boot "gpio:$work/gpio/gpiochip0:18" fw.bin
read -r reset_hold boot_hold < <(holds)
((reset_hold >= 10 && boot_hold >= 50)) || fail "GPIO holds ${reset_hold} and ${boot_hold} ms, not 10 and 50"
[ "$(last_levels)" = "reset high entry high" ] || fail "GPIO lines not released: $(last_levels)"
: > log
env LD_LIBRARY_PATH="$gpiod_dir" flock gpio/gpiochip0.18.lock \
  "$cli" flash --no-record --port "$port" --reset gpio:gpiochip0:17 --boot gpio:gpiochip0:18 fw.bin > out 2> err
status=$?
[ "$status" -eq 75 ] && grep -qF "gpio:gpiochip0:18: in use by another program" err || fail "a GPIO in use: $status $(cat err)"
expect 69 identify --port "$port" --reset gpio:gpiochip9:17
grep -qF "gpio:gpiochip9:17: no GPIO chip gpiochip9" err || fail "no chip: $(cat err)"
# A chip's path that leads nowhere (a loop of links, a file for a folder) is no chip.
ln -s loop gpio/loop
for chip in "$work/gpio/loop" "$work/gpio/gpiochip0/x"; do
  expect 69 identify --port "$port" --reset "gpio:$chip:1"
  grep -qF "gpio:$chip:1: no GPIO chip $chip" err || fail "a chip's path to nowhere: $(cat err)"
  expect 69 watch --no-record --count 1 --port "$port" --reset gpio:gpiochip0:17 --trigger "gpio:$chip:1" fw.bin
  grep -qF "gpio:$chip:1: no GPIO chip $chip" err || fail "a trigger's path to nowhere: $(cat err)"
done
expect 69 identify --port "$port" --reset gpio:gpiochip0:32
grep -qF "gpiochip0 has no line 32 (it has 32)" err || fail "no line: $(cat err)"
LD_LIBRARY_PATH="$gpiod_dir" "$cli" identify --port "$port" --reset rts > out 2> err
status=$?
[ "$status" -eq 69 ] && grep -qF "rts: the port cannot drive its modem lines" err || fail "rts on a pty: $status $(cat err)"
chmod 0 gpio/gpiochip0
without_override=(setpriv --bounding-set=-dac_override,-dac_read_search)
[ "$(id -u)" -eq 0 ] || without_override=()
env LD_LIBRARY_PATH="$gpiod_dir" "${without_override[@]}" "$cli" identify --port "$port" --reset gpio:gpiochip0:17 \
  > out 2> err
status=$?
chmod 644 gpio/gpiochip0
[ "$status" -eq 77 ] && grep -qF "no permission to open GPIO chip gpiochip0" err || fail "no permission: $status $(cat err)"
erased_nothing "line failures"
stop_boards
holds_image flash fw.bin || fail "the board does not hold the image after a flash over GPIO"

# The application's own way in over the port: ignored without it (74).
start_boards "${wired[@]}" --enter-command 55AA01
expect 74 identify --port "$port" --timeout 0.3
expect 74 identify --port "$port" --timeout 0.3 --enter-command 55AA02 --enter-wait 0.01
grep -qF "no answer after the enter command" err || fail "a wrong enter command: $(cat err)"
expect 0 flash --no-record --port "$port" --enter-command 55aa01 --enter-baud 115200 fw.bin
stop_boards
holds_image flash fw.bin || fail "--enter-command did not flash the board"

# watch over GPIO: five boards put into the fixture one by one, each taken
# on one assertion of the trigger line and flashed once.
start_boards "${wired[@]}" "${by_gpio[@]}"
env LD_PRELOAD="$seam" LD_LIBRARY_PATH="$gpiod_dir" "$cli" watch --no-record --json --count 5 --port "$port" \
  --reset gpio:gpiochip0:17 --boot gpio:gpiochip0:18 --trigger gpio:gpiochip0:5 fw.bin < /dev/null > out 2> err &
watcher=$!
wait_line err 1 1 'each assertion of gpio:gpiochip0:5 takes a new board' > /dev/null || fail "watch did not start: $(cat err)"
for board in 1 2 3 4 5; do
  send_to control "insert 1"
  wait_line log 1 "$board" '^1 inserted' > /dev/null || fail "board $board was not inserted"
  timeout 30 bash -c 'printf 01 > "$1"' trigger gpio/gpiochip0.5.in || fail "the trigger was not taken"
  wait_line out 1 "$board" '"result":' > /dev/null || fail "board $board was not flashed"
done
wait "$watcher" || fail "watch --count 5 exited $?: $(cat err)"
[ "$(jq -es 'map(select(.path)) | map(.result) == ["ok", "ok", "ok", "ok", "ok"]' out)" = true ] ||
  fail "watch over 5 boards: $(cat out)"
awk '$2 == "inserted" { n++ } $2 == "record" && $3 == "36" { runs[n]++ } $2 == "trained" { trained[n]++ }
     END { for (i = 1; i <= 5; i++) if (runs[i] != 1 || trained[i] != 1) exit 1; exit runs[0] + trained[0] }' log ||
  fail "not each board flashed once: $(grep -E 'inserted|trained|record 36' log | tr '\n' ' ')"
stop_boards

# Without a trigger line, Enter on a terminal takes the next board (the
# terminal a pseudo-terminal of script's, typed into from a FIFO).
start_boards "${wired[@]}" "${by_rts[@]}"
mkfifo keys
exec {keys}<> keys
script -qfec "env LD_PRELOAD='$seam' '$cli' watch --no-record --count 1 --port '$port' --reset rts --boot dtr fw.bin" \
  /dev/null <&"$keys" > typed 2>&1 &
typist=$!
wait_line typed 1 1 'press Enter once each board is in its fixture' > /dev/null || fail "watch on a terminal: $(cat typed)"
grep -q trained log && fail "watch on a terminal took a board before Enter"
printf '\n' >&"$keys"
wait "$typist" || fail "watch --count 1 on a terminal exited $?: $(cat typed)"
exec {keys}>&-
stop_boards
holds_image flash fw.bin || fail "Enter on a terminal did not flash the board"

# Over USB: the application asked in with its output report, then the
# bootloader that appeared flashed; a report it ignores leaves none (69).
usb() {  # usb STATUS ARGS...
  local want=$1 got
  shift
  : > usb.log
  env LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_BOARDS=0 KESTRANE_SIM_APP=10C4:8846:00A5B6 KESTRANE_SIM_LOG="$work/usb.log" \
    KESTRANE_SIM_FLASH_OUT="$work/usb.flash" "$cli" "$@" < /dev/null > out 2> err
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* over USB exited $got, not $want: $(cat err)"
}
usb 0 flash --no-record --enter-hid 10C4:8846:00a5b6 fw.bin
grep -qx 'write 00A5B6' usb.log && holds_image usb.flash fw.bin || fail "--enter-hid did not flash: $(cat usb.log)"
usb 69 flash --no-record --wait=0.3 --enter-hid 10C4:8846:00A5B7 fw.bin
grep -q "no bootloader appeared after asking the application at USB id 10C4:8846" err || fail "ignored report: $(cat err)"
usb 69 identify --enter-hid 10C4:1234:00A5
grep -q "no HID device with USB id 10C4:1234" err || fail "no application: $(cat err)"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: boards brought into their bootloader over RTS and DTR, GPIO, their own command and USB"
