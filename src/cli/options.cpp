// Reading the command line by the command's table (option_table.h): the
// command, its flags, and its operands.
#include "cli/option_table.h"
#include "cli/option_values.h"

#include <getopt.h>

#include <cctype>
#include <cstring>
#include <map>
#include <optional>

namespace cli {

static const int HELP = 1;
static const int FIRST_FLAG = 256;  // getopt's value for flag i is FIRST_FLAG + i

const std::vector<CommandTable> &command_tables()
{
    static const std::vector<CommandTable> tables = [] {
        std::vector<CommandTable> all;
        add_board_commands(all);
        add_line_commands(all);
        add_dashboard_command(all);
        return all;
    }();
    return tables;
}

const CommandTable *find_command(const std::string &name)
{
    for (const CommandTable &table : command_tables())
        if (name == table.name)
            return &table;
    return nullptr;
}

const CommandTable *find_command(Command command)
{
    for (const CommandTable &table : command_tables())
        if (table.command == command)
            return &table;
    return nullptr;
}

std::string flag_label(const Flag &flag)
{
    if (flag.name == nullptr)
        return flag.help;
    return (flag.short_name != 0 ? std::string("-") + flag.short_name + ", " : std::string()) + "--" + flag.name;
}

// getopt's view of the table: each flag, and --help.
static std::vector<struct option> long_options(const CommandTable &table)
{
    std::vector<struct option> options;
    for (std::size_t i = 0; i < table.flags.size(); ++i) {
        const Flag &flag = table.flags[i];
        if (flag.name == nullptr)
            continue;
        const int argument = flag.argument == Argument::None       ? no_argument
                             : flag.argument == Argument::Required ? required_argument
                                                                   : optional_argument;
        options.push_back({flag.name, argument, nullptr, FIRST_FLAG + static_cast<int>(i)});
        if (flag.alias != nullptr)
            options.push_back({flag.alias, argument, nullptr, FIRST_FLAG + static_cast<int>(i)});
    }
    options.push_back({"help", no_argument, nullptr, HELP});
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

// ':' first, so that getopt prints nothing and tells a missing value apart.
static std::string short_options(const CommandTable &table)
{
    std::string options = ":";
    for (const Flag &flag : table.flags)
        if (flag.short_name != 0)
            options += std::string(1, flag.short_name) + (flag.argument == Argument::Required ? ":" : "");
    return options;
}

// Whether any command takes a flag of that name ("csv") or short name ("o").
static bool known_anywhere(const std::string &name)
{
    for (const CommandTable &table : command_tables())
        for (const Flag &flag : table.flags)
            if (flag.name != nullptr && (name == flag.name || (flag.alias != nullptr && name == flag.alias) ||
                                         (name.size() == 1 && name[0] == flag.short_name)))
                return true;
    return false;
}

// The flag getopt returned: a short one by its letter, a long one by its
// place in the table.
static const Flag *flag_of(const CommandTable &table, int id)
{
    if (id >= FIRST_FLAG)
        return &table.flags[static_cast<std::size_t>(id - FIRST_FLAG)];
    for (const Flag &flag : table.flags)
        if (flag.short_name == id)
            return &flag;
    return nullptr;
}

// What getopt would not take: "-x", "--bogus", "--no-verify=3", or a flag
// of another command.
static std::string refusal(const CommandTable &table, const std::string &text)
{
    const std::size_t dashes = text.compare(0, 2, "--") == 0 ? 2 : 1;
    const std::string name = text.substr(dashes, text.find('=') - dashes);
    for (const Flag &flag : table.flags)
        if (flag.name != nullptr && (name == flag.name || (flag.alias != nullptr && name == flag.alias)) &&
            flag.argument == Argument::None)
            return "--" + name + " takes no value";
    if (known_anywhere(name))
        return std::string(table.name) + " does not take " + text.substr(0, text.find('='));
    return "unknown option '" + text + "'";
}

// "--wait 30" reads as --wait and a FILE named 30; seconds go after '='.
static bool looks_like_seconds(const char *text)
{
    bool digit = false;
    for (const char *c = text; *c != '\0'; ++c) {
        if (!std::isdigit(static_cast<unsigned char>(*c)) && *c != '.')
            return false;
        digit = digit || *c != '.';
    }
    return digit;
}

// Flags other than the repeatable ones may be given again, only with the
// value they were given first.
static bool check_repeat(const Flag &flag, const char *argument,
                         std::map<const Flag *, std::optional<std::string>> &given, std::string &error)
{
    const std::optional<std::string> value = argument != nullptr ? std::optional<std::string>(argument) : std::nullopt;
    const auto first = given.find(&flag);
    if (first == given.end() || flag.repeatable) {
        given[&flag] = value;
        return true;
    }
    if (first->second == value)
        return true;
    const auto shown = [](const std::optional<std::string> &v) { return v ? "'" + *v + "'" : std::string("none"); };
    error = "--" + std::string(flag.name) + " is given twice with different values, " + shown(first->second) +
            " and " + shown(value) + ": give it once";
    return false;
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

// station init, or station sync.
static bool take_station_operands(char **operands, int count, Options &options, std::string &error)
{
    const std::string action = count == 1 ? operands[0] : "";
    if (action == "init")
        options.station_action = StationAction::Init;
    else if (action == "sync")
        options.station_action = StationAction::Sync;
    else
        error = "station takes 'init' or 'sync'";
    return error.empty();
}

static bool take_operands(const CommandTable &table, char **operands, int count, Options &options, std::string &error)
{
    if (table.operands == Operands::SerialAction)
        return take_serial_operands(operands, count, options, error);
    if (table.operands == Operands::StationAction)
        return take_station_operands(operands, count, options, error);
    const bool takes_file = table.operands == Operands::File;
    if (takes_file && count != 1)
        error = std::string(table.name) + (count == 0 ? " needs a FILE" : " takes one FILE");
    else if (!takes_file && count != 0)
        error = std::string(table.name) + " takes no FILE";
    else if (takes_file)
        options.file = operands[0];
    return error.empty();
}

// The flags after the command, by its table. getopt_long works on the
// arguments after the command and prints nothing itself.
static bool take_flags(const CommandTable &table, int argc, char **argv, Options &options, std::string &error)
{
    const std::vector<struct option> long_flags = long_options(table);
    const std::string short_flags = short_options(table);
    std::map<const Flag *, std::optional<std::string>> given;
    opterr = 0;
    optind = 1;
    int id;
    while ((id = getopt_long(argc, argv, short_flags.c_str(), long_flags.data(), nullptr)) != -1) {
        if (id == HELP) {
            options.help = true;
            continue;
        }
        if (id == ':') {
            error = (optopt < FIRST_FLAG ? std::string("-") + static_cast<char>(optopt)
                                         : "--" + std::string(flag_of(table, optopt)->name)) +
                    " needs a value";
            return false;
        }
        if (id == '?') {
            const bool short_flag = optopt > 0 && optopt < FIRST_FLAG && std::isprint(optopt);
            error = refusal(table, short_flag ? "-" + std::string(1, static_cast<char>(optopt)) : argv[optind - 1]);
            return false;
        }
        const Flag &flag = *flag_of(table, id);
        if (flag.argument == Argument::Optional && optarg == nullptr && optind < argc &&
            looks_like_seconds(argv[optind])) {
            error = "--" + std::string(flag.name) + " takes its value after '=': --" + flag.name + "=" + argv[optind] +
                    " (--" + flag.name + " alone waits for ever)";
            return false;
        }
        if (!check_repeat(flag, optarg, given, error) || !flag.take(flag, optarg, options, error))
            return false;
    }
    return true;
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
    const CommandTable *table = find_command(first);
    if (table == nullptr) {
        error = "unknown command '" + first + "'";
        return false;
    }
    options.command = table->command;
    if (!take_flags(*table, argc - 1, argv + 1, options, error))
        return false;
    if (options.help)
        return true;
    return take_operands(*table, argv + 1 + optind, argc - 1 - optind, options, error) &&
           check_options(options, error);
}

}  // namespace cli
