// The tables of the commands that work on boards: list, flash, verify, run,
// identify and lock.
#include "cli/flag_rows.h"
#include "cli/option_values.h"
#include "production/settings.h"
#include <kestrane/engine.h>

namespace cli {

static const char LIST_ABOUT[] =
    "One line per attached EFM8 USB bootloader (UB1, UB2, UB3): USB path, family\n"
    "and USB id. The path is what tells two boards apart. No board: no lines,\n"
    "exit 0.\n";

static const char FLASH_ABOUT[] =
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
    "Each board's attempt is recorded in the station database once the board is\n"
    "opened, before anything is sent to it, and completed before its result is\n"
    "printed (see history): UTC start and end, host, transport and path or port,\n"
    "part, image and its SHA-256, serial number, result, exit status, message,\n"
    "commands, bytes written, seconds and tries. A process killed meanwhile\n"
    "leaves the attempt unfinished, never missing. A board that cannot be opened\n"
    "(another program has its port) is no attempt and draws no number. Its begin\n"
    "keeps room for its completion: where the database's filesystem has none,\n"
    "the board is not touched (exit 73). Should the completion fail still, the\n"
    "board's own result is printed, its number stays used, and the run ends with\n"
    "73, saying why the record is incomplete.\n";

static const char VERIFY_ABOUT[] =
    "Compare the image (with 0xFF to the end of its last page) with the chip by\n"
    "CRC-16, each 256-byte block on its own, and name the pages that differ.\n"
    "Nothing is written. Exit 1 when a page differs. A boot-record file's\n"
    "identify records are checked first: exit 65 for a board it is not for.\n";

static const char RUN_ABOUT[] =
    "Start the application; the board leaves its bootloader.\n";

static const char IDENTIFY_ABOUT[] =
    "Ask the bootloader which part it runs on, and print the part (or only its\n"
    "family, or \"unknown\"), its flash size, its application limit (the first\n"
    "address the application may not use), its page size and the bootloader's\n"
    "version (0x90 is 1.0). Nothing is written. The part's ids are asked one by\n"
    "one: a family whose parts are not documented takes a few hundred commands.\n";

static const char LOCK_ABOUT[] =
    "Program the chip's lock byte, its signature byte, or both, with nothing\n"
    "else written, then read them back and say what they hold. The board stays\n"
    "in its bootloader. Each bit of 0 clears that bit of the chip's byte, for\n"
    "good: the bootloader cannot erase the page that holds them. --lock-pages 0\n"
    "changes nothing and only reads them back.\n";

static const char SEVERAL[] = "; once for each board, for several at once";

static Flag device(const std::string &help)
{
    return {"device", Argument::Required, "PATH", help + SEVERAL, take_device, true};
}

static Flag all(const std::string &help)
{
    return {"all", Argument::None, "", help, set_true<&Options::all>};
}

static Flag wait(const std::string &help)
{
    return {"wait", Argument::Optional, "[=SECONDS]", help, take_wait};
}

static const Flag QUIET = {"quiet", Argument::None, "", "print errors only", set_true<&Options::quiet>};

static CommandTable list_table()
{
    return {"list", Command::List, Operands::None, LIST_ABOUT,
            {{"ports", Argument::None, "",
              "the serial ports too: path, and for a USB adapter its USB id, maker, product and serial number. "
              "Nothing is sent to a port, so each is listed whether or not a bootloader listens on it",
              set_true<&Options::ports_too>, false, 0, false, "serial"},
             json_flag("an array of objects with path, interface (\"usb\" or \"uart\"), vendor_id and product_id, and "
                  "family for a bootloader or manufacturer, product and serial for a port")}};
}

static CommandTable flash_table()
{
    const std::string write_sizes = "data bytes per write command, 1 to " + number(EFM8_WRITE_MAX) + " (default " +
                                    number(EFM8_WRITE_USB_DEFAULT) + " over USB, " +
                                    number(EFM8_WRITE_UART_DEFAULT) + " over a serial port)";
    return {"flash", Command::Flash, Operands::File, FLASH_ABOUT,
            rows({{device("the USB board at PATH (see list); needed when several are attached"),
                   all("every attached USB board at once, in parallel"),
                   wait("wait for a USB board, for ever or SECONDS, instead of failing; also how long a retried "
                        "board may take to come back (default " + number(production::RETRY_WAIT_SECONDS) +
                        " s; with --port, --wait=SECONDS says only that)")},
                  port_flags(), entry_flags(), {enter_hid_flag()},
                  {{"no-verify", Argument::None, "", "skip the CRC check after writing", set_false<&Options::verify>},
                   {"delta", Argument::None, "",
                    "leave alone the pages that already hold the image, each 256-byte block compared by its CRC-16 "
                    "only, so a change within one block passes unseen with a chance of about 1 in 65536, unless it "
                    "is at most 16 consecutive bits or an odd number of bits, which are always caught",
                    set_true<&Options::delta>},
                   {"no-run", Argument::None, "", "leave the board in its bootloader", set_false<&Options::run>},
                   {"write-size", Argument::Required, "N", write_sizes, take_write_size}, raw_binary_flag()},
                  lock_flags(), line_flags(),
                  {QUIET, json_flag("one JSON object per board on standard output; \"lock\" says what was asked and what "
                               "the lock and signature bytes hold as read back (null where not read back), \"serial\" "
                               "the board's number (null when none), \"tries\" how many tries it took, \"record_error\" why its "
                               "record could not be completed (null when it was)")}})};
}

static CommandTable verify_table()
{
    return {"verify", Command::Verify, Operands::File, VERIFY_ABOUT,
            rows({{device("the USB board at PATH; needed when several are attached"),
                   all("every attached USB board at once"), wait("wait for a USB board, for ever or SECONDS")},
                  port_flags(), entry_flags(), {enter_hid_flag()},
                  {raw_binary_flag(), json_flag("one JSON object per board on standard output")}})};
}

static CommandTable run_table()
{
    return {"run", Command::Run, Operands::None, RUN_ABOUT,
            rows({{device("the USB board at PATH; needed when several are attached"), all("every attached USB board")},
                  port_flags(), entry_flags(), {enter_hid_flag()}})};
}

static CommandTable identify_table()
{
    return {"identify", Command::Identify, Operands::None, IDENTIFY_ABOUT,
            rows({{device("the USB board at PATH; needed when several are attached")}, port_flags(), entry_flags(),
                  {enter_hid_flag()},
                  {json_flag("one JSON object per board: part, family, flash_size, app_limit, page_size and "
                        "bootloader_version, null where not known")}})};
}

static CommandTable lock_table()
{
    return {"lock", Command::Lock, Operands::None, LOCK_ABOUT,
            rows({{device("the USB board at PATH; needed when several are attached"),
                   all("every attached USB board at once"), wait("wait for a USB board, for ever or SECONDS")},
                  port_flags(), entry_flags(), {enter_hid_flag()}, lock_flags(),
                  {QUIET, json_flag("one JSON object per board: \"lock\" holds what was asked and the lock_byte, "
                               "pages_locked, signature_byte and bootloader_enabled read back, null where not read "
                               "back")}})};
}

void add_board_commands(std::vector<CommandTable> &tables)
{
    for (CommandTable (*table)() : {list_table, flash_table, verify_table, run_table, identify_table, lock_table})
        tables.push_back(table());
}

}  // namespace cli
