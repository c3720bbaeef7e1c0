// The dashboard's figures against what history --summary adds up, over
// random records: every attempt counted once, in its period, by its station
// and image, and each failure by its cause.
#include "cli/dashboard_figures.h"
#include "station/station_report.h"

#include <kestrane/bootloader.h>
#include <kestrane/engine.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <random>

namespace {

const std::string NOW = "2024-03-02T12:30:00Z";

std::string time_at(int seconds_before)  // before NOW, on 2024-03-02 or the days before
{
    int total = 12 * 3600 + 30 * 60 - seconds_before;
    int day = 2;
    while (total < 0)
        total += 86400, --day;
    const int month = day > 0 ? 3 : 2, date = day > 0 ? day : 29 + day;
    char text[40];
    std::snprintf(text, sizeof text, "2024-%02d-%02dT%02d:%02d:%02d.%03dZ", month, date, total / 3600,
                  total / 60 % 60, total % 60, seconds_before % 1000);
    return text;
}

std::vector<station::AttemptRecord> random_records(std::mt19937 &random)
{
    const char *commands[] = {"erase", "write", "setup", "verify"};
    std::vector<station::AttemptRecord> records(std::uniform_int_distribution<int>(0, 200)(random));
    std::vector<int> befores;
    for (std::size_t i = 0; i < records.size(); ++i)
        befores.push_back(std::uniform_int_distribution<int>(0, 4 * 86400)(random));
    std::sort(befores.rbegin(), befores.rend());
    for (std::size_t i = 0; i < records.size(); ++i) {
        station::AttemptRecord &record = records[i];
        record.id = std::int64_t(i + 1);
        record.station = "bench-" + std::to_string(random() % 3);
        record.start.started = time_at(befores[i]);
        record.start.image_sha256 = std::string(64, "abc"[random() % 3]);
        record.start.image_name = record.start.image_sha256.substr(0, 1) + ".hex";
        if (random() % 10 == 0)
            continue;  // unfinished
        station::AttemptEnd end;
        end.exit_code = random() % 4 == 0 ? 76 : 0;
        end.result = end.exit_code == 0 ? "ok" : "refused";
        end.tries = 1 + random() % 2;
        if (end.exit_code != 0)
            end.message = std::string("the bootloader refused the ") + commands[random() % 4] + " at 0x0200 with 'C'";
        record.end = end;
    }
    return records;
}

std::uint64_t sum(const cli::Json &values)
{
    std::uint64_t total = 0;
    for (const cli::Json &value : values)
        total += value.get<std::uint64_t>();
    return total;
}

TEST(DashboardFigures, AddUpAsHistoryDoes)
{
    std::mt19937 random(2024);
    for (int round = 0; round < 200; ++round) {
        const std::vector<station::AttemptRecord> records = random_records(random);
        const cli::Json time = cli::over_time(records, NOW);
        const cli::Json &periods = time["periods"];
        ASSERT_EQ(sum(time["line"]["attempts"]), records.size());
        for (std::size_t i = 1; i < periods.size(); ++i)
            ASSERT_LT(periods[i - 1].get<std::string>(), periods[i].get<std::string>());
        for (std::size_t i = 0; i < periods.size(); ++i) {
            const std::string period = periods[i];
            ASSERT_EQ(time["hours"][i], period.size() == 10 ? 24 : 1) << period;
            // Days up to the one the last day starts in; hours from the hour it starts in.
            const std::string day_ago = cli::day_before(NOW);
            if (period.size() == 10)
                ASSERT_LE(period, day_ago.substr(0, 10));
            else
                ASSERT_GE(period.substr(0, 13), day_ago.substr(0, 13));
        }
        std::map<std::string, std::uint64_t> attempts, passed, first_pass;  // per image and station
        for (const station::ImageSummary &summary : station::summarize(records)) {
            if (summary.station.empty())
                continue;
            attempts[summary.station] += summary.attempts;
            passed[summary.station] += summary.passed;
            first_pass[summary.station] += summary.first_pass;
        }
        for (const auto &station : time["stations"].items()) {
            EXPECT_EQ(sum(station.value()["attempts"]), attempts[station.key()]);
            EXPECT_EQ(sum(station.value()["passed"]), passed[station.key()]);
            EXPECT_EQ(sum(station.value()["first_pass"]), first_pass[station.key()]);
        }
        std::uint64_t failed = 0, counted = 0, last = UINT64_MAX;
        for (const station::AttemptRecord &record : records)
            failed += record.end && !record.passed();
        for (const cli::Json &cause : cli::failures(records)) {
            const std::uint64_t count = cause["count"];
            EXPECT_LE(count, last);
            last = count;
            counted += count;
            EXPECT_FALSE(cause["command"].is_null());
        }
        EXPECT_EQ(counted, failed);
    }
}

TEST(DashboardFigures, TheLastDayByHourTheDaysBeforeByDay)
{
    EXPECT_EQ(cli::day_before("2024-03-01T00:30:00Z"), "2024-02-29T00:30:00Z");
    const std::string day_ago = cli::day_before(NOW);
    EXPECT_EQ(cli::period_of("2024-03-01T12:30:00.000Z", day_ago), "2024-03-01T12:00Z");
    EXPECT_EQ(cli::period_of("2024-03-01T12:29:59.999Z", day_ago), "2024-03-01");
    EXPECT_EQ(cli::period_of("2024-03-02T12:29:59.999Z", day_ago), "2024-03-02T12:00Z");
}

TEST(DashboardFigures, TheCommandAFailureNames)
{
    for (std::uint8_t command : {EFM8_CMD_IDENTIFY, EFM8_CMD_SETUP, EFM8_CMD_ERASE, EFM8_CMD_WRITE, EFM8_CMD_VERIFY,
                                 EFM8_CMD_LOCK, EFM8_CMD_RUNAPP}) {
        const std::string name = efm8_command_name(command);
        EXPECT_EQ(cli::failed_command("the bootloader refused the " + name + " at 0x0000 with 0x43 (CRC mismatch)"),
                  name);
        EXPECT_EQ(cli::failed_command("the " + name + " at 0x1200 got no answer: timed out"), name);
        EXPECT_EQ(cli::failed_command("the USB transfer of the " + name + " at 0x0000 failed (hidapi: gone)"), name);
    }
    EXPECT_EQ(cli::failed_command("the chip's flash differs from the image in 2 pages"), "");
    EXPECT_EQ(cli::failed_command(""), "");
}

}  // namespace
