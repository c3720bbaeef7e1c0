// The flags of hands-free entry: the reset and boot lines, the steps that
// drive them, the application's own way in over a port or USB, and watch's
// trigger; and what they ask together, all before any board is opened.
#include "cli/option_values.h"

#include <cctype>
#include <cstring>

namespace cli {

static const double MAX_ENTER_WAIT_SECONDS = EFM8_WAIT_MAX_MS / 1000.0;

static std::string dashed(const Flag &flag)
{
    return std::string("--") + flag.name;
}

static bool take_line(const Flag &flag, const char *argument, efm8_line &line, std::string &error)
{
    char why[256];
    if (efm8_parse_line(argument, &line, why, sizeof why) == EFM8_OK)
        return true;
    error = dashed(flag) + " " + why;
    return false;
}

bool take_reset(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_line(flag, argument, options.entry.reset, error);
}

bool take_boot(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return take_line(flag, argument, options.entry.boot, error);
}

bool take_trigger(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    if (!take_line(flag, argument, options.trigger, error))
        return false;
    if (options.trigger.kind != EFM8_LINE_GPIO)
        error = dashed(flag) + " takes a GPIO line, gpio:CHIP:OFFSET, not '" + argument + "'";
    return error.empty();
}

// Read once every line is known (check_entry).
bool take_entry_sequence(const Flag &, const char *argument, Options &options, std::string &)
{
    options.entry_sequence = argument;
    return true;
}

bool take_after(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    if (std::strcmp(argument, "reset") != 0) {
        error = dashed(flag) + " takes reset, not '" + argument + "'";
        return false;
    }
    options.entry.reset_after = 1;
    return true;
}

// Pairs of hex digits, 0x or not: "55AA", "0x55aa".
static bool read_hex(std::string text, std::size_t most, std::vector<std::uint8_t> &bytes)
{
    if (text.size() > 2 && (text.compare(0, 2, "0x") == 0 || text.compare(0, 2, "0X") == 0))
        text.erase(0, 2);
    if (text.empty() || text.size() % 2 != 0 || text.size() / 2 > most)
        return false;
    for (std::size_t i = 0; i < text.size(); i += 2) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])) || !std::isxdigit(static_cast<unsigned char>(text[i + 1])))
            return false;
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
    }
    return true;
}

bool take_enter_command(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    std::vector<std::uint8_t> bytes;
    if (!read_hex(argument, EFM8_ENTER_COMMAND_MAX, bytes)) {
        error = dashed(flag) + " takes 1 to " + std::to_string(EFM8_ENTER_COMMAND_MAX) +
                " bytes in hex, such as 55AA, not '" + argument + "'";
        return false;
    }
    std::copy(bytes.begin(), bytes.end(), options.entry.command);
    options.entry.command_length = bytes.size();
    return true;
}

bool take_enter_baud(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    return read_baud(flag, argument, options.entry.command_baud, error);
}

bool take_enter_wait(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    double seconds = 0;
    if (!read_seconds(argument, MAX_ENTER_WAIT_SECONDS, seconds)) {
        error = dashed(flag) + " takes a number of seconds up to " +
                std::to_string(static_cast<int>(MAX_ENTER_WAIT_SECONDS)) + ", not '" + argument + "'";
        return false;
    }
    options.entry.command_wait_ms = static_cast<std::uint32_t>(seconds * 1000 + 0.5);
    options.enter_wait_given = true;
    return true;
}

// VID:PID:HEX, the ids in hex.
bool take_enter_hid(const Flag &flag, const char *argument, Options &options, std::string &error)
{
    const std::string text = argument;
    const std::size_t first = text.find(':'), second = first == std::string::npos ? first : text.find(':', first + 1);
    production::EnterHid enter;
    std::vector<std::uint8_t> vendor, product;
    const auto id = [&](std::size_t from, std::size_t to, std::vector<std::uint8_t> &bytes) {
        return to - from == 4 && read_hex(text.substr(from, to - from), 2, bytes);
    };
    if (second == std::string::npos || !id(0, first, vendor) || !id(first + 1, second, product) ||
        !read_hex(text.substr(second + 1), EFM8_ENTER_COMMAND_MAX, enter.report)) {
        error = dashed(flag) + " takes VID:PID:HEX, the application's USB id in hex and its output report (the "
                               "report id first, 00 for none), such as 10C4:8846:00A5, not '" + text + "'";
        return false;
    }
    enter.vendor_id = static_cast<std::uint16_t>(vendor[0] << 8 | vendor[1]);
    enter.product_id = static_cast<std::uint16_t>(product[0] << 8 | product[1]);
    options.enter_hid = enter;
    return true;
}

static bool same_line(const efm8_line &a, const efm8_line &b)
{
    return efm8_same_line(&a, &b) != 0;
}

bool check_entry(Options &options, std::string &error)
{
    efm8_entry &entry = options.entry;
    const bool lines = entry.reset.kind != EFM8_LINE_NONE || entry.boot.kind != EFM8_LINE_NONE;
    const bool by_port = lines || entry.command_length > 0 || entry.reset_after || options.entry_sequence ||
                         entry.command_baud != 0 || options.enter_wait_given;
    if (by_port && options.ports.empty())
        error = "--reset, --boot, --entry-sequence, --after and --enter-command work on boards on serial ports: "
                "they need --port (over USB, see --enter-hid)";
    else if (entry.boot.kind != EFM8_LINE_NONE && entry.reset.kind == EFM8_LINE_NONE)
        error = "--boot needs --reset: the entry pin is read when the chip comes out of reset";
    else if (same_line(entry.reset, entry.boot) || same_line(options.trigger, entry.reset) ||
             same_line(options.trigger, entry.boot))
        error = "--reset, --boot and --trigger need a line each";
    else if (options.entry_sequence && !lines)
        error = "--entry-sequence drives the lines of --reset and --boot: give them";
    else if (entry.reset_after && entry.reset.kind == EFM8_LINE_NONE)
        error = "--after reset needs --reset";
    else if ((entry.command_baud != 0 || options.enter_wait_given) && entry.command_length == 0)
        error = "--enter-baud and --enter-wait are for --enter-command";
    else if (options.enter_hid && (!options.ports.empty() || !options.devices.empty() || options.all))
        error = "--enter-hid flashes the bootloader that appears: it excludes --port, --device and --all";
    else if (options.trigger.kind != EFM8_LINE_NONE && !lines && entry.command_length == 0)
        error = "--trigger is for boards brought into their bootloader by --reset or --enter-command";
    if (!error.empty())
        return false;
    char why[256];
    if (options.entry_sequence &&
        efm8_parse_entry_sequence(options.entry_sequence->c_str(), &entry, why, sizeof why) != EFM8_OK) {
        error = std::string("--entry-sequence: ") + why;
        return false;
    }
    return true;
}

}  // namespace cli
