#!/bin/bash
# Boot-record files and the chip's lock byte through the real kestrane-cli as a
# black box: convert's round trip as a property over random images and option
# sets (read back by convert, by srec_cat and by flashing a simulated board);
# hand-made boot-record files flashed over USB (the demo build of the hidapi
# stand-in) and over a UART (uart_sim); and locking. Waits on log lines, never
# on the clock. The randomness is seeded; a failure names the seed and case.
# Usage: cli_records_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR UART-SIM [SEED]
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") sim=$(realpath "$3") seed=${4:-20261207}
. "$(dirname "$0")/../common/cli_common.sh"

board_id=3245  # the simulated USB board: an EFM8UB11F16G-QSOP24
cases=20

expect() { expect_on_junk "$@"; }
# state_is FILE LINE...: the board's state file holds each line.
state_is() {
  local file=$1 line
  shift
  for line in "$@"; do
    grep -qx "$line" "$file" || fail "$file lacks '$line': $(tr '\n' ' ' < "$file")"
  done
}
perl -e 'srand($ARGV[0]); print pack "C*", map { int rand 256 } 1 .. 16384' "$seed" > junk

# record COMMAND BYTE...: one boot record in hex: '$', its length, the command,
# its payload.
record() {
  local byte
  printf '$'
  printf "\\x$(printf %02x $#)"
  for byte in "$@"; do printf "\\x$byte"; done
}
crc16() {  # crc16 BYTE...: the bootloader's CRC-16 (XMODEM) of the bytes, as two hex bytes
  perl -e 'my $c = 0;
    for my $b (map { hex } @ARGV) { $c ^= $b << 8; $c = ($c & 0x8000 ? $c << 1 ^ 0x1021 : $c << 1) & 0xFFFF for 1 .. 8 }
    printf "%02x %02x", $c >> 8, $c & 0xFF' "$@"
}

# Usage: refused before any board is looked for.
for usage in "lock" "lock --lock-pages 256" "lock --force --lock-pages 1" "lock --disable-bootloader" \
             "flash --disable-bootloader fw.bin" "flash --no-verify --lock-pages 1 fw.bin" "convert fw.bin" \
             "convert fw.bin -o out" "convert fw.bin -o - --format bin --id 3401" "convert fw.bin -o fw.hex --no-run" \
             "convert fw.bin -o fw.efm8 --id 12345" "convert fw.bin -o fw.efm8 --no-verify --lock-pages 2" \
             "convert fw.bin -o fw.s19 --write-size 64" "convert fw.bin -o fw.efm8 --write-size 0" \
             "convert fw.bin --format elf -o fw.elf" "flash -o fw.hex fw.bin"; do
  expect 64 $usage
  [ -s log ] && fail "$usage: the bus was looked at"
done
grep -q 'CANNOT BE UNDONE over' <("$cli" lock --help) || fail "lock --help does not say it cannot be undone"
grep -q '^  73  ' <("$cli" --help) || fail "--help lacks exit status 73"

