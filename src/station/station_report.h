// The station's records as the command line prints them: a line of text, a
// JSON object or a CSV row for each attempt or each image, and what one
// image's attempts add up to. Pure functions, safe on any thread.
#ifndef KESTRANE_STATION_REPORT_H
#define KESTRANE_STATION_REPORT_H

#include "station/station.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace station {

// Each attempt counts as one board: the bootloader reads out nothing unique
// to a chip, so a board seated again after a failure cannot be told from a
// new one.
struct ImageSummary {
    std::string sha256;
    std::string station;  // empty: the whole line's
    std::string name;  // the file it was last flashed from
    std::uint64_t attempts = 0;
    std::uint64_t passed = 0;      // finished with exit status 0
    std::uint64_t failed = 0;      // finished with any other
    std::uint64_t unfinished = 0;  // the process ended first
    std::uint64_t first_pass = 0;  // passed on their first try
    // First-pass yield: first_pass / attempts, unfinished attempts counted
    // as boards that did not pass. 0 with no attempts.
    double first_pass_yield = 0;
    // The serial numbers drawn for it, the void ones included.
    std::optional<std::uint64_t> lowest_serial;
    std::optional<std::uint64_t> highest_serial;
    std::uint64_t voids = 0;
};

// One summary per image, in the order each was first attempted, each
// followed by one per station that attempted it, by station.
std::vector<ImageSummary> summarize(const std::vector<AttemptRecord> &records);

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
