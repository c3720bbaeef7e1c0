// The station record of flash and watch (station.h): each board's attempt
// written before the board is touched, with its serial number drawn in the
// same transaction, and completed before its result is printed. Shared by
// the threads that flash boards.
#ifndef KESTRANE_LINE_RECORD_H
#define KESTRANE_LINE_RECORD_H

#include "line/firmware_file.h"
#include "line/settings.h"
#include <kestrane/engine.h>
#include "station/station.h"

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

namespace line {

struct Outcome;

// The station's status as the process's exit status: 78 for a counter that
// is missing, used up or given other bounds, 64 for what it cannot take,
// 73 for a database that cannot be opened or written.
int station_exit_code(station::Status status);

class Record {
public:
    // say: where a warning goes, from any thread (the bench keeps a live
    // line on standard error).
    explicit Record(std::function<void(const std::string &)> say);

    // Opens the database the settings name, unless they record nothing.
    // Returns 0, or 73 with the reason when a database was asked for (a
    // path, or a counter); the default one failing is said once, and then
    // nothing is recorded.
    int open(const Settings &settings, const Firmware &firmware, std::string &error);

    // Before any board: the counter exists, has a number left, and its next
    // number fits the format. 0, or 78 or 65 with the reason.
    int check_counter(std::string &error);

    // Writes the board's attempt and draws its number. 0 (and no attempt
    // when nothing is recorded), or 73, 78 or 65 with the reason and
    // nothing written: the board is not to be touched.
    int begin(const efm8_device &board, std::optional<station::Attempt> &attempt, std::string &error);

    // Completes the attempt: 0, or 73 with the reason when the database
    // that was asked for could not be written.
    int finish(const station::Attempt &attempt, const Outcome &outcome, std::string &error);

private:
    int failed(const station::Result &result, std::string &error);
    int counter_fits(std::string &error);

    std::function<void(const std::string &)> say_;
    station::Station station_;
    std::atomic<bool> on_{false};
    bool asked_ = false;  // a path or a counter: the record is not to be done without
    std::once_flag warned_;
    std::string counter_;
    std::optional<serial_number::Placement> placement_;
    std::string image_name_, image_sha256_;
};

}  // namespace line

#endif
