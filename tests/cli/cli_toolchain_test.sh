#!/bin/bash
# Firmware as toolchains and editors leave it, through the real kestrane-cli:
# a program built by SDCC at test time (sdcc_fixtures.sh) in each form people
# have it is flashed byte-exact over the USB stand-in (the demo build of the
# hidapi stand-in) and over a port (uart_sim, behind pseudo-terminals); the
# forms that must be refused are, with the line named and no board opened.
# Also: a format insisted on by --format and --input-format, convert --id
# holding the image against each part, and an image with no data at address
# 0, which leaves the chip in its bootloader and is never called started.
# Waits on nothing: each command ends by itself.
# Usage: cli_toolchain_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR UART-SIM
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2") sim=$(realpath "$3")
fixtures=$(realpath "$(dirname "$0")/sdcc_fixtures.sh")
. "$(dirname "$0")/../common/cli_common.sh"

expect() { expect_on_junk "$@"; }
said() {  # said TEXT WHAT: standard error holds TEXT
  grep -qF -- "$1" err || fail "$2: no '$1' in: $(cat err)"
}
random_image 16384 > junk
mkfifo control
"$fixtures" fx || { echo "FAIL: SDCC could not build the fixtures"; exit 1; }
good=(fw.ihx default.s19 bare.s19 start.s19 srec_cat.hex fw.bin nul.hex ctrlz.hex crlf.hex cr.hex)

# Over USB: each form flashes the image, and the program starts.
for file in "${good[@]}"; do
  expect 0 flash "fx/$file"
  holds_image flash fx/fw.bin || fail "USB, $file: the flash does not hold the image"
  grep -q 'mode application' flash.state || fail "USB, $file: not started: $(cat flash.state)"
done

# Over a port: the same, each on a fresh board, its flash read back.
for file in "${good[@]}"; do
  start_boards
  "$cli" flash --port "$work/ttySIM1" "fx/$file" > out 2> err || fail "UART, $file: $(cat err)"
  stop_boards
  holds_image flash fx/fw.bin || fail "UART, $file: the flash does not hold the image"
  grep -q 'mode application' flash.state || fail "UART, $file: not started: $(cat flash.state)"
done

# Refused, the line named, before any board is opened: a Latin-1 comment,
# Latin-1 prose, binary junk among records, SDCC's own S19, an S5 count that
# is wrong, data after the end-of-file record.
printf 'Firmware f\xfcr die Steuerung, ge\xe4ndert am 3. M\xe4rz\n' > prose.hex
{ head -n 2 fx/fw.ihx; printf '\x02\x00\x06\x90\n'; tail -n +3 fx/fw.ihx; } > junk-line.hex
sed 's/^S503\(....\)\(..\)$/S5030009F3/' fx/default.s19 > count.s19
grep -q '^S5030009F3' count.s19 || fail "count.s19 has no S5 record to spoil"
{ echo ':00000001FF'; cat fx/fw.ihx; } > end-first.hex
declare -A refused=([fx/latin1.hex]='line 1: not a record' [prose.hex]='line 1: neither an Intel HEX record'
                    [junk-line.hex]='line 3: not a record'
                    [fx/sdcc.s19]="line 1: S1 records that carry 24-bit addresses, as SDCC 4.2's --out-fmt-s19"
                    [count.s19]="line $(wc -l < count.s19): the record count says 9 data records"
                    [end-first.hex]='line 2: after the end-of-file record on line 1')
for file in "${!refused[@]}"; do
  for command in flash verify "watch --count 1 --no-record" "convert -o x.bin"; do
    expect 65 $command "$file"
    said "$file: ${refused[$file]}" "$command $file"
    untouched "$command $file"
  done
  [ -e x.bin ] && fail "convert $file wrote x.bin"
  start_boards
  "$cli" flash --port "$work/ttySIM1" "$file" > out 2> err
  status=$?
  stop_boards
  [ "$status" -eq 65 ] || fail "UART, $file: exit $status, not 65"
  grep -q 'record' "$uart_log" && fail "UART, $file: the board got records"
