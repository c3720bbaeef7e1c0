// The command line's flags, shared by the parser (options.cpp) and the code
// that reads their values and checks them together (option_values.cpp).
#ifndef KESTRANE_CLI_FLAGS_H
#define KESTRANE_CLI_FLAGS_H

#include "cli/options.h"

#include <string>

namespace cli {

// Long options only; each takes its own id. Two flags may share a name
// when no command takes both (list's --serial and flash's --serial FORMAT@ADDRESS).
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
    FLAG_FORMAT,  // convert: OUT's format; flash, verify, watch: FILE's
    FLAG_INPUT_FORMAT,
    FLAG_ID,
    FLAG_LOCK_PAGES,
    FLAG_DISABLE_BOOTLOADER,
    FLAG_FORCE,
    FLAG_ERASE_WITHOUT_DATA,
    FLAG_SERIAL_NUMBER,  // flash, watch: FORMAT@ADDRESS; history: a number
    FLAG_COUNTER,
    FLAG_DB,
    FLAG_NO_RECORD,
    FLAG_RETRIES,
    FLAG_FIRST,
    FLAG_LAST,
    FLAG_SINCE,
    FLAG_IMAGE,
    FLAG_CSV,
    FLAG_SUMMARY,
};

// One option, already known to be allowed for options.command.
bool take_flag(int flag, const char *argument, Options &options, std::string &error);

// What the options ask together, once all are read.
bool check_options(const Options &options, std::string &error);

}  // namespace cli

#endif
