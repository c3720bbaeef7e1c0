// The dashboard's figures over time and its failures by cause. Periods are
// compared as text: the record writes every time as "YYYY-MM-DDTHH:MM:SSZ",
// which sorts as the times do.
#include "cli/dashboard_figures.h"

#include <kestrane/bootloader.h>
#include <kestrane/engine.h>

#include <algorithm>
#include <ctime>
#include <iterator>
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

void OverTime::Counts::add(const std::string &period, std::uint64_t attempted, std::uint64_t passed_,
                           std::uint64_t first)
{
    attempts[period] += attempted;
    if (passed_ > 0)
        passed[period] += passed_;
    if (first > 0)
        first_pass[period] += first;
}

OverTime::OverTime(const std::string &now) : day_ago_(day_before(now)) {}

void OverTime::add(const station::AttemptRecord &record)
{
    station::PeriodFigures figures;
    figures.period = period_of(record.start.started, day_ago_);
    figures.station = record.station;
    figures.sha256 = record.start.image_sha256;
    figures.attempts = 1;
    figures.passed = record.passed() ? 1 : 0;
    figures.first_pass = record.passed() && record.end->tries == 1 ? 1 : 0;
    add(figures);
    names_[record.start.image_sha256] = record.start.image_name;
}

void OverTime::add(const station::PeriodFigures &figures)
{
    line_.add(figures.period, figures.attempts, figures.passed, figures.first_pass);
    stations_[figures.station].add(figures.period, figures.attempts, figures.passed, figures.first_pass);
    images_[figures.sha256].add(figures.period, figures.attempts, figures.passed, figures.first_pass);
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
        const auto name = names_.find(image.first);
        figures["name"] = name == names_.end() ? "" : name->second;
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

namespace {

const std::uint8_t COMMANDS[] = {EFM8_CMD_IDENTIFY, EFM8_CMD_SETUP, EFM8_CMD_ERASE, EFM8_CMD_WRITE,
                                 EFM8_CMD_VERIFY,   EFM8_CMD_LOCK,  EFM8_CMD_RUNAPP, EFM8_CMD_UNKNOWN};

}  // namespace

std::vector<std::string> Failures::phrases()
{
    std::vector<std::string> phrases;
    for (std::uint8_t command : COMMANDS)
        phrases.push_back(std::string("the ") + efm8_command_name(command) + " at ");
    return phrases;
}

Json over_time(const std::vector<station::PeriodFigures> &periods, const std::vector<station::ImageSummary> &summaries,
               const std::string &now, std::int64_t &last_id)
{
    OverTime figures(now);
    for (const station::ImageSummary &summary : summaries)
        if (summary.station.empty())
            figures.name(summary.sha256, summary.name);
    last_id = 0;
    for (const station::PeriodFigures &period : periods) {
        figures.add(period);
        last_id = std::max(last_id, period.last_id);
    }
    return figures.json();
}

std::string failed_command(const std::string &message)
{
    const std::vector<std::string> phrases = Failures::phrases();
    for (std::size_t i = 0; i < phrases.size(); ++i)
        if (message.find(phrases[i]) != std::string::npos)
            return efm8_command_name(COMMANDS[i]);
    return "";
}

void Failures::add(const std::string &station, const std::string &result, std::string command, std::uint64_t count)
{
    if (command.empty() && result == "mismatch")
        command = efm8_command_name(EFM8_CMD_VERIFY);
    counts_[std::make_tuple(station, result, command)] += count;
}

void Failures::add(const station::AttemptRecord &record)
{
    if (!record.end || record.passed())
        return;
    add(record.station, record.end->result, failed_command(record.end->message), 1);
}

void Failures::add(const station::FailureCause &cause)
{
    const bool named = cause.phrase >= 0 && std::size_t(cause.phrase) < std::size(COMMANDS);
    add(cause.station, cause.result, named ? efm8_command_name(COMMANDS[cause.phrase]) : "", cause.count);
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

Json failures(const std::vector<station::FailureCause> &causes)
{
    Failures counted;
    for (const station::FailureCause &cause : causes)
        counted.add(cause);
    return counted.json();
}

Json failures(const std::vector<station::AttemptRecord> &records)
{
    Failures causes;
    for (const station::AttemptRecord &record : records)
        causes.add(record);
    return causes.json();
}

}  // namespace cli
