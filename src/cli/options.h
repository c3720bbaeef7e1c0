// kestrane-cli's command line: which command, on which boards, how.
#ifndef KESTRANE_CLI_OPTIONS_H
#define KESTRANE_CLI_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

enum class Command { Help, Version, List, Flash, Verify, Run, Identify, Watch };

struct Options {
    Command command = Command::Help;
    bool help = false;        // --help after a command
    std::string file;         // FILE; "-" is standard input
    std::string device;       // --device PATH
    bool all = false;         // --all
    std::vector<std::string> ports;  // --port PATH, each one given
    std::uint32_t baud = 0;          // --baud; 0: the engine's default
    std::uint32_t timeout_ms = 0;    // --timeout; 0: the engine's default
    bool serial = false;             // list --serial
    bool wait = false;        // --wait[=SECONDS]
    double wait_seconds = -1; // negative: for ever
    bool verify = true;       // not --no-verify
    bool delta = false;       // --delta
    bool run = true;          // not --no-run
    std::uint32_t write_size = 0;  // 0: the transport's default
    bool quiet = false;
    bool json = false;
    long count = 0;  // watch --count; 0: until Ctrl-C
};

// Reads argv into options. On a usage error returns false and says why.
bool parse_options(int argc, char **argv, Options &options, std::string &error);

// The help text of a command, or of the tool with Command::Help.
const char *help_text(Command command);

}  // namespace cli

#endif
