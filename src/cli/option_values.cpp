// The values the options take, and what they ask together.
#include "cli/flags.h"

#include <kestrane/engine.h>
#include "firmware/firmware_writer.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

namespace cli {

static const double MAX_TIMEOUT_SECONDS = 3600;
static const double MAX_RETRIES = 100;

// "57600, 115200, 230400 or 460800": the rates the UART bootloaders take.
static std::string baud_rates_text()
{
    std::size_t count;
    const std::uint32_t *rates = efm8_baud_rates(&count);
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i == 0 ? "" : i + 1 < count ? ", " : " or ") + std::to_string(rates[i]);
    return text;
}

static bool baud_rate_taken(double number)
{
    std::size_t count;
    const std::uint32_t *rates = efm8_baud_rates(&count);
    return std::find(rates, rates + count, number) != rates + count;
}

static bool read_number(const char *text, double low, double high, double &value)
{
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

// Decimal digits and nothing else, as counters and serial numbers are
// written; a double would round the large ones.
static bool read_whole(const char *text, std::uint64_t &value)
{
    const std::string digits = text;
    const char *end = digits.data() + digits.size();
    const std::from_chars_result read = std::from_chars(digits.data(), end, value);
    return !digits.empty() && read.ec == std::errc() && read.ptr == end;
}

static bool take_whole(const char *flag, const char *argument, std::optional<std::uint64_t> &value,
                       std::string &error)
{
    std::uint64_t number = 0;
    if (!read_whole(argument, number)) {
        error = std::string(flag) + " takes a whole number, not '" + argument + "'";
        return false;
    }
    value = number;
    return true;
}

static bool take_text(const char *flag, const char *needs, const char *argument, std::string &value,
                      std::string &error)
{
    value = argument;
    if (value.empty())
        error = std::string(flag) + " needs " + needs;
    return error.empty();
}

// A part's identify id: DEVICEID and DERIVID as four hex digits, 0x or not.
static bool take_id(const char *argument, Options &options, std::string &error)
{
    std::string digits = argument;
    if (digits.size() > 2 && (digits.compare(0, 2, "0x") == 0 || digits.compare(0, 2, "0X") == 0))
        digits.erase(0, 2);
    char *end = nullptr;
    const unsigned long id = std::strtoul(digits.c_str(), &end, 16);
    if (digits.empty() || digits.size() > 4 || *end != '\0' || !std::isxdigit(static_cast<unsigned char>(digits[0]))) {
        error = "--id takes a part's identify id in hex, such as 3401, not '" + std::string(argument) + "'";
        return false;
    }
    options.ids.push_back(static_cast<std::uint16_t>(id));
    return true;
}

static bool take_port(const char *argument, Options &options, std::string &error)
{
    const std::string port = argument;
    if (port.empty() || port.size() >= EFM8_PATH_MAX)
        error = "--port needs the path of a serial port (see kestrane-cli list --serial)";
    else if (std::find(options.ports.begin(), options.ports.end(), port) != options.ports.end())
        error = "--port " + port + " is given twice";
    else
        options.ports.push_back(port);
    return error.empty();
}

// flash and watch: where each board's number goes; history: which number.
static bool take_serial(const char *argument, Options &options, std::string &error)
{
    if (options.command == Command::History)
        return take_whole("--serial", argument, options.serial_number, error);
    serial_number::Placement placement;
    if (!serial_number::parse(argument, placement, error)) {
        error = "--serial: " + error;
        return false;
    }
    options.serial_at = placement;
    return true;
}

// The loader tells the formats apart by content, and never takes a text
// file for a raw binary: bin is the one format worth insisting on.
static bool take_input_format(const char *flag, const char *argument, Options &options, std::string &error)
{
    if (std::string(argument) != "bin") {
        error = std::string(flag) + " takes bin only (FILE as a raw binary, whatever it holds): other formats are "
                                    "told apart by content, not '" + argument + "'";
        return false;
    }
    options.raw_binary = true;
    return true;
}

static bool take_engine_flag(int flag, const char *argument, Options &options, std::string &error)
{
    double number = 0;
    switch (flag) {
    case FLAG_WAIT:
        options.wait = true;
        if (argument != nullptr && !read_number(argument, 0, 1e9, options.wait_seconds))
            error = "--wait takes a number of seconds, not '" + std::string(argument) + "'";
        break;
    case FLAG_WRITE_SIZE:
        if (!read_number(argument, 1, EFM8_WRITE_MAX, number) || number != static_cast<std::uint32_t>(number))
            error = "--write-size takes a whole number from 1 to " + std::to_string(EFM8_WRITE_MAX) + ", not '" +
                    std::string(argument) + "'";
        options.write_size = static_cast<std::uint32_t>(number);
        break;
    case FLAG_COUNT:
        if (!read_number(argument, 1, 1e9, number) || number != static_cast<long>(number))
            error = "--count takes a whole number of boards, at least 1, not '" + std::string(argument) + "'";
        options.count = static_cast<long>(number);
        break;
    case FLAG_BAUD:
        if (!read_number(argument, 0, 1e9, number) || !baud_rate_taken(number))
            error = "--baud takes " + baud_rates_text() + ", not '" + std::string(argument) + "'";
        options.baud = static_cast<std::uint32_t>(number);
        break;
    case FLAG_TIMEOUT:
        if (!read_number(argument, 0, MAX_TIMEOUT_SECONDS, number) || number * 1000 < 1)
            error = "--timeout takes a number of seconds, at least 0.001, not '" + std::string(argument) + "'";
        options.timeout_ms = static_cast<std::uint32_t>(number * 1000 + 0.5);
        break;
    case FLAG_LOCK_PAGES:
        if (!read_number(argument, 0, EFM8_LOCK_PAGES_MAX, number) || number != static_cast<std::uint8_t>(number))
            error = "--lock-pages takes a whole number of pages from 0 to " + std::to_string(EFM8_LOCK_PAGES_MAX) +
                    ", not '" + std::string(argument) + "'";
        options.lock_pages = static_cast<std::uint8_t>(number);
        break;
    case FLAG_RETRIES:
        if (!read_number(argument, 0, MAX_RETRIES, number) || number != static_cast<int>(number))
            error = "--retries takes a whole number from 0 to 100, not '" + std::string(argument) + "'";
        options.retries = static_cast<int>(number);
        break;
    }
    return error.empty();
}

bool take_flag(int flag, const char *argument, Options &options, std::string &error)
{
    switch (flag) {
    case FLAG_HELP: options.help = true; return true;
    case FLAG_DEVICE: return take_text("--device", "a path (see kestrane-cli list)", argument, options.device, error);
    case FLAG_ALL: options.all = true; return true;
    case FLAG_NO_VERIFY: options.verify = false; return true;
    case FLAG_DELTA: options.delta = true; return true;
    case FLAG_NO_RUN: options.run = false; return true;
    case FLAG_QUIET: options.quiet = true; return true;
    case FLAG_JSON: options.json = true; return true;
    case FLAG_PORT: return take_port(argument, options, error);
    case FLAG_SERIAL: options.serial = true; return true;
    case FLAG_OUTPUT: options.output = argument; return true;
    case FLAG_FORMAT:
        if (options.command != Command::Convert)
            return take_input_format("--format", argument, options, error);
        if (!firmware::format_named(argument)) {
            error = "--format takes efm8, hex, srec or bin, not '" + std::string(argument) + "'";
            return false;
        }
        options.format = argument;
        return true;
    case FLAG_INPUT_FORMAT: return take_input_format("--input-format", argument, options, error);
    case FLAG_ID: return take_id(argument, options, error);
    case FLAG_DISABLE_BOOTLOADER: options.disable_bootloader = true; return true;
    case FLAG_FORCE: options.force = true; return true;
    case FLAG_ERASE_WITHOUT_DATA: options.erase_without_data = true; return true;
    case FLAG_SERIAL_NUMBER: return take_serial(argument, options, error);
    case FLAG_COUNTER: return take_text("--counter", "a counter's name", argument, options.counter, error);
    case FLAG_DB: return take_text("--db", "the station database's path", argument, options.db, error);
    case FLAG_NO_RECORD: options.record = false; return true;
    case FLAG_FIRST: return take_whole("--first", argument, options.first, error);
    case FLAG_LAST: return take_whole("--last", argument, options.last, error);
    case FLAG_SINCE: return take_text("--since", "a UTC time such as 2024-05-01", argument, options.since, error);
    case FLAG_IMAGE: return take_text("--image", "the start of an image's SHA-256", argument, options.image_prefix, error);
    case FLAG_CSV: options.csv = true; return true;
    case FLAG_SUMMARY: options.summary = true; return true;
    default: return take_engine_flag(flag, argument, options, error);
    }
}

// Which boards: a USB path, all of them, or serial ports, never two of these.
// Over ports only flash and watch wait, and only for a retried board.
static bool check_board_choice(const Options &options, std::string &error)
{
    const bool retries = options.command == Command::Flash || options.command == Command::Watch;
    if (options.all && !options.device.empty())
        error = "--device and --all exclude each other";
    else if (!options.ports.empty() && (options.all || !options.device.empty()))
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
    else if (!options.record && (!options.db.empty() || !options.counter.empty()))
        error = "--no-record excludes --db and --counter: a serial number is handed out only with its record";
    else if (options.json && options.csv)
        error = "--json and --csv exclude each other";
    else if (options.command == Command::Serial && options.serial_action == SerialAction::Init && !options.first)
        error = "serial init needs --first N, the counter's first number";
    else if (options.command == Command::Serial && options.serial_action == SerialAction::Show &&
             (options.first || options.last))
        error = "--first and --last are for serial init";
    return error.empty();
}

bool check_options(const Options &options, std::string &error)
{
    return check_board_choice(options, error) && check_locking(options, error) && check_line(options, error);
}

}  // namespace cli
