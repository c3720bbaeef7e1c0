// The station's records as the command line prints them: a line of text, a
// JSON object or a CSV row for each attempt or each image, and what one
// image's attempts add up to. Pure functions, safe on any thread.
#ifndef KESTRANE_STATION_REPORT_H
#define KESTRANE_STATION_REPORT_H

#include "station/station.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace station {

// One summary per image, in the order each was first attempted, each
// followed by one per station that attempted it, by station: what
// Station::summary has the database compute, here over records at hand.
std::vector<ImageSummary> summarize(const std::vector<AttemptRecord> &records);

// summarize, one attempt at a time, for attempts that Station::history
// streams: nothing is kept but the figures.
class Summarizer {
public:
    void add(const AttemptRecord &record);
    std::vector<ImageSummary> summaries() const;

private:
    struct Image {
        ImageSummary line;
        std::map<std::string, ImageSummary> stations;
    };
    std::vector<Image> images_;
    std::map<std::string, std::size_t> index_;  // by SHA-256
};

enum class Style { Text, Json, Csv };

// What goes before the rows: the CSV header; nothing for text and JSON.
std::string attempt_header(Style style);
std::string summary_header(Style style);

// One row, without its newline. JSON: one object, with serial null when no
// number was drawn and result "unfinished" (exit_code null) when the attempt
// never finished.
std::string attempt_line(const AttemptRecord &record, Style style);
std::string summary_line(const ImageSummary &summary, Style style);

}  // namespace station

#endif
