// The help of the bench and of the station database: watch, serial and
// history.
#include "cli/help_options.h"
#include "cli/options.h"

namespace cli {

static const char WATCH_HELP[] =
    "Usage: kestrane-cli watch FILE [--port PATH...] [--baud N] [--timeout SECONDS]\n"
    "                               [--count N] [--no-verify] [--write-size N]\n"
    "                               [--force] [--json] [--wait=SECONDS]\n"
    "                               [--serial FORMAT@ADDRESS --counter NAME]\n"
    "                               [--db PATH | --no-record] [--retries N]\n"
    "                               [--format bin]\n"
    "For production benches: flash and verify every bootloader that appears, once\n"
    "each, with one line per board (time, path, part, result, serial number,\n"
    "seconds) and a running tally. A board that leaves and comes back later\n"
    "counts again. On a terminal a live line below them says how many boards\n"
    "passed and failed, the yield, the first-pass yield (passed on the first\n"
    "try) and the boards per hour since watch started. Ctrl-C stops taking new\n"
    "boards, lets those in progress finish and prints a summary; so does --count,\n"
    "and so does a counter that has handed out its last number (exit 78).\n"
    "Every board's attempt is recorded as flash records it.\n"
    "\n"
    "Without --port, the USB bootloaders that are plugged in. With --port, each\n"
    "port is asked at most twice a second whether a bootloader answers there (a\n"
    "training byte and one identify, with a short time-out); one that stops\n"
    "answering has left (it started its application), and the next board that\n"
    "answers on that port counts again.\n"
    "\n" PORT_OPTIONS
    "  --wait=SECONDS    how long a retried board may take to come back (default\n"
    "                    30 s; --wait alone: for ever, USB only)\n"
    "  --count N         stop after N boards\n"
    "  --no-verify       skip the CRC check after writing\n"
    "  --write-size N    data bytes per write command, 1 to 128 (default 32 over\n"
    "                    USB, 128 over a serial port)\n"
    "  --force           flash a boot-record file whose lock record disables the\n"
    "                    bootloader, which cannot be undone\n" FORMAT_OPTION LINE_OPTIONS
    "  --json            one JSON object per board on standard output, and at the\n"
    "                    end a summary object: summary true, boards, passed,\n"
    "                    failed, yield, first_pass, first_pass_yield,\n"
    "                    boards_per_hour, seconds, serial_first, serial_last and\n"
    "                    exit_code\n";

static const char SERIAL_HELP[] =
    "Usage: kestrane-cli serial init NAME --first N [--last M] [--db PATH]\n"
    "       kestrane-cli serial show [NAME] [--db PATH] [--json]\n"
    "The counters of the station database that give each board a serial number\n"
    "of its own (flash and watch with --counter NAME). init creates a counter\n"
    "that hands out N, N+1, ... up to M, or with no end. Run again with the same\n"
    "bounds it changes nothing and never restarts the count; other bounds are\n"
    "refused (exit 78): a new range takes a new name. show prints each counter,\n"
    "or NAME: its next number, its bounds, how many numbers were handed out and\n"
    "how many are left. A number handed out to a board that failed is void and\n"
    "never handed out again.\n"
    "\n"
    "  --first N         the first number (0 to 9223372036854775807)\n"
    "  --last M          the last one; past it flash and watch stop (exit 78)\n"
    "  --db PATH         the station database (default\n"
    "                    $XDG_STATE_HOME/kestrane/station.sqlite)\n"
    "  --json            one object per counter: name, first, last, next,\n"
    "                    handed_out and left (null without a last number)\n";

static const char HISTORY_HELP[] =
    "Usage: kestrane-cli history [--since TIME] [--serial N] [--image PREFIX]\n"
    "                            [--summary] [--json | --csv] [--db PATH]\n"
    "Every attempt that flash and watch recorded, in the order they started:\n"
    "UTC start, transport and path, part, image and its SHA-256, serial number\n"
    "(void when its board did not pass), result and exit status, tries, seconds\n"
    "and message. An attempt whose process ended before it did is unfinished.\n"
    "\n"
    "  --since TIME      attempts started at or after TIME, in UTC (2024-05-01 or\n"
    "                    2024-05-01T09:30:00Z)\n"
    "  --serial N        the attempt that drew serial number N\n"
    "  --image PREFIX    attempts with an image whose SHA-256 starts with PREFIX\n"
    "  --summary         one line per image instead: attempts, boards passed,\n"
    "                    failed and unfinished, the first-pass yield (boards that\n"
    "                    passed on their first try, of all attempts) and the\n"
    "                    serial numbers used, void ones counted\n"
    "  --json            one JSON object per line: id, started, ended, host,\n"
    "                    transport, path, part, image, sha256, counter, serial\n"
    "                    (null without one), void, result (\"unfinished\" for an\n"
    "                    attempt that never ended), exit_code, message, commands,\n"
    "                    bytes_written, seconds and tries\n"
    "  --csv             the same fields as comma-separated values, after a\n"
    "                    header line\n"
    "  --db PATH         the station database (default\n"
    "                    $XDG_STATE_HOME/kestrane/station.sqlite)\n";

const char *line_help_text(Command command)
{
    switch (command) {
    case Command::Watch: return WATCH_HELP;
    case Command::Serial: return SERIAL_HELP;
    case Command::History: return HISTORY_HELP;
    default: return nullptr;
    }
}

}  // namespace cli
