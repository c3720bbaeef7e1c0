#include "cli/options.h"

#include "engine.h"

#include <getopt.h>

#include <algorithm>
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
};

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
      FLAG_WRITE_SIZE, FLAG_QUIET, FLAG_JSON}},
    {"verify", Command::Verify, true,
     {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_JSON}},
    {"run", Command::Run, false, {FLAG_DEVICE, FLAG_ALL, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT}},
    {"identify", Command::Identify, false, {FLAG_DEVICE, FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_JSON}},
    {"watch", Command::Watch, true,
     {FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT, FLAG_COUNT, FLAG_NO_VERIFY, FLAG_WRITE_SIZE, FLAG_JSON}},
};

// The rates the UART bootloaders' autobaud takes.
static const std::uint32_t BAUD_RATES[] = {57600, 115200, 230400, 460800};
static const double MAX_TIMEOUT_SECONDS = 3600;

static bool read_number(const char *text, double low, double high, double &value)
{
    char *end = nullptr;
    value = std::strtod(text, &end);
    return end != text && *end == '\0' && value >= low && value <= high;
}

static const char *flag_name(int flag)
{
    for (const struct option &o : LONG_OPTIONS)
        if (o.val == flag)
            return o.name;
    return "?";
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
    while ((flag = getopt_long(argc - 1, argv + 1, ":", LONG_OPTIONS, nullptr)) != -1) {
        if (flag == '?' || flag == ':') {
            const char *given = argv[optind];
            error = flag == ':' ? "--" + std::string(flag_name(optopt)) + " needs a value"
                                : "unknown option '" + std::string(given ? given : "") + "'";
            return false;
        }
        bool allowed = flag == FLAG_HELP;
        for (int f : info->flags)
            allowed = allowed || f == flag;
        if (!allowed) {
            error = std::string(info->name) + " does not take --" + flag_name(flag);
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
    return check_board_choice(options, error);
}

}  // namespace cli
