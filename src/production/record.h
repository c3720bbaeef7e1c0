// The station record of flash and watch (station.h): each board's attempt
// written once the board is opened, before anything is sent to it; its
// serial number drawn once the board is identified and known to take it,
// before anything is erased; completed before its result is printed. A
// board that cannot be opened is no attempt, and costs no number. Shared by
// the threads that flash boards, each board's attempt found by its path.
#ifndef KESTRANE_PRODUCTION_RECORD_H
#define KESTRANE_PRODUCTION_RECORD_H

#include "production/firmware_file.h"
#include "production/settings.h"
#include <kestrane/engine.h>
#include "station/station.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

namespace production {

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

    // Before any board, and before each board is opened: the counter
    // exists, has a number left, and its next number is one the format
    // takes. EFM8_OK, or EFM8_ERR_NO_SERIAL_NUMBER or EFM8_ERR_SIZE with the
    // reason. Before any board it is read; before each board a server's is
    // taken as last seen (Station::counter_as_seen), which costs no round
    // trip: the draw tells a counter another station used up since.
    enum class Read { Now, AsSeen };
    int32_t check_counter(std::string &error, Read read = Read::Now);

    // Once the board is opened, before anything is sent to it: writes its
    // attempt, keeping room for its completion; a retry's attempt goes on.
    // EFM8_OK (and nothing written when nothing is recorded), or a result
    // with the reason in outcome.message and the board declined: it is not
    // to be touched (outcome.server_away when the server was away).
    int32_t begin(Outcome &outcome);

    // Once the board is identified and known to take its number, before
    // anything is erased: the number of its attempt, drawn now (a retry's
    // stays), into outcome.serial. Otherwise a result with the reason in
    // outcome.message; a counter with no number left that the format takes
    // withdraws the attempt, and the board is declined.
    int32_t draw(Outcome &outcome);

    // Keeps the part of the board's attempt in progress as soon as identify
    // names it, so that an attempt cut short still says which part it was.
    void note_part(const std::string &path, const std::string &part);

    // Completes the board's attempt, if it has one: EFM8_OK, or
    // EFM8_ERR_NOT_RECORDED with the reason when the database that was asked
    // for could not be written. A server lost on the way keeps the
    // completion in the spool, and says so: EFM8_OK.
    int32_t finish(const Outcome &outcome, std::string &error);

    // Whether boards may be taken: a server's connection is there, or made
    // again (the spool sent, and said). False with the reason while it is
    // away; true for a file, or when nothing is recorded.
    bool ready(std::string &why);

private:
    int32_t failed(const station::Result &result, std::string &error);
    int32_t counter_fits(std::string &error, Read read = Read::Now);
    std::optional<station::Attempt> in_progress(const std::string &path);

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

}  // namespace production

#endif
