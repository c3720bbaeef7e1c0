// kestrane-cli's commands. Each returns the process's exit status.
#ifndef KESTRANE_CLI_COMMANDS_H
#define KESTRANE_CLI_COMMANDS_H

#include "cli/options.h"
#include "cli/progress.h"
#include "production/boards.h"
#include "production/settings.h"
#include "station/station.h"

#include <nlohmann/json_fwd.hpp>

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
int station_command(const Options &options);
int dashboard(const Options &options);

// Opens the station database the options name (records.cpp): to read it
// only, or with create to write it, made where it is not. An exit status,
// with the reason in error.
int open_station(const Options &options, bool create, station::Station &station, std::string &error);
// A counter as serial show --json prints it.
nlohmann::ordered_json counter_object(const station::Counter &counter, const std::vector<station::Drawn> &drawn);

// The station database the options name: --db, else $KESTRANE_DB; empty
// for the default file.
std::string chosen_database(const Options &options);

// What the options ask of the line: which boards, the serial port
// settings, a lock, and all that flash and watch do.
production::Choice board_choice(const Options &options);
efm8_port_settings port_settings(const Options &options);
production::LockRequest lock_request(const Options &options);
production::Settings line_settings(const Options &options);

// The boards the options name (production::choose_boards), saying so while it
// waits for one unless --quiet. An exit status, with the reason said.
int choose_boards(const Options &options, std::vector<efm8_device> &boards);

// Runs the job that make_job makes on every board at once, with progress in
// the style given, and prints each board's result. Returns the exit status.
int run_command(const Options &options, const std::vector<efm8_device> &boards, Progress::Style style,
                const std::function<production::Job(Progress &)> &make_job);

// One board's result: a JSON object (with the time when one is given), or a
// line of text.
std::string outcome_json(const production::Outcome &outcome, Command command, const std::string &time = "");
std::string outcome_text(const production::Outcome &outcome, Command command);

// What a lock asked and what the chip's lock and signature bytes hold now:
// words for the line of text, an object for JSON (null when the plan has no
// lock).
std::string lock_text(const production::Outcome &outcome);
nlohmann::ordered_json lock_json(const production::Outcome &outcome);

// "kestrane-cli: ..." on standard error.
void complain(const std::string &message);

}  // namespace cli

#endif
