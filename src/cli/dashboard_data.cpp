// The dashboard's one reader of the station record. It reads attempts as
// history does and adds them up as history --summary does, through the same
// functions, so that the page, its API and the command line agree object for
// object.
#include "cli/dashboard_data.h"
#include "cli/commands.h"
#include "cli/dashboard_figures.h"
#include "production/record.h"
#include "station/station_report.h"

#include <kestrane/result.h>

#include <algorithm>
#include <deque>
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
    return efm8_result_exit_status(production::station_result(result.status));
}

int RecordReader::each(const View &view, const std::function<void(const station::AttemptRecord &)> &visit,
                       std::string &error)
{
    station::Filter filter = view.filter;
    if (view.stations.size() == 1)
        filter.station = view.stations.front();
    const auto asked = [&](const station::AttemptRecord &record) {
        return view.stations.size() <= 1 ||
               std::find(view.stations.begin(), view.stations.end(), record.station) != view.stations.end();
    };
    const station::Result result = station_.history(filter, [&](const station::AttemptRecord &record) {
        if (asked(record))
            visit(record);
        return true;
    });
    return result.ok() ? 0 : failed(result, error);
}

static Json summary_json(const std::vector<station::ImageSummary> &summaries)
{
    Json out = Json::array();
    for (const station::ImageSummary &summary : summaries)
        out.push_back(Json::parse(station::summary_line(summary, station::Style::Json)));
    return out;
}

// The latest attempts, as many as the view's limit, in the order they started.
class Latest {
public:
    explicit Latest(std::size_t limit) : limit_(limit) {}
    void add(const station::AttemptRecord &record)
    {
        if (limit_ == 0)
            return;
        if (records_.size() == limit_)
            records_.pop_front();
        records_.push_back(record);
    }
    Json json() const
    {
        Json out = Json::array();
        for (const station::AttemptRecord &record : records_)
            out.push_back(Json::parse(station::attempt_line(record, station::Style::Json)));
        return out;
    }

private:
    std::size_t limit_;
    std::deque<station::AttemptRecord> records_;
};

// The database adds up one station's or the line's attempts (GROUP BY);
// several stations' are added up here as they stream by.
int RecordReader::summary(const View &view, Json &out, std::string &error)
{
    if (view.stations.size() > 1) {
        station::Summarizer summarizer;
        const int status = each(view, [&](const station::AttemptRecord &record) { summarizer.add(record); }, error);
        if (status == 0)
            out = summary_json(summarizer.summaries());
        return status;
    }
    station::Filter filter = view.filter;
    if (view.stations.size() == 1)
        filter.station = view.stations.front();
    std::vector<station::ImageSummary> summaries;
    const station::Result result = station_.summary(filter, summaries);
    if (!result.ok())
        return failed(result, error);
    out = summary_json(summaries);
    return 0;
}

int RecordReader::attempts(const View &view, Json &out, std::string &error)
{
    Latest latest(view.limit);
    if (view.stations.size() <= 1) {
        station::Filter filter = view.filter;
        if (view.stations.size() == 1)
            filter.station = view.stations.front();
        std::vector<station::AttemptRecord> records;
        const station::Result result = station_.latest(filter, view.limit, records);
        if (!result.ok())
            return failed(result, error);
        for (const station::AttemptRecord &record : records)
            latest.add(record);
        out = latest.json();
        return 0;
    }
    const int status = each(view, [&](const station::AttemptRecord &record) { latest.add(record); }, error);
    if (status == 0)
        out = latest.json();
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

// Several stations' figures, or a file's, are added up here as the
// attempts stream by.
int RecordReader::page_streamed(const View &view, const std::string &now, Json &out, std::string &error)
{
    station::Summarizer summary;
    OverTime over_time(now);
    Failures causes;
    Latest latest(view.limit);
    std::int64_t last_id = 0;
    // One pass over the record for all of the page, its summary too.
    const int status = each(view,
                            [&](const station::AttemptRecord &record) {
                                summary.add(record);
                                over_time.add(record);
                                causes.add(record);
                                latest.add(record);
                                last_id = std::max(last_id, record.id);
                            },
                            error);
    if (status != 0)
        return status;
    return page_json(view, now, last_id, summary_json(summary.summaries()), over_time.json(), causes.json(),
                     latest.json(), out, error);
}

// The database adds up one station's or the line's figures itself and
// sends a few rows rather than every attempt, where it keeps them hour by
// hour or is a server; the latest attempts come from the end of an index.
// A file of an older schema, which must be read as it is, would sort every
// row it groups, which on a million attempts costs more than the one pass
// in this process (2.1 s of CPU against 1.7 s): it is read in that pass.
int RecordReader::page(const View &view, const std::string &now, Json &out, std::string &error)
{
    if (view.stations.size() > 1 ||
        (!station::is_server(station_.path()) && station_.schema_version() < station::HOURS_KEPT))
        return page_streamed(view, now, out, error);
    station::Filter filter = view.filter;
    if (view.stations.size() == 1)
        filter.station = view.stations.front();
    std::vector<station::ImageSummary> summaries;
    std::vector<station::PeriodFigures> periods;
    std::vector<station::FailureCause> causes;
    std::vector<station::AttemptRecord> records;
    station::Result result = station_.summary(filter, summaries);
    if (result.ok())
        result = station_.timeline(filter, day_before(now), periods);
    if (result.ok())
        result = station_.failures(filter, Failures::phrases(), causes);
    if (result.ok())
        result = station_.latest(filter, view.limit, records);
    if (!result.ok())
        return failed(result, error);
    std::int64_t last_id = 0;
    Json figures = over_time(periods, summaries, now, last_id);
    Latest latest(view.limit);
    for (const station::AttemptRecord &record : records)
        latest.add(record);
    return page_json(view, now, last_id, summary_json(summaries), std::move(figures), failures(causes), latest.json(),
                     out, error);
}

int RecordReader::page_json(const View &view, const std::string &now, std::int64_t last_id, Json summary,
                            Json over_time, Json failures, Json attempts, Json &out, std::string &error)
{
    Json counters_now;
    const int status = counters(counters_now, error, false);
    if (status != 0)
        return status;
    out = Json{{"now", now},
               {"since", view.filter.since.empty() ? Json(nullptr) : Json(view.filter.since)},
               {"stations", view.stations},
               {"last_id", last_id},
               {"summary", std::move(summary)},
               {"over_time", std::move(over_time)},
               {"failures", std::move(failures)},
               {"counters", counters_now},
               {"attempts", std::move(attempts)}};
    return 0;
}

}  // namespace cli
