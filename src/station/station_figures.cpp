// What the dashboard draws, added up by the database rather than read row by
// row: attempts per period, station and image, failures per cause, and the
// latest attempts read from the end of the start time's index. Each
// statement takes the filter's predicates (selection.h) and its own
// parameters after them.
#include "station/selection.h"
#include "station/station_queries.h"

#include <algorithm>
#include <map>
#include <tuple>

namespace station {

namespace {

std::string parameter(const Selection &selection, int own)
{
    return "?" + std::to_string(selection.values() + own);
}

std::string flag(const std::string &condition)
{
    return "CASE WHEN " + condition + " THEN 1 ELSE 0 END";
}

std::string figures(const Selection &selection, const std::string &period)
{
    return "SELECT " + period + ", " + selection.station("a") + ", a.image_sha256, count(*), sum(" +
           flag(passed_sql("a.")) + "), sum(" + flag(first_pass_sql("a.")) + "), max(a.id) FROM attempts a";
}

// Every hour's attempts but those of the hour the last day starts in, by
// the hour their time starts with: SQLite sorts what it groups, and one
// short key sorts faster than the period worked out row by row. Which hours
// are days is worked out from the few rows this yields.
std::string hours_sql(const Selection &selection)
{
    const std::string hour = "substr(a.started, 1, 13)";
    return figures(selection, hour) + selection.where("a", {hour + " <> " + parameter(selection, 1)}) +
           " GROUP BY 1, 2, 3";
}

// Every hour's attempts as the hourly tally (schema_hours.cpp) counted
// them, but those of the hours more says.
std::string tally_hours_sql(const Selection &selection, const std::vector<std::string> &more)
{
    return "SELECT t.hour, " + selection.station("t") + ", t.image_sha256, t.attempts, t.passed, t.first_pass, "
           "t.last_id FROM hour_tally t" + selection.kept_where("t", more);
}

// The attempts of one hour (found by the start time's index): the one the
// last day starts in, or the one a time to read from falls in, which the
// tally counts whole. Each by its period: hours from the second the last
// day starts at, its day before it. The record writes times
// "YYYY-MM-DDTHH:MM:SS...", which sort as the times do.
std::string straddle_sql(const Selection &selection)
{
    const std::string from = parameter(selection, 1);
    const std::string period = "CASE WHEN length(a.started) < 13 THEN a.started WHEN substr(a.started, 1, 19) >= " +
                               from + " THEN substr(a.started, 1, 13) || ':00Z' ELSE substr(a.started, 1, 10) END";
    return figures(selection, period) +
           selection.where("a", {"a.started >= " + parameter(selection, 2), "a.started < " + parameter(selection, 3)}) +
           " GROUP BY 1, 2, 3";
}

// Which phrase a message holds: replace() is the one substring test both
// dialects have, and it is case-sensitive in both, as std::string::find.
std::string failures_sql(const Selection &selection, std::size_t phrases)
{
    std::string phrase = "-1";
    if (phrases > 0) {
        phrase = "CASE";
        for (std::size_t i = 0; i < phrases; ++i)
            phrase += " WHEN replace(a.message, " + parameter(selection, int(i + 1)) + ", '') <> a.message THEN " +
                      std::to_string(i);
        phrase += " ELSE -1 END";
    }
    return "SELECT f.at, f.result, f.phrase, count(*) FROM (SELECT " + selection.station("a") +
           " AS at, a.result AS result, " + phrase + " AS phrase FROM attempts a" +
           selection.where("a", {failed_sql("a.")}) + ") AS f GROUP BY f.at, f.result, f.phrase";
}

}  // namespace

// A span's statement. Its rows' first column is, for every hour's, the hour
// ("2024-05-01T09"), which Station::timeline makes the hour or its day once
// it knows which; for one hour's, the period itself.
Result prepare_timeline(Store &store, const Filter &filter, const std::string &hours_from, Span span,
                        const std::string &prefix, std::unique_ptr<Query> &query)
{
    query.reset();
    Selection selection;
    const Result made = selection.make(filter, store.schema);
    if (!made.ok())
        return made;
    const std::string day_hour = hours_from.substr(0, 13), since_hour = selection.since().substr(0, 13);
    const bool tallied = store.schema >= HOURS_KEPT && !selection.numbered();
    const int own = selection.values();
    if (span == Span::Hours && tallied) {
        std::vector<std::string> more = {"t.hour <> " + parameter(selection, 1)};
        if (selection.timed())
            more.push_back("t.hour > " + parameter(selection, 2));
        query = store.query(prefix + tally_hours_sql(selection, more));
        selection.bind(*query);
        query->bind_text(own + 1, day_hour);
        if (selection.timed())
            query->bind_text(own + 2, since_hour);
    } else if (span == Span::Hours) {
        query = store.query(prefix + hours_sql(selection));
        selection.bind(*query);
        query->bind_text(own + 1, day_hour);
    } else if (span == Span::DayHour || (tallied && selection.timed() && since_hour != day_hour)) {
        const std::string hour = span == Span::DayHour ? day_hour : since_hour;
        query = store.query(prefix + straddle_sql(selection));
        selection.bind(*query);
        query->bind_text(own + 1, hours_from.substr(0, 19));
        query->bind_text(own + 2, hour);
        query->bind_text(own + 3, hour + ";");  // ':' and what follows it sort before ';'
    }
    return {};
}

Result prepare_failures(Store &store, const Filter &filter, const std::vector<std::string> &phrases,
                        const std::string &prefix, std::unique_ptr<Query> &query)
{
    Selection selection;
    const Result made = selection.make(filter, store.schema);
    if (!made.ok())
        return made;
    query = store.query(prefix + failures_sql(selection, phrases.size()));
    selection.bind(*query);
    for (std::size_t i = 0; i < phrases.size(); ++i)
        query->bind_text(selection.values() + int(i) + 1, phrases[i]);
    return {};
}

Result Station::timeline(const Filter &filter, const std::string &hours_from, std::vector<PeriodFigures> &figures)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    const std::string hour = hours_from.substr(0, 13);
    std::map<std::tuple<std::string, std::string, std::string>, PeriodFigures> periods;
    for (Span span : {Span::Hours, Span::DayHour, Span::SinceHour}) {
        std::unique_ptr<Query> select;
        const Result made = prepare_timeline(*store_, filter, hours_from, span, "", select);
        if (!made.ok())
            return made;
        if (!select)
            continue;
        Step row;
        while ((row = select->step()) == Step::Row) {
            std::string period = select->text(0);
            if (span == Span::Hours && period.size() >= 13)
                period = period > hour ? period + ":00Z" : period.substr(0, 10);
            PeriodFigures &one = periods[std::make_tuple(period, select->text(1), select->text(2))];
            one.period = period;
            one.station = select->text(1);
            one.sha256 = select->text(2);
            one.attempts += std::uint64_t(select->integer(3));
            one.passed += std::uint64_t(select->integer(4));
            one.first_pass += std::uint64_t(select->integer(5));
            one.last_id = std::max(one.last_id, select->integer(6));
        }
        if (row != Step::Done)
            return store_->failure();
    }
    figures.clear();
    for (auto &period : periods)
        figures.push_back(std::move(period.second));
    return {};
}

