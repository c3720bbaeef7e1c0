// JSON is built once per row; the CSV row is the same object's values, so
// the two never disagree on a field.
#include "station/station_report.h"

#include "station/database.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <map>

namespace station {

using Json = nlohmann::ordered_json;

static const char UNFINISHED[] = "unfinished";
static const std::size_t SHORT_HASH = 12;  // as much of a SHA-256 as text shows

template <typename T> static Json or_null(const std::optional<T> &value)
{
    return value ? Json(*value) : Json(nullptr);
}

// Bytes that are not UTF-8 (a file name may hold any) as U+FFFD.
static std::string json_text(const Json &object)
{
    return object.dump(-1, ' ', false, Json::error_handler_t::replace);
}

static Json text_or_null(const std::string &text)
{
    return text.empty() ? Json(nullptr) : Json(text);
}

static Json attempt_json(const AttemptRecord &record)
{
    const std::optional<AttemptEnd> &end = record.end;
    return Json{{"id", record.id},
                {"started", record.start.started},
                {"ended", end ? Json(end->ended) : Json(nullptr)},
                {"host", record.host},
                {"station", record.station},
                {"transport", transport_word(record.start.transport)},
                {"path", record.start.path},
                {"part", text_or_null(record.start.part)},
                {"image", record.start.image_name},
                {"sha256", record.start.image_sha256},
                {"counter", text_or_null(record.start.counter)},
                {"serial", or_null(record.serial)},
                {"void", record.serial_void()},
                {"result", end ? end->result : UNFINISHED},
                {"exit_code", end ? Json(end->exit_code) : Json(nullptr)},
                {"message", end ? Json(end->message) : Json(nullptr)},
                {"commands", end ? Json(end->commands) : Json(nullptr)},
                {"bytes_written", end ? Json(end->bytes_written) : Json(nullptr)},
                {"seconds", end ? Json(end->seconds) : Json(nullptr)},
                {"tries", end ? Json(end->tries) : Json(nullptr)}};
}

static Json summary_json(const ImageSummary &summary)
{
    return Json{{"sha256", summary.sha256},
                {"image", summary.name},
                {"station", text_or_null(summary.station)},
                {"attempts", summary.attempts},
                {"passed", summary.passed},
                {"failed", summary.failed},
                {"unfinished", summary.unfinished},
                {"first_pass", summary.first_pass},
                {"first_pass_yield", summary.first_pass_yield},
                {"serial_first", or_null(summary.lowest_serial)},
                {"serial_last", or_null(summary.highest_serial)},
                {"voids", summary.voids}};
}

// RFC 4180: a field with a comma, a quote or a line break is quoted, its
// quotes doubled; null is an empty field. A text that a spreadsheet would
// take as a formula is guarded first.
static std::string csv_field(const Json &value)
{
    if (value.is_null())
        return "";
    if (!value.is_string())
        return value.dump();
    const std::string text = formula_guarded(value.get<std::string>());
    if (text.find_first_of(",\"\r\n") == std::string::npos)
        return text;
    std::string quoted = "\"";
    for (char c : text)
        quoted += c == '"' ? std::string("\"\"") : std::string(1, c);
    return quoted + "\"";
}

static std::string csv_row(const Json &object, bool names)
{
    std::string row;
    for (auto field = object.begin(); field != object.end(); ++field) {
        if (field != object.begin())
            row += ",";
        row += names ? csv_field(field.key()) : csv_field(field.value());
    }
    return row;
}

// A field of a line of text: escaped, so that an attempt stays on one line.
static std::string text_field(const std::string &text)
{
    return escaped(text);
}

std::string attempt_header(Style style)
{
    return style == Style::Csv ? csv_row(attempt_json(AttemptRecord{}), true) : "";
}

std::string summary_header(Style style)
{
    return style == Style::Csv ? csv_row(summary_json(ImageSummary{}), true) : "";
}

static std::string image_text(const std::string &name, const std::string &sha256)
{
    return text_field(name) + " (" + text_field(sha256.substr(0, SHORT_HASH)) + ")";
}

static std::string attempt_text(const AttemptRecord &record)
{
    std::string line = text_field(record.start.started) + "  #" + std::to_string(record.id) + "  " +
                       text_field(record.station) + "  " + transport_word(record.start.transport) + " " + text_field(record.start.path) + "  ";
    if (!record.start.part.empty())
        line += text_field(record.start.part) + "  ";
    line += image_text(record.start.image_name, record.start.image_sha256) + "  ";
    if (record.serial)
        line += "serial " + std::to_string(*record.serial) + (record.serial_void() ? " (void)  " : "  ");
    if (!record.end)
        return line + UNFINISHED;
    const AttemptEnd &end = *record.end;
    char figures[96];
    std::snprintf(figures, sizeof figures, " (exit %d)  %u %s  %.1f s", end.exit_code, end.tries,
                  end.tries == 1 ? "try" : "tries", end.seconds);
    line += text_field(end.result) + figures;
    return end.message.empty() ? line : line + ": " + text_field(end.message);
}

static std::string summary_text(const ImageSummary &summary)
{
    char figures[160];
    std::snprintf(figures, sizeof figures,
                  "  %llu attempts: %llu passed, %llu failed, %llu unfinished; first-pass yield %.1f%% (%llu/%llu)",
                  static_cast<unsigned long long>(summary.attempts), static_cast<unsigned long long>(summary.passed),
                  static_cast<unsigned long long>(summary.failed), static_cast<unsigned long long>(summary.unfinished),
                  summary.first_pass_yield * 100, static_cast<unsigned long long>(summary.first_pass),
                  static_cast<unsigned long long>(summary.attempts));
    std::string line =
        (summary.station.empty() ? image_text(summary.name, summary.sha256) : "  on " + text_field(summary.station)) +
        figures;
    if (summary.lowest_serial)
        line += "; serials " + std::to_string(*summary.lowest_serial) + " to " +
                std::to_string(*summary.highest_serial) + ", " + std::to_string(summary.voids) + " void";
    return line;
}

std::string attempt_line(const AttemptRecord &record, Style style)
{
    if (style == Style::Text)
        return attempt_text(record);
    const Json object = attempt_json(record);
    return style == Style::Json ? json_text(object) : csv_row(object, false);
}

std::string summary_line(const ImageSummary &summary, Style style)
{
    if (style == Style::Text)
        return summary_text(summary);
    const Json object = summary_json(summary);
    return style == Style::Json ? json_text(object) : csv_row(object, false);
}

static void count(const AttemptRecord &record, ImageSummary &summary)
{
    summary.sha256 = record.start.image_sha256;
    summary.name = record.start.image_name;
    ++summary.attempts;
    if (!record.end)
        ++summary.unfinished;
    else if (record.passed())
        ++summary.passed;
    else
        ++summary.failed;
    if (record.passed() && record.end->tries == 1)
        ++summary.first_pass;
    if (record.serial) {
        summary.lowest_serial = std::min(*record.serial, summary.lowest_serial.value_or(*record.serial));
        summary.highest_serial = std::max(*record.serial, summary.highest_serial.value_or(*record.serial));
    }
    if (record.serial_void())
        ++summary.voids;
}

void Summarizer::add(const AttemptRecord &record)
{
    const auto found = index_.emplace(record.start.image_sha256, images_.size());
    if (found.second)
        images_.emplace_back();
    Image &image = images_[found.first->second];
    count(record, image.line);
    count(record, image.stations[record.station]);
}

std::vector<ImageSummary> Summarizer::summaries() const
{
    std::vector<ImageSummary> summaries;
    for (const Image &image : images_) {
        summaries.push_back(image.line);
        for (const auto &station : image.stations) {
            summaries.push_back(station.second);
            summaries.back().station = station.first.empty() ? "?" : station.first;
        }
    }
    for (ImageSummary &summary : summaries)
        summary.first_pass_yield = double(summary.first_pass) / double(summary.attempts);
    return summaries;
}

std::vector<ImageSummary> summarize(const std::vector<AttemptRecord> &records)
{
    Summarizer summarizer;
    for (const AttemptRecord &record : records)
        summarizer.add(record);
    return summarizer.summaries();
}

}  // namespace station
