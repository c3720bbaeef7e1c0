// How each flag's value is taken into the options, for the commands'
// tables; and what the options ask together, once all are read. Numbers
// that count something or are a rate are decimal digits only; seconds may
// have a fraction.
#ifndef KESTRANE_CLI_OPTION_VALUES_H
#define KESTRANE_CLI_OPTION_VALUES_H

#include "cli/option_table.h"

#include <cstdint>
#include <string>

namespace cli {

// Flags that only switch something on or off.
template <bool Options::*field> bool set_true(const Flag &, const char *, Options &options, std::string &)
{
    options.*field = true;
    return true;
}
template <bool Options::*field> bool set_false(const Flag &, const char *, Options &options, std::string &)
{
    options.*field = false;
    return true;
}

bool take_device(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_port(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_baud(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_timeout(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_wait(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_write_size(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_count(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_lock_pages(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_retries(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_output(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_output_format(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_input_format(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_id(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_placement(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_counter(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_db(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_station(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_first(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_last(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_since(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_serial_number(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_image(const Flag &flag, const char *argument, Options &options, std::string &error);
// Hands-free entry (option_entry.cpp).
bool take_reset(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_boot(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_entry_sequence(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_after(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_enter_command(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_enter_baud(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_enter_wait(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_enter_hid(const Flag &flag, const char *argument, Options &options, std::string &error);
bool take_trigger(const Flag &flag, const char *argument, Options &options, std::string &error);
// What the entry flags ask together; --entry-sequence's steps read.
bool check_entry(Options &options, std::string &error);

// Limits the help names as the parser holds them.
const unsigned MAX_RETRIES = 100;
const double MAX_TIMEOUT_SECONDS = 3600;
const long MAX_COUNT = 2147483647;  // 2^31 - 1 boards

// "57600, 115200, 230400 or 460800": the rates a port is opened at.
std::string baud_rates_text();

// What the options ask together, once all are read.
bool check_options(Options &options, std::string &error);

// A baud rate a port is opened at.
bool read_baud(const Flag &flag, const char *argument, std::uint32_t &value, std::string &error);

// Seconds as the flags take them: decimal digits, a fraction allowed.
bool read_seconds(const char *text, double high, double &value);

}  // namespace cli

#endif
