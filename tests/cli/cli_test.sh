#!/bin/bash
# kestrane-cli as a black box against simulated boards (the demo build of the
# hidapi stand-in): every command, every exit status, several boards, waiting
# for a board, the bench, and what goes to a terminal and what does not.
# Waits on lines of the device log, never on the clock.
# Usage: cli_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2")
. "$(dirname "$0")/../common/cli_common.sh"

random_image 5000 > fw.bin
srec_cat fw.bin -binary -o fw.hex -intel
random_image 14849 > big.bin
: > empty.bin
printf ':0300000002000AF2\n:00000001FF\n' > bad.hex
mkfifo control

# The tool against fresh simulated boards: stdout in out, stderr in err, the
# device log in log, the flash of board N in flash.N (board 1's in flash).
simulation=(LD_LIBRARY_PATH="$demo_dir" KESTRANE_SIM_LOG="$work/log" KESTRANE_SIM_FLASH_OUT="$work/flash"
            KESTRANE_SIM_CONTROL="$work/control")
prepare() {
  : > log
  rm -f flash flash.*
}
run() {
  prepare
  env "${simulation[@]}" "$cli" "$@" > out 2> err
}
# In the background, with the tool's own process id in $!.
start() {
  prepare
  env "${simulation[@]}" "$cli" "$@" > out 2> err &
}

# expect STATUS ARGS...: runs and checks the exit status.
expect() {
  local want=$1 got
  shift
  run "$@"
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
}

send() { send_to control "$1"; }

# wait_log FROM COUNT PATTERN: on the device log.
wait_log() { wait_line log "$@"; }

# Help, version and usage errors.
expect 0 --help && grep -q '^  77  no permission' out || fail "--help lacks the exit statuses"
expect 0 flash --help && grep -q 'always caught' out || fail "flash --help lacks delta's bound"
# The release the library's header gives, major.minor, as the window says it too.
version=$(sed -nE 's/^#define KESTRANE_VERSION_(MAJOR|MINOR) ([0-9]+) .*/\2/p' "$(dirname "$0")/../../include/kestrane/version.h" |
            paste -sd.)
expect 0 --version && [ -n "$version" ] && [ "$(cat out)" = "kestrane-cli $version" ] || fail "--version: $(cat out)"
for usage in "" "bogus" "flash" "flash fw.bin fw.hex" "list --quiet" "flash --write-size 129 fw.bin" \
             "flash --device sim:1 --all fw.bin" "watch --count 0 fw.bin"; do
  expect 64 $usage
done

# list.
KESTRANE_SIM_BOARDS=0 expect 0 list
[ -s out ] && fail "list printed something with no board"
KESTRANE_SIM_BOARDS=2 expect 0 list --json
jq -en 'input | length == 2 and .[1] == {"path": "sim:2", "interface": "usb", "vendor_id": 4292, "product_id": 60105,
                                         "family": "EFM8UB1"}' out \
  > /dev/null || fail "list --json: $(cat out)"

# flash: binary and HEX; JSON; nothing but lines on a non-terminal.
expect 0 flash fw.bin
holds_image flash fw.bin || fail "the flash does not hold fw.bin"
grep -q $'\r' err && fail "carriage returns on a standard error that is not a terminal"
expect 0 flash fw.hex --json
holds_image flash fw.bin || fail "the flash does not hold fw.hex"
jq -en 'input | .path == "sim:1" and .interface == "usb" and .part == "EFM8UB11F16G-QSOP24" and .result == "ok"
       and .exit_code == 0 and .bytes_written == 5000' out > /dev/null ||
  fail "flash --json: $(cat out)"
commands=$(jq .commands out)

# Every flash ends with one CRC check of the pages its image spans, sent
# after its last write: images of one byte, of whole pages (where the
# check's end falls on a page's last byte), of the part's whole area, and
# of a size drawn at random. Without verify, none.
for size in 1 512 3584 14848 $((1 + RANDOM % 14848)); do
  random_image "$size" > sized.bin
  expect 0 flash sized.bin
  holds_image flash sized.bin && verified flash.frames sized.bin ||
    fail "a flash of $size bytes was not verified as $(final_verify sized.bin): $(grep '^24..34' flash.frames)"
done
expect 0 flash --no-verify sized.bin
grep -q '^24..34' flash.frames && fail "--no-verify sent a verify: $(grep '^24..34' flash.frames)"

# The file is checked before any board is opened.
expect 66 flash missing.hex
expect 65 flash bad.hex && grep -q 'bad.hex: line 1: checksum mismatch' err || fail "bad.hex: $(cat err)"
expect 65 flash empty.bin
grep -q '^open' log && fail "a board was opened for a file that is not an image"
# Too large for the part: refused once the board is identified, nothing erased.
expect 65 flash big.bin && grep -q "EFM8UB11F16G-QSOP24's application area of 14848 bytes" err || fail "big.bin: $(cat err)"
[ -z "$(tr -d '\377' < flash)" ] || fail "a board was written for an image too large for it"

