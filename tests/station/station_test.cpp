// The station database, in an SQLite file and on a PostgreSQL server alike:
// counters hand out each number once, across processes and threads, through
// failures and a SIGKILL; history filters and the summary's figures on a
// known set of attempts; schemas upgraded, newer ones refused. In a file: a
// call waits for another writer instead of losing its record.
#include "owner_sql.h"
#include "pg_test_server.h"
#include "station/station.h"
#include "station/station_report.h"
#include "station/store_postgres.h"
#include "station/store_sqlite.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sqlite3.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <future>
#include <mutex>
#include <thread>

namespace {

using namespace station;

::testing::Environment *const server = ::testing::AddGlobalTestEnvironment(new PostgresServer);

// An SQLite file in a folder of the test's own.
class SqliteTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        char directory[] = "/tmp/station_test.XXXXXX";
        ASSERT_NE(mkdtemp(directory), nullptr);
        dir = directory;
        path = dir + "/station.sqlite";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string dir, path;
};

enum class Kind { File, Server };

// Either store: path is the file's, or a fresh database's URI with the
// schema made.
class StationTest : public SqliteTest, public ::testing::WithParamInterface<Kind> {
protected:
    void SetUp() override
    {
        SqliteTest::SetUp();
        if (GetParam() == Kind::Server) {
            path = PostgresServer::database();
            Station station;
            const Result made = station.init(path);
            ASSERT_TRUE(made.ok()) << made.message;
        }
    }
    // Runs statement on the database at where as its owner.
    void sql(const std::string &where, const std::string &statement)
    {
        owner_sql(GetParam() == Kind::Server, where, statement);
    }
};

INSTANTIATE_TEST_SUITE_P(Stores, StationTest, ::testing::Values(Kind::File, Kind::Server),
                         [](const ::testing::TestParamInfo<Kind> &kind) {
                             return kind.param == Kind::File ? "sqlite" : "postgresql";
                         });

AttemptStart board(const std::string &counter, const std::string &sha256 = "ab12", const std::string &started = "")
{
    AttemptStart start;
    start.started = started;
    start.transport = Transport::Uart;
    start.path = "/dev/ttyUSB0";
    start.image_name = "blink.hex";
    start.image_sha256 = sha256;
    start.counter = counter;
    return start;
}

AttemptEnd ended(int exit_code, std::uint32_t tries = 1, const std::string &message = "")
{
    AttemptEnd end;
    end.result = exit_code == 0 ? "ok" : "failed";
    end.exit_code = exit_code;
    end.message = message;
    end.tries = tries;
    return end;
}

std::vector<AttemptRecord> all(Station &station)
{
    std::vector<AttemptRecord> records;
    const Result read = station.history(Filter{}, records);
    EXPECT_TRUE(read.ok()) << read.message;
    return records;
}

TEST_P(StationTest, CountersHandOutTheirRangeOnceAndStopAtTheLast)
{
    Station station;
    ASSERT_TRUE(station.open(path).ok());
    Counter counter;
    ASSERT_TRUE(station.init_counter("board", 5, 7, counter).ok());
    EXPECT_EQ(counter.next(), 5u);
    Attempt attempt;
    for (std::uint64_t expected = 5; expected <= 7; ++expected) {
        ASSERT_TRUE(station.begin(board("board"), attempt).ok());
        EXPECT_EQ(attempt.serial, expected);
        ASSERT_TRUE(station.init_counter("board", 5, 7, counter).ok()) << "init again restarts nothing";
        EXPECT_EQ(counter.handed_out, expected - 4);
    }
    const Result exhausted = station.begin(board("board"), attempt);
    EXPECT_EQ(exhausted.status, Status::Exhausted);
    EXPECT_NE(exhausted.message.find("7"), std::string::npos) << exhausted.message;
    EXPECT_EQ(station.begin(board("nameless"), attempt).status, Status::NoSuchCounter);
    EXPECT_EQ(all(station).size(), 3u) << "a refused draw writes no attempt";

    EXPECT_EQ(station.init_counter("board", 5, 9, counter).status, Status::Conflict);
    EXPECT_EQ(station.init_counter("board", 5, std::nullopt, counter).status, Status::Conflict);
    EXPECT_EQ(station.init_counter("down", 9, 5, counter).status, Status::Invalid);
    EXPECT_EQ(station.init_counter("huge", LARGEST_NUMBER + 1, std::nullopt, counter).status, Status::Invalid);

    // With no last number a counter ends where SQLite's integers do.
    ASSERT_TRUE(station.init_counter("top", LARGEST_NUMBER - 1, std::nullopt, counter).ok());
    ASSERT_TRUE(station.begin(board("top"), attempt).ok());
    ASSERT_TRUE(station.begin(board("top"), attempt).ok());
    EXPECT_EQ(attempt.serial, LARGEST_NUMBER);
    EXPECT_EQ(station.begin(board("top"), attempt).status, Status::Exhausted);

    std::vector<Counter> counters;
    ASSERT_TRUE(station.counters(counters).ok());
    ASSERT_EQ(counters.size(), 2u);
    EXPECT_EQ(counters[0].name, "board");
    EXPECT_TRUE(counters[0].exhausted());
    EXPECT_EQ(counters[1].name, "top");
    EXPECT_EQ(counters[1].handed_out, 2u);
}

