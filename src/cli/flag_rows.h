// The rows that several commands' tables share word for word: the serial
// port's flags, the lock's, and the production line's.
#ifndef KESTRANE_CLI_FLAG_ROWS_H
#define KESTRANE_CLI_FLAG_ROWS_H

#include "cli/option_table.h"

#include <initializer_list>
#include <string>
#include <vector>

namespace cli {

std::vector<Flag> port_flags();  // --port, --baud, --timeout
std::vector<Flag> lock_flags();  // --lock-pages, --disable-bootloader, --force
std::vector<Flag> line_flags();  // --serial, --counter, --db, --no-record, --retries
// --reset, --boot, --entry-sequence, --after, --enter-command, --enter-baud,
// --enter-wait: every command that opens a port.
std::vector<Flag> entry_flags();
Flag enter_hid_flag();  // the commands that open a USB board

// flash, verify and watch: --format bin, FILE as a raw binary whatever it
// holds.
Flag raw_binary_flag();

// --json, with what it prints for the command.
Flag json_flag(const std::string &help);

// The groups of rows one after another.
std::vector<Flag> rows(std::initializer_list<std::vector<Flag>> groups);

// A number as the help writes it: "128", "0.5".
std::string number(double value);

}  // namespace cli

#endif
