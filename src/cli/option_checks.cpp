// What the options ask together, once all are read.
#include "cli/option_values.h"
#include "station/database.h"

#include <cstdlib>

namespace cli {

// Which boards: USB paths, all of them, or serial ports, never two of these.
// Over ports only flash and watch wait, and only for a retried board.
static bool check_board_choice(const Options &options, std::string &error)
{
    const bool retries = options.command == Command::Flash || options.command == Command::Watch;
    if (options.all && !options.devices.empty())
        error = "--device and --all exclude each other";
    else if (!options.ports.empty() && (options.all || !options.devices.empty()))
        error = "--port excludes --device and --all";
    else if (!options.ports.empty() && options.wait && (options.wait_seconds < 0 || !retries))
        error = "--wait waits for a USB board; a serial port is asked at once (see --timeout), and with --port "
                "only flash and watch take --wait=SECONDS: how long a retried board may take to come back";
    else if (options.ports.empty() && (options.baud != 0 || options.timeout_ms != 0))
        error = "--baud and --timeout need --port";
    return error.empty();
}

static const char DISABLE_REFUSED[] =
    "--disable-bootloader writes 0x00 into the bootloader signature byte: the chip then always starts its "
    "application and never enters its bootloader again, and nothing sent over USB or a serial port can undo it "
    "(only a full erase through a debugger can). Add --force if that is what you want";

// A lock is for good: what is asked must be whole, confirmed where it
// cannot be undone, and never follow an unchecked image.
static bool check_locking(const Options &options, std::string &error)
{
    const bool locks = options.lock_pages || options.disable_bootloader;
    if (options.disable_bootloader && !options.force)
        error = DISABLE_REFUSED;
    else if (options.command == Command::Lock && !locks)
        error = "lock needs --lock-pages N, --disable-bootloader, or both";
    else if (options.command == Command::Lock && options.force && !options.disable_bootloader)
        error = "--force only confirms --disable-bootloader";
    else if (options.command == Command::Flash && locks && !options.verify)
        error = "--lock-pages and --disable-bootloader lock the chip only once the flash is verified; "
                "drop --no-verify";
    else if (options.command == Command::Convert && locks && !options.verify)
        error = "a lock record needs the verify record before it, or a host replaying the file would lock an "
                "image it never checked; drop --no-verify";
    else if (options.command == Command::Convert && options.output.empty())
        error = "convert needs -o OUT (- for standard output)";
    return error.empty();
}

// A number is handed out only with the record that keeps it.
static bool check_line(const Options &options, std::string &error)
{
    const bool flashes = options.command == Command::Flash || options.command == Command::Watch;
    if (flashes && options.serial_at && options.counter.empty())
        error = "--serial needs --counter NAME, the counter each board's number is drawn from";
    else if (flashes && !options.counter.empty() && !options.serial_at)
        error = "--counter needs --serial FORMAT@ADDRESS, where each board's number goes";
    else if (!options.record && (!options.db.empty() || !options.counter.empty() || !options.station.empty()))
        error = "--no-record excludes --db, --counter and --station: a serial number is handed out only with its "
                "record";
    else if (options.json && options.csv)
        error = "--json and --csv exclude each other";
    else if (!options.html.empty() && (options.json || options.csv))
        error = "--html excludes --json and --csv: the page is its own format";
    else if (options.command == Command::Serial && options.serial_action == SerialAction::Init && !options.first)
        error = "serial init needs --first N, the counter's first number";
    else if (options.command == Command::Serial && options.serial_action == SerialAction::Show &&
             (options.first || options.last))
        error = "--first and --last are for serial init";
    return error.empty();
}

// The station database is named here once for every command that keeps
// or reads the record: a value that is neither a path nor a server is
// refused before anything is opened, and the rest is given as SQLite or
// libpq takes it.
static bool check_database(Options &options, std::string &error)
{
    const bool uses = options.command == Command::Flash || options.command == Command::Watch ||
                      options.command == Command::History || options.command == Command::Serial ||
                      options.command == Command::Station;
    const char *environment = std::getenv("KESTRANE_DB");
    if (!uses || !options.record || (options.db.empty() && environment == nullptr))
        return true;
    station::Database database;
    const station::Result decided = station::decide_database(options.db.empty() ? environment : options.db, database);
    if (!decided.ok())
        error = (options.db.empty() ? "KESTRANE_DB: " : "--db: ") + decided.message;
    options.db = database.value;
    return decided.ok();
}

bool check_options(Options &options, std::string &error)
{
    return check_board_choice(options, error) && check_locking(options, error) && check_line(options, error) &&
           check_entry(options, error) && check_database(options, error);
}

}  // namespace cli
