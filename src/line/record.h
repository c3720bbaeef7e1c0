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
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace line {

struct Outcome;

// The station's status as a result: EFM8_ERR_NO_SERIAL_NUMBER for a
// counter that is missing, used up or given other bounds, EFM8_ERR_OPTIONS
// for what it cannot take, EFM8_ERR_NOT_RECORDED for a database that cannot
// be opened or written.
int32_t station_result(station::Status status);

class Record {
public:
    // say: where a warning goes, from any thread (the bench keeps a live
    // line on standard error).
    explicit Record(std::function<void(const std::string &)> say);

    // Opens the database the settings name, unless they record nothing.
    // Returns EFM8_OK, or EFM8_ERR_NOT_RECORDED with the reason when a
    // database was asked for (a path, or a counter); the default one failing
    // is said once, and then nothing is recorded.
    int32_t open(const Settings &settings, const Firmware &firmware, std::string &error);

    // Before any board: the counter exists, has a number left, and its next
    // number fits the format. EFM8_OK, or EFM8_ERR_NO_SERIAL_NUMBER or
    // EFM8_ERR_SIZE with the reason.
    int32_t check_counter(std::string &error);

    // Writes the board's attempt and draws its number. EFM8_OK (and no
    // attempt when nothing is recorded), or one of those results with the
    // reason and nothing written: the board is not to be touched.
    int32_t begin(const efm8_device &board, std::optional<station::Attempt> &attempt, std::string &error);

    // Keeps the part of the board's attempt in progress as soon as identify
    // names it, so that an attempt cut short still says which part it was.
    void note_part(const std::string &path, const std::string &part);

    // Completes the attempt: EFM8_OK, or EFM8_ERR_NOT_RECORDED with the
    // reason when the database that was asked for could not be written.
    int32_t finish(const station::Attempt &attempt, const Outcome &outcome, std::string &error);

private:
    int32_t failed(const station::Result &result, std::string &error);
    int32_t counter_fits(std::string &error);

    std::function<void(const std::string &)> say_;
    station::Station station_;
    std::atomic<bool> on_{false};
    bool asked_ = false;  // a path or a counter: the record is not to be done without
    std::once_flag warned_;
    std::string counter_;
    std::optional<serial_number::Placement> placement_;
    std::string image_name_, image_sha256_;
    std::mutex in_progress_lock_;
    std::map<std::string, station::Attempt> in_progress_;  // by the board's path
};

}  // namespace line

#endif
