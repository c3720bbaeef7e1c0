// How each flag's value is taken into the options.
#include "cli/option_values.h"

#include "firmware/firmware_writer.h"
#include "production/settings.h"
#include <kestrane/engine.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdlib>

namespace cli {

static const double MAX_WAIT_SECONDS = 1e9;

static std::string dashed(const Flag &flag)
{
    return std::string("--") + flag.name;
}

// Decimal digits and nothing else, as counts, rates, counters and serial
// numbers are written: no sign, no 0x, no point, no exponent, no spaces.
static bool read_whole(const char *text, std::uint64_t &value)
{
    const std::string digits = text;
    const char *end = digits.data() + digits.size();
    const std::from_chars_result read = std::from_chars(digits.data(), end, value);
    return !digits.empty() && read.ec == std::errc() && read.ptr == end;
}

// A whole number from low to high, in the value given; the error says the
// range, or the values named by what.
template <typename T>
static bool take_count_of(const Flag &flag, const char *argument, std::uint64_t low, std::uint64_t high,
                          const std::string &what, T &value, std::string &error)
{
    std::uint64_t number = 0;
    if (!read_whole(argument, number) || number < low || number > high) {
        error = dashed(flag) + " takes " + what + ", not '" + argument + "'";
        return false;
    }
    value = static_cast<T>(number);
    return true;
}

static std::string range(std::uint64_t low, std::uint64_t high)
{
    return "from " + std::to_string(low) + " to " + std::to_string(high);
}

// Seconds: decimal digits with a fraction or without ("30", "0.5").
bool read_seconds(const char *text, double high, double &value)
{
    const std::string given = text;
    const std::size_t point = given.find('.');
    const std::string whole = given.substr(0, point), fraction = point == std::string::npos ? "" : given.substr(point + 1);
    const auto digits = [](const std::string &part) {
        return std::all_of(part.begin(), part.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
    };
    if (whole.empty() && fraction.empty())
        return false;
    if (!digits(whole) || !digits(fraction) || (point != std::string::npos && fraction.empty()))
        return false;
    value = std::strtod(text, nullptr);
    return value <= high;
}

static bool take_text(const Flag &flag, const char *needs, const char *argument, std::string &value,
                      std::string &error)
{
    value = argument;
    if (value.empty())
        error = dashed(flag) + " needs " + needs;
    return error.empty();
}

static bool take_whole(const Flag &flag, const char *argument, std::optional<std::uint64_t> &value,
                       std::string &error)
{
    std::uint64_t number = 0;
    if (!read_whole(argument, number)) {
        error = dashed(flag) + " takes a whole number, not '" + argument + "'";
        return false;
    }
    value = number;
    return true;
}

static bool same_text(const std::string &a, const std::string &b)
{
    return a == b;
}

// A port by two paths (a link such as /dev/serial/by-id/..., or /dev/./ttyS0)
// is one port.
static bool same_file(const std::string &a, const std::string &b)
{
    struct stat first, second;
    if (a == b)
        return true;
    if (stat(a.c_str(), &first) != 0 || stat(b.c_str(), &second) != 0)
        return false;
    return (first.st_dev == second.st_dev && first.st_ino == second.st_ino) ||
           (S_ISCHR(first.st_mode) && S_ISCHR(second.st_mode) && first.st_rdev == second.st_rdev);
}

// Each path once: the same board twice would be two sessions on one board.
static bool take_path(const Flag &flag, const char *argument, const char *needs, std::vector<std::string> &paths,
                      bool (*same)(const std::string &, const std::string &), std::string &error)
{
    const std::string path = argument;
    const auto given = std::find_if(paths.begin(), paths.end(), [&](const std::string &p) { return same(p, path); });
    if (path.empty())
        error = dashed(flag) + " needs " + needs;
    else if (path.size() >= EFM8_PATH_MAX)
        error = dashed(flag) + " takes a path of at most " + std::to_string(EFM8_PATH_MAX - 1) + " bytes";
    else if (given != paths.end())
        error = dashed(flag) + " " + path + " is given twice" + (*given == path ? "" : " (as " + *given + ")");
    else
        paths.push_back(path);
    return error.empty();
}

bool take_device(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_path(flag, argument, "a path (see kestrane-cli list)", options.devices, same_text, error);
}

bool take_port(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_path(flag, argument, "the path of a serial port (see kestrane-cli list --ports)", options.ports,
                     same_file, error);
}

std::string baud_rates_text()
{
    std::size_t count;
    const std::uint32_t *rates = efm8_baud_rates(&count);
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += (i == 0 ? "" : i + 1 < count ? ", " : " or ") + std::to_string(rates[i]);
    return text;
}

bool read_baud(const Flag &flag, const char *argument, std::uint32_t &value, std::string &error)
{
    std::size_t count;
    const std::uint32_t *rates = efm8_baud_rates(&count);
    std::uint64_t baud = 0;
    if (!read_whole(argument, baud) || std::find(rates, rates + count, baud) == rates + count) {
        error = dashed(flag) + " takes " + baud_rates_text() + ", not '" + argument + "'";
        return false;
    }
    value = static_cast<std::uint32_t>(baud);
    return true;
}

bool take_baud(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return read_baud(flag, argument, options.baud, error);
}

bool take_timeout(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    double seconds = 0;
    if (!read_seconds(argument, MAX_TIMEOUT_SECONDS, seconds) || seconds * 1000 < 1) {
        error = dashed(flag) + " takes a number of seconds, at least 0.001, not '" + argument + "'";
        return false;
    }
    options.timeout_ms = static_cast<std::uint32_t>(seconds * 1000 + 0.5);
    return true;
}

bool take_wait(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    options.wait = true;
    if (argument != nullptr && !read_seconds(argument, MAX_WAIT_SECONDS, options.wait_seconds))
        error = dashed(flag) + " takes a number of seconds, not '" + argument + "'";
    return error.empty();
}

bool take_write_size(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_count_of(flag, argument, 1, EFM8_WRITE_MAX, "a whole number " + range(1, EFM8_WRITE_MAX),
                         options.write_size, error);
}

bool take_count(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_count_of(flag, argument, 1, MAX_COUNT, "a whole number of boards " + range(1, MAX_COUNT),
                         options.count, error);
}

bool take_lock_pages(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    std::uint8_t pages = 0;
    if (!take_count_of(flag, argument, 0, EFM8_LOCK_PAGES_MAX,
                       "a whole number of pages " + range(0, EFM8_LOCK_PAGES_MAX), pages, error))
        return false;
    options.lock_pages = pages;
    return true;
}

bool take_retries(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_count_of(flag, argument, 0, MAX_RETRIES, "a whole number " + range(0, MAX_RETRIES), options.retries,
                         error);
}

bool take_output(const Flag &, const char *argument, Options &options, std::string &)
{
    options.output = argument;
    return true;
}

bool take_output_format(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    if (!firmware::format_named(argument)) {
        error = dashed(flag) + " takes efm8, hex, srec or bin, not '" + argument + "'";
        return false;
    }
    options.format = argument;
    return true;
}

// The loader tells the formats apart by content; a user may insist on one,
// and a file that is not that format is then refused, the line named.
bool take_input_format(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    options.input_format = firmware::format_named(argument);
    if (!options.input_format)
        error = dashed(flag) + " takes hex, srec, efm8 or bin, not '" + argument + "'";
    return options.input_format.has_value();
}

// A part's identify id: DEVICEID and DERIVID as four hex digits, 0x or not.
bool take_id(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    std::string digits = argument;
    if (digits.size() > 2 && (digits.compare(0, 2, "0x") == 0 || digits.compare(0, 2, "0X") == 0))
        digits.erase(0, 2);
    char *end = nullptr;
    const unsigned long id = std::strtoul(digits.c_str(), &end, 16);
    if (digits.empty() || digits.size() > 4 || *end != '\0' || !std::isxdigit(static_cast<unsigned char>(digits[0]))) {
        error = dashed(flag) + " takes a part's identify id in hex, such as 3401, not '" + argument + "'";
        return false;
    }
    options.ids.push_back(static_cast<std::uint16_t>(id));
    return true;
}

// flash and watch: where each board's number goes.
bool take_placement(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    serial_number::Placement placement;
    if (!serial_number::parse(argument, placement, error)) {
        error = dashed(flag) + ": " + error;
        return false;
    }
    options.serial_at = placement;
    return true;
}

bool take_counter(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_text(flag, "a counter's name", argument, options.counter, error);
}

bool take_db(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_text(flag, "the station database's path or URI", argument, options.db, error);
}

bool take_station(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_text(flag, "a station's name", argument, options.station, error);
}

bool take_first(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_whole(flag, argument, options.first, error);
}

bool take_last(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_whole(flag, argument, options.last, error);
}

bool take_since(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_text(flag, "a UTC time such as 2024-05-01", argument, options.since, error);
}

// history: which number.
bool take_serial_number(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_whole(flag, argument, options.serial_number, error);
}

bool take_image(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_text(flag, "the start of an image's SHA-256", argument, options.image_prefix, error);
}

}  // namespace cli