# The round trip over random images and option sets. Each image begins with a
# byte no text format starts with, since a raw binary is told by its content,
# and has blank runs, some at its end, that the writers leave out and must
# still give back.
random_cases() {  # random_cases COUNT: image.N.bin for each case, and its convert options as line N
  perl -e 'srand($ARGV[0]);
    for my $case (1 .. $ARGV[1]) {
      my $size = 1 + int rand 14848;
      my @bytes = map { int rand 256 } 1 .. $size;
      for (1 .. int rand 5) { my $at = int rand $size; $bytes[$_] = 255 for $at .. $at + 32 + int rand 700 }
      splice @bytes, $size;
      $bytes[0] = 0x80 + int rand 128;
      open my $out, ">", "image.$case.bin"; binmode $out; print $out pack "C*", @bytes; close $out;
      my @ids = ("3245", "3401", "1605", sprintf "%04X", int rand 65536);
      my @options = map { ("--id", $ids[int rand 4]) } 1 .. int rand 4;
      push @options, "--lock-pages", int rand 256 if rand() < 0.5;
      push @options, "--no-run" if rand() < 0.5;
      push @options, "--write-size", 1 + int rand 128 if rand() < 0.5;
      push @options, "--erase-without-data" if rand() < 0.3;
      push @options, "--no-verify" if rand() < 0.3 && !grep { $_ eq "--lock-pages" } @options;
      print "@options\n";
    }' "$seed" "$1"
}
# What the options ask: ids, lock pages (-1: none), run (0 or 1), verify;
# and the options that only shape the records, without them.
read_case() {
  local words=($1) i
  ids=() pages=-1 runs=1 verify=() shaping=()
  for ((i = 0; i < ${#words[@]}; i++)); do
    case ${words[i]} in
      --id) ids+=("${words[++i]}") shaping+=(--id "${words[i]}") ;;
      --lock-pages) pages=${words[++i]} shaping+=(--lock-pages "$pages") ;;
      --no-run) runs=0 shaping+=(--no-run) ;;
      --no-verify) verify=(--no-verify) shaping+=(--no-verify) ;;
      --write-size) ((i++)) ;;
    esac
  done
}
random_cases "$cases" > cases
for ((n = 1; n <= cases; n++)); do
  options=$(sed -n "${n}p" cases)
  cp "image.$n.bin" fw.bin
  read_case "$options"
  at="seed $seed case $n ($(stat -c %s fw.bin) bytes, $options)"
  expect 0 convert fw.bin -o c.efm8 $options
  for format in hex srec bin; do
    expect 0 convert c.efm8 -o "c.$format"
    expect 0 convert "c.$format" -o back.bin
    cmp -s back.bin fw.bin || fail "$at: efm8 -> $format -> bin changed the image"
  done
  cmp -s c.bin fw.bin || fail "$at: efm8 -> bin changed the image"
  expect 0 convert fw.bin --format hex -o -
  cmp -s out c.hex || fail "$at: HEX to standard output differs from HEX to a file"
  size=$(stat -c %s fw.bin)
  srec_cat c.hex -intel -fill 0xFF 0 "$size" -o srec_hex.bin -binary &&
    srec_cat c.srec -motorola -fill 0xFF 0 "$size" -o srec_srec.bin -binary &&
    cmp -s srec_hex.bin fw.bin && cmp -s srec_srec.bin fw.bin || fail "$at: srec_cat reads other bytes"
  # Boot records read back to the same ids, lock and run: written again from
  # them alone they are the file written from the options.
  expect 0 convert c.efm8 -o again.efm8 "${verify[@]}"
  expect 0 convert fw.bin -o expected.efm8 "${shaping[@]}"
  cmp -s again.efm8 expected.efm8 || fail "$at: boot records do not read back to their ids, lock and run"
  # Flashed: the image, the lock and the run land on a board the file is for;
  # a board it is not for is refused, its ids named in order.
  if ((${#ids[@]} == 0)) || [[ " ${ids[*]} " == *" $board_id "* ]]; then
    expect 0 flash c.efm8
    holds_image flash fw.bin || fail "$at: the flash does not hold the image"
    lock=FF
    ((pages < 0)) || lock=$(printf %02X $((255 - pages)))
    mode=application
    ((runs)) || mode=bootloader
    state_is flash.state "lock $lock" "signature A5" "mode $mode"
  else
    expect 65 flash c.efm8
    named=$(grep -o 'is for .*, not this EFM8UB11F16G-QSOP24$' err | grep -oE '0x[0-9A-F]{4}' | tr '\n' ' ')
    [ "$named" = "$(printf '0x%s ' "${ids[@]}")" ] || fail "$at: the refusal names '$named': $(cat err)"
    cmp -s flash junk || fail "$at: a board the file is not for was written"
  fi
done

# What convert cannot write: a raw binary that would read back as boot
# records, and a file in a folder that is not there.
printf ':0100000024DB\n:00000001FF\n' > dollar.hex
expect 65 convert dollar.hex -o dollar.bin
grep -q 'dollar.bin: as a raw binary this image would read back as another format' err || fail "dollar.bin: $(cat err)"
expect 73 convert dollar.hex -o missing/dollar.efm8
grep -q 'cannot write missing/dollar.efm8: No such file or directory' err || fail "unwritable: $(cat err)"

# Hand-made boot-record files over USB.
data=(11 22 33 44)
setup=(31 a5 f1 00)
write0=(32 00 00 "${data[@]}")  # page 0 erased, the data written at 0
run=(36 00 00)
{ record 30 34 01; record 30 32 45; record 30 16 05; record "${setup[@]}"; record "${write0[@]}"; record "${run[@]}"; } \
  > several.efm8
expect 0 flash several.efm8
[ "$(head -c 4 flash | od -An -tx1 | tr -d ' \n')" = 11223344 ] ||
  fail "a file for this part among others was not flashed"
state_is flash.state "lock FF" "mode application"
{ record 30 34 01; record 30 16 05; record "${setup[@]}"; record "${write0[@]}"; record "${run[@]}"; } > others.efm8
expect 65 flash --json others.efm8
refusal="others.efm8 is for the EFM8BB31F64G-QFN32 (0x3401) or an EFM8SB2 (0x1605), not this EFM8UB11F16G-QSOP24"
jq -en --arg refusal "$refusal" 'input | .result == "wrong-part" and .message == $refusal' out > /dev/null ||
  fail "wrong part: $(cat out)"
cmp -s flash junk || fail "a board the file is not for was erased"
expect 65 verify others.efm8
# Erases that carry no data, and writes with no erase before them: the pages
# the image spans are erased and hold the image, whatever they held.
{ record "${setup[@]}"; record 32 00 00; record 32 02 00; record 33 02 00 55 66; record 33 00 00 "${data[@]}"
  record "${run[@]}"; } > erase-only.efm8
{ printf '\x11\x22\x33\x44'; head -c 508 /dev/zero | tr '\0' '\377'; printf '\x55\x66'; } > erase-only.bin
{ record "${setup[@]}"; record 33 01 00 aa bb; record 33 00 00 11 22; record "${run[@]}"; } > writes-only.efm8
{ printf '\x11\x22'; head -c 254 /dev/zero | tr '\0' '\377'; printf '\xaa\xbb'; } > writes-only.bin
for file in erase-only writes-only; do
  expect 0 flash "$file.efm8"
  holds_image flash "$file.bin" || fail "$file.efm8 did not leave its image"
done
cp flash writes-only.flash
KESTRANE_SIM_FLASH_IN=writes-only.flash expect 0 verify writes-only.efm8
# A lock record is programmed after the file's verify records pass, and only
# then; it combines with --lock-pages. A verify record that the file's own
# data does not match is refused before any board is opened; one that reaches
# past what the file writes holds for it (the rest taken as erased), and the
# chip still answers it after the flash: here the junk in page 1 fails it.
checked=(34 00 00 00 03 $(crc16 "${data[@]}"))
{ record "${setup[@]}"; record "${write0[@]}"; record "${checked[@]}"; record 35 ff fc; record "${run[@]}"; } \
  > locked.efm8
{ record "${setup[@]}"; record "${write0[@]}"; record 34 00 00 00 03 00 00; record 35 ff fc; record "${run[@]}"; } \
  > misverified.efm8
past_page_0=(34 00 00 02 03 $(crc16 "${data[@]}" $(printf 'ff %.0s' {1..512})))
{ record "${setup[@]}"; record "${write0[@]}"; record "${past_page_0[@]}"; record 35 ff fc; record "${run[@]}"; } \
  > chip-fails.efm8
expect 0 flash locked.efm8
grep -q "the file's 1 verify record checked, lock byte now 0xFC: pages 0 to 2 locked" out ||
  fail "locked.efm8: $(cat out)"
state_is flash.state "lock FC" "signature A5"
expect 65 flash misverified.efm8
grep -qE 'misverified.efm8: record 3 at offset 0x000F: .* has CRC 0x[0-9A-F]{4}, not the 0x0000' err ||
  fail "misverified.efm8: $(cat err)"
untouched misverified.efm8
expect 1 flash chip-fails.efm8
state_is flash.state "lock FF"
expect 64 flash --no-verify locked.efm8
untouched "a lock record with --no-verify"
expect 0 flash --lock-pages 4 --json locked.efm8
grep -q "combine bit by bit, as the chip's flash does: lock byte 0xF8, pages 0 to 6" err ||
  fail "no combined lock: $(cat err)"
jq -en 'input | .lock.asked == {"lock_byte": 248, "pages": 7, "signature_byte": 255, "disables_bootloader": false,
                                "from_file": true, "from_options": true} and .lock.lock_byte == 248' out > /dev/null ||
  fail "combined lock --json: $(cat out)"
state_is flash.state "lock F8"
# Without run application the board stays in its bootloader.
{ record "${setup[@]}"; record "${write0[@]}"; } > stays.efm8
expect 0 flash stays.efm8
grep -q 'left in its bootloader' out || fail "stays.efm8: $(cat out)"
state_is flash.state "mode bootloader"
# A lock record that disables the bootloader needs --force.
{ record "${setup[@]}"; record "${write0[@]}"; record 35 00 ff; record "${run[@]}"; } > disables.efm8
expect 64 flash disables.efm8
grep -q 'Add --force' err || fail "disables.efm8: $(cat err)"
untouched "a lock record that disables the bootloader"
expect 0 flash --force disables.efm8
state_is flash.state "signature 00" "lock FF"
# Truncated or corrupt: the record and its offset named, no board opened.
head -c -2 locked.efm8 > truncated.efm8
{ record "${setup[@]}"; record 39 00; } > corrupt.efm8
expect 65 flash truncated.efm8
grep -qE 'truncated.efm8: record 5 at offset 0x[0-9A-F]{4}: its length of 3 runs past the end' err ||
  fail "truncated: $(cat err)"
untouched truncated.efm8
expect 65 flash corrupt.efm8
grep -q 'corrupt.efm8: record 2 at offset 0x0006: unknown command 0x39' err || fail "corrupt: $(cat err)"
untouched corrupt.efm8

# Locking over USB: after the verify, and never on a flash that fails.
perl -e 'srand($ARGV[0] + 1); print pack "C*", 2, map { int rand 256 } 1 .. 4999' "$seed" > fw.bin
expect 0 flash --json fw.bin
commands=$(jq .commands out)
expect 0 flash --lock-pages 3 --json fw.bin
jq -en 'input | .lock == {"asked": {"lock_byte": 252, "pages": 3, "signature_byte": 255, "disables_bootloader": false,
                                    "from_file": false, "from_options": true}, "sent": true, "lock_byte": 252,
                          "pages_locked": 3, "signature_byte": 165, "bootloader_enabled": true}' out > /dev/null ||
  fail "flash --lock-pages --json: $(cat out)"
