// The station database read back and its counters set up: serial init and
// show, history, and station init and sync. No board is touched.
#include "cli/commands.h"
#include "cli/dashboard_page.h"
#include "cli/json_text.h"
#include "production/record.h"
#include "station/database.h"
#include "station/station_report.h"

#include <nlohmann/json.hpp>
#include <sysexits.h>

#include <filesystem>
#include <iostream>

namespace cli {

// Only serial init may create a database file, or write to it; reading one
// that is not there would leave an empty file behind, and one on a
// read-only mount, or a copy handed to someone else, is read as it is. A
// server is read in read-only transactions.
int open_station(const Options &options, bool create, station::Station &station, std::string &error)
{
    const std::string chosen = chosen_database(options);
    std::string path = chosen;
    station::Result result;
    if (path.empty())
        result = station::default_path(path);
    if (result.ok() && !create && !station::is_server(path) && !std::filesystem::exists(path)) {
        error = "no station database at " + station::database_name(path) + " yet: flash and watch write one" +
                (chosen.empty() ? " (--db PATH reads another)" : "");
        return EX_NOINPUT;
    }
    if (result.ok() && create) {
        result = chosen.empty() ? station.open_default() : station.open(path);
    } else if (result.ok()) {
        std::string warning;
        result = station.open_to_read(path, warning);
        if (!warning.empty())
            complain(warning);
    }
    error = result.message;
    return efm8_result_exit_status(production::station_result(result.status));
}

static std::string counter_text(const station::Counter &counter)
{
    std::string text = station::escaped(counter.name) + "  next " + std::to_string(counter.next()) + "  from " +
                       std::to_string(counter.first) +
                       (counter.last ? " to " + std::to_string(*counter.last) : " on") + "  " +
                       std::to_string(counter.handed_out) + " handed out";
    if (counter.exhausted())
        return text + ", none left";
    if (counter.last)
        text += ", " + std::to_string(*counter.last - counter.next() + 1) + " left";
    return text;
}

// "  drawn by bench-2: 1000-1003 (4), 1008 (1), 1010-1200 (40)": the
// numbers it drew between first and last, and how many.
static std::string drawn_text(const std::vector<station::Drawn> &drawn)
{
    std::string text;
    for (std::size_t i = 0; i < drawn.size(); ++i) {
        const station::Drawn &run = drawn[i];
        const bool same = i > 0 && drawn[i - 1].station == run.station;
        text += same ? ", " : "\n  drawn by " + station::escaped(run.station) + ": ";
        text += std::to_string(run.first) + (run.last != run.first ? "-" + std::to_string(run.last) : "") + " (" +
                std::to_string(run.count) + ")";
    }
    return text;
}

nlohmann::ordered_json counter_object(const station::Counter &counter, const std::vector<station::Drawn> &drawn)
{
    using Json = nlohmann::ordered_json;
    Json left = nullptr;
    if (counter.last)
        left = counter.exhausted() ? 0 : *counter.last - counter.next() + 1;
    Json object = {
        {"name", counter.name},
        {"first", counter.first},
        {"last", counter.last ? Json(*counter.last) : Json(nullptr)},
        {"next", counter.next()},
        {"handed_out", counter.handed_out},
        {"left", left},
        {"drawn", Json::array()},
    };
    Json &runs = object["drawn"];
    for (const station::Drawn &run : drawn)
        runs.push_back({{"station", run.station}, {"first", run.first}, {"last", run.last}, {"count", run.count}});
    return object;
}

static int fail(int status, const std::string &error);

// Each counter, and which station drew which of its numbers.
static int print_counters(station::Station &station, const std::vector<station::Counter> &counters, bool json)
{
    for (const station::Counter &counter : counters) {
        std::vector<station::Drawn> drawn;
        const station::Result read = station.drawn(counter.name, drawn);
        if (!read.ok())
            return fail(efm8_result_exit_status(production::station_result(read.status)), read.message);
        std::cout << (json ? json_text(counter_object(counter, drawn)) : counter_text(counter) + drawn_text(drawn)) << "\n";
    }
    std::cout.flush();
    return 0;
}

static int fail(int status, const std::string &error)
{
    complain(error);
    return status;
}

int serial_counters(const Options &options)
{
    station::Station station;
    std::string error;
    const bool init = options.serial_action == SerialAction::Init;
    const int opened = open_station(options, init, station, error);
    if (opened != 0)
        return fail(opened, error);
    std::vector<station::Counter> counters(1);
    station::Result result;
    if (init)
        result = station.init_counter(options.counter, *options.first, options.last, counters[0]);
    else if (!options.counter.empty())
        result = station.counter(options.counter, counters[0]);
    else
        result = station.counters(counters);
    if (!result.ok())
        return fail(efm8_result_exit_status(production::station_result(result.status)), result.message);
    return print_counters(station, counters, options.json);
}

static station::Style style_of(const Options &options)
{
    return options.json ? station::Style::Json : options.csv ? station::Style::Csv : station::Style::Text;
}

// Each line written as it comes, so that the record is never held here.
int history(const Options &options)
{
    if (!options.html.empty())
        return write_report(options);
    station::Station station;
    std::string error;
    const int opened = open_station(options, false, station, error);
    if (opened != 0)
        return fail(opened, error);
    station::Filter filter;
    filter.since = options.since;
    filter.serial = options.serial_number;
    filter.sha256_prefix = options.image_prefix;
    filter.station = options.station;
    const station::Style style = style_of(options);
    station::Result read;
    if (options.summary) {
        std::vector<station::ImageSummary> summaries;
        read = station.summary(filter, summaries);
        const std::string header = station::summary_header(style);
        if (read.ok() && !header.empty())
            std::cout << header << "\n";
        for (const station::ImageSummary &summary : summaries)
            std::cout << station::summary_line(summary, style) << "\n";
    } else {
        // The header waits for the filter to be found valid.
        bool first = true;
        read = station.history(filter, [&](const station::AttemptRecord &record) {
            if (first && style == station::Style::Csv)
                std::cout << station::attempt_header(style) << "\n";
            first = false;
            std::cout << station::attempt_line(record, style) << "\n";
            return bool(std::cout);
        });
        if (read.ok() && first && style == station::Style::Csv)
            std::cout << station::attempt_header(style) << "\n";
    }
    std::cout.flush();
    if (!read.ok())
        return fail(efm8_result_exit_status(production::station_result(read.status)), read.message);
    return 0;
}

// init: the schema made or brought up to date. sync: the spool sent.
int station_command(const Options &options)
{
    const std::string chosen = chosen_database(options);
    station::Station station;
    if (options.station_action == StationAction::Sync && !station::is_server(chosen)) {
        complain("station sync sends a PostgreSQL server what waits for it: give --db postgresql://... or "
                 "KESTRANE_DB");
        return EX_USAGE;
    }
    station::Result result = options.station_action == StationAction::Init && chosen.empty()
                                 ? station.open_default()
                                 : options.station_action == StationAction::Init ? station.init(chosen)
                                                                                 : station.open(chosen);
    std::size_t sent = 0, left = 0, kept = 0;
    if (result.ok() && options.station_action == StationAction::Sync)
        result = station.sync(sent, left, kept);
    if (result.status == station::Status::CannotOpen && !station.spool_path().empty())
        result.message += "; nothing in it was sent. Move it aside (mv " + station.spool_path() + " " +
                          station.spool_path() + ".unread) and keep it until its records are recovered: the next "
                          "flash starts a new spool";
    if (!result.ok())
        return fail(efm8_result_exit_status(production::station_result(result.status)), result.message);
    if (options.station_action == StationAction::Init) {
        std::cout << "the station database " << station.path() << " is at schema version "
                  << station.schema_version() << std::endl;
        return 0;
    }
    sent = station.sent();
    std::cout << "sent " << sent << " pending record" << (sent == 1 ? "" : "s") << " to " << station.path();
    if (left > 0)
        std::cout << "; " << left << " wait for other servers";
    std::cout << std::endl;
    if (kept > 0)
        return fail(EX_CANTCREAT, std::to_string(kept) + (kept == 1 ? " record" : " records") +
                                      " the server has no attempt for, kept in " + station.spool_path() +
                                      " (was the server restored from a backup?)");
    return 0;
}

}  // namespace cli
