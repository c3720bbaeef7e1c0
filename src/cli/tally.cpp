#include "cli/tally.h"

#include "cli/json_text.h"
#include "production/boards.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <iostream>

namespace cli {

static const double SECONDS_PER_HOUR = 3600;
static const char CLEAR_LINE[] = "\r\x1b[2K";

Tally::Tally(bool live) : live_(live), started_(std::chrono::steady_clock::now()) {}

void Tally::count(const production::Outcome &outcome)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!outcome.attempted()) {
        ++untouched_;
        if (outcome.stops_line() && stopped_.empty())
            stopped_ = outcome.message;
        return;
    }
    if (outcome.ok())
        ++passed_;
    else
        ++failed_;
    if (outcome.ok() && outcome.tries == 1)
        ++first_pass_;
    if (outcome.serial) {
        lowest_serial_ = std::min(*outcome.serial, lowest_serial_.value_or(*outcome.serial));
        highest_serial_ = std::max(*outcome.serial, highest_serial_.value_or(*outcome.serial));
    }
}

double Tally::hours() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count() / SECONDS_PER_HOUR;
}

double Tally::boards_per_hour() const
{
    const double elapsed = hours();
    return elapsed > 0 ? double(passed_ + failed_) / elapsed : 0;
}

static std::string percent(long part, long whole)
{
    if (whole == 0)
        return "-";
    char text[16];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * double(part) / double(whole));
    return text;
}

// Callers hold lock_.
void Tally::clear()
{
    if (live_ && !live_text_.empty())
        std::fputs(CLEAR_LINE, stderr);
}

void Tally::draw()
{
    if (!live_)
        return;
    const long boards = passed_ + failed_;
    char text[160];
    std::snprintf(text, sizeof text, "%ld passed, %ld failed, yield %s, first pass %s, %.0f boards/h, %ld in progress",
                  passed_, failed_, percent(passed_, boards).c_str(), percent(first_pass_, boards).c_str(),
                  boards_per_hour(), running_);
    live_text_ = text;
    if (server_away_)
        live_text_ += "; station database server away: no board taken, no number drawn";
    std::fputs(live_text_.c_str(), stderr);
    std::fflush(stderr);
}

void Tally::server_away(bool away)
{
    std::lock_guard<std::mutex> guard(lock_);
    server_away_ = away;
    clear();
    draw();
}

void Tally::print(const std::string &line)
{
    std::lock_guard<std::mutex> guard(lock_);
    clear();
    std::fflush(stderr);
    std::cout << line << std::endl;
    draw();
}

void Tally::note(const std::string &line)
{
    std::lock_guard<std::mutex> guard(lock_);
    clear();
    std::fprintf(stderr, "%s\n", line.c_str());
    draw();
    std::fflush(stderr);
}

void Tally::redraw(long running)
{
    std::lock_guard<std::mutex> guard(lock_);
    running_ = running;
    clear();
    draw();
}

void Tally::close()
{
    std::lock_guard<std::mutex> guard(lock_);
    clear();
    std::fflush(stderr);
    live_text_.clear();
}

void Tally::stopped(const std::string &why)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (stopped_.empty())
        stopped_ = why;
}

std::string Tally::tally_text()
{
    std::lock_guard<std::mutex> guard(lock_);
    return "[" + std::to_string(passed_) + " ok, " + std::to_string(failed_) + " failed]";
}

std::string Tally::summary_text()
{
    std::lock_guard<std::mutex> guard(lock_);
    const long boards = passed_ + failed_;
    char text[192];
    std::snprintf(text, sizeof text, "%ld board%s: %ld ok, %ld failed; yield %s, first-pass yield %s, %.0f boards/h",
                  boards, boards == 1 ? "" : "s", passed_, failed_, percent(passed_, boards).c_str(),
                  percent(first_pass_, boards).c_str(), boards_per_hour());
    std::string summary = text;
    if (lowest_serial_)
        summary += "; serial numbers " + std::to_string(*lowest_serial_) + " to " + std::to_string(*highest_serial_);
    if (untouched_ > 0)
        summary += "; " + std::to_string(untouched_) + " board" + (untouched_ == 1 ? "" : "s") + " untouched";
    if (!stopped_.empty())
        summary += "; the line stopped: " + stopped_;
    return summary;
}

template <typename T> static nlohmann::ordered_json or_null(const std::optional<T> &value)
{
    return value ? nlohmann::ordered_json(*value) : nlohmann::ordered_json(nullptr);
}

static nlohmann::ordered_json ratio(long part, long whole)
{
    return whole > 0 ? nlohmann::ordered_json(double(part) / double(whole)) : nlohmann::ordered_json(nullptr);
}

std::string Tally::summary_json(int exit_code)
{
    std::lock_guard<std::mutex> guard(lock_);
    const long boards = passed_ + failed_;
    const nlohmann::ordered_json summary = {
        {"summary", true},
        {"boards", boards},
        {"passed", passed_},
        {"failed", failed_},
        {"yield", ratio(passed_, boards)},
        {"first_pass", first_pass_},
        {"first_pass_yield", ratio(first_pass_, boards)},
        {"boards_per_hour", boards_per_hour()},
        {"seconds", hours() * SECONDS_PER_HOUR},
        {"serial_first", or_null(lowest_serial_)},
        {"serial_last", or_null(highest_serial_)},
        {"untouched", untouched_},
        {"stopped", stopped_.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(stopped_)},
        {"exit_code", exit_code},
    };
    return json_text(summary);
}

}  // namespace cli
