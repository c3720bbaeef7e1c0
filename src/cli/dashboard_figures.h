// The figures the dashboard draws, from the attempts of the record: pure
// functions over what history reads, so that the page and the report agree.
#ifndef KESTRANE_CLI_DASHBOARD_FIGURES_H
#define KESTRANE_CLI_DASHBOARD_FIGURES_H

#include "cli/dashboard_data.h"

#include <map>
#include <tuple>

namespace cli {

// The period an attempt counts in: its hour ("2024-05-01T09:00Z") when it
// started within the day before now, else its day ("2024-05-01").
std::string period_of(const std::string &started, const std::string &day_ago);
// now less 24 hours, in the same form; now as utc_now() writes it.
std::string day_before(const std::string &now);

// What the page draws over time, added up one attempt at a time as the
// record streams by, now being the time the last day ends at:
// {"periods": [...], "hours": [...hours each period spans...],
//  "line": {"attempts": [...], "passed": [...], "first_pass": [...]},
//  "stations": {name: {...as line...}}, "images": {sha256: {"name": ..., ...}}}
class OverTime {
public:
    explicit OverTime(const std::string &now);
    void add(const station::AttemptRecord &record);
    // The same, added up already (Station::timeline from day_before(now)); an
    // image's name from its line's summary, which names the file it was
    // last flashed from in the same attempts.
    void add(const station::PeriodFigures &figures);
    void name(const std::string &sha256, const std::string &name) { names_[sha256] = name; }
    Json json() const;

private:
    struct Counts {
        std::map<std::string, std::uint64_t> attempts, passed, first_pass;
        void add(const std::string &period, std::uint64_t attempted, std::uint64_t passed_, std::uint64_t first);
    };
    std::string day_ago_;
    Counts line_;
    std::map<std::string, Counts> stations_, images_;
    std::map<std::string, std::string> names_;  // an image's file, as last flashed
};

// Failed attempts by cause: [{"station", "result", "command", "count"}], the
// most frequent first; command is the one the message names (null when it
// names none).
class Failures {
public:
    void add(const station::AttemptRecord &record);
    // The same, counted already (Station::failures over phrases()).
    void add(const station::FailureCause &cause);
    Json json() const;
    // What a message says of the command that failed: "the erase at ", ...
    static std::vector<std::string> phrases();

private:
    void add(const std::string &station, const std::string &result, std::string command, std::uint64_t count);
    std::map<std::tuple<std::string, std::string, std::string>, std::uint64_t> counts_;
};

// The same from what the database added up over the same attempts: their
// periods (Station::timeline from day_before(now)) and their summaries,
// whose lines name each image's file; last_id the highest attempt id.
Json over_time(const std::vector<station::PeriodFigures> &periods, const std::vector<station::ImageSummary> &summaries,
               const std::string &now, std::int64_t &last_id);
Json failures(const std::vector<station::FailureCause> &causes);

// The same over records at hand.
Json over_time(const std::vector<station::AttemptRecord> &records, const std::string &now);
Json failures(const std::vector<station::AttemptRecord> &records);

// The command a failure's message names: "erase", "write", ...; empty when
// none.
std::string failed_command(const std::string &message);

}  // namespace cli

#endif