done
expect 65 flash fx/sdcc.s19
said 'flash the .ihx file SDCC writes instead' "flash fx/sdcc.s19"

# A format insisted on: refused, the line named, when the file is not it.
expect 0 flash --format hex fx/fw.ihx
holds_image flash fx/fw.bin || fail "--format hex: the flash does not hold the image"
expect 0 flash --format srec fx/bare.s19
holds_image flash fx/fw.bin || fail "--format srec: the flash does not hold the image"
declare -A insisted=(["flash --format srec fx/fw.ihx"]='fx/fw.ihx: line 1: not an S-record'
                     ["verify --format hex fx/default.s19"]='fx/default.s19: line 1: not an Intel HEX record'
                     ["watch --count 1 --no-record --format efm8 fx/fw.ihx"]='fx/fw.ihx: record 1 at offset 0x0000'
                     ["flash --format hex fx/fw.bin"]='fx/fw.bin: line 1: not an Intel HEX record'
                     ["convert --input-format srec fx/fw.ihx -o x.bin"]='fx/fw.ihx: line 1: not an S-record')
for command in "${!insisted[@]}"; do
  expect 65 $command
  said "${insisted[$command]}" "$command"
  untouched "$command"
done
[ -e x.bin ] && fail "convert --input-format srec wrote x.bin"
expect 64 flash --format elf fx/fw.ihx
said "--format takes hex, srec, efm8 or bin, not 'elf'" "flash --format elf"
expect 0 convert --input-format hex fx/fw.ihx -o x.bin
cmp -s x.bin fx/fw.bin || fail "convert --input-format hex did not write the image"

# convert --id: the image against each named part's application area
# (the EFM8UB11F16G-QSOP24, 3245, holds 14848 bytes), nothing written.
random_image 14849 > big.bin
random_image 14848 > fits.bin
for ids in "--id 3245" "--id 3401 --id 3245"; do
  rm -f x.efm8
  expect 65 convert big.bin -o x.efm8 $ids
  said "big.bin: the image is 14849 bytes, larger than EFM8UB11F16G-QSOP24's application area of 14848 bytes" \
    "convert big.bin $ids"
  [ -e x.efm8 ] && fail "convert big.bin $ids wrote x.efm8"
done
expect 0 convert fits.bin -o x.efm8 --id 3245
expect 0 convert big.bin -o x.efm8 --id 3401

# No data at address 0: byte 0 stays 0xFF, so the chip stays in its
# bootloader, and nothing says started.
srec_cat fx/fw.bin -binary -offset 0x100 -o late.hex -intel
expect 0 flash late.hex
grep -qF 'not started: the image has no data at address 0, so byte 0 stays 0xFF' out || fail "late.hex: $(cat out)"
grep -qF ', started' out && fail "late.hex is called started: $(cat out)"
grep -q 'mode bootloader' flash.state || fail "late.hex: the board left its bootloader: $(cat flash.state)"
expect 0 flash --json late.hex
jq -en 'input | .started == false and (.not_started | test("no data at address 0"))' out > /dev/null ||
  fail "late.hex --json: $(cat out)"
expect 0 flash --json fx/fw.ihx
jq -en 'input | .started == true and .not_started == null' out > /dev/null || fail "fw.ihx --json: $(cat out)"
start_boards
"$cli" flash --port "$work/ttySIM1" late.hex > out 2> err || fail "UART, late.hex: $(cat err)"
grep -qF 'not started: the image has no data at address 0' out || fail "UART, late.hex: $(cat out)"
"$cli" identify --port "$work/ttySIM1" --timeout 2 > out 2> err || fail "UART, late.hex: no bootloader after: $(cat err)"
stop_boards
grep -q 'mode bootloader' flash.state || fail "UART, late.hex: the board left its bootloader: $(cat flash.state)"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: SDCC's firmware in every form flashes byte-exact over USB and UART; what is not an image is refused"