// A number drawn into an attempt begun without one, once its board is
// known to take it: no more than the board takes, never twice for one
// attempt. An attempt that no number is left for is withdrawn, as if it had
// never begun; the others keep theirs.
TEST_P(StationTest, ANumberIsDrawnIntoAnAttemptOrTheAttemptIsWithdrawn)
{
    Station station;
    ASSERT_TRUE(station.open(path).ok());
    Counter counter;
    ASSERT_TRUE(station.init_counter("board", 1, 3, counter).ok());
    Attempt first, second;
    ASSERT_TRUE(station.begin(board(""), first).ok());
    EXPECT_FALSE(first.serial);
    ASSERT_TRUE(station.draw(first, "board", LARGEST_NUMBER).ok());
    EXPECT_EQ(first.serial, 1u);
    EXPECT_EQ(station.draw(first, "board", LARGEST_NUMBER).status, Status::Invalid) << "a second number";

    struct Refusal {
        std::string counter;
        std::uint64_t largest;
        Status status;
    };
    for (const Refusal &refusal : {Refusal{"board", 1, Status::TooLarge}, Refusal{"nameless", 9, Status::NoSuchCounter}}) {
        Attempt withdrawn;
        ASSERT_TRUE(station.begin(board(""), withdrawn).ok());
        const Result drawn = station.draw(withdrawn, refusal.counter, refusal.largest);
        EXPECT_EQ(drawn.status, refusal.status) << drawn.message;
        EXPECT_EQ(station.finish(withdrawn, ended(0)).status, Status::Invalid) << "a withdrawn attempt finished";
    }
    ASSERT_TRUE(station.begin(board(""), second).ok());
    ASSERT_TRUE(station.draw(second, "board", 2).ok());
    EXPECT_EQ(second.serial, 2u) << "the refusal drew nothing";
    ASSERT_TRUE(station.begin(board("board"), first).ok());
    Attempt exhausted;
    ASSERT_TRUE(station.begin(board(""), exhausted).ok());
    EXPECT_EQ(station.draw(exhausted, "board", LARGEST_NUMBER).status, Status::Exhausted);

    const std::vector<AttemptRecord> records = all(station);
    ASSERT_EQ(records.size(), 3u) << "withdrawn attempts are gone";
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].serial, i + 1);
        EXPECT_EQ(records[i].start.counter, "board");
    }
}

