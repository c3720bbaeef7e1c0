// The dashboard's figures added up by the database (Station::timeline,
// failures and latest) against the same figures added up here over every
// attempt history streams, over random records in a file and on a
// PostgreSQL server, for random filters: equal, object for object.
#include "cli/dashboard_figures.h"
#include "pg_test_server.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <random>

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
// at or just before it, some with milliseconds, some tied.
std::string time_at(std::mt19937 &random)
{
    static const int EDGES[] = {86400, 86401, 86399, 0, 3600};
    const int before = random() % 4 == 0 ? EDGES[random() % 5] : int(random() % (4 * 86400));
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
        std::vector<station::AttemptRecord> all;
        ASSERT_TRUE(record.history(filter, all).ok());

        std::vector<station::ImageSummary> summaries;
        std::vector<station::PeriodFigures> periods;
        std::vector<station::FailureCause> causes;
        ASSERT_TRUE(record.summary(filter, summaries).ok());
        ASSERT_TRUE(record.timeline(filter, cli::day_before(NOW), periods).ok());
        ASSERT_TRUE(record.failures(filter, cli::Failures::phrases(), causes).ok());
        std::int64_t last_id = 0, highest = 0;
        for (const station::AttemptRecord &attempt : all)
            highest = std::max(highest, attempt.id);
        EXPECT_EQ(cli::over_time(periods, summaries, NOW, last_id).dump(), cli::over_time(all, NOW).dump());
        EXPECT_EQ(last_id, highest);
        EXPECT_EQ(cli::failures(causes).dump(), cli::failures(all).dump());

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
