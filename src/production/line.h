// The production line around each board that flash and watch work on: its
// attempt recorded (record.h) with the serial number drawn for it, and a
// flash cut short by a dropped transfer or a board that left redone from
// the first erase, on the same board, with the same number. A board with
// no number left for it is not opened.
#ifndef KESTRANE_PRODUCTION_LINE_H
#define KESTRANE_PRODUCTION_LINE_H

#include "production/boards.h"
#include "production/plan.h"
#include "production/record.h"
#include "production/settings.h"

#include <functional>
#include <string>

namespace production {

struct Line {
    Record *record = nullptr;
    unsigned retries = 0;
    double wait_seconds = RETRY_WAIT_SECONDS;  // for a board to come back; negative: for ever
    efm8_port_settings port{};                 // to ask a port whether its board is back
    efm8_entry entry = no_entry();             // and how it is brought into its bootloader
    std::function<void(const std::string &)> say;  // notes on standard error, from any thread
};

// What flash and watch settle before any board is looked for: the file
// read and planned, the serial number's place held against the file alone,
// the record opened and its counter checked. Returns EFM8_OK, or the result
// (kestrane/result.h) with the reason in error.
int32_t prepare_line(const Settings &settings, Firmware &firmware, Plan &plan, Record &record, std::string &error);

// The line the settings ask for, around record.
Line line_for(const Settings &settings, Record &record, std::function<void(const std::string &)> say);

// The job on one board as its line says: the counter checked, one try and
// as many more as the line allows (the job begins the attempt and draws its
// number on the open board), the attempt finished; without a line, one
// run_on_board.
Outcome attempt_on_board(const efm8_device &board, std::size_t index, const Job &job);

}  // namespace production

#endif
