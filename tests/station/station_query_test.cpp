// Reading the record back, in a file and on a PostgreSQL server: history's
// filters pick what a filter over every attempt picks, the summary the
// database adds up is what summarize adds up over them, serial show's
// ranges hold each station's numbers in as few ranges as gaps allow, and
// each filtered reading searches an index rather than scan the table.
#include "owner_sql.h"
#include "pg_test_server.h"
#include "station/station.h"
#include "station/station_queries.h"
#include "station/station_report.h"
#include "station/store_postgres.h"
#include "station/store_sqlite.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <regex>

namespace {

using namespace station;

::testing::Environment *const server = ::testing::AddGlobalTestEnvironment(new PostgresServer);

enum class Kind { File, Server };

void record_at_random(Station &station, std::mt19937 &random, int attempts,
                      const std::function<void(const std::string &)> &sql);

class QueryTest : public ::testing::TestWithParam<Kind> {
protected:
    void SetUp() override
    {
        char directory[] = "/tmp/station_query_test.XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        dir = directory;
        path = server() ? PostgresServer::database() : dir + "/station.sqlite";
        Station station;
        const Result made = station.init(path);
        ASSERT_TRUE(made.ok()) << made.message;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }
    bool server() const { return GetParam() == Kind::Server; }

    void sql(const std::string &statement) { owner_sql(server(), path, statement); }
    // Random attempts recorded through station, opened on the database, and
    // read back whole.
    void recorded(Station &station, std::mt19937 &random, std::vector<AttemptRecord> &all)
    {
        ASSERT_TRUE(station.open(path).ok());
        record_at_random(station, random, 80, [this](const std::string &statement) { sql(statement); });
        ASSERT_TRUE(station.history({}, all).ok());
    }