Result Station::failures(const Filter &filter, const std::vector<std::string> &phrases,
                         std::vector<FailureCause> &causes)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    for (const std::string &phrase : phrases)
        if (phrase.empty())
            return {Status::Invalid, "a failure's phrase to look for is empty"};
    std::unique_ptr<Query> select;
    const Result made = prepare_failures(*store_, filter, phrases, "", select);
    if (!made.ok())
        return made;
    std::vector<FailureCause> read;
    Step row;
    while ((row = select->step()) == Step::Row) {
        FailureCause cause;
        cause.station = select->text(0);
        cause.result = select->text(1);
        cause.phrase = int(select->integer(2));
        cause.count = std::uint64_t(select->integer(3));
        read.push_back(cause);
    }
    if (row != Step::Done)
        return store_->failure();
    causes = std::move(read);
    return {};
}

Result Station::latest(const Filter &filter, std::size_t limit, std::vector<AttemptRecord> &records)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    Selection selection;
    const Result made = selection.make(filter, store_->schema);
    if (!made.ok())
        return made;
    std::vector<AttemptRecord> read;
    if (limit > 0) {
        std::unique_ptr<Query> select = store_->query(select_attempts(selection, "a.started DESC, a.id DESC") +
                                                      " LIMIT " + parameter(selection, 1));
        selection.bind(*select);
        select->bind_int(selection.values() + 1, std::int64_t(std::min<std::size_t>(limit, INT64_MAX)));
        Step row;
        while ((row = select->step()) == Step::Row)
            read.push_back(record_from(*select));
        if (row != Step::Done)
            return store_->failure();
        std::reverse(read.begin(), read.end());
    }
    records = std::move(read);
    return {};
}

}  // namespace station
