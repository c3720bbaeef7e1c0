// The tables of the bench, of convert, and of the station database's
// commands: watch, convert, serial and history.
#include "cli/flag_rows.h"
#include "cli/option_values.h"
#include "production/settings.h"
#include "station/station.h"
#include <kestrane/engine.h>

namespace cli {

static const char WATCH_ABOUT[] =
    "For production benches: flash and verify every bootloader that appears, once\n"
    "each, with one line per board (time, path, part, result, serial number,\n"
    "seconds) and a running tally. A board that leaves and comes back later\n"
    "counts again. On a terminal a live line below them says how many boards\n"
    "passed and failed, the yield, the first-pass yield (passed on the first\n"
    "try) and the boards per hour since watch started. Ctrl-C (or SIGTERM or\n"
    "SIGHUP) stops taking new boards, lets those in progress finish and prints a\n"
    "summary (a second one stops at once); so does --count, and so does a\n"
    "counter that has handed out its last number (exit 78), or the last its\n"
    "format takes (exit 65); the summary says why the line stopped. Every\n"
    "board's attempt is recorded as flash records it. A board left untouched (not\n"
    "opened, or no number left for it) is no attempt: no result line, no record;\n"
    "the summary counts it apart, and --count counts attempts. While a station\n"
    "database server is away no board is taken, and the live line says so: the\n"
    "boards wait in their fixtures until it is back, and no number is drawn\n"
    "without it.\n"
    "\n"
    "Without --port, the USB bootloaders that are plugged in. With --port, each\n"
    "port is asked at most twice a second whether a bootloader answers there (a\n"
    "training byte and one identify, with a short time-out); one that stops\n"
    "answering has left (it started its application), and the next board that\n"
    "answers on that port counts again. A board that left is said with the time\n"
    "and its path or port, as a result is.\n"
    "\n"
    "A board brought into its bootloader by --reset or --enter-command answers\n"
    "whenever it is asked, so it is not looked for: each assertion of the\n"
    "--trigger line (a fixture's presence or lid switch), or each Enter on a\n"
    "terminal, takes one new board on each port. Without either, watch is\n"
    "refused (exit 64).\n";

static const char CONVERT_ABOUT[] =
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
    "carry over.\n";

static const char SERIAL_ABOUT[] =
    "The counters of the station database that give each board a serial number\n"
    "of its own (flash and watch with --counter NAME). init creates a counter\n"
    "that hands out N, N+1, ... up to M, or with no end. Run again with the same\n"
    "bounds it changes nothing and never restarts the count; other bounds are\n"
    "refused (exit 78): a new range takes a new name. show prints each counter,\n"
    "or NAME: its next number, its bounds, how many numbers were handed out and\n"
    "how many are left, and which station drew which numbers: the ranges it drew\n"
    "in and how many in each, a range ending only at a gap. A number handed\n"
    "out to a board that failed is void and never handed out again.\n";

static const char HISTORY_ABOUT[] =
    "Every attempt that flash and watch recorded, in the order they started:\n"
    "UTC start, station, transport and path, part, image and its SHA-256, serial\n"
    "number\n"
    "(void when its board failed), result and exit status, tries, seconds and\n"
    "message. An attempt whose process ended before it did, or whose record could\n"
    "not be completed, is unfinished: its number is not known to be void. A\n"
    "field that holds a control character (a line break in a file name) is\n"
    "quoted, as CSV quotes it, with the character escaped (\\n, \\xNN), so each\n"
    "attempt stays on one line. A database that cannot be written (a read-only\n"
    "file, folder or mount, a copy) is read as it is, and nothing is made beside\n"
    "it.\n";

static const char STATION_COMMAND_ABOUT[] =
    "init makes the station database's tables, or brings them up to this\n"
    "version's; run again, it changes nothing. A PostgreSQL server's tables are\n"
    "made by init alone, by a role that may create them: the stations' own role\n"
    "needs only SELECT, INSERT and UPDATE (README). A database made by a newer\n"
    "Kestrane is refused (exit 73).\n"
    "sync sends the server the completions of attempts that this host kept while\n"
    "the server was away (in $XDG_STATE_HOME/kestrane/spool.sqlite), as flash,\n"
    "watch and serial init do whenever they reach it, and says how many were sent\n"
    "and how many wait for other servers.\n";

static const Flag STATION_DB = {"db", Argument::Required, "PATH|URI",
                                "the station database: a file, or a PostgreSQL server's postgresql:// URI (default "
                                "$KESTRANE_DB, else $XDG_STATE_HOME/kestrane/station.sqlite)",
                                take_db};

static CommandTable watch_table()
{
    return {"watch", Command::Watch, Operands::File, WATCH_ABOUT,
            rows({port_flags(), entry_flags(),
                  {{"trigger", Argument::Required, "gpio:CHIP:OFFSET",
                    "with --reset or --enter-command: a GPIO line whose every assertion says a new board is in its "
                    "fixture (asserted low; :active-high after it inverts that). Without it, Enter on a terminal "
                    "does",
                    take_trigger}},
                  {{"wait", Argument::Optional, "=SECONDS",
                    "how long a retried board may take to come back (default " + number(production::RETRY_WAIT_SECONDS) +
                        " s; --wait alone: for ever, USB only)",
                    take_wait},
                   {"count", Argument::Required, "N", "stop after N boards (at most " + number(MAX_COUNT) + ")",
                    take_count},
                   {"no-verify", Argument::None, "", "skip the CRC check after writing", set_false<&Options::verify>},
                   {"write-size", Argument::Required, "N",
                    "data bytes per write command, 1 to " + number(EFM8_WRITE_MAX) + " (default " +
                        number(EFM8_WRITE_USB_DEFAULT) + " over USB, " + number(EFM8_WRITE_UART_DEFAULT) +
                        " over a serial port)",
                    take_write_size},
                   {"force", Argument::None, "",
                    "flash a boot-record file whose lock record disables the bootloader, which cannot be undone",
                    set_true<&Options::force>},
                   raw_binary_flag()},
                  line_flags(),
                  {json_flag("one JSON object per board on standard output, and at the end a summary object: summary "
                        "true, boards, passed, failed, yield, first_pass, first_pass_yield, boards_per_hour, "
                        "seconds, serial_first, serial_last, untouched (boards that were no attempt), stopped (why "
                        "the line stopped: \"interrupted\" by Ctrl-C or a signal, or why a counter stopped it; null "
                        "after --count boards) and exit_code")}})};
}

static CommandTable convert_table()
{
    return {"convert", Command::Convert, Operands::File, CONVERT_ABOUT,
            {{"output", Argument::Required, "OUT", "the file to write; - for standard output", take_output, false, 'o',
              true},
             {"format", Argument::Required, "NAME",
              "efm8, hex, srec or bin; by default told by OUT's extension (.efm8; .hex, .ihx; .srec, .s19, .s28, "
              ".s37, .mot; .bin)",
              take_output_format},
             {"input-format", Argument::Required, "bin",
              "read FILE as a raw binary whatever it holds (--format names OUT's format); without it a file that is "
              "all text is read as HEX or S-records and refused, with the line named, when it is neither",
              take_input_format},
             {nullptr, Argument::None, "", "Boot records only:", nullptr},
             {"id", Argument::Required, "DDDD",
              "an identify record for the part with this id, in hex (3401 is the EFM8BB31F64G-QFN32); once for each "
              "part the file is for. Replaces FILE's own ids",
              take_id, true},
             {"lock-pages", Argument::Required, "N",
              "a lock record that locks pages 0 to N-1 (0 to " + number(EFM8_LOCK_PAGES_MAX) +
                  ") for good; combined bit by bit with FILE's own lock",
              take_lock_pages},
             {"no-run", Argument::None, "", "no run application record: the board stays in its bootloader",
              set_false<&Options::run>},
             {"no-verify", Argument::None, "", "no verify record (refused with a lock record)",
              set_false<&Options::verify>},
             {"write-size", Argument::Required, "N",
              "data bytes per erase or write record, 1 to " + number(EFM8_WRITE_MAX) + " (default " +
                  number(EFM8_WRITE_MAX) + ")",
              take_write_size},
             {"erase-without-data", Argument::None, "",
              "erase records carry no data, for hosts that must not stall while a page is erased",
              set_true<&Options::erase_without_data>}}};
}

static CommandTable serial_table()
{
    return {"serial", Command::Serial, Operands::SerialAction, SERIAL_ABOUT,
            {{"first", Argument::Required, "N",
              "the first number (0 to " + std::to_string(station::LARGEST_NUMBER) + ")", take_first},
             {"last", Argument::Required, "M", "the last one; past it flash and watch stop (exit 78)", take_last},
             STATION_DB,
             json_flag("one object per counter: name, first, last, next, handed_out, left (null without a last "
                  "number) and drawn, a list of {station, first, last, count} for each range a station drew count "
                  "numbers in, ended only by a gap")}};
}

static CommandTable history_table()
{
    return {"history", Command::History, Operands::None, HISTORY_ABOUT,
            {{"since", Argument::Required, "TIME",
              "attempts started at or after TIME, in UTC (2024-05-01 or 2024-05-01T09:30:00Z)", take_since},
             {"serial", Argument::Required, "N", "the attempt that drew serial number N", take_serial_number},
             {"image", Argument::Required, "PREFIX", "attempts with an image whose SHA-256 starts with PREFIX",
              take_image},
             {"summary", Argument::None, "",
              "one line per image instead, across the line, then one for each station that flashed it (JSON: "
              "station null for the line): attempts, boards passed, failed and unfinished, the first-pass yield "
              "(boards that passed on their first try, of all attempts) and the serial numbers used, void ones "
              "(of boards that failed) counted",
              set_true<&Options::summary>},
             json_flag("one JSON object per line: id, started, ended, host, station, transport, path, part, image, sha256, "
                  "counter, serial (null without one), void, result (\"unfinished\" for an attempt that never "
                  "ended), exit_code, message, commands, bytes_written, seconds and tries"),
             {"station", Argument::Required, "NAME", "attempts recorded by station NAME", take_station},
             {"csv", Argument::None, "", "the same fields as comma-separated values, after a header line",
              set_true<&Options::csv>},
             html_flag(),
             STATION_DB}};
}

static CommandTable station_table()
{
    return {"station", Command::Station, Operands::StationAction, STATION_COMMAND_ABOUT, {STATION_DB}};
}

void add_line_commands(std::vector<CommandTable> &tables)
{
    for (CommandTable (*table)() : {watch_table, convert_table, serial_table, history_table, station_table})
        tables.push_back(table());
}

}  // namespace cli