    std::string dir, path;
};

INSTANTIATE_TEST_SUITE_P(Stores, QueryTest, ::testing::Values(Kind::File, Kind::Server),
                         [](const ::testing::TestParamInfo<Kind> &kind) {
                             return kind.param == Kind::File ? "sqlite" : "postgresql";
                         });

const char *const IMAGES[] = {"aa1100", "ab2200", "b03300", "ab2201"};
const char *const STATIONS[] = {"east", "west", "north"};
const char *const TIMES[] = {"2024-05-01T08:00:00Z", "2024-05-01T09:00:00Z", "2024-05-01T09:00:00Z",
                             "2024-05-02T10:00:00Z", "2024-05-03T11:30:00Z"};

// Random attempts: images, stations and start times repeat, so that ties
// and out-of-order starts are common; some take numbers, some stay
// unfinished, some are withdrawn; now and then numbers go missing from a
// counter, as gaps.
void record_at_random(Station &station, std::mt19937 &random, int attempts,
                      const std::function<void(const std::string &)> &sql)
{
    Counter counter;
    ASSERT_TRUE(station.init_counter("c1", 100, std::nullopt, counter).ok());
    ASSERT_TRUE(station.init_counter("c2", 1, 12, counter).ok());
    const auto pick = [&](int n) { return int(random() % unsigned(n)); };
    for (int i = 0; i < attempts; ++i) {
        station.name_station(STATIONS[pick(3)]);
        AttemptStart start;
        start.started = TIMES[pick(5)];
        start.path = "/dev/ttyUSB" + std::to_string(pick(2));
        start.image_name = pick(2) ? "blink.hex" : "blink-" + std::to_string(i) + ".hex";
        start.image_sha256 = IMAGES[pick(4)];
        start.counter = pick(3) == 0 ? "" : "c1";
        Attempt attempt;
        ASSERT_TRUE(station.begin(start, attempt).ok());
        if (start.counter.empty() && pick(2) == 0)
            station.draw(attempt, "c2", LARGEST_NUMBER);  // withdrawn once c2 runs out
        if (pick(6) == 0)
            sql("UPDATE counters SET handed_out = handed_out + 2 WHERE name = 'c1'");
        if (pick(5) == 0)
            continue;  // unfinished
        AttemptEnd end;
        end.exit_code = pick(3) == 0 ? 1 + pick(80) : 0;
        end.result = end.exit_code == 0 ? "ok" : "failed";
        end.tries = std::uint32_t(1 + pick(3));
        station.finish(attempt, end);  // a withdrawn attempt's is refused
    }
}

std::vector<Filter> filters_at_random(std::mt19937 &random, const std::vector<AttemptRecord> &all)
{
    std::vector<Filter> filters = {{}};
    for (int i = 0; i < 40; ++i) {
        Filter filter;
        if (random() % 3 == 0)
            filter.since = TIMES[random() % 5];
        if (random() % 3 == 0 && !all.empty())
            filter.serial = all[random() % all.size()].serial.value_or(random() % 200);
        if (random() % 3 == 0)
            filter.sha256_prefix = std::string(IMAGES[random() % 4]).substr(0, 1 + random() % 4);
        if (random() % 2 == 0 && !filter.sha256_prefix.empty())
            filter.sha256_prefix[0] = char(std::toupper(filter.sha256_prefix[0]));
        if (random() % 3 == 0)
            filter.station = STATIONS[random() % 3];
        filters.push_back(filter);
    }
    return filters;
}

bool matches(const Filter &filter, const AttemptRecord &record)
{
    std::string since, prefix;
    utc_time(filter.since, since);
    for (char c : filter.sha256_prefix)
        prefix += char(std::tolower(c));
    return (filter.since.empty() || record.start.started >= since) &&
           (!filter.serial || record.serial == filter.serial) &&
           record.start.image_sha256.compare(0, prefix.size(), prefix) == 0 &&
           (filter.station.empty() || record.station == filter.station);
}

std::vector<std::string> json_lines(const std::vector<ImageSummary> &summaries)
{
    std::vector<std::string> lines;
    for (const ImageSummary &summary : summaries)
        lines.push_back(summary_line(summary, Style::Json));
    return lines;
}

TEST_P(QueryTest, FiltersAndTheDatabasesSummaryAgreeWithTheRecordReadWhole)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Station station;
    std::vector<AttemptRecord> all;
    ASSERT_NO_FATAL_FAILURE(recorded(station, random, all));
    ASSERT_FALSE(all.empty());
    for (std::size_t i = 1; i < all.size(); ++i)
        ASSERT_LE(std::tie(all[i - 1].start.started, all[i - 1].id), std::tie(all[i].start.started, all[i].id));
    for (const Filter &filter : filters_at_random(random, all)) {
        SCOPED_TRACE("since '" + filter.since + "' serial " + std::to_string(filter.serial.value_or(0)) + " image '" +
                     filter.sha256_prefix + "' station '" + filter.station + "'");
        std::vector<AttemptRecord> expected, streamed;
        for (const AttemptRecord &record : all)
            if (matches(filter, record))
                expected.push_back(record);
        ASSERT_TRUE(station.history(filter, [&](const AttemptRecord &record) {
                               streamed.push_back(record);
                               return true;
                           }).ok());
        std::vector<std::int64_t> want, got;
        for (const AttemptRecord &record : expected)
            want.push_back(record.id);
        for (const AttemptRecord &record : streamed)
            got.push_back(record.id);
        EXPECT_EQ(got, want);
        std::vector<ImageSummary> summed;
        ASSERT_TRUE(station.summary(filter, summed).ok());
        EXPECT_EQ(json_lines(summed), json_lines(summarize(expected)));
    }
    std::size_t visited = 0;
    ASSERT_TRUE(station.history({}, [&](const AttemptRecord &) { return ++visited < 3; }).ok());
    EXPECT_EQ(visited, 3u) << "a visitor that says stop is called no more";
    std::vector<AttemptRecord> after;
    ASSERT_TRUE(station.history({}, after).ok()) << "the connection takes the next statement";
    EXPECT_EQ(after.size(), all.size());
}