state_is flash.state "lock FC" "signature A5" "mode application"
KESTRANE_SIM_ANSWER=$((commands - 2)):43 expect 1 flash --lock-pages 3 --json fw.bin
jq -en 'input | .lock.sent == false and .lock.lock_byte == null' out > /dev/null ||
  fail "a failed verify --json: $(cat out)"
state_is flash.state "lock FF"
# The lock command comes right after the verify, where run application
# was: refused, the flash is refused (76) and not said locked; the lock
# byte's read-back refused after it, the chip is locked all the same, its
# byte only not read back.
KESTRANE_SIM_ANSWER=$((commands - 1)):41 expect 76 flash --lock-pages 3 --json fw.bin
jq -en 'input | .result == "refused" and .lock.sent == false and (.message | test("refused the lock"))' out > /dev/null ||
  fail "a refused lock: $(cat out)"
KESTRANE_SIM_ANSWER=$commands:41 expect 0 flash --lock-pages 3 --json fw.bin
jq -en 'input | .result == "ok" and .lock.sent and .lock.lock_byte == null and .lock.signature_byte == 165' out \
  > /dev/null || fail "a lock byte not read back: $(cat out)"
state_is flash.state "lock FC"
KESTRANE_SIM_VANISH=8 expect 74 flash --retries 0 --lock-pages 3 fw.bin
state_is flash.state "lock FF"
expect 64 flash --disable-bootloader fw.bin
[ -s log ] && fail "--disable-bootloader without --force looked at the bus"
expect 0 lock --lock-pages 255 --disable-bootloader --force
grep -q 'lock byte now 0x00: every page locked, signature byte now 0x00: bootloader disabled for good' out ||
  fail "lock: $(cat out)"
