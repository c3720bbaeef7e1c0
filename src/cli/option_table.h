// Each command's table of flags: a flag's name, its argument, its help and
// how its value is taken, together. The parser (options.cpp) reads the
// command line by the table; the help, its usage lines (help.cpp), the man
// page's synopsis and the bash completion's flags (manual.cpp) are written
// from it.
#ifndef KESTRANE_CLI_OPTION_TABLE_H
#define KESTRANE_CLI_OPTION_TABLE_H

#include "cli/options.h"

#include <string>
#include <vector>

namespace cli {

enum class Argument { None, Required, Optional };

struct Flag;

// Takes a flag's argument (nullptr when it has none) into the options;
// false and the reason in error when the argument will not do.
using Take = bool (*)(const Flag &flag, const char *argument, Options &options, std::string &error);

struct Flag {
    const char *name;   // "lock-pages", as given after "--"; nullptr: a heading in the help
    Argument argument;
    const char *shown;  // the argument as the help shows it: "N", "PATH", "[=SECONDS]"
    std::string help;   // one paragraph, wrapped when shown
    Take take;
    // Repeatable flags gather each value; any other may be given again
    // only with the same value.
    bool repeatable = false;
    char short_name = 0;  // 'o' for -o, besides --output
    bool required = false;  // the usage shows it without brackets
    // An older name still taken, shown nowhere: "serial" for list --ports.
    const char *alias = nullptr;
};

enum class Operands { None, File, SerialAction, StationAction };

struct CommandTable {
    const char *name;
    Command command;
    Operands operands;
    const char *about;  // what the command does, after its usage lines and before its flags
    std::vector<Flag> flags;
};

// Every command's table.
const std::vector<CommandTable> &command_tables();
const CommandTable *find_command(const std::string &name);
const CommandTable *find_command(Command command);

// "--lock-pages", "-o, --output"; a heading's text as it is.
std::string flag_label(const Flag &flag);

// What follows the command's name in its usage: "FILE", "{init | sync}".
const char *operands_text(Operands operands);

// The tables of the commands that work on boards (table_boards.cpp), and
// those of the bench, convert and the station database (table_line.cpp).
void add_board_commands(std::vector<CommandTable> &tables);
void add_line_commands(std::vector<CommandTable> &tables);
// The dashboard's (table_dashboard.cpp), and history's --html.
void add_dashboard_command(std::vector<CommandTable> &tables);
Flag html_flag();

}  // namespace cli

#endif
