#!/bin/bash
# Files that must never reach a board, through the real kestrane-cli as a black
# box against a simulated USB board (the demo build of the hidapi stand-in):
# text that is not Intel HEX or S-records is refused with its line named, never
# flashed as a raw binary, unless --format bin insists; a boot-record file
# whose data its own verify records do not match is refused. Both before any
# board is opened, in flash, verify, watch and convert alike, and from
# standard input. Waits on nothing: each command ends by itself.
# Usage: cli_files_test.sh KESTRANE-CLI DEMO-LIBRARY-DIR
set -u
cli=$(realpath "$1") demo_dir=$(realpath "$2")
. "$(dirname "$0")/../common/cli_common.sh"

expect() { expect_on_junk "$@"; }
said() {  # said TEXT WHAT: standard error holds TEXT
  grep -qF -- "$1" err || fail "$2: $(cat err)"
}
random_image 16384 > junk

# Good text, however an editor saved it: a byte-order mark, blanks after each
# line, CRLF, UTF-16. Each flashes the image it describes.
random_image 3000 > fw.bin
srec_cat fw.bin -binary -o fw.hex -intel
{ printf '\xef\xbb\xbf'; sed 's/$/ \t\r/' fw.hex; } > bom.hex
{ printf '\xff\xfe'; iconv -f ascii -t UTF-16LE fw.hex; } > utf16.hex
for file in bom.hex utf16.hex; do
  expect 0 flash "$file"
  holds_image flash fw.bin || fail "$file: the flash does not hold its image"
done

# A file far past any image (100 MB, read only to 4 MB and a byte) is not
# said to be 4194305 bytes: the size said is true.
truncate -s 100M big.bin
for command in flash verify "convert -o x.hex"; do
  expect 65 $command big.bin
  said "big.bin: the image is more than 4194304 bytes, larger than" "$command big.bin"
  untouched "$command big.bin"
done
stdin=big.bin expect 65 flash -
said "standard input: the image is more than 4194304 bytes" "flash - < big.bin"
rm big.bin

# Text that is not HEX or S-records: refused, the line named, nothing opened.
{ echo '# fan controller 1.2, built by sdcc'; cat fw.hex; } > comment.hex
sed '3s/^://' fw.hex > no-colon.hex
printf '<!DOCTYPE html>\n<html><head><title>404 Not Found</title></head>\n<body>Not Found</body></html>\n' > fw.html
{ cat fw.hex; echo ':0300000002000AF1'; } > after-end.hex
srec_cat fw.bin -binary -o fw.s19 -motorola
{ head -n 4 fw.s19; sed -n 2p fw.hex; tail -n +5 fw.s19; } > mixed.s19
printf 'hello\tworld\r\n' > hello.bin
declare -A line_of=([comment.hex]='line 1: not a record' [no-colon.hex]='line 3: not a record'
                    [fw.html]='line 1: neither an Intel HEX record nor an S-record'
                    [after-end.hex]="line $(($(wc -l < fw.hex) + 1)): after the end-of-file record"
                    [mixed.s19]='line 5: ' [hello.bin]='line 1: neither an Intel HEX record nor an S-record')
for file in "${!line_of[@]}"; do
  expect 65 flash "$file"
  said "$file: ${line_of[$file]}" "flash $file"
  untouched "flash $file"
  expect 65 verify "$file"
  untouched "verify $file"
  expect 65 watch --count 1 --no-record "$file"
  untouched "watch $file"
  rm -f out.bin
  expect 65 convert "$file" -o out.bin
  [ -e out.bin ] && fail "convert $file wrote out.bin"
done
stdin=fw.html expect 65 flash -
said 'standard input: line 1: neither' "flash - < fw.html"
untouched "flash - < fw.html"

# --format bin insists on a raw binary: hello.bin goes on the board as it is.
expect 0 flash --format bin hello.bin
holds_image flash hello.bin || fail "flash --format bin: the flash does not hold hello.bin"
cp flash hello.flash
KESTRANE_SIM_FLASH_IN=hello.flash expect 0 verify --format bin hello.bin
expect 0 watch --count 1 --no-record --format bin hello.bin
holds_image flash hello.bin || fail "watch --format bin: the flash does not hold hello.bin"
stdin=hello.bin expect 0 convert - --input-format bin -o hello.hex
expect 0 flash hello.hex
holds_image flash hello.bin || fail "hello.hex: the flash does not hold hello.bin"
# Any other format insisted on reads the file as that format, or refuses it
# with the line (or record) named; a name that is no format is a usage error.
expect 0 flash --format hex fw.hex
holds_image flash fw.bin || fail "flash --format hex: the flash does not hold fw.bin"
declare -A named=(["verify --format efm8 fw.hex"]='fw.hex: record 1 at offset 0x0000: not a boot record'
                  ["flash --format srec fw.hex"]='fw.hex: line 1: not an S-record'
                  ["convert --input-format hex fw.s19 -o x.bin"]='fw.s19: line 1: not an Intel HEX record')
for usage in "${!named[@]}"; do
  expect 65 $usage
  said "${named[$usage]}" "$usage"
  untouched "$usage"
done
for usage in "flash --format elf fw.hex" "convert --input-format ihex fw.hex -o x.bin"; do
  expect 64 $usage
  said "takes hex, srec, efm8 or bin" "$usage"
done
[ -e x.bin ] && fail "convert wrote x.bin from a file not of the format asked"

# Boot records: a byte of data flipped under the file's verify record is
# caught before any board is opened, the verify record and its offset named;
# convert writes nothing, so no fresh verify record ever covers the damage.
expect 0 convert fw.bin -o fw.efm8
perl -e 'local $/; my $f = <STDIN>; my ($at, $verify, $n) = (0, "", 0);
  while ($at < length $f) {
    my ($len, $command) = unpack "C C", substr($f, $at + 1, 2);
    $n++;
    substr($f, $at + $len + 1, 1) ^= "\x10" if $command == 0x33 && $len > 3 && !$flipped++;
    $verify = sprintf "record %d at offset 0x%04X", $n, $at if $command == 0x34;
    $at += 2 + $len;
  }
  print $f; print STDERR $verify' < fw.efm8 > corrupt.efm8 2> verify-record
[ -s verify-record ] || fail "fw.efm8 has no verify record"
cmp -s fw.efm8 corrupt.efm8 && fail "corrupt.efm8 is not corrupt"
for command in flash verify "watch --count 1 --no-record" "convert -o x.efm8" "convert -o x.hex"; do
  expect 65 $command corrupt.efm8
  said "corrupt.efm8: $(cat verify-record): the file's data from 0x0000 to" "$command corrupt.efm8"
  said "this verify record expects: the file is corrupt" "$command corrupt.efm8"
  untouched "$command corrupt.efm8"
done
[ -e x.efm8 ] || [ -e x.hex ] && fail "convert wrote a corrupt file out"
stdin=corrupt.efm8 expect 65 flash -
untouched "flash - < corrupt.efm8"
expect 0 flash fw.efm8
holds_image flash fw.bin || fail "fw.efm8: the flash does not hold its image"

[ "$failures" -eq 0 ] || exit 1
echo "kestrane-cli: text that is not HEX or S-records and corrupt boot records never reach a board"
