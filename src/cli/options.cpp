#include "cli/options.h"

#include <getopt.h>

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
    {nullptr, 0, nullptr, 0},
};

struct CommandInfo {
    const char *name;
    Command command;
    bool takes_file;
    std::initializer_list<int> flags;  // besides --help
};

static const CommandInfo COMMANDS[] = {
    {"list", Command::List, false, {FLAG_JSON}},
    {"flash", Command::Flash, true,
     {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, FLAG_NO_VERIFY, FLAG_DELTA, FLAG_NO_RUN, FLAG_WRITE_SIZE, FLAG_QUIET,
      FLAG_JSON}},
    {"verify", Command::Verify, true, {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, FLAG_JSON}},
    {"run", Command::Run, false, {FLAG_DEVICE, FLAG_ALL}},
    {"watch", Command::Watch, true, {FLAG_COUNT, FLAG_NO_VERIFY, FLAG_WRITE_SIZE, FLAG_JSON}},
};

static const char GENERAL_HELP[] =
    "Usage: kestrane-cli COMMAND [OPTIONS]\n"
    "Write firmware into Silicon Labs EFM8UB1, UB2 and UB3 microcontrollers through\n"
    "their factory USB HID bootloader.\n"
    "\n"
    "Commands:\n"
    "  list   [--json]                 the attached bootloaders: path, family, USB id\n"
    "  flash  FILE [options]           write FILE, verify it and start it\n"
    "  verify FILE [options]           compare FILE with the chip; write nothing\n"
    "  run    [--device PATH | --all]  start the application\n"
    "  watch  FILE [options]           flash every bootloader that appears (a bench)\n"
    "\n"
    "FILE is raw binary, Intel HEX or S-record, told by its content; - reads\n"
    "standard input. 'kestrane-cli COMMAND --help' tells more of each command.\n"
    "\n"
    "Exit status:\n"
    "   0  success\n"
    "   1  the chip's flash does not match the image\n"
    "  64  usage error, or several boards attached and none chosen\n"
    "  65  the file is not a usable image (format error, empty, too large)\n"
    "  66  the file cannot be read\n"
    "  69  no bootloader attached (after --wait, when its time runs out)\n"
    "  74  a USB transfer failed\n"
    "  76  the bootloader refused a command\n"
    "  77  no permission to open the board\n"
    "With --all: 0 only if every board succeeded, else the code of the first board\n"
    "that failed, in list order.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n";

static const char LIST_HELP[] =
    "Usage: kestrane-cli list [--json]\n"
    "One line per attached EFM8 bootloader (UB1, UB2, UB3): USB path, family and\n"
    "USB id. The path is what tells two boards apart. No board: no lines, exit 0.\n"
    "\n"
    "  --json  an array of objects with path, vendor_id, product_id, family\n";

static const char FLASH_HELP[] =
    "Usage: kestrane-cli flash FILE [--device PATH | --all] [--wait[=SECONDS]]\n"
    "                               [--no-verify] [--delta] [--no-run]\n"
    "                               [--write-size N] [--quiet] [--json]\n"
    "Erase every page the image spans, page 0 first and address 0 written last (a\n"
    "load cut off anywhere leaves the chip in its bootloader), skip blank chunks,\n"
    "verify the whole image by CRC, then start the application.\n"
    "\n"
    "  --device PATH     the board at PATH (see list); needed when several are attached\n"
    "  --all             every attached board at once, in parallel\n"
    "  --wait[=SECONDS]  wait for a board, for ever or SECONDS, instead of failing\n"
    "  --no-verify       skip the CRC check after writing\n"
    "  --delta           leave alone the 256-byte half pages that already hold the\n"
    "                    image: each is compared by its CRC-16 only, so a change\n"
    "                    within one half passes unseen with a chance of about 1 in\n"
    "                    65536, unless it is at most 16 consecutive bits or an odd\n"
    "                    number of bits, which are always caught\n"
    "  --no-run          leave the board in its bootloader\n"
    "  --write-size N    data bytes per write command, 1 to 128 (default 32)\n"
    "  --quiet           print errors only\n"
    "  --json            one JSON object per board on standard output\n";

static const char VERIFY_HELP[] =
    "Usage: kestrane-cli verify FILE [--device PATH | --all] [--wait[=SECONDS]] [--json]\n"
    "Compare the image (with 0xFF to the end of its last page) with the chip by\n"
    "CRC-16, each 256-byte half page on its own, and name the pages that differ.\n"
    "Nothing is written. Exit 1 when a page differs.\n"
    "\n"
    "  --device PATH     the board at PATH; needed when several are attached\n"
    "  --all             every attached board at once\n"
    "  --wait[=SECONDS]  wait for a board, for ever or SECONDS\n"
    "  --json            one JSON object per board on standard output\n";

static const char RUN_HELP[] =
    "Usage: kestrane-cli run [--device PATH | --all]\n"
    "Start the application; the board leaves its bootloader.\n"
    "\n"
    "  --device PATH  the board at PATH; needed when several are attached\n"
    "  --all          every attached board\n";

static const char WATCH_HELP[] =
    "Usage: kestrane-cli watch FILE [--count N] [--no-verify] [--write-size N] [--json]\n"
    "For production benches: flash and verify every bootloader that appears, once\n"
    "each, with one line per board (time, path, result, seconds) and a running\n"
    "tally. A board that leaves and comes back later counts again. Ctrl-C stops\n"
    "taking new boards, lets those in progress finish and prints a summary.\n"
    "\n"
    "  --count N         stop after N boards\n"
    "  --no-verify       skip the CRC check after writing\n"
    "  --write-size N    data bytes per write command, 1 to 128 (default 32)\n"
    "  --json            one JSON object per board on standard output\n";

const char *help_text(Command command)
{
    switch (command) {
    case Command::List: return LIST_HELP;
    case Command::Flash: return FLASH_HELP;
    case Command::Verify: return VERIFY_HELP;
    case Command::Run: return RUN_HELP;
    case Command::Watch: return WATCH_HELP;
    default: return GENERAL_HELP;
    }
}

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
    }
    return true;
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
    if (options.all && !options.device.empty()) {
        error = "--device and --all exclude each other";
        return false;
    }
    return true;
}

}  // namespace cli
