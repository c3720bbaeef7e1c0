// The dashboard's figures over time and its failures by cause. Periods are
// compared as text: the record writes every time as "YYYY-MM-DDTHH:MM:SSZ",
// which sorts as the times do.
#include "cli/dashboard_figures.h"

#include <kestrane/bootloader.h>
#include <kestrane/engine.h>

#include <algorithm>
#include <ctime>
#include <map>
#include <tuple>

namespace cli {

static const std::size_t DATE = 10;  // "YYYY-MM-DD"
static const std::size_t HOUR = 13;  // "YYYY-MM-DDTHH"
static const std::size_t SECOND = 19;  // "YYYY-MM-DDTHH:MM:SS"

std::string period_of(const std::string &started, const std::string &day_ago)
{
    if (started.size() < HOUR)
        return started;
    // To the second: "09:30:00.250Z" is within a day that starts at
    // "09:30:00Z", though '.' sorts before 'Z'.
    return started.substr(0, SECOND) >= day_ago.substr(0, SECOND) ? started.substr(0, HOUR) + ":00Z"
                                                                  : started.substr(0, DATE);
}

std::string day_before(const std::string &now)
{
    std::tm when{};
    if (!strptime(now.c_str(), "%Y-%m-%dT%H:%M:%SZ", &when))
        return now;
    const std::time_t then = timegm(&when) - 24 * 3600;
    char text[32];
    gmtime_r(&then, &when);
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &when);
    return text;
}

namespace {

Json along(const std::vector<std::string> &periods, const std::map<std::string, std::uint64_t> &counts)
{
    Json values = Json::array();
    for (const std::string &period : periods) {
        const auto found = counts.find(period);
        values.push_back(found == counts.end() ? 0 : found->second);
    }
    return values;
}

}  // namespace

void OverTime::Counts::add(const std::string &period, const station::AttemptRecord &record)
{
    ++attempts[period];
    if (record.passed())
        ++passed[period];
    if (record.passed() && record.end->tries == 1)
        ++first_pass[period];
}

OverTime::OverTime(const std::string &now) : day_ago_(day_before(now)) {}

void OverTime::add(const station::AttemptRecord &record)
{
    const std::string period = period_of(record.start.started, day_ago_);
    line_.add(period, record);
    stations_[record.station].add(period, record);
    images_[record.start.image_sha256].add(period, record);
    names_[record.start.image_sha256] = record.start.image_name;
}

Json OverTime::json() const
{
    std::vector<std::string> periods;
    for (const auto &period : line_.attempts)
        periods.push_back(period.first);
    const auto series = [&](const Counts &counts) {
        return Json{{"attempts", along(periods, counts.attempts)},
                    {"passed", along(periods, counts.passed)},
                    {"first_pass", along(periods, counts.first_pass)}};
    };
    Json hours = Json::array();
    for (const std::string &period : periods)
        hours.push_back(period.size() == DATE ? 24 : 1);
    Json out = {{"periods", periods}, {"hours", hours}, {"line", series(line_)},
                {"stations", Json::object()}, {"images", Json::object()}};
    for (const auto &station : stations_)
        out["stations"][station.first] = series(station.second);
    for (const auto &image : images_) {
        Json figures = series(image.second);
        figures["name"] = names_.at(image.first);
        out["images"][image.first] = figures;
    }
    return out;
}

Json over_time(const std::vector<station::AttemptRecord> &records, const std::string &now)
{
    OverTime figures(now);
    for (const station::AttemptRecord &record : records)
        figures.add(record);
    return figures.json();
}

std::string failed_command(const std::string &message)
{
    for (std::uint8_t command : {EFM8_CMD_IDENTIFY, EFM8_CMD_SETUP, EFM8_CMD_ERASE, EFM8_CMD_WRITE, EFM8_CMD_VERIFY,
                                 EFM8_CMD_LOCK, EFM8_CMD_RUNAPP, EFM8_CMD_UNKNOWN}) {
        const std::string name = efm8_command_name(command);
        if (message.find("the " + name + " at ") != std::string::npos)
            return name;
    }
    return "";
}

void Failures::add(const station::AttemptRecord &record)
{
    if (!record.end || record.passed())
        return;
    std::string command = failed_command(record.end->message);
    if (command.empty() && record.end->result == "mismatch")
        command = efm8_command_name(EFM8_CMD_VERIFY);
    ++counts_[std::make_tuple(record.station, record.end->result, command)];
}

Json Failures::json() const
{
    std::vector<std::pair<std::tuple<std::string, std::string, std::string>, std::uint64_t>> causes(counts_.begin(),
                                                                                                   counts_.end());
    std::stable_sort(causes.begin(), causes.end(), [](const auto &a, const auto &b) { return a.second > b.second; });
    Json out = Json::array();
    for (const auto &cause : causes) {
        const std::string &command = std::get<2>(cause.first);
        out.push_back({{"station", std::get<0>(cause.first)},
                       {"result", std::get<1>(cause.first)},
                       {"command", command.empty() ? Json(nullptr) : Json(command)},
                       {"count", cause.second}});
    }
    return out;
}

Json failures(const std::vector<station::AttemptRecord> &records)
{
    Failures causes;
    for (const station::AttemptRecord &record : records)
        causes.add(record);
    return causes.json();
}

}  // namespace cli