// The part identify named goes with the number, so that an attempt cut
// short after its draw says which part took it. A draw for an attempt that
// takes no number (a finished one) uses none up. A counter as last seen is
// never ahead of the database, and its draw tells what another station
// used up since.
TEST_P(StationTest, ADrawKeepsThePartAndUsesUpNoNumberItDoesNotWrite)
{
    Station station, other;
    ASSERT_TRUE(station.open(path).ok());
    ASSERT_TRUE(other.open(path).ok());
    Counter counter;
    ASSERT_TRUE(station.init_counter("board", 1, 2, counter).ok());
    Attempt cut, done;
    ASSERT_TRUE(station.begin(board(""), cut).ok());
    ASSERT_TRUE(station.draw(cut, "board", LARGEST_NUMBER, "EFM8BB31F64G-QFN32").ok());
    ASSERT_TRUE(station.begin(board(""), done).ok());
    ASSERT_TRUE(station.finish(done, ended(0)).ok());
    EXPECT_EQ(station.draw(done, "board", LARGEST_NUMBER).status, Status::Invalid);
    ASSERT_TRUE(station.counter("board", counter).ok());
    EXPECT_EQ(counter.handed_out, 1u) << "a number used up by a draw that wrote none";
    std::vector<AttemptRecord> records = all(station);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].serial, 1u);
    EXPECT_EQ(records[0].start.part, "EFM8BB31F64G-QFN32");
    EXPECT_FALSE(records[0].end);

    Attempt elsewhere, late;
    ASSERT_TRUE(other.begin(board("board"), elsewhere).ok());
    EXPECT_EQ(elsewhere.serial, 2u);
    Counter seen;
    ASSERT_TRUE(station.counter_as_seen("board", seen).ok());
    EXPECT_GE(seen.handed_out, 1u);
    EXPECT_LE(seen.handed_out, 2u);
    ASSERT_TRUE(station.begin(board(""), late).ok());
    EXPECT_EQ(station.draw(late, "board", LARGEST_NUMBER).status, Status::Exhausted);
    ASSERT_TRUE(station.counter_as_seen("board", seen).ok());
    EXPECT_TRUE(seen.exhausted()) << "the refused draw read the counter again";
    EXPECT_EQ(all(station).size(), 3u) << "the attempt without a number is withdrawn";
}

// Threads that each draw and finish attempts, every fifth board failing;
// shared: one Station for all threads, else one each, all named name.
bool draw_many(const std::string &path, const std::string &name, bool shared, int threads, int draws)
{
    Station common;
    common.name_station(name);
    if (shared && !common.open(path).ok())
        return false;
    std::atomic<bool> ok{true};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            Station own;
            own.name_station(name);
            if (!shared && !own.open(path).ok())
                ok = false;
            Station &station = shared ? common : own;
            // Every other number drawn into an attempt begun without one,
            // as the line draws it once the board is identified.
            for (int i = 0; i < draws && ok; ++i) {
                Attempt attempt;
                const bool later = i % 2 == 1;
                if (!station.begin(board(later ? "" : "board"), attempt).ok() ||
                    (later && !station.draw(attempt, "board", LARGEST_NUMBER).ok()) || !attempt.serial ||
                    !station.finish(attempt, ended(*attempt.serial % 5 == 0 ? 74 : 0)).ok())
                    ok = false;
            }
        });
    for (std::thread &worker : workers)
        worker.join();
    return ok;
}

