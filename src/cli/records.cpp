// The station database read back and its counters set up: serial init and
// show, and history. No board is touched.
#include "cli/commands.h"
#include "cli/json_text.h"
#include "line/record.h"
#include "station/station_report.h"

#include <nlohmann/json.hpp>
#include <sysexits.h>

#include <filesystem>
#include <iostream>

namespace cli {

// Only serial init may create the database, or write to it; reading one
// that is not there would leave an empty file behind, and one on a
// read-only mount, or a copy handed to someone else, is read as it is.
static int open_station(const Options &options, bool create, station::Station &station, std::string &error)
{
    std::string path = options.db;
    station::Result result;
    if (path.empty())
        result = station::default_path(path);
    if (result.ok() && !create && !std::filesystem::exists(path)) {
        error = "no station database at " + path + " yet: flash and watch write one" +
                (options.db.empty() ? " (--db PATH reads another)" : "");
        return EX_NOINPUT;
    }
    if (result.ok() && create) {
        result = options.db.empty() ? station.open_default() : station.open(path);
    } else if (result.ok()) {
        std::string warning;
        result = station.open_to_read(path, warning);
        if (!warning.empty())
            complain(warning);
    }
    error = result.message;
    return efm8_result_exit_status(line::station_result(result.status));
}

static std::string counter_text(const station::Counter &counter)
{
    std::string text = counter.name + "  next " + std::to_string(counter.next()) + "  from " +
                       std::to_string(counter.first) +
                       (counter.last ? " to " + std::to_string(*counter.last) : " on") + "  " +
                       std::to_string(counter.handed_out) + " handed out";
    if (counter.exhausted())
        return text + ", none left";
    if (counter.last)
        text += ", " + std::to_string(*counter.last - counter.next() + 1) + " left";
    return text;
}

static std::string counter_json(const station::Counter &counter)
{
    using Json = nlohmann::ordered_json;
    Json left = nullptr;
    if (counter.last)
        left = counter.exhausted() ? 0 : *counter.last - counter.next() + 1;
    const Json object = {
        {"name", counter.name},
        {"first", counter.first},
        {"last", counter.last ? Json(*counter.last) : Json(nullptr)},
        {"next", counter.next()},
        {"handed_out", counter.handed_out},
        {"left", left},
    };
    return json_text(object);
}

static void print_counters(const std::vector<station::Counter> &counters, bool json)
{
    for (const station::Counter &counter : counters)
        std::cout << (json ? counter_json(counter) : counter_text(counter)) << "\n";
    std::cout.flush();
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
        return fail(efm8_result_exit_status(line::station_result(result.status)), result.message);
    print_counters(counters, options.json);
    return 0;
}

static station::Style style_of(const Options &options)
{
    return options.json ? station::Style::Json : options.csv ? station::Style::Csv : station::Style::Text;
}

static void print_lines(const std::string &header, const std::vector<std::string> &lines)
{
    if (!header.empty())
        std::cout << header << "\n";
    for (const std::string &line : lines)
        std::cout << line << "\n";
    std::cout.flush();
}

int history(const Options &options)
{
    station::Station station;
    std::string error;
    const int opened = open_station(options, false, station, error);
    if (opened != 0)
        return fail(opened, error);
    station::Filter filter;
    filter.since = options.since;
    filter.serial = options.serial_number;
    filter.sha256_prefix = options.image_prefix;
    std::vector<station::AttemptRecord> records;
    const station::Result read = station.history(filter, records);
    if (!read.ok())
        return fail(efm8_result_exit_status(line::station_result(read.status)), read.message);
    const station::Style style = style_of(options);
    std::vector<std::string> lines;
    if (options.summary) {
        for (const station::ImageSummary &summary : station::summarize(records))
            lines.push_back(station::summary_line(summary, style));
        print_lines(station::summary_header(style), lines);
        return 0;
    }
    for (const station::AttemptRecord &record : records)
        lines.push_back(station::attempt_line(record, style));
    print_lines(station::attempt_header(style), lines);
    return 0;
}

}  // namespace cli
