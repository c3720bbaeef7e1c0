// kestrane-cli's help: one text for the tool and one per command (those of
// the bench and the station database in help_line.cpp).
#include "cli/help_options.h"
#include "cli/options.h"

namespace cli {

static const char GENERAL_HELP[] =
    "Usage: kestrane-cli COMMAND [OPTIONS]\n"
    "Write firmware into Silicon Labs EFM8 microcontrollers through their factory\n"
    "bootloader: over USB on the EFM8UB1, UB2 and UB3, over a serial port on the\n"
    "others (EFM8BB1, BB2, BB3, LB1, SB1, SB2).\n"
    "\n"
    "Commands:\n"
    "  list     [--serial] [--json]  the attached USB bootloaders, and serial ports\n"
    "  flash    FILE [options]       write FILE, verify it and start it\n"
    "  verify   FILE [options]       compare FILE with the chip; write nothing\n"
    "  run      [options]            start the application\n"
    "  identify [options]            name the part, its flash and its bootloader\n"
    "  watch    FILE [options]       flash every board that appears (a bench)\n"
    "  convert  FILE -o OUT          write FILE as boot records, HEX, S-records or\n"
    "                                a raw binary; no board is touched\n"
    "  lock     [options]            lock pages against a debugger, or disable the\n"
    "                                bootloader, for good\n"
    "  serial   init NAME --first N | show [NAME]\n"
    "                                the counters that number the boards\n"
    "  history  [options]            every flash recorded, or a summary per image\n"
    "\n"
    "A USB bootloader is used when it is the only one attached, or chosen with\n"
    "--device PATH, or all of them with --all. A board on a serial port is named\n"
    "with --port PATH, once for each port: several are worked on at once.\n"
    "FILE is raw binary, Intel HEX, S-record or boot records (.efm8), told by its\n"
    "content; - reads standard input. A file that is all text is never taken for\n"
    "a raw binary: a line that is not HEX or S-records is refused (exit 65),\n"
    "unless --format bin insists on a raw binary. A boot-record file is flashed\n"
    "the Kestrane way, only on the parts it names, with its verify records\n"
    "checked against its own data before any board is opened and on the chip\n"
    "after, its lock programmed once the flash is verified, and the board\n"
    "started only if it asks. flash and watch record each board's attempt in\n"
    "the station database ($XDG_STATE_HOME/kestrane/station.sqlite, or --db\n"
    "PATH), and with --serial FORMAT@ADDRESS --counter NAME put a number of its\n"
    "own into each board.\n"
    "'kestrane-cli COMMAND --help' tells more of each command.\n"
    "\n"
    "Exit status:\n"
    "   0  success\n"
    "   1  the chip's flash does not match the image\n"
    "  64  usage error, or several boards attached and none chosen, or a lock\n"
    "      that is refused: unverified, or disabling the bootloader without --force\n"
    "  65  the file is not a usable image (format error, empty, too large for the\n"
    "      part), or the board is not one of the parts the file is for, or the\n"
    "      image cannot be written in the format asked, or a serial number does\n"
    "      not fit its format or its place (--serial)\n"
    "  66  the file cannot be read, or there is no station database to read yet\n"
    "  69  no bootloader attached (after --wait, when its time runs out), or no\n"
    "      such serial port\n"
    "  73  the station database asked for (--db, --counter) cannot be opened or\n"
    "      written, so nothing is flashed; or convert's output cannot be written\n"
    "  74  a transfer failed: a USB error, or no reply or a dropped line on a port\n"
    "  75  another program is using the serial port\n"
    "  76  the bootloader refused a command\n"
    "  77  no permission to open the board or the port\n"
    "  78  a serial number counter that does not exist, that has handed out its\n"
    "      last number (the line stops), or that exists with other bounds\n"
    "With several boards: 0 only if every board succeeded, else the code of the\n"
    "first board that failed, in the order given or listed.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n";

static const char LIST_HELP[] =
    "Usage: kestrane-cli list [--serial] [--json]\n"
    "One line per attached EFM8 USB bootloader (UB1, UB2, UB3): USB path, family\n"
    "and USB id. The path is what tells two boards apart. No board: no lines,\n"
    "exit 0.\n"
    "\n"
    "  --serial  the serial ports too: path, and for a USB adapter its USB id,\n"
    "            maker, product and serial number. Nothing is sent to a port, so\n"
    "            each is listed whether or not a bootloader listens on it\n"
    "  --json    an array of objects with path, interface (\"usb\" or \"uart\"),\n"
    "            vendor_id and product_id, and family for a bootloader or\n"
    "            manufacturer, product and serial for a port\n";

static const char FLASH_HELP[] =
    "Usage: kestrane-cli flash FILE [--device PATH | --all | --port PATH...]\n"
    "                               [--wait[=SECONDS]] [--baud N]\n"
    "                               [--timeout SECONDS] [--no-verify] [--delta]\n"
    "                               [--no-run] [--write-size N] [--lock-pages N]\n"
    "                               [--disable-bootloader --force] [--quiet]\n"
    "                               [--json] [--serial FORMAT@ADDRESS\n"
    "                               --counter NAME] [--db PATH | --no-record]\n"
    "                               [--retries N] [--format bin]\n"
    "Identify the part and check that the image fits its application area, erase\n"
    "every page the image spans, page 0 first and address 0 written last (a load\n"
    "cut off anywhere leaves the chip in its bootloader), skip blank chunks,\n"
    "verify the whole image by CRC, lock if asked, then start the application.\n"
    "\n"
    "A boot-record file (.efm8) gives the image its records write, flashed the\n"
    "same way. When it has identify records, a board that answers none of their\n"
    "ids is refused before anything is erased (exit 65). Its verify records are a\n"
    "checksum of the file: each is checked against the file's own data before any\n"
    "board is opened (exit 65 when one fails: the file is corrupt), and on the\n"
    "chip after the whole image is verified (--no-verify skips only the\n"
    "latter), its lock record is programmed last, once the flash is verified, and\n"
    "without a run application record the board is left in its bootloader. Its\n"
    "lock and --lock-pages combine bit by bit, as the chip's flash does.\n"
    "\n"
    "Each board's attempt is recorded in the station database before the board\n"
    "is touched and completed before its result is printed (see history): UTC\n"
    "start and end, host, transport and path or port, part, image and its\n"
    "SHA-256, serial number, result, exit status, message, commands, bytes\n"
    "written, seconds and tries. A process killed meanwhile leaves the attempt\n"
    "unfinished, never missing.\n"
    "\n"
    "  --device PATH     the USB board at PATH (see list); needed when several are\n"
    "                    attached\n"
    "  --all             every attached USB board at once, in parallel\n"
    "  --wait[=SECONDS]  wait for a USB board, for ever or SECONDS, instead of\n"
    "                    failing; also how long a retried board may take to\n"
    "                    come back (default 30 s; with --port, --wait=SECONDS\n"
    "                    says only that)\n" PORT_OPTIONS
    "  --no-verify       skip the CRC check after writing\n"
    "  --delta           leave alone the pages that already hold the image, each\n"
    "                    256-byte block compared by its CRC-16 only, so a change\n"
    "                    within one block passes unseen with a chance of about 1 in\n"
    "                    65536, unless it is at most 16 consecutive bits or an odd\n"
    "                    number of bits, which are always caught\n"
    "  --no-run          leave the board in its bootloader\n"
    "  --write-size N    data bytes per write command, 1 to 128 (default 32 over\n"
    "                    USB, 128 over a serial port)\n" FORMAT_OPTION LOCK_OPTIONS
    LINE_OPTIONS
    "  --quiet           print errors only\n"
    "  --json            one JSON object per board on standard output; \"lock\"\n"
    "                    says what was asked and what the lock and signature\n"
    "                    bytes hold as read back (null where not read back),\n"
    "                    \"serial\" the board's number (null when none), \"tries\"\n"
    "                    how many tries it took\n";

static const char VERIFY_HELP[] =
    "Usage: kestrane-cli verify FILE [--device PATH | --all | --port PATH...]\n"
    "                                [--wait[=SECONDS]] [--baud N]\n"
    "                                [--timeout SECONDS] [--json] [--format bin]\n"
    "Compare the image (with 0xFF to the end of its last page) with the chip by\n"
    "CRC-16, each 256-byte block on its own, and name the pages that differ.\n"
    "Nothing is written. Exit 1 when a page differs. A boot-record file's\n"
    "identify records are checked first: exit 65 for a board it is not for.\n"
    "\n"
    "  --device PATH     the USB board at PATH; needed when several are attached\n"
    "  --all             every attached USB board at once\n"
    "  --wait[=SECONDS]  wait for a USB board, for ever or SECONDS\n" PORT_OPTIONS FORMAT_OPTION
    "  --json            one JSON object per board on standard output\n";

static const char RUN_HELP[] =
    "Usage: kestrane-cli run [--device PATH | --all | --port PATH...] [--baud N]\n"
    "                        [--timeout SECONDS]\n"
    "Start the application; the board leaves its bootloader.\n"
    "\n"
    "  --device PATH     the USB board at PATH; needed when several are attached\n"
    "  --all             every attached USB board\n" PORT_OPTIONS;

static const char IDENTIFY_HELP[] =
    "Usage: kestrane-cli identify [--device PATH | --port PATH...] [--baud N]\n"
    "                             [--timeout SECONDS] [--json]\n"
    "Ask the bootloader which part it runs on, and print the part (or only its\n"
    "family, or \"unknown\"), its flash size, its application limit (the first\n"
    "address the application may not use), its page size and the bootloader's\n"
    "version (0x90 is 1.0). Nothing is written. The part's ids are asked one by\n"
    "one: a family whose parts are not documented takes a few hundred commands.\n"
    "\n"
    "  --device PATH     the USB board at PATH; needed when several are attached\n" PORT_OPTIONS
    "  --json            one JSON object per board: part, family, flash_size,\n"
    "                    app_limit, page_size and bootloader_version, null where\n"
    "                    not known\n";

static const char CONVERT_HELP[] =
    "Usage: kestrane-cli convert FILE -o OUT [--format efm8|hex|srec|bin]\n"
    "                                [--id DDDD...] [--lock-pages N] [--no-run]\n"
    "                                [--no-verify] [--write-size N]\n"
    "                                [--erase-without-data] [--input-format bin]\n"
    "Write FILE (raw binary, Intel HEX, S-records or boot records) as boot records,\n"
    "Intel HEX, S-records or a raw binary. No board is touched. Reading OUT back\n"
    "gives the same image, and from boot records the same ids and lock. A\n"
    "boot-record FILE whose verify records its data does not match is corrupt,\n"
    "and refused (exit 65).\n"
    "\n"
    "Boot records lay the image out as Kestrane flashes it: identify records,\n"
    "setup, page 0 erased first, each page erased with its first chunk, blank\n"
    "chunks skipped, address 0 written last; then a verify record over the whole\n"
    "image, so a host replaying the file learns whether it landed; then the lock\n"
    "and run application records. From a boot-record FILE, its ids, lock and run\n"
    "carry over.\n"
    "\n"
    "  -o, --output OUT  the file to write; - for standard output\n"
    "  --format NAME     efm8, hex, srec or bin; by default told by OUT's\n"
    "                    extension (.efm8; .hex, .ihx; .srec, .s19, .s28, .s37,\n"
    "                    .mot; .bin)\n"
    "  --input-format bin  read FILE as a raw binary whatever it holds (--format\n"
    "                    names OUT's format); without it a file that is all text\n"
    "                    is read as HEX or S-records and refused, with the line\n"
    "                    named, when it is neither\n"
    "Boot records only:\n"
    "  --id DDDD         an identify record for the part with this id, in hex\n"
    "                    (3401 is the EFM8BB31F64G-QFN32); once for each part the\n"
    "                    file is for. Replaces FILE's own ids\n"
    "  --lock-pages N    a lock record that locks pages 0 to N-1 (0 to 255) for\n"
    "                    good; combined bit by bit with FILE's own lock\n"
    "  --no-run          no run application record: the board stays in its\n"
    "                    bootloader\n"
    "  --no-verify       no verify record (refused with a lock record)\n"
    "  --write-size N    data bytes per erase or write record, 1 to 128 (default\n"
    "                    128)\n"
    "  --erase-without-data  erase records carry no data, for hosts that must not\n"
    "                    stall while a page is erased\n";

static const char LOCK_HELP[] =
    "Usage: kestrane-cli lock [--lock-pages N] [--disable-bootloader --force]\n"
    "                         [--device PATH | --all | --port PATH...]\n"
    "                         [--wait[=SECONDS]] [--baud N] [--timeout SECONDS]\n"
    "                         [--quiet] [--json]\n"
    "Program the chip's lock byte, its signature byte, or both, with nothing\n"
    "else written, then read them back and say what they hold. The board stays\n"
    "in its bootloader. Each bit of 0 clears that bit of the chip's byte, for\n"
    "good: the bootloader cannot erase the page that holds them. --lock-pages 0\n"
    "changes nothing and only reads them back.\n"
    "\n"
    "  --device PATH     the USB board at PATH; needed when several are attached\n"
    "  --all             every attached USB board at once\n"
    "  --wait[=SECONDS]  wait for a USB board, for ever or SECONDS\n" PORT_OPTIONS LOCK_OPTIONS
    "  --quiet           print errors only\n"
    "  --json            one JSON object per board: \"lock\" holds what was asked\n"
    "                    and the lock_byte, pages_locked, signature_byte and\n"
    "                    bootloader_enabled read back, null where not read back\n";

const char *help_text(Command command)
{
    const char *bench = line_help_text(command);
    if (bench != nullptr)
        return bench;
    switch (command) {
    case Command::List: return LIST_HELP;
    case Command::Flash: return FLASH_HELP;
    case Command::Verify: return VERIFY_HELP;
    case Command::Run: return RUN_HELP;
    case Command::Identify: return IDENTIFY_HELP;
    case Command::Convert: return CONVERT_HELP;
    case Command::Lock: return LOCK_HELP;
    default: return GENERAL_HELP;
    }
}

}  // namespace cli
