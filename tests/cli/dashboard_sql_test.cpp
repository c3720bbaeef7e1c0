// The dashboard's figures added up by the database (Station::timeline,
// failures and latest) against the same figures added up here over every
// attempt history streams, over random records in a file and on a
// PostgreSQL server, for random filters: equal, object for object.
#include "cli/dashboard_figures.h"
#include "owner_sql.h"
#include "pg_test_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <tuple>

namespace {

::testing::Environment *const server = ::testing::AddGlobalTestEnvironment(new PostgresServer);

const std::string NOW = "2024-03-02T12:30:00Z";
const char *const STATIONS[] = {"east", "west", "<b>north</b>", ""};
const char *const IMAGES[] = {"aa1100", "ab2200", "b03300"};
const char *const MESSAGES[] = {
    "", "the bootloader refused the write at 0x0200 with 'C'", "the erase at 0x0000 got no answer: timed out",
    "The write at 0x0200 (not this one's case)", "100% of the_setup at 0x", "the chip's flash differs",
    "the verify at 0x0000 failed, then the lock at 0x0001"};

// Times within four days before NOW, some on the second the last day starts
// at or just before it, some with milliseconds, some tied, some close.
std::string time_at(std::mt19937 &random)
{
    static const int EDGES[] = {86400, 86401, 86399, 0, 3600};
    // Some in two busy hours, one in the last day, so that an hour holds
    // several attempts of one station and image.
    const int before = random() % 4 == 0   ? EDGES[random() % 5]
                       : random() % 3 == 0 ? int((random() % 2 ? 2 * 86400 : 7200) + random() % 600)
                                           : int(random() % (4 * 86400));
    int total = 12 * 3600 + 30 * 60 - before, day = 2;
    while (total < 0)
        total += 86400, --day;
    const int month = day > 0 ? 3 : 2, date = day > 0 ? day : 29 + day;
    char text[48];
    std::snprintf(text, sizeof text, "2024-%02d-%02dT%02d:%02d:%02d", month, date, total / 3600, total / 60 % 60,
                  total % 60);
    return std::string(text) + (random() % 2 ? "" : "." + std::to_string(100 + random() % 900));
}

class DashboardSql : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override
    {
        char directory[] = "/tmp/dashboard_sql_test.XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        dir = directory;
        path = GetParam() ? PostgresServer::database() : dir + "/station.sqlite";
        const station::Result made = record.init(path);
        ASSERT_TRUE(made.ok()) << made.message;
        station::Counter counter;
        ASSERT_TRUE(record.init_counter("line", 1, std::nullopt, counter).ok());
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void record_at_random(std::mt19937 &random, int attempts)
    {
        const auto pick = [&](int n) { return int(random() % unsigned(n)); };
        for (int i = 0; i < attempts; ++i) {
            record.name_station(STATIONS[pick(4)]);
            station::AttemptStart start;
            start.started = time_at(random);
            start.image_sha256 = IMAGES[pick(3)];
            start.image_name = "fw-" + std::to_string(pick(5)) + ".hex";
            station::Attempt attempt;
            ASSERT_TRUE(record.begin(start, attempt).ok());
            // Numbered once identified; or withdrawn, never having been one
            // (no such counter, or a number too large for its board).
            if (pick(4) == 0) {
                const bool withdrawn = pick(2) == 0;
                const station::Result drawn = record.draw(attempt, withdrawn && pick(2) ? "none" : "line",
                                                          withdrawn ? 0 : UINT64_MAX);
                ASSERT_EQ(drawn.ok(), !withdrawn) << drawn.message;
                if (withdrawn)
                    continue;
            }
            if (pick(8) == 0)
                continue;  // unfinished
            station::AttemptEnd end;
            end.exit_code = pick(3) == 0 ? 1 + pick(80) : 0;
            end.result = end.exit_code == 0 ? "ok" : pick(2) ? "mismatch" : "refused";
            end.message = end.exit_code == 0 ? "" : MESSAGES[pick(7)];
            end.tries = std::uint32_t(pick(4));  // 0 too, as a record written by hand may hold
            ASSERT_TRUE(record.finish(attempt, end).ok());
        }
    }

    void sql(const std::string &statement) { owner_sql(GetParam(), path, statement); }

    // The database's figures against those added up over every attempt.
    void expect_figures(station::Station &read, const station::Filter &filter)
    {
        std::vector<station::AttemptRecord> all;
        std::vector<station::ImageSummary> summaries;
        std::vector<station::PeriodFigures> periods;
        std::vector<station::FailureCause> causes;
        ASSERT_TRUE(read.history(filter, all).ok());
        ASSERT_TRUE(read.summary(filter, summaries).ok());
        ASSERT_TRUE(read.timeline(filter, cli::day_before(NOW), periods).ok());
        ASSERT_TRUE(read.failures(filter, cli::Failures::phrases(), causes).ok());
        std::int64_t last_id = 0, highest = 0;
        for (const station::AttemptRecord &attempt : all)
            highest = std::max(highest, attempt.id);
        EXPECT_EQ(cli::over_time(periods, summaries, NOW, last_id).dump(), cli::over_time(all, NOW).dump());
        EXPECT_EQ(last_id, highest);
        EXPECT_EQ(cli::failures(causes).dump(), cli::failures(all).dump());
        // Each period's highest id, as its attempts hold them.
        std::map<std::tuple<std::string, std::string, std::string>, std::int64_t> want, got;
        for (const station::AttemptRecord &attempt : all) {
            std::int64_t &id = want[std::make_tuple(cli::period_of(attempt.start.started, cli::day_before(NOW)),
                                                    attempt.station, attempt.start.image_sha256)];
            id = std::max(id, attempt.id);
        }
        for (const station::PeriodFigures &period : periods)
            got[std::make_tuple(period.period, period.station, period.sha256)] = period.last_id;
        EXPECT_EQ(got, want);
    }

