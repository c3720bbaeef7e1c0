// kestrane-cli's commands. Each returns the process's exit status.
#ifndef KESTRANE_CLI_COMMANDS_H
#define KESTRANE_CLI_COMMANDS_H

#include "cli/boards.h"
#include "cli/options.h"
#include "cli/plan.h"
#include "cli/progress.h"
#include "firmware/firmware.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace cli {

int list_boards(const Options &options);
int flash_or_verify(const Options &options);
int run_or_identify(const Options &options);
int watch(const Options &options);
int convert(const Options &options);
int lock(const Options &options);
int serial_counters(const Options &options);
int history(const Options &options);

// The file named on the command line, read and checked before any board is
// touched.
struct Firmware {
    std::string name;  // as messages call it
    std::vector<std::uint8_t> content;
    firmware::Image image;
};

int load_firmware(const std::string &path, Firmware &firmware, std::string &error);

// Flashes a board as the plan says, once the board is known to be one the
// file is for; for run_on_board.
Job flash_job(const Options &options, const Firmware &firmware, const Plan &plan, Progress *progress);

// Runs the job that make_job makes on every board at once, with progress in
// the style given, and prints each board's result. Returns the exit status.
int run_command(const Options &options, const std::vector<efm8_device> &boards, Progress::Style style,
                const std::function<Job(Progress &)> &make_job);

// One board's result in a word: "ok", "mismatch", "transfer-failed", ...
const char *result_word(const Outcome &outcome);

// One board's result: a JSON object (with the time when one is given), or a
// line of text.
std::string outcome_json(const Outcome &outcome, Command command, const std::string &time = "");
std::string outcome_text(const Outcome &outcome, Command command);

// What a lock asked and what the chip's lock and signature bytes hold now:
// words for the line of text, an object for JSON (null when the plan has no
// lock).
std::string lock_text(const Outcome &outcome);
nlohmann::ordered_json lock_json(const Outcome &outcome);

// "kestrane-cli: ..." on standard error.
void complain(const std::string &message);

}  // namespace cli

#endif