// Four processes, one of them sharing a Station between its threads, 250
// draws each.
TEST_P(StationTest, FourProcessesWithThreadsDrawEveryNumberOnce)
{
    const int PROCESSES = 4, THREADS = 2, DRAWS = 125, FIRST = 1000;
    {
        Station station;  // closed again before the fork: connections do not cross one
        Counter counter;
        ASSERT_TRUE(station.open(path).ok());
        ASSERT_TRUE(station.init_counter("board", FIRST, std::nullopt, counter).ok());
    }
    std::vector<pid_t> children;
    for (int p = 1; p < PROCESSES; ++p) {
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0)
            _exit(draw_many(path, "bench-" + std::to_string(p), false, THREADS, DRAWS) ? 0 : 1);
        children.push_back(child);
    }
    const bool drawn = draw_many(path, "bench-0", true, THREADS, DRAWS);
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    ASSERT_TRUE(drawn);

    Station station;
    ASSERT_TRUE(station.open(path).ok());
    std::vector<AttemptRecord> records = all(station);
    ASSERT_EQ(records.size(), std::size_t(PROCESSES * THREADS * DRAWS));
    // Which station drew within which range, as serial show tells it: the
    // numbers contiguous, so one range each, holding as many as it drew.
    std::vector<Drawn> runs;
    ASSERT_TRUE(station.drawn("board", runs).ok());
    std::map<std::string, std::uint64_t> drew;
    for (const AttemptRecord &record : records)
        ++drew[record.station];
    ASSERT_EQ(runs.size(), drew.size());
    for (const Drawn &run : runs) {
        EXPECT_EQ(run.count, drew[run.station]) << run.station;
        for (const AttemptRecord &record : records) {
            if (record.station == run.station) {
                EXPECT_TRUE(*record.serial >= run.first && *record.serial <= run.last) << *record.serial;
            }
        }
    }
    std::sort(records.begin(), records.end(),
              [](const AttemptRecord &a, const AttemptRecord &b) { return *a.serial < *b.serial; });
    for (std::size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].serial, FIRST + i) << "numbers are distinct and contiguous";
        ASSERT_TRUE(records[i].end);
        EXPECT_EQ(records[i].serial_void(), (FIRST + i) % 5 == 0) << "the only gaps are recorded voids";
    }
    Counter counter;
    ASSERT_TRUE(station.counter("board", counter).ok());
    EXPECT_EQ(counter.handed_out, records.size());
}

TEST_P(StationTest, AKilledAttemptKeepsItsNumberAndShowsUnfinished)
{
    {
        Station station;
        Counter counter;
        ASSERT_TRUE(station.open(path).ok());
        ASSERT_TRUE(station.init_counter("board", 1, std::nullopt, counter).ok());
    }
    int ready[2], never[2];
    ASSERT_EQ(pipe(ready), 0);
    ASSERT_EQ(pipe(never), 0);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        Station station;
        Attempt attempt;
        std::uint64_t serial = 0;
        if (station.open(path).ok() && station.begin(board("board"), attempt).ok())
            serial = attempt.serial.value_or(0);
        char wait;
        if (write(ready[1], &serial, sizeof serial) == sizeof serial)
            (void)!read(never[0], &wait, 1);  // killed here, between drawing and finishing
        _exit(1);
    }
    std::uint64_t serial = 0;
    ASSERT_EQ(read(ready[0], &serial, sizeof serial), ssize_t(sizeof serial));
    ASSERT_EQ(serial, 1u);
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status));
    for (int fd : {ready[0], ready[1], never[0], never[1]})
        close(fd);

    Station station;
    ASSERT_TRUE(station.open(path).ok());
    Attempt next;
    ASSERT_TRUE(station.begin(board("board"), next).ok());
    EXPECT_EQ(next.serial, 2u) << "the killed attempt's number is never handed out again";
    ASSERT_TRUE(station.finish(next, ended(0)).ok());
    const std::vector<AttemptRecord> records = all(station);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].serial, 1u);
    EXPECT_FALSE(records[0].end) << "unfinished";
    EXPECT_FALSE(records[0].serial_void()) << "not known to be void: the board may hold it";
    EXPECT_TRUE(records[1].passed());
}

TEST_F(SqliteTest, ACallWaitsForAnotherWritersLockAndThenRecords)
{
    Station station;
    Counter counter;
    ASSERT_TRUE(station.open(path).ok());
    ASSERT_TRUE(station.init_counter("board", 1, std::nullopt, counter).ok());
    sqlite3 *holder = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &holder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(holder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);

    // Set when the call starts waiting, or when it returns without having
    // waited, so that a broken wait fails the test instead of hanging it.
    std::promise<bool> waited;
    std::once_flag told;
    auto tell = [&](bool waiting) { std::call_once(told, [&] { waited.set_value(waiting); }); };
    station.on_busy([&] { tell(true); });
    Result begun, finished;
    Attempt attempt;
    std::thread flasher([&] {
        begun = station.begin(board("board"), attempt);
        tell(false);
        finished = station.finish(attempt, ended(0));
    });
    EXPECT_TRUE(waited.get_future().get()) << "the call waited for the lock";
    EXPECT_EQ(sqlite3_exec(holder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    flasher.join();
    sqlite3_close(holder);

    EXPECT_TRUE(begun.ok()) << begun.message;
    EXPECT_TRUE(finished.ok()) << finished.message;
    const std::vector<AttemptRecord> records = all(station);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].serial, 1u);
    EXPECT_TRUE(records[0].passed());
}