// Every number drawn lies in one of its station's ranges, each range has
// no gap inside, two ranges of one station have a gap between them, and
// the counts add up to the numbers drawn.
TEST_P(QueryTest, SerialShowsRangesHoldEachStationsNumbersAndBreakOnlyAtGaps)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    Station station;
    std::vector<AttemptRecord> all;
    ASSERT_NO_FATAL_FAILURE(recorded(station, random, all));
    for (const char *counter : {"c1", "c2"}) {
        std::map<std::uint64_t, std::string> drawer;
        for (const AttemptRecord &record : all)
            if (record.serial && record.start.counter == counter)
                drawer[*record.serial] = record.station;
        std::vector<Drawn> runs;
        ASSERT_TRUE(station.drawn(counter, runs).ok());
        std::uint64_t counted = 0;
        for (std::size_t i = 0; i < runs.size(); ++i) {
            const Drawn &run = runs[i];
            counted += run.count;
            std::uint64_t own = 0;
            for (std::uint64_t n = run.first; n <= run.last; ++n) {
                ASSERT_TRUE(drawer.count(n)) << counter << ": " << n << " is a gap inside a range";
                own += drawer[n] == run.station;
            }
            EXPECT_EQ(own, run.count);
            EXPECT_EQ(drawer[run.first], run.station);
            EXPECT_EQ(drawer[run.last], run.station);
            if (i > 0 && runs[i - 1].station == run.station) {
                bool gap = false;
                for (std::uint64_t n = runs[i - 1].last + 1; n < run.first; ++n)
                    gap = gap || !drawer.count(n);
                EXPECT_TRUE(gap) << counter << ": " << run.station << "'s ranges meet at " << run.first;
            }
        }
        EXPECT_EQ(counted, drawer.size()) << counter;
    }
}

TEST_P(QueryTest, StationsDrawingTurnAboutMakeOneRangeEach)
{
    Station station;
    ASSERT_TRUE(station.open(path).ok());
    Counter counter;
    ASSERT_TRUE(station.init_counter("line", 1000, std::nullopt, counter).ok());
    for (int i = 0; i < 60; ++i) {
        station.name_station(STATIONS[i % 3]);
        AttemptStart start;
        start.image_sha256 = "ab";
        start.counter = "line";
        Attempt attempt;
        ASSERT_TRUE(station.begin(start, attempt).ok());
    }
    std::vector<Drawn> runs;
    ASSERT_TRUE(station.drawn("line", runs).ok());
    ASSERT_EQ(runs.size(), 3u);
    EXPECT_EQ(runs[0].station, "east");
    EXPECT_EQ(runs[0].first, 1000u);
    EXPECT_EQ(runs[0].last, 1057u);
    EXPECT_EQ(runs[0].count, 20u);
}

// A table scan of the attempts in a plan: SQLite's "SCAN a" (an index's
// whole length included), PostgreSQL's Seq Scan or an index scanned without
// a condition.
bool scans_sqlite(Query &plan, std::string &seen)
{
    static const std::regex SCAN("^SCAN (a|b|c|attempts)\\b.*");
    bool scans = false;
    while (plan.step() == Step::Row) {
        const std::string detail = plan.text(3);
        seen += detail + "\n";
        scans = scans || std::regex_match(detail, SCAN);
    }
    return scans;
}

bool scans_postgres(const nlohmann::json &node)
{
    const std::string type = node.value("Node Type", "");
    const bool index = type == "Index Scan" || type == "Index Only Scan";
    bool scans = node.value("Relation Name", "") == "attempts" &&
                 (type == "Seq Scan" || (index && !node.contains("Index Cond")));
    for (const nlohmann::json &child : node.value("Plans", nlohmann::json::array()))
        scans = scans || scans_postgres(child);
    return scans;
}

