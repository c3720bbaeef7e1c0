// What the dashboard and history --html read from the station record, and
// the one place that reads it for them, streamed row by row and added up by
// the database (Station::history's visitor, Station::summary), never held: the JSON of history --summary --json,
// history --json and serial show --json, object for object, and the figures
// the page draws. Read-only: the station's SELECT alone will do.
#ifndef KESTRANE_CLI_DASHBOARD_DATA_H
#define KESTRANE_CLI_DASHBOARD_DATA_H

#include "cli/options.h"
#include "station/station.h"

#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

namespace cli {

using Json = nlohmann::ordered_json;

// Which attempts: history's filter, and any of several stations (none: all).
struct View {
    station::Filter filter;
    std::vector<std::string> stations;
    std::size_t limit = 50;  // attempts: the latest this many
};

class RecordReader {
public:
    // The database the options name, opened to read: an exit status, the
    // reason in error.
    int open(const Options &options, std::string &error);
    std::string path() const { return station_.path(); }

    // Each returns an exit status, 0 with out set, else the reason in error.
    // history --summary --json's objects, in its order.
    int summary(const View &view, Json &out, std::string &error);
    // history --json's objects for the latest view.limit attempts, in the
    // order they started.
    int attempts(const View &view, Json &out, std::string &error);
    // serial show --json's objects, by name; without drawn, their
    // "drawn" lists are left empty: the runs each station drew number as
    // many as the attempts where stations take turns.
    int counters(Json &out, std::string &error, bool drawn = true);
    // All that the page shows, now being the time (UTC, as the record
    // writes it) that "the last day" ends at: summary, figures over time,
    // failures, counters and the last attempts (dashboard_figures.h).
    int page(const View &view, const std::string &now, Json &out, std::string &error);
    // The same, every attempt of the view read here and added up as it
    // streams by: what page does for several stations and for a file of a
    // schema before the hourly tally, and what it agrees with elsewhere
    // (tests/cli/dashboard_sql_test.cpp).
    int page_streamed(const View &view, const std::string &now, Json &out, std::string &error);

private:
    int page_json(const View &view, const std::string &now, std::int64_t last_id, Json summary, Json over_time,
                  Json failures, Json attempts, Json &out, std::string &error);
    // Each attempt of the view handed to visit as the record streams it.
    int each(const View &view, const std::function<void(const station::AttemptRecord &)> &visit, std::string &error);
    station::Station station_;
};

// The time now as the record writes it: "2024-05-01T09:30:00Z".
std::string utc_now();

}  // namespace cli

#endif
