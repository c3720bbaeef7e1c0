// kestrane-cli's command line: which command, on which boards, how.
#ifndef KESTRANE_CLI_OPTIONS_H
#define KESTRANE_CLI_OPTIONS_H

#include "production/serial_number.h"
#include "production/settings.h"
#include <kestrane/entry.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace cli {

enum class Command { Help, Version, List, Flash, Verify, Run, Identify, Watch, Convert, Lock, Serial, History, Station,
                     Dashboard };
enum class SerialAction { Show, Init };
enum class StationAction { Init, Sync };

struct Options {
    Command command = Command::Help;
    bool help = false;        // --help after a command
    std::string file;         // FILE; "-" is standard input
    std::vector<std::string> devices;  // --device PATH, each one given
    bool all = false;                  // --all
    std::vector<std::string> ports;    // --port PATH, each one given
    std::uint32_t baud = 0;          // --baud; 0: the engine's default
    std::uint32_t timeout_ms = 0;    // --timeout; 0: the engine's default
    bool ports_too = false;          // list --ports
    bool wait = false;        // --wait[=SECONDS]
    double wait_seconds = -1; // negative: for ever
    bool verify = true;       // not --no-verify (convert: a verify record)
    bool delta = false;       // --delta
    bool run = true;          // not --no-run
    std::uint32_t write_size = 0;  // 0: the transport's default (convert: 128)
    bool quiet = false;
    bool json = false;
    long count = 0;  // watch --count; 0: until Ctrl-C
    std::optional<std::uint8_t> lock_pages;  // --lock-pages N
    bool disable_bootloader = false;
    bool force = false;  // confirms what cannot be undone
    std::string output;  // convert -o OUT; "-" is standard output
    std::string format;  // convert --format NAME, known to be one
    // flash, verify and watch --format, convert's --input-format: FILE as that
    // format, never told by content
    std::optional<firmware::Format> input_format;
    std::vector<std::uint16_t> ids;  // convert --id, in order
    bool erase_without_data = false;
    // The production line (flash, watch) and the station database.
    std::optional<serial_number::Placement> serial_at;  // --serial FORMAT@ADDRESS
    std::string counter;  // --counter NAME; serial's NAME
    std::string db;       // --db PATH or URI; empty: $KESTRANE_DB, or the default database
    std::string station;  // flash, watch --station NAME; history's filter
    bool record = true;   // not --no-record
    unsigned retries = production::RETRIES_DEFAULT;  // --retries N
    SerialAction serial_action = SerialAction::Show;
    StationAction station_action = StationAction::Init;
    std::optional<std::uint64_t> first, last;  // serial init --first, --last
    std::string since;                         // history --since TIME
    std::optional<std::uint64_t> serial_number;  // history --serial N
    std::string image_prefix;                  // history --image SHA256-PREFIX
    bool csv = false;
    bool summary = false;
    std::string html;  // history --html FILE
    // The dashboard: where it listens, the token every request must carry,
    // and the stations it shows (none: all).
    std::string listen = "127.0.0.1:8080";
    std::string token;
    std::vector<std::string> stations;
    // Hands-free entry: --reset, --boot, --after, --enter-command,
    // --enter-baud and --enter-wait; --entry-sequence's steps are read
    // once every line is known.
    efm8_entry entry = production::no_entry();
    std::optional<std::string> entry_sequence;
    bool enter_wait_given = false;
    std::optional<production::EnterHid> enter_hid;  // --enter-hid VID:PID:HEX
    efm8_line trigger{};                       // watch --trigger; kind EFM8_LINE_NONE: none
};

// Reads argv into options. On a usage error returns false and says why.
bool parse_options(int argc, char **argv, Options &options, std::string &error);

// The help text of a command, or of the tool with Command::Help.
std::string help_text(Command command);

}  // namespace cli

#endif