// The indexes (and the tally) come with station init, into a database of
// the version before them too.
TEST_P(QueryTest, EachFilteredReadingSearchesAnIndex)
{
    {
        Station station;
        ASSERT_TRUE(station.open(path).ok());
        std::mt19937 random(7);
        record_at_random(station, random, 30, [this](const std::string &statement) { sql(statement); });
    }
    for (const char *index : {"attempts_image_station", "attempts_station_started", "attempts_counter"})
        sql(std::string("DROP INDEX ") + index);
    sql("DROP TABLE image_tally");
    sql("DROP TABLE hour_tally");
    sql("DROP INDEX attempts_failed");
    sql(server() ? "UPDATE kestrane_schema SET version = 2" : "PRAGMA user_version = 2");
    Station upgrading;
    ASSERT_TRUE(upgrading.init(path).ok());
    ASSERT_EQ(upgrading.schema_version(), SCHEMA_VERSION);
    std::vector<AttemptRecord> all;
    std::vector<ImageSummary> summed;
    ASSERT_TRUE(upgrading.history({}, all).ok());
    ASSERT_TRUE(upgrading.summary({}, summed).ok());
    EXPECT_EQ(json_lines(summed), json_lines(summarize(all))) << "the tally filled from the attempts there";

    std::unique_ptr<Store> store;
    if (server()) {
        auto postgres = std::make_unique<PostgresStore>();
        ASSERT_TRUE(postgres->open(path, PostgresStore::Use::Read).ok());
        ASSERT_TRUE(postgres->execute("SET enable_seqscan = off"));  // a few rows would be read whole anyway
        store = std::move(postgres);
    } else {
        auto sqlite = std::make_unique<SqliteStore>();
        ASSERT_TRUE(sqlite->open(path).ok());
        store = std::move(sqlite);
    }
    const std::string explain = server() ? "EXPLAIN (FORMAT JSON) " : "EXPLAIN QUERY PLAN ";
    const auto scans = [&](std::unique_ptr<Query> &plan, std::string &seen) {
        if (!server())
            return scans_sqlite(*plan, seen);
        EXPECT_EQ(plan->step(), Step::Row) << store->failure().message;
        seen = plan->text(0);
        return scans_postgres(nlohmann::json::parse(seen)[0]["Plan"]);
    };
    Filter since, serial, image, at_station;
    since.since = "2024-05-03";
    serial.serial = 101;
    image.sha256_prefix = "AB";
    at_station.station = "west";
    for (const Filter &filter : {since, serial, image, at_station}) {
        for (Reading reading : {Reading::History, Reading::Summary}) {
            std::unique_ptr<Query> plan;
            ASSERT_TRUE(prepare_reading(*store, reading, filter, explain, plan).ok());
            std::string seen;
            EXPECT_FALSE(scans(plan, seen)) << (reading == Reading::History ? "history" : "summary")
                                            << " by since '" << filter.since << "' serial "
                                            << filter.serial.value_or(0) << " image '" << filter.sha256_prefix
                                            << "' station '" << filter.station << "':\n"
                                            << seen;
        }
    }
    std::unique_ptr<Query> plan = store->query(explain + drawn_sql(store->schema));
    plan->bind_text(1, "c1");
    std::string seen;
    EXPECT_FALSE(scans(plan, seen)) << "serial show:\n" << seen;

    // The dashboard's, unfiltered too: its figures over time from the hourly
    // tally and two hours' attempts, its failures from their own index.
    for (const Filter &filter : {Filter{}, since, at_station}) {
        const std::string named = "since '" + filter.since + "' station '" + filter.station + "'";
        for (Span span : {Span::Hours, Span::DayHour, Span::SinceHour}) {
            ASSERT_TRUE(prepare_timeline(*store, filter, "2024-05-04T10:30:00Z", span, explain, plan).ok());
            seen.clear();
            EXPECT_TRUE(!plan || !scans(plan, seen)) << "timeline " << int(span) << " by " << named << ":\n" << seen;
        }
        ASSERT_TRUE(prepare_failures(*store, filter, {"the write at "}, explain, plan).ok());
        seen.clear();
        const bool scanned = scans(plan, seen);
        EXPECT_TRUE(!scanned || seen.find("attempts_failed") != std::string::npos) << "failures by " << named << ":\n"
                                                                                  << seen;
    }
    ASSERT_TRUE(prepare_timeline(*store, {}, "2024-05-04T10:30:00Z", Span::Hours, explain, plan).ok());
    seen.clear();
    scans(plan, seen);
    EXPECT_EQ(seen.find("attempts"), std::string::npos) << "every hour's figures from the tally:\n" << seen;
}

}  // namespace