    // Attempts corrected by hand, as a line's owner may: moved to another
    // station or hour, their tries or result changed, after they finished.
    void correct_at_random(std::mt19937 &random, int corrections)
    {
        static const char *const CHANGES[] = {
            "station = 'west'", "started = '2024-03-01T23:59:59.999'", "tries = 1", "tries = 2",
            "exit_code = 0", "exit_code = 3, result = 'refused', message = 'the erase at 0x0000 failed'",
            "image_sha256 = 'ab2200'", "started = '2024-03-02T12:30:00'"};
        // A server keeps a finished attempt as it is but for its owner.
        const std::string kept = "ALTER TABLE attempts DISABLE TRIGGER attempts_kept; ";
        for (int i = 0; i < corrections; ++i) {
            // An attempt, or the last of its hour's.
            const std::string one = "(SELECT min(id) FROM attempts WHERE id >= " + std::to_string(random() % 200) + ")";
            const std::string last = "(SELECT max(b.id) FROM attempts b WHERE substr(b.started, 1, 13) = (SELECT "
                                     "substr(c.started, 1, 13) FROM attempts c WHERE c.id = " + one + "))";
            sql((GetParam() ? kept : "") + "UPDATE attempts SET " + CHANGES[random() % 8] +
                " WHERE id = " + (random() % 2 ? one : last) +
                (GetParam() ? "; ALTER TABLE attempts ENABLE TRIGGER attempts_kept" : ""));
        }
    }

    station::Station record;
    std::string dir, path;
};

INSTANTIATE_TEST_SUITE_P(Stores, DashboardSql, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool> &server) {
                             return server.param ? "postgresql" : "sqlite";
                         });

TEST_P(DashboardSql, TheDatabasesFiguresAreThoseAddedUpOverEveryAttempt)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    record_at_random(random, 150);
    correct_at_random(random, 30);
    for (int round = 0; round < 12; ++round) {
        station::Filter filter;
        if (round > 0 && random() % 2 == 0)
            filter.since = time_at(random).substr(0, 19);
        if (round > 0 && random() % 3 == 0)
            filter.station = STATIONS[random() % 3];
        if (round > 0 && random() % 3 == 0)
            filter.sha256_prefix = std::string(IMAGES[random() % 3]).substr(0, 2);
        SCOPED_TRACE("since '" + filter.since + "' station '" + filter.station + "' image '" + filter.sha256_prefix +
                     "'");
        if (round > 0 && random() % 5 == 0)
            filter.serial = 1 + random() % 20;  // read from the attempts, not the tallies
        expect_figures(record, filter);
        std::vector<station::AttemptRecord> all;
        ASSERT_TRUE(record.history(filter, all).ok());

        const std::size_t limit = random() % 60;
        std::vector<station::AttemptRecord> latest;
        ASSERT_TRUE(record.latest(filter, limit, latest).ok());
        std::vector<std::int64_t> want, got;
        for (std::size_t i = all.size() > limit ? all.size() - limit : 0; i < all.size(); ++i)
            want.push_back(all[i].id);
        for (const station::AttemptRecord &attempt : latest)
            got.push_back(attempt.id);
        EXPECT_EQ(got, want) << "the latest " << limit;
    }
}

// A record of the version before the hourly tally: station init fills it
// from the attempts there, and the record's writers keep it from then on.
TEST_P(DashboardSql, TheHourlyTallyIsFilledOnUpgradeAndKeptAfter)
{
    const unsigned seed = std::random_device()();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    record_at_random(random, 80);
    sql(GetParam() ? "DROP TRIGGER attempts_hours_insert ON attempts" : "DROP TRIGGER attempts_hours_insert");
    sql(GetParam() ? "DROP TRIGGER attempts_hours_update ON attempts" : "DROP TRIGGER attempts_hours_update");
    sql("DROP TABLE hour_tally");
    sql("DROP INDEX attempts_failed");
    sql(GetParam() ? "UPDATE kestrane_schema SET version = 3" : "PRAGMA user_version = 3");
    {
        station::Station old;
        ASSERT_TRUE(old.open(path).ok());
        ASSERT_EQ(old.schema_version(), GetParam() ? 3 : station::HOURS_KEPT) << "a file is upgraded as it is opened";
        expect_figures(old, {});
    }
    ASSERT_TRUE(record.init(path).ok());
    ASSERT_EQ(record.schema_version(), station::HOURS_KEPT);
    expect_figures(record, {});
    record_at_random(random, 40);
    expect_figures(record, {});
}

TEST_P(DashboardSql, AnEmptyPhraseOrAFilterThatIsNoneIsRefused)
{
    std::vector<station::FailureCause> causes;
    EXPECT_EQ(record.failures({}, {"the erase at ", ""}, causes).status, station::Status::Invalid);
    station::Filter bad;
    bad.since = "yesterday";
    std::vector<station::PeriodFigures> periods;
    EXPECT_EQ(record.timeline(bad, NOW, periods).status, station::Status::Invalid);
    std::vector<station::AttemptRecord> latest;
    EXPECT_EQ(record.latest(bad, 5, latest).status, station::Status::Invalid);
}

}  // namespace