# Boards: none, waiting, several.
KESTRANE_SIM_BOARDS=0 expect 69 flash fw.bin
KESTRANE_SIM_BOARDS=0 expect 69 flash --wait=0.3 fw.bin
KESTRANE_SIM_BOARDS=0 start flash --wait fw.bin
waiter=$!
wait_log 1 1 '^enumerate 0 found' > /dev/null || fail "flash --wait never looked for a board"
send attach
wait $waiter || fail "flash --wait for a board that came later exited $?"
holds_image flash fw.bin || fail "the board that came later does not hold the image"
KESTRANE_SIM_BOARDS=2 expect 64 flash fw.bin
grep -q 'sim:2' err || fail "the boards are not listed when none is chosen"
grep -q '^open' log && fail "a board was opened although none was chosen"
KESTRANE_SIM_BOARDS=2 expect 0 flash --device sim:2 fw.bin
holds_image flash.2 fw.bin && ! holds_image flash fw.bin || fail "--device flashed the wrong board"
KESTRANE_SIM_BOARDS=2 expect 0 flash --all fw.bin
holds_image flash fw.bin && holds_image flash.2 fw.bin || fail "--all did not flash both boards"
[ "$(grep -c ' ok ' out)" -eq 2 ] || fail "--all does not end with a line per board: $(cat out)"

# Failures, each with its status and a message that names the cause.
# Commands 0 to 2 identify the part, 3 is setup, 4 the size probe, 5 page 0's
# erase; 9 is a write.
KESTRANE_SIM_BOARDS=2 KESTRANE_SIM_ANSWER=9:41 expect 76 flash --all fw.bin
grep -q "refused the write at 0x.... with 'A' (address out of range)" err || fail "refusal: $(cat err)"
holds_image flash.2 fw.bin || fail "the good board was not flashed beside the refusing one"
KESTRANE_SIM_VANISH=5 expect 74 flash --retries 0 fw.bin && grep -q 'unplugged or reset' err || fail "transfer: $(cat err)"
KESTRANE_SIM_ANSWER=$((commands - 2)):43 expect 1 flash fw.bin
grep -q 'does not match the image' err || fail "mismatch: $(cat err)"

# verify, delta and run against a chip that already holds the image.
run flash --no-run fw.bin
cp flash held
KESTRANE_SIM_FLASH_IN=held expect 0 verify fw.hex
grep -q 'matches the image' out || fail "verify: $(cat out)"
expect 1 verify fw.bin --json
jq -en 'input | .result == "mismatch" and (.pages_differ | length) == 10' out > /dev/null || fail "verify --json: $(cat out)"
KESTRANE_SIM_FLASH_IN=held expect 0 flash --delta --json fw.bin
jq -en 'input | .pages_skipped == 10 and .bytes_written == 0' out > /dev/null || fail "an unchanged image was rewritten: $(cat out)"
expect 0 run && grep -q 'started' out || fail "run: $(cat out)"

# identify names the part, its flash and its bootloader; over USB the part
# is among those of the product id's family.
expect 0 identify
grep -q '^sim:1  EFM8UB11F16G-QSOP24  USB  ok  flash 16 KB, application limit 0x3A00 (inferred), 512-byte pages, bootloader 0x90 (1.0)  ' out ||
  fail "identify: $(cat out)"
KESTRANE_SIM_BOARDS=2 expect 64 identify
KESTRANE_SIM_BOARDS=2 expect 0 identify --device sim:2 --json
jq -en 'input | .path == "sim:2" and .part == "EFM8UB11F16G-QSOP24" and .family == "EFM8UB1" and .flash_size == 16384
       and .app_limit == 14848 and .app_limit_inferred and .page_size == 512 and .bootloader_version == 144' out > /dev/null ||
  fail "identify --json: $(cat out)"
[ "$(grep -c '^open' log)" -eq 1 ] || fail "identify --device did not open one board alone"

# watch: once board 1 has been flashed and seen leaving, a new board
# arrives and board 1 comes back into its bootloader: both count.
start watch --count 3 fw.bin
watcher=$!
flashed=$(wait_log 1 1 '^close') && wait_log "$flashed" 1 '^enumerate 0 found' > /dev/null
send attach
send "return 1"
wait $watcher || fail "watch --count 3 exited $?"
[ "$(grep -c '  sim:[12]  EFM8UB11F16G-QSOP24  USB  ok ' out)" -eq 3 ] || fail "watch lines: $(cat out)"
grep -q '^3 boards: 3 ok, 0 failed' out || fail "watch summary: $(cat out)"
start watch fw.bin
watcher=$!
wait_log 1 1 '^close' > /dev/null
kill -INT $watcher
wait $watcher || fail "watch stopped by Ctrl-C exited $?"
grep -q '^1 board: 1 ok, 0 failed; .*; the line stopped: interrupted$' out || fail "watch summary after Ctrl-C: $(cat out)"
start watch --json fw.bin
watcher=$!
wait_log 1 1 '^close' > /dev/null
kill -INT $watcher
wait $watcher || fail "watch --json stopped by Ctrl-C exited $?"
tail -n 1 out | one_json '.summary and .boards == 1 and .stopped == "interrupted"' ||
  fail "watch --json's summary after Ctrl-C: $(cat out)"

# On a terminal the progress is a live bar.
env "${simulation[@]}" script -qec "$cli flash fw.bin" /dev/null > terminal
grep -q $'\x1b\\[2K.*\\[#*-*\\] *[0-9]*%  [0-9]*/5000 bytes  writing' terminal || fail "no live bar on a terminal"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: every command and exit status checks out against the simulated boards"
