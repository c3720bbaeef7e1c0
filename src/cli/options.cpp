// Reading the command line: the command, its flags (each command takes its
// own), and its operands.
#include "cli/flags.h"

#include <getopt.h>

#include <cstring>
#include <initializer_list>

namespace cli {

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
    {"input-format", required_argument, nullptr, FLAG_INPUT_FORMAT},
    {"id", required_argument, nullptr, FLAG_ID},
    {"lock-pages", required_argument, nullptr, FLAG_LOCK_PAGES},
    {"disable-bootloader", no_argument, nullptr, FLAG_DISABLE_BOOTLOADER},
    {"force", no_argument, nullptr, FLAG_FORCE},
    {"erase-without-data", no_argument, nullptr, FLAG_ERASE_WITHOUT_DATA},
    {"serial", required_argument, nullptr, FLAG_SERIAL_NUMBER},
    {"counter", required_argument, nullptr, FLAG_COUNTER},
    {"db", required_argument, nullptr, FLAG_DB},
    {"no-record", no_argument, nullptr, FLAG_NO_RECORD},
    {"retries", required_argument, nullptr, FLAG_RETRIES},
    {"first", required_argument, nullptr, FLAG_FIRST},
    {"last", required_argument, nullptr, FLAG_LAST},
    {"since", required_argument, nullptr, FLAG_SINCE},
    {"image", required_argument, nullptr, FLAG_IMAGE},
    {"csv", no_argument, nullptr, FLAG_CSV},
    {"summary", no_argument, nullptr, FLAG_SUMMARY},
};

struct CommandInfo {
    const char *name;
    Command command;
    bool takes_file;
    std::initializer_list<int> flags;  // besides --help
};

#define PORT_FLAGS FLAG_PORT, FLAG_BAUD, FLAG_TIMEOUT
#define LINE_FLAGS FLAG_SERIAL_NUMBER, FLAG_COUNTER, FLAG_DB, FLAG_NO_RECORD, FLAG_RETRIES

static const CommandInfo COMMANDS[] = {
    {"list", Command::List, false, {FLAG_SERIAL, FLAG_JSON}},
    {"flash", Command::Flash, true,
     {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, PORT_FLAGS, FLAG_NO_VERIFY, FLAG_DELTA, FLAG_NO_RUN, FLAG_WRITE_SIZE,
      FLAG_LOCK_PAGES, FLAG_DISABLE_BOOTLOADER, FLAG_FORCE, FLAG_QUIET, FLAG_JSON, FLAG_FORMAT, LINE_FLAGS}},
    {"verify", Command::Verify, true, {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, PORT_FLAGS, FLAG_JSON, FLAG_FORMAT}},
    {"run", Command::Run, false, {FLAG_DEVICE, FLAG_ALL, PORT_FLAGS}},
    {"identify", Command::Identify, false, {FLAG_DEVICE, PORT_FLAGS, FLAG_JSON}},
    {"watch", Command::Watch, true,
     {PORT_FLAGS, FLAG_WAIT, FLAG_COUNT, FLAG_NO_VERIFY, FLAG_WRITE_SIZE, FLAG_FORCE, FLAG_JSON, FLAG_FORMAT,
      LINE_FLAGS}},
    {"convert", Command::Convert, true,
     {FLAG_OUTPUT, FLAG_FORMAT, FLAG_INPUT_FORMAT, FLAG_ID, FLAG_LOCK_PAGES, FLAG_NO_RUN, FLAG_NO_VERIFY,
      FLAG_WRITE_SIZE, FLAG_ERASE_WITHOUT_DATA}},
    {"lock", Command::Lock, false,
     {FLAG_DEVICE, FLAG_ALL, FLAG_WAIT, PORT_FLAGS, FLAG_LOCK_PAGES, FLAG_DISABLE_BOOTLOADER, FLAG_FORCE, FLAG_QUIET,
      FLAG_JSON}},
    {"serial", Command::Serial, false, {FLAG_FIRST, FLAG_LAST, FLAG_DB, FLAG_JSON}},
    {"history", Command::History, false,
     {FLAG_SINCE, FLAG_SERIAL_NUMBER, FLAG_IMAGE, FLAG_JSON, FLAG_CSV, FLAG_SUMMARY, FLAG_DB}},
};

static bool takes(const CommandInfo &info, int flag)
{
    if (flag == FLAG_HELP)
        return true;
    for (int f : info.flags)
        if (f == flag)
            return true;
    return false;
}

// Every option, but of two that share a name the one the command takes, so
// that getopt reads its value as the command means it.
static std::vector<struct option> options_of(const CommandInfo &info)
{
    std::vector<struct option> chosen;
    for (const struct option &o : LONG_OPTIONS) {
        bool shadowed = false;
        for (const struct option &other : LONG_OPTIONS)
            shadowed = shadowed || (&other != &o && std::strcmp(other.name, o.name) == 0 && takes(info, other.val) &&
                                    !takes(info, o.val));
        if (!shadowed)
            chosen.push_back(o);
    }
    chosen.push_back({nullptr, 0, nullptr, 0});
    return chosen;
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

static const CommandInfo *find_command(const char *name)
{
    for (const CommandInfo &info : COMMANDS)
        if (std::strcmp(info.name, name) == 0)
            return &info;
    return nullptr;
}

// serial init NAME, or serial show [NAME].
static bool take_serial_operands(char **operands, int count, Options &options, std::string &error)
{
    const std::string action = count > 0 ? operands[0] : "";
    if (action == "init" && count == 2)
        options.serial_action = SerialAction::Init;
    else if (action == "show" && count <= 2)
        options.serial_action = SerialAction::Show;
    else
        error = "serial takes 'init NAME --first N [--last M]' or 'show [NAME]'";
    if (error.empty() && count == 2)
        options.counter = operands[1];
    return error.empty();
}

static bool take_operands(const CommandInfo &info, char **operands, int count, Options &options, std::string &error)
{
    if (info.command == Command::Serial)
        return take_serial_operands(operands, count, options, error);
    if (info.takes_file && count != 1)
        error = std::string(info.name) + (count == 0 ? " needs a FILE" : " takes one FILE");
    else if (!info.takes_file && count != 0)
        error = std::string(info.name) + " takes no FILE";
    else if (info.takes_file)
        options.file = operands[0];
    return error.empty();
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
    const std::vector<struct option> long_options = options_of(*info);
    opterr = 0;
    optind = 1;
    int flag;
    while ((flag = getopt_long(argc - 1, argv + 1, SHORT_OPTIONS, long_options.data(), nullptr)) != -1) {
        if (flag == '?' || flag == ':') {
            const char *given = argv[optind];
            const std::string dashes = optopt == 'o' ? "-" : "--";
            error = flag == ':' ? dashes + flag_name(optopt) + " needs a value"
                                : "unknown option '" + std::string(given ? given : "") + "'";
            return false;
        }
        if (flag == 'o')
            flag = FLAG_OUTPUT;
        if (!takes(*info, flag)) {
            const std::string given = flag == FLAG_OUTPUT ? "-o" : "--" + std::string(flag_name(flag));
            error = std::string(info->name) + " does not take " + given;
            return false;
        }
        if (!take_flag(flag, optarg, options, error))
            return false;
    }
    if (options.help)
        return true;
    return take_operands(*info, argv + 1 + optind, argc - 1 - optind, options, error) &&
           check_options(options, error);
}

}  // namespace cli