cmp -s flash junk || fail "lock wrote more than the lock"
state_is flash.state "lock 00" "signature 00" "mode bootloader"

# Over a UART, from the board's own log: the lock comes once the verify
# records are answered, and nothing is written after it.
port=$work/ttySIM1
mkfifo control
send() { send_to control "$1"; }
uart() {  # uart STATUS ARGS...
  local want=$1 got
  shift
  "$cli" "$@" > out 2> err
  got=$?
  [ "$got" -eq "$want" ] || fail "kestrane-cli $* exited $got, not $want: $(cat err)"
}
# The log has a lock record, after a verify record answered '@', and no erase
# or write after it.
locked_after_verify() {
  awk '/ record 34$/ { asked = 1; next }
       / reply / { if (asked && / reply 40$/) passed = 1; asked = 0 }
       / record 35$/ { if (!passed) { early = 1; exit } locked = 1 }
       locked && / record 3[23]$/ { early = 1; exit }
       END { exit early || !locked }' log
}

start_boards --flash-in junk
uart 0 flash --port "$port" locked.efm8
locked_after_verify || fail "the lock did not come after the verify: $(tr '\n' ' ' < log)"
send "return 1"
: > log
uart 1 flash --port "$port" chip-fails.efm8
grep -q 'record 35' log && fail "a file whose verify record failed was locked"
: > log
uart 0 flash --port "$port" stays.efm8
grep -q 'record 36' log && fail "a file without run application started the board"
: > log
uart 0 lock --port "$port" --lock-pages 5 --json
grep -qE 'record 3[23]' log && fail "lock erased or wrote"
jq -en 'input | .lock.lock_byte == 248 and .lock.pages_locked == 7 and .lock.asked.pages == 5' out > /dev/null ||
  fail "lock over the file's own: $(cat out)"
