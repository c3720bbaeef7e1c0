// The options whose help several commands share.
#ifndef KESTRANE_CLI_HELP_OPTIONS_H
#define KESTRANE_CLI_HELP_OPTIONS_H

// The serial-port options, the same for each command that takes them.
#define PORT_OPTIONS                                                            \
    "  --port PATH       the board on serial port PATH; once for each port, for\n" \
    "                    several boards at once (excludes --device and --all)\n"   \
    "  --baud N          57600, 115200, 230400 or 460800 (default 115200; the\n"   \
    "                    EFM8UB parts take 115200 and up); the bootloader\n"        \
    "                    measures it on the first byte it gets\n"                   \
    "  --timeout SECONDS how long to wait for each reply (default 2)\n"

// Insisting on a raw binary, the same for flash, verify and watch (convert:
// --input-format bin).
#define FORMAT_OPTION                                                              \
    "  --format bin      read FILE as a raw binary whatever it holds; without it\n" \
    "                    a file that is all text is read as HEX or S-records\n"  \
    "                    and refused, with the line named, when it is neither\n"

// The lock options, the same for flash and lock.
#define LOCK_OPTIONS                                                               \
    "  --lock-pages N    lock pages 0 to N-1 (0 to 255; 255: every page) against\n" \
    "                    reading by a debugger, by writing their count's ones'\n"  \
    "                    complement into the lock byte. It is for good: flash\n"   \
    "                    bits only clear, and the bootloader cannot erase the\n"   \
    "                    lock byte's page, so a later lock only adds pages. The\n" \
    "                    bootloader still erases, writes and verifies them\n"      \
    "  --disable-bootloader  write 0x00 into the bootloader signature byte: the\n" \
    "                    chip then always starts its application and never\n"      \
    "                    enters its bootloader again. This CANNOT BE UNDONE over\n" \
    "                    USB or a serial port; only a full erase through a\n"      \
    "                    debugger undoes it. Refused without --force\n"           \
    "  --force           confirm that the bootloader is to be disabled (by\n"      \
    "                    --disable-bootloader, or by a boot-record file's lock)\n"

// The production line's options, the same for flash and watch.
#define LINE_OPTIONS                                                               \
    "  --serial FORMAT@ADDRESS  put a number of its own into each board's image\n" \
    "                    before it is flashed, so that the verify covers it:\n"   \
    "                    le16, le32, le64, be16, be32, be64 (binary, least or\n"  \
    "                    most significant byte first), decN or hexN (N ASCII\n"   \
    "                    digits, zero-padded); ADDRESS in hex (0x3FF0) or\n"      \
    "                    decimal. The bytes must lie in the part's application\n" \
    "                    area, where the image holds 0xFF (else exit 65, before\n" \
    "                    anything is erased). Needs --counter\n"                  \
    "  --counter NAME    draw the numbers from this counter of the station\n"     \
    "                    database (see kestrane-cli serial): each is handed out\n" \
    "                    once, before the board's first erase, and never again,\n" \
    "                    even when the flash fails (the record calls it void).\n" \
    "                    A counter past its last number stops (exit 78)\n"       \
    "  --db PATH         the station database, which records every attempt\n"    \
    "                    (default $XDG_STATE_HOME/kestrane/station.sqlite); when\n" \
    "                    it cannot be written, or --counter's cannot, nothing is\n" \
    "                    flashed (exit 73). When the default one cannot, a\n"     \
    "                    warning is given once and boards are flashed\n"         \
    "  --no-record       record nothing (not with --db or --counter)\n"          \
    "  --retries N       after a transfer that failed or a board that left in\n" \
    "                    the middle of a flash, wait for the same board (same\n"  \
    "                    path or port) and flash it again from the first erase,\n" \
    "                    up to N more times (0 to 100, default 1), with the same\n" \
    "                    serial number. A refusal or a mismatch is not retried,\n" \
    "                    nor anything once a lock was sent; on a port, neither\n" \
    "                    is a board that never answered\n"

#endif
