#!/bin/bash
# Builds a small 8051 program with SDCC and writes it into DIR in the forms
# people have it: SDCC's own .ihx; srec_cat's S19 as it writes it by default
# (a header and a record count, no start record), bare (none of the three)
# and with a start record; srec_cat's Intel HEX; a raw binary (fw.bin, the
# image every other form must flash to); HEX padded with NULs or Ctrl-Z to a
# sector, with CRLF and with lone CR line ends. And two forms that must be
# refused: a HEX file with a Latin-1 comment first (latin1.hex) and SDCC's
# own S19 (sdcc.s19), whose S1 records carry 24-bit addresses.
# Usage: sdcc_fixtures.sh DIR
set -eu
mkdir -p "$1"
cd "$1"
cat > fw.c <<'C'
__code const char banner[] = "Kestrane \xe4 toolchain fixture";
volatile unsigned char counter;
void main(void)
{
    unsigned char i;
    for (i = 0; banner[i]; i++)
        counter += banner[i];
    for (;;)
        counter++;
}
C
sdcc -mmcs51 fw.c > /dev/null
sdcc -mmcs51 --out-fmt-s19 -o sdcc.s19 fw.c > /dev/null
# The image as the loader builds it: gaps 0xFF, from address 0 to the last byte.
srec_cat fw.ihx -intel -fill 0xFF -over fw.ihx -intel -o fw.bin -binary 2> /dev/null
srec_cat fw.ihx -intel -o default.s19 -motorola 2> /dev/null
srec_cat fw.ihx -intel -o bare.s19 -motorola -disable=header -disable=data-count 2> /dev/null
srec_cat fw.ihx -intel -o start.s19 -motorola -execution-start-address=0 2> /dev/null
srec_cat fw.ihx -intel -o srec_cat.hex -intel 2> /dev/null
{ cat fw.ihx; head -c $((4096 - $(stat -c %s fw.ihx))) /dev/zero; } > nul.hex
{ cat fw.ihx; printf '\x1a\x1a\x1a\x1a'; } > ctrlz.hex
sed 's/$/\r/' fw.ihx > crlf.hex
tr '\n' '\r' < fw.ihx > cr.hex
{ printf '; Ge\xe4ndert f\xfcr Rev. B\r\n'; cat fw.ihx; } > latin1.hex
rm -f fw.c fw.asm fw.lk fw.lst fw.map fw.mem fw.rel fw.rst fw.sym sdcc.asm sdcc.lk sdcc.lst sdcc.map sdcc.mem \
  sdcc.rel sdcc.rst sdcc.sym
