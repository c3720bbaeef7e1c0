// kestrane-cli's commands. Each returns the process's exit status.
#ifndef KESTRANE_CLI_COMMANDS_H
#define KESTRANE_CLI_COMMANDS_H

#include "cli/boards.h"
#include "cli/options.h"
#include "firmware.h"

#include <cstdint>
#include <string>
#include <vector>

namespace cli {

int list_boards(const Options &options);
int flash_or_verify(const Options &options);
int run_or_identify(const Options &options);
int watch(const Options &options);

// The file named on the command line, read and checked before any board is
// touched.
struct Firmware {
    std::string name;  // as messages call it
    std::vector<std::uint8_t> content;
    firmware::Image image;
};

int load_firmware(const std::string &path, Firmware &firmware, std::string &error);

// Flashes a board as the options say, unless the image is too large for
// the part; for run_on_board.
Job flash_job(const Options &options, const Firmware &firmware, class Progress *progress);

// One board's result: a JSON object (with the time when one is given), or a
// line of text.
std::string outcome_json(const Outcome &outcome, Command command, const std::string &time = "");
std::string outcome_text(const Outcome &outcome, Command command, const Options &options);

// "kestrane-cli: ..." on standard error.
void complain(const std::string &message);

}  // namespace cli

#endif
