// The figures the dashboard draws, from the attempts of the record: pure
// functions over what history reads, so that the page and the report agree.
#ifndef KESTRANE_CLI_DASHBOARD_FIGURES_H
#define KESTRANE_CLI_DASHBOARD_FIGURES_H

#include "cli/dashboard_data.h"

namespace cli {

// The period an attempt counts in: its hour ("2024-05-01T09:00Z") when it
// started within the day before now, else its day ("2024-05-01").
std::string period_of(const std::string &started, const std::string &day_ago);
// now less 24 hours, in the same form; now as utc_now() writes it.
std::string day_before(const std::string &now);

// {"periods": [...], "hours": [...hours each period spans...],
//  "stations": {name: {"attempts": [...], "passed": [...], "first_pass": [...]}},
//  "images": {sha256: {"name": ..., "attempts": [...], ...}},
//  "boards": [...attempts per period...]}
Json over_time(const std::vector<station::AttemptRecord> &records, const std::string &now);

// [{"station", "result", "command", "count"}], the most frequent first: each
// failed attempt by its station, its result's name and the command that
// failed (as its message names it; null when it names none).
Json failures(const std::vector<station::AttemptRecord> &records);

// The command a failure's message names: "erase", "write", ...; empty when
// none.
std::string failed_command(const std::string &message);

}  // namespace cli

#endif