TEST_P(StationTest, HistoryFiltersAndSummaryFigures)
{
    Station station;
    Counter counter;
    ASSERT_TRUE(station.open(path).ok());
    ASSERT_TRUE(station.init_counter("board", 100, 199, counter).ok());
    const std::string A = sha256_hex(reinterpret_cast<const std::uint8_t *>("abc"), 3), B = "bb22";
    EXPECT_EQ(A, "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    struct Planned {
        std::string sha256, started, counter, station;
        int exit_code;  // -1: never finished
        std::uint32_t tries;
    };
    // Out of time order on purpose: history reads back by start time.
    const Planned plan[] = {
        {A, "2024-05-01T08:00:00Z", "board", "left", 0, 1},  {A, "2024-05-01T08:10:00Z", "board", "left", 1, 2},
        {B, "2024-05-01T09:00:00Z", "", "right", 0, 1},      {A, "2024-05-01T08:20:00Z", "board", "right", 0, 2},
        {A, "2024-05-01T10:00:00Z", "board", "left", -1, 0}, {B, "2024-05-01T11:00:00Z", "", "right", 74, 1},
    };
    for (const Planned &p : plan) {
        Attempt attempt;
        station.name_station(p.station);
        ASSERT_TRUE(station.begin(board(p.counter, p.sha256, p.started), attempt).ok());
        if (p.exit_code >= 0) {
            ASSERT_TRUE(station.finish(attempt, ended(p.exit_code, p.tries, "port \"x\" busy, again")).ok());
        }
    }
    auto serials_of = [&](const Filter &filter) {
        std::vector<AttemptRecord> records;
        const Result read = station.history(filter, records);
        EXPECT_TRUE(read.ok()) << read.message;
        std::vector<std::string> seen;
        for (const AttemptRecord &r : records)
            seen.push_back(r.start.started.substr(11, 5) + (r.serial ? "#" + std::to_string(*r.serial) : ""));
        return seen;
    };
    using Seen = std::vector<std::string>;
    EXPECT_EQ(serials_of({}), (Seen{"08:00#100", "08:10#101", "08:20#102", "09:00", "10:00#103", "11:00"}));
    EXPECT_EQ(serials_of({"2024-05-01T09:00:00Z", {}, "", ""}), (Seen{"09:00", "10:00#103", "11:00"}));
    EXPECT_EQ(serials_of({"2024-05-01 08:15", {}, "", ""}), (Seen{"08:20#102", "09:00", "10:00#103", "11:00"}));
    EXPECT_EQ(serials_of({"", 101, "", ""}), (Seen{"08:10#101"}));
    EXPECT_EQ(serials_of({"", {}, "BA78", ""}), (Seen{"08:00#100", "08:10#101", "08:20#102", "10:00#103"}));
    EXPECT_EQ(serials_of({"2024-05-01T08:05Z", {}, "bb", ""}), (Seen{"09:00", "11:00"}));
    EXPECT_EQ(serials_of({"", {}, "", "right"}), (Seen{"08:20#102", "09:00", "11:00"}));
    std::vector<AttemptRecord> records;
    for (const char *bad : {"last tuesday", "2024-02-30", "2024-05-01T24:00", "2024-05-01T09:30Zulu", "2024-5-1"})
        EXPECT_EQ(station.history({bad, {}, "", ""}, records).status, Status::Invalid) << bad;
    EXPECT_EQ(station.history({"", {}, "zz", ""}, records).status, Status::Invalid);

    ASSERT_TRUE(station.history({}, records).ok());
    EXPECT_EQ(records[0].start.started, "2024-05-01T08:00:00.000Z");
    // The line's summary of each image, then each station's.
    const std::vector<ImageSummary> summaries = summarize(records);
    ASSERT_EQ(summaries.size(), 5u);
    const ImageSummary &a = summaries[0], &b = summaries[3];
    EXPECT_EQ((std::vector<std::string>{a.station, summaries[1].station, summaries[2].station, b.station,
                                        summaries[4].station}),
              (std::vector<std::string>{"", "left", "right", "", "right"}));
    EXPECT_EQ((std::vector<std::uint64_t>{summaries[1].attempts, summaries[1].first_pass, summaries[2].attempts,
                                          summaries[2].first_pass, summaries[2].lowest_serial.value_or(0)}),
              (std::vector<std::uint64_t>{3, 1, 1, 0, 102}));
    EXPECT_EQ(a.sha256, A);
    EXPECT_EQ((std::vector<std::uint64_t>{a.attempts, a.passed, a.failed, a.unfinished, a.first_pass, a.voids}),
              (std::vector<std::uint64_t>{4, 2, 1, 1, 1, 1}));
    EXPECT_DOUBLE_EQ(a.first_pass_yield, 0.25);
    EXPECT_EQ(a.lowest_serial, 100u);
    EXPECT_EQ(a.highest_serial, 103u);
    EXPECT_EQ((std::vector<std::uint64_t>{b.attempts, b.passed, b.failed, b.unfinished, b.first_pass, b.voids}),
              (std::vector<std::uint64_t>{2, 1, 1, 0, 1, 0}));
    EXPECT_DOUBLE_EQ(b.first_pass_yield, 0.5);
    EXPECT_FALSE(b.lowest_serial);

    // What the command line prints of them.
    const nlohmann::json unfinished = nlohmann::json::parse(attempt_line(records[4], Style::Json));
    EXPECT_EQ(unfinished["path"], "/dev/ttyUSB0");
    EXPECT_EQ(unfinished["serial"], 103);
    EXPECT_EQ(unfinished["result"], "unfinished");
    EXPECT_TRUE(unfinished["exit_code"].is_null() && unfinished["tries"].is_null());
    const nlohmann::json unnumbered = nlohmann::json::parse(attempt_line(records[5], Style::Json));
    EXPECT_TRUE(unnumbered["serial"].is_null());
    EXPECT_EQ(unnumbered["exit_code"], 74);
    EXPECT_EQ(unnumbered["tries"], 1);
    const std::string csv = attempt_line(records[5], Style::Csv);
    EXPECT_NE(csv.find(",\"port \"\"x\"\" busy, again\","), std::string::npos) << csv;
    const std::string header = attempt_header(Style::Csv), row = attempt_line(records[4], Style::Csv);
    EXPECT_EQ(std::count(header.begin(), header.end(), ','), std::count(row.begin(), row.end(), ',')) << row;
    EXPECT_NE(attempt_line(records[4], Style::Text).find("serial 103  unfinished"), std::string::npos);
    EXPECT_EQ(unfinished["void"], false);
    EXPECT_NE(summary_line(a, Style::Text).find("first-pass yield 25.0% (1/4); serials 100 to 103, 1 void"),
              std::string::npos)
        << summary_line(a, Style::Text);
}