uart 0 lock --port "$port" --lock-pages 2
grep -q 'lock byte now 0xF8: pages 0 to 6 locked (0xFD asked; a lock only adds to the chip' out ||
  fail "a second lock: $(cat out)"
: > log
uart 64 lock --port "$port" --disable-bootloader
[ -s log ] && fail "--disable-bootloader without --force reached the port"
uart 0 lock --port "$port" --disable-bootloader --force --json
jq -en 'input | .lock.signature_byte == 0 and .lock.bootloader_enabled == false and .lock.asked.disables_bootloader' \
  out > /dev/null || fail "lock --disable-bootloader --json: $(cat out)"
send "return 1"
uart 74 identify --port "$port" --timeout 0.2
stop_boards
state_is flash.state "lock F8" "signature 00"
# A part whose lock address the table lacks: locked, not read back.
start_boards --identity 1605
uart 0 lock --port "$port" --lock-pages 1 --json
jq -en 'input | .lock.sent and .lock.lock_byte == null and .lock.signature_byte == null' out > /dev/null ||
  fail "lock of an unknown part: $(cat out)"
uart 0 lock --port "$port" --lock-pages 1
grep -q 'not read back: where this part keeps its lock byte is not known' out || fail "not read back: $(cat out)"
stop_boards

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: boot-record files and locks check out over USB and a UART ($cases random cases, seed $seed)"
