#include "cli/options.h"

#include "engine.h"
#include "firmware_writer.h"

#include <getopt.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

namespace cli {

// Long options only; each takes its own id.
enum Flag {
    FLAG_HELP = 256,
    FLAG_DEVICE,
    FLAG_ALL,
    FLAG_WAIT,
    FLAG_NO_VERIFY,
    FLAG_DELTA,
    FLAG_NO_RUN,
    FLAG_WRITE_SIZE,
    FLAG_QUIET,
    FLAG_JSON,
    FLAG_COUNT,
    FLAG_PORT,
    FLAG_BAUD,
    FLAG_TIMEOUT,
    FLAG_SERIAL,
    FLAG_OUTPUT,
    FLAG_FORMAT,
    FLAG_ID,
    FLAG_LOCK_PAGES,
    FLAG_DISABLE_BOOTLOADER,
    FLAG_FORCE,
    FLAG_ERASE_WITHOUT_DATA,
};

static const char SHORT_OPTIONS[] = ":o:";  // ':' first: getopt prints nothing

static const struct option LONG_OPTIONS[] = {
    {"help", no_argument, nullptr, FLAG_HELP},
    {"device", required_argument, nullptr, FLAG_DEVICE},
    {"all", no_argument, nullptr, FLAG_ALL},
    {"wait", optional_argument, nullptr, FLAG_WAIT},
    {"no-verify", no_argument, nullptr, FLAG_NO_VERIFY},
    {"delta", no_argument, nullptr, FLAG_DELTA},
    {"no-run", no_argument, nullptr, FLAG_NO_RUN},
    {"write-size", required_argument, nullptr, FLAG_WRITE_SIZE},
    {"quiet", no_argument, nullptr, FLAG_QUIET},
    {"json", no_argument, nullptr, FLAG_JSON},
    {"count", required_argument, nullptr, FLAG_COUNT},
    {"port", required_argument, nullptr, FLAG_PORT},
    {"baud", required_argument, nullptr, FLAG_BAUD},
    {"timeout", required_argument, nullptr, FLAG_TIMEOUT},
    {"serial", no_argument, nullptr, FLAG_SERIAL},
    {"output", required_argument, nullptr, FLAG_OUTPUT},
    {"format", required_argument, nullptr, FLAG_FORMAT},
    {"id", required_argument, nullptr, FLAG_ID},
    {"lock-pages", required_argument, nullptr, FLAG_LOCK_PAGES},
    {"disable-bootloader", no_argument, nullptr, FLAG_DISABLE_BOOTLOADER},
    {"force", no_argument, nullptr, FLAG_FORCE},
    {"erase-without-data", no_argument, nullptr, FLAG_ERASE_WITHOUT_DATA},
    {nullptr, 0, nullptr, 0},
};

struct CommandInfo {
    const char *name;
    Command command;
    bool takes_file;
    std::initializer_list<int> flags;  // besides --help
};

static const CommandInfo COMMANDS[] = {
    {"list", Command::List, false, {FLAG_SERIAL, FLAG_JSON}},
    {"flash", Command::Flash, true,
     {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_NO_VERIFY, FLAG_DELTA, FLAG_NO_RUN,
      FLAG_WRITE_SIZE, FLAG_LOCK_PAGES, FLAG_DISABLE_BOOTLOADER, FLAG_FORCE, FLAG_QUIET, FLAG_JSON}},
    {"verify", Command::Verify, true,
     {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_JSON}},
    {"run", Command::Run, false, {FLAG_DEVICE, FLAG_ALL, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT}},
    {"identify", Command::Identify, false, {FLAG_DEVICE, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_JSON}},
    {"watch", Command::Watch, true,
     {FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_COUNT, FLAG_NO_VERIFY, FLAG_WRITE_SIZE, FLAG_FORCE, FLAG_JSON}},
    {"convert", Command::Convert, true,
     {FLAG_OUTPUT, FLAG_FORMAT, FLAG_ID, FLAG_LOCK_PAGES, FLAG_NO_RUN, FLAG_NO_VERIFY, FLAG_WRITE_SIZE,
      FLAG_ERASE_WITHOUT_DATA}},
    {"lock", Command::Lock, false,
     {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_LOCK_PAGES, FLAG_DISABLE_BOOTLOADER,
      FLAG_FORCE, FLAG_QUIET, FLAG_JSON}},
};

// The rates the UART bootloaders' autobaud takes.
static const std::uint32_t BAUD_RATES[] = {57600, 115200, 230400, 460800};
static const double MAX_TIMEOUT_SECONDS = 3600;
static const double MAX_LOCK_PAGES = 255;  // a lock byte of 0x00

static bool read_number(const char *text, double low, double high, double &value)
{
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

static const char *flag_name(int flag)
{
    if (flag == 'o')
        return "o";
    for (const struct option &o : LONG_OPTIONS)
        if (o.val == flag)
            return o.name;
    return "?";
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

// One option, already known to be allowed.
static bool take_flag(int flag, const char *argument, Options &options, std::string &error)
{
    double number = 0;
    switch (flag) {
    case FLAG_HELP: options.help = true; break;
    case FLAG_DEVICE:
        options.device = argument;
        if (options.device.empty()) {
            error = "--device needs a path (see kestrane-cli list)";
            return false;
        }
        break;
    case FLAG_ALL: options.all = true; break;
    case FLAG_WAIT:
        options.wait = true;
        if (argument != nullptr) {
            if (!read_number(argument, 0, 1e9, options.wait_seconds)) {
                error = "--wait takes a number of seconds, not '" + std::string(argument) + "'";
                return false;
            }
        }
        break;
    case FLAG_NO_VERIFY: options.verify = false; break;
    case FLAG_DELTA: options.delta = true; break;
    case FLAG_NO_RUN: options.run = false; break;
    case FLAG_WRITE_SIZE:
        if (!read_number(argument, 1, 128, number) || number != static_cast<std::uint32_t>(number)) {
            error = "--write-size takes a whole number from 1 to 128, not '" + std::string(argument) + "'";
            return false;
        }
        options.write_size = static_cast<std::uint32_t>(number);
        break;
    case FLAG_QUIET: options.quiet = true; break;
    case FLAG_JSON: options.json = true; break;
    case FLAG_COUNT:
        if (!read_number(argument, 1, 1e9, number) || number != static_cast<long>(number)) {
            error = "--count takes a whole number of boards, at least 1, not '" + std::string(argument) + "'";
            return false;
        }
        options.count = static_cast<long>(number);
        break;
    case FLAG_PORT: return take_port(argument, options, error);
    case FLAG_BAUD:
        if (!read_number(argument, 0, 1e9, number) ||
            std::find(std::begin(BAUD_RATES), std::end(BAUD_RATES), number) == std::end(BAUD_RATES)) {
            error = "--baud takes 57600, 115200, 230400 or 460800, not '" + std::string(argument) + "'";
            return false;
        }
        options.baud = static_cast<std::uint32_t>(number);
        break;
    case FLAG_TIMEOUT:
        if (!read_number(argument, 0, MAX_TIMEOUT_SECONDS, number) || number * 1000 < 1) {
            error = "--timeout takes a number of seconds, at least 0.001, not '" + std::string(argument) + "'";
            return false;
        }
        options.timeout_ms = static_cast<std::uint32_t>(number * 1000 + 0.5);
        break;
    case FLAG_SERIAL: options.serial = true; break;
    case FLAG_OUTPUT: options.output = argument; break;
    case FLAG_FORMAT:
        if (!firmware::format_named(argument)) {
            error = "--format takes efm8, hex, srec or bin, not '" + std::string(argument) + "'";
            return false;
        }
        options.format = argument;
        break;
    case FLAG_ID: return take_id(argument, options, error);
    case FLAG_LOCK_PAGES:
        if (!read_number(argument, 0, MAX_LOCK_PAGES, number) || number != static_cast<std::uint8_t>(number)) {
            error = "--lock-pages takes a whole number of pages from 0 to 255, not '" + std::string(argument) + "'";
            return false;
        }
        options.lock_pages = static_cast<std::uint8_t>(number);
        break;
    case FLAG_DISABLE_BOOTLOADER: options.disable_bootloader = true; break;
    case FLAG_FORCE: options.force = true; break;
    case FLAG_ERASE_WITHOUT_DATA: options.erase_without_data = true; break;
    }
    return true;
}

// Which boards: a USB path, all of them, or serial ports, never two of these.
static bool check_board_choice(const Options &options, std::string &error)
{
    if (options.all && !options.device.empty())
        error = "--device and --all exclude each other";
    else if (!options.ports.empty() && (options.all || !options.device.empty()))
        error = "--port excludes --device and --all";
    else if (!options.ports.empty() && options.wait)
        error = "--wait is for USB boards; a serial port is asked at once (see --timeout)";
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

static const CommandInfo *find_command(const char *name)
{
    for (const CommandInfo &info : COMMANDS)
        if (std::strcmp(info.name, name) == 0)
            return &info;
    return nullptr;
}

bool parse_options(int argc, char **argv, Options &options, std::string &error)
{
    options = Options{};
    if (argc < 2) {
        error = "a command is needed";
        return false;
    }
    const std::string first = argv[1];
    if (first == "--help" || first == "-h") {
        options.command = Command::Help;
        return true;
    }
    if (first == "--version") {
        options.command = Command::Version;
        return true;
    }
    const CommandInfo *info = find_command(argv[1]);
    if (info == nullptr) {
        error = "unknown command '" + first + "'";
        return false;
    }
    options.command = info->command;

    // getopt_long works on the arguments after the command; it prints
    // nothing itself.
    opterr = 0;
    optind = 1;
    int flag;
    while ((flag = getopt_long(argc - 1, argv + 1, SHORT_OPTIONS, LONG_OPTIONS, nullptr)) != -1) {
        if (flag == '?' || flag == ':') {
            const char *given = argv[optind];
            const std::string dashes = optopt == 'o' ? "-" : "--";
            error = flag == ':' ? dashes + flag_name(optopt) + " needs a value"
                                : "unknown option '" + std::string(given ? given : "") + "'";
            return false;
        }
        if (flag == 'o')
            flag = FLAG_OUTPUT;
        bool allowed = flag == FLAG_HELP;
        for (int f : info->flags)
            allowed = allowed || f == flag;
        if (!allowed) {
            const std::string given = flag == FLAG_OUTPUT ? "-o" : "--" + std::string(flag_name(flag));
            error = std::string(info->name) + " does not take " + given;
            return false;
        }
        if (!take_flag(flag, optarg, options, error))
            return false;
    }
    if (options.help)
        return true;

    const int operands = argc - 1 - optind;
    if (info->takes_file && operands != 1) {
        error = std::string(info->name) + (operands == 0 ? " needs a FILE" : " takes one FILE");
        return false;
    }
    if (!info->takes_file && operands != 0) {
        error = std::string(info->name) + " takes no FILE";
        return false;
    }
    if (info->takes_file)
        options.file = argv[1 + optind];
    return check_board_choice(options, error) && check_locking(options, error);
}

}  // namespace cli