// A database of the version before stations: read as it is, and upgraded
// by init (a file by any opening), its attempts then named by their host.
// One made by a newer version is refused however it is opened.
TEST_P(StationTest, SchemasAreUpgradedAndNewerOnesRefused)
{
    const bool server = GetParam() == Kind::Server;
    const std::string old = server ? PostgresServer::database() : dir + "/old.sqlite";
    sql(old, server ? PostgresStore().dialect().tables : SqliteStore().dialect().tables);
    sql(old, server ? "INSERT INTO kestrane_schema VALUES (1, 'old line')" : "PRAGMA user_version = 1");
    sql(old, "INSERT INTO attempts (started, host, transport, path, part, image_name, image_sha256) "
             "VALUES ('2024-05-01T08:00:00.000Z', 'old-host', 'usb', 'sim:1', '', 'a.bin', 'ab')");
    Station station;
    std::string warning;
    ASSERT_TRUE(station.open_to_read(old, warning).ok());
    EXPECT_EQ(station.schema_version(), 1);
    EXPECT_EQ(all(station).at(0).station, "old-host");
    if (server) {
        const Result refused = station.open(old);
        EXPECT_EQ(refused.status, Status::CannotOpen);
        EXPECT_NE(refused.message.find("station init --db URI upgrades it to " + std::to_string(SCHEMA_VERSION)),
                  std::string::npos)
            << refused.message;
    }
    for (int again = 0; again < 2; ++again) {
        const Result upgraded = station.init(old);
        ASSERT_TRUE(upgraded.ok()) << upgraded.message;
        EXPECT_EQ(station.schema_version(), SCHEMA_VERSION);
    }
    station.name_station("new");
    Attempt attempt;
    ASSERT_TRUE(station.begin(board(""), attempt).ok());
    ASSERT_TRUE(station.finish(attempt, ended(0)).ok());
    const std::vector<AttemptRecord> records = all(station);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].station, "old-host");
    EXPECT_EQ(records[1].station, "new");

    sql(path, server ? "UPDATE kestrane_schema SET version = 99" : "PRAGMA user_version = 99");
    for (int way = 0; way < 3; ++way) {
        const Result refused = way == 0 ? station.open(path) : way == 1 ? station.init(path)
                                                                        : station.open_to_read(path, warning);
        EXPECT_EQ(refused.status, Status::CannotOpen) << way;
        EXPECT_NE(refused.message.find("schema version 99, made by a newer Kestrane"), std::string::npos)
            << refused.message;
    }
}

