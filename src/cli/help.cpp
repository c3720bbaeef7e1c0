// kestrane-cli's help: one text for the tool, and one for each command
// written from its table, its flags' help wrapped to the terminal's width.
#include "cli/option_table.h"
#include "cli/options.h"

#include <algorithm>

namespace cli {

static const std::size_t WIDTH = 79;   // the longest line, for an 80-column terminal
static const std::size_t COLUMN = 20;  // where each flag's help starts

static const char GENERAL_HELP[] =
    "Usage: kestrane-cli COMMAND [OPTIONS]\n"
    "Write firmware into Silicon Labs EFM8 microcontrollers through their factory\n"
    "bootloader: over USB on the EFM8UB1, UB2 and UB3, over a serial port on the\n"
    "others (EFM8BB1, BB2, BB3, LB1, SB1, SB2).\n"
    "\n"
    "Commands:\n"
    "  list     [options]            the attached USB bootloaders, and serial ports\n"
    "  flash    FILE [options]       write FILE, verify it and start it\n"
    "  verify   FILE [options]       compare FILE with the chip; write nothing\n"
    "  run      [options]            start the application\n"
    "  identify [options]            name the part, its flash and its bootloader\n"
    "  watch    FILE [options]       flash every board that appears (a bench)\n"
    "  convert  FILE -o OUT          write FILE as boot records, HEX, S-records or\n"
    "                                a raw binary; no board is touched\n"
    "  lock     [options]            lock pages against a debugger, or disable the\n"
    "                                bootloader, for good\n"
    "  serial   init NAME --first N | show [NAME]\n"
    "                                the counters that number the boards\n"
    "  history  [options]            every flash recorded, or a summary per image\n"
    "  dashboard [options]           a web page of the line's yield, failures and\n"
    "                                serial numbers, live, over the record\n"
    "  station  init | sync          make or upgrade the station database; send a\n"
    "                                server what waited for it\n"
    "\n"
    "A USB bootloader is used when it is the only one attached, or chosen with\n"
    "--device PATH (once for each board), or all of them with --all. A board on a\n"
    "serial port is named with --port PATH, once for each port: several are\n"
    "worked on at once. A flag given twice must be given the same value.\n"
    "FILE is raw binary, Intel HEX, S-record or boot records (.efm8), told by its\n"
    "content; - reads standard input. A file that is text (ASCII, UTF-8, Latin-1,\n"
    "Windows-1252 or UTF-16, NUL or Ctrl-Z padding after it) is never taken for a\n"
    "raw binary: a line that is not HEX or S-records is refused (exit 65).\n"
    "--format hex|srec|efm8|bin insists on a format (bin: a raw binary whatever\n"
    "it holds), and a file that is not that format is refused, the line named\n"
    "(exit 65). A boot-record file is flashed\n"
    "the Kestrane way, only on the parts it names, with its verify records\n"
    "checked against its own data before any board is opened and on the chip\n"
    "after, its lock programmed once the flash is verified, and the board\n"
    "started only if it asks. flash and watch record each board's attempt in\n"
    "the station database ($XDG_STATE_HOME/kestrane/station.sqlite, or --db\n"
    "PATH, or a PostgreSQL server the stations of a line share, --db\n"
    "postgresql://USER@HOST/DATABASE; KESTRANE_DB gives either), and with --serial\n"
    "FORMAT@ADDRESS --counter NAME put a number of its own into each board. With\n"
    "--reset and --boot (RTS, DTR or GPIO lines) a board on a port is brought into\n"
    "its bootloader hands-free, and with --enter-command (--enter-hid over USB) by\n"
    "its running application.\n"
    "'kestrane-cli COMMAND --help' tells more of each command.\n"
    "\n"
    "Exit status:\n"
    "   0  success\n"
    "   1  the chip's flash does not match the image\n"
    "  64  usage error, or several boards attached and none chosen, or a lock\n"
    "      that is refused: unverified, or disabling the bootloader without --force\n"
    "  65  the file is not a usable image (format error, empty, too large for the\n"
    "      part), or the board is not one of the parts the file is for, or the\n"
    "      image cannot be written in the format asked, or a serial number does\n"
    "      not fit its format or its place (--serial) or would read as blank flash\n"
    "  66  the file cannot be read, or there is no station database to read yet\n"
    "  69  no bootloader attached (after --wait, when its time runs out), or no\n"
    "      such serial port, or a --port that is not a serial port (a file, a\n"
    "      folder, another device: refused before anything else), or a reset,\n"
    "      boot or trigger line that cannot be driven (no RTS or DTR on the\n"
    "      adapter, no such GPIO chip or line)\n"
    "  73  the station database asked for (--db, --counter) cannot be opened or\n"
    "      written, or has no room, or its server cannot be reached or refuses\n"
    "      the login, or its schema is missing or too new, so nothing is flashed;\n"
    "      or a board's record could not be completed; or convert's output cannot\n"
    "      be written\n"
    "  74  a transfer failed: a USB error, or no reply or a dropped line on a port\n"
    "  75  another program is using the serial port (holds its lock), or a GPIO\n"
    "      line\n"
    "  76  the bootloader refused a command\n"
    "  77  no permission to open the board, the port or a GPIO chip\n"
    "  78  a serial number counter that does not exist, that has handed out its\n"
    "      last number (the line stops), or that exists with other bounds\n"
    "With several boards: 0 only if every board succeeded, else the code of the\n"
    "first board that failed, in the order given or listed.\n"
    "\n"
    "  --help     this text\n"
    "  --version  the version\n";

// "  --lock-pages N    lock pages 0 to N-1 ...", wrapped at WIDTH with the
// lines after the first starting at COLUMN; a label that reaches COLUMN is
// followed by two spaces.
static std::string flag_help(const Flag &flag)
{
    const std::string label = "  " + flag_label(flag) + (*flag.shown == '\0' || *flag.shown == '[' || *flag.shown == '='
                                                             ? ""
                                                             : " ") + flag.shown;
    std::string line = label + (label.size() < COLUMN ? std::string(COLUMN - label.size(), ' ') : "  ");
    std::string text;
    bool empty = true;
    std::size_t start = 0;
    while (start < flag.help.size()) {
        std::size_t end = flag.help.find(' ', start);
        if (end == std::string::npos)
            end = flag.help.size();
        const std::string word = flag.help.substr(start, end - start);
        if (!empty && line.size() + 1 + word.size() > WIDTH) {
            text += line + "\n";
            line = std::string(COLUMN, ' ');
            empty = true;
        }
        line += (empty ? "" : " ") + word;
        empty = false;
        start = end + 1;
    }
    return text + line + "\n";
}

const char *operands_text(Operands operands)
{
    switch (operands) {
    case Operands::File: return "FILE";
    case Operands::SerialAction: return "{init NAME | show [NAME]}";
    case Operands::StationAction: return "{init | sync}";
    default: return "";
    }
}

// "[--port PATH...]", "[--wait[=SECONDS]]", "-o OUT": a flag as its usage
// shows it.
static std::string usage_item(const Flag &flag)
{
    std::string item = flag.short_name != 0 ? std::string("-") + flag.short_name : std::string("--") + flag.name;
    if (flag.argument == Argument::Required)
        item += std::string(" ") + flag.shown;
    else if (flag.argument == Argument::Optional)
        item += flag.shown;
    if (flag.repeatable)
        item += "...";
    return flag.required ? item : "[" + item + "]";
}

// "Usage: kestrane-cli flash FILE [--device PATH...] ...": every flag of the
// table, wrapped at WIDTH.
static std::string usage_text(const CommandTable &table)
{
    std::string line = std::string("Usage: kestrane-cli ") + table.name;
    if (*operands_text(table.operands) != '\0')
        line += std::string(" ") + operands_text(table.operands);
    const std::string indent(std::min<std::size_t>(line.size(), COLUMN + 12), ' ');
    std::string text;
    for (const Flag &flag : table.flags) {
        if (flag.name == nullptr)
            continue;
        const std::string item = usage_item(flag);
        if (line.size() > indent.size() && line.size() + 1 + item.size() > WIDTH) {
            text += line + "\n";
            line = indent;
        }
        line += " " + item;
    }
    return text + line + "\n";
}

std::string help_text(Command command)
{
    const CommandTable *table = find_command(command);
    if (table == nullptr)
        return GENERAL_HELP;
    std::string text = usage_text(*table) + table->about + "\n";
    for (const Flag &flag : table->flags)
        text += flag.name != nullptr ? flag_help(flag) : flag.help + "\n";
    return text;
}

}  // namespace cli
