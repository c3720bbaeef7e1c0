// The dashboard's one reader of the station record. It reads attempts as
// history does and adds them up as history --summary does, through the same
// functions, so that the page, its API and the command line agree object for
// object.
#include "cli/dashboard_data.h"
#include "cli/commands.h"
#include "cli/dashboard_figures.h"
#include "line/record.h"
#include "station/station_report.h"

#include <kestrane/result.h>

#include <algorithm>
#include <ctime>

namespace cli {

std::string utc_now()
{
    const std::time_t now = std::time(nullptr);
    std::tm when{};
    gmtime_r(&now, &when);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &when);
    return text;
}

int RecordReader::open(const Options &options, std::string &error)
{
    return open_station(options, false, station_, error);
}

static int failed(const station::Result &result, std::string &error)
{
    error = result.message;
    return efm8_result_exit_status(line::station_result(result.status));
}

int RecordReader::read(const View &view, std::vector<station::AttemptRecord> &records, std::string &error)
{
    station::Filter filter = view.filter;
    if (view.stations.size() == 1)
        filter.station = view.stations.front();
    const station::Result result = station_.history(filter, records);
    if (!result.ok())
        return failed(result, error);
    if (view.stations.size() > 1) {
        const auto unasked = [&](const station::AttemptRecord &record) {
            return std::find(view.stations.begin(), view.stations.end(), record.station) == view.stations.end();
        };
        records.erase(std::remove_if(records.begin(), records.end(), unasked), records.end());
    }
    return 0;
}

static Json summary_of(const std::vector<station::AttemptRecord> &records)
{
    Json out = Json::array();
    for (const station::ImageSummary &summary : station::summarize(records))
        out.push_back(Json::parse(station::summary_line(summary, station::Style::Json)));
    return out;
}

static Json latest(const std::vector<station::AttemptRecord> &records, std::size_t limit)
{
    Json out = Json::array();
    const std::size_t first = records.size() > limit ? records.size() - limit : 0;
    for (std::size_t i = first; i < records.size(); ++i)
        out.push_back(Json::parse(station::attempt_line(records[i], station::Style::Json)));
    return out;
}

int RecordReader::summary(const View &view, Json &out, std::string &error)
{
    std::vector<station::AttemptRecord> records;
    const int status = read(view, records, error);
    if (status == 0)
        out = summary_of(records);
    return status;
}

int RecordReader::attempts(const View &view, Json &out, std::string &error)
{
    std::vector<station::AttemptRecord> records;
    const int status = read(view, records, error);
    if (status == 0)
        out = latest(records, view.limit);
    return status;
}

int RecordReader::counters(Json &out, std::string &error, bool with_drawn)
{
    std::vector<station::Counter> counters;
    station::Result result = station_.counters(counters);
    if (!result.ok())
        return failed(result, error);
    out = Json::array();
    for (const station::Counter &counter : counters) {
        std::vector<station::Drawn> drawn;
        if (with_drawn)
            result = station_.drawn(counter.name, drawn);
        if (!result.ok())
            return failed(result, error);
        out.push_back(counter_object(counter, drawn));
    }
    return 0;
}

int RecordReader::page(const View &view, const std::string &now, Json &out, std::string &error)
{
    std::vector<station::AttemptRecord> records;
    int status = read(view, records, error);
    Json counters_now;
    if (status == 0)
        status = counters(counters_now, error, false);
    if (status != 0)
        return status;
    std::int64_t last_id = 0;
    for (const station::AttemptRecord &record : records)
        last_id = std::max(last_id, record.id);
    out = Json{{"now", now},
               {"since", view.filter.since.empty() ? Json(nullptr) : Json(view.filter.since)},
               {"stations", view.stations},
               {"last_id", last_id},
               {"summary", summary_of(records)},
               {"over_time", over_time(records, now)},
               {"failures", failures(records)},
               {"counters", counters_now},
               {"attempts", latest(records, view.limit)}};
    return 0;
}

}  // namespace cli