TEST_F(SqliteTest, WhereTheDatabaseLivesAndWhatCannotBeOpened)
{
    const char *saved_state = std::getenv("XDG_STATE_HOME");
    const char *saved_home = std::getenv("HOME");
    const std::string state = saved_state ? saved_state : "", home = saved_home ? saved_home : "";
    std::string found;
    setenv("XDG_STATE_HOME", (dir + "/state").c_str(), 1);
    ASSERT_TRUE(default_path(found).ok());
    EXPECT_EQ(found, dir + "/state/kestrane/station.sqlite");
    Station station;
    ASSERT_TRUE(station.open_default().ok()) << "its directories are created";
    EXPECT_TRUE(std::filesystem::exists(found));
    setenv("HOME", (dir + "/home").c_str(), 1);
    for (const char *unusable : {"", "relative/state"}) {
        setenv("XDG_STATE_HOME", unusable, 1);
        ASSERT_TRUE(default_path(found).ok());
        EXPECT_EQ(found, dir + "/home/.local/state/kestrane/station.sqlite") << unusable;
    }
    unsetenv("XDG_STATE_HOME");
    unsetenv("HOME");
    EXPECT_EQ(default_path(found).status, Status::CannotOpen);
    setenv("HOME", home.c_str(), 1);
    if (saved_state)
        setenv("XDG_STATE_HOME", state.c_str(), 1);

    for (const std::string &unopenable : {dir + "/missing/station.sqlite", dir}) {
        const Result opened = station.open(unopenable);
        EXPECT_EQ(opened.status, Status::CannotOpen) << unopenable;
        EXPECT_NE(opened.message.find(unopenable), std::string::npos) << opened.message;
    }
    std::vector<AttemptRecord> records;
    EXPECT_EQ(station.history({}, records).status, Status::Failed) << "a failed open leaves it closed";
    { std::ofstream(dir + "/text") << "not a database, but long enough to look like a header of one\n"; }
    EXPECT_EQ(station.open(dir + "/text").status, Status::CannotOpen);

    ASSERT_TRUE(station.open(path).ok());
    Attempt attempt;
    ASSERT_TRUE(station.begin(board(""), attempt).ok());
    EXPECT_FALSE(attempt.serial);
    ASSERT_TRUE(station.finish(attempt, ended(0)).ok());
    EXPECT_EQ(station.finish(attempt, ended(1)).status, Status::Invalid) << "a finished attempt stays as it was";
    EXPECT_TRUE(all(station).at(0).passed());
}

}  // namespace
