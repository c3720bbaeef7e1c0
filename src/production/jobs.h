// What each command does on one open board, for run_on_boards: a flash as
// the plan says (the board's serial number placed once its part is known),
// a verify, a start, an identify, a lock. A file meant for some parts only
// is held against the board before anything is erased or compared.
#ifndef KESTRANE_PRODUCTION_JOBS_H
#define KESTRANE_PRODUCTION_JOBS_H

#include "production/boards.h"
#include "production/firmware_file.h"
#include "production/plan.h"
#include "production/settings.h"

#include <cstddef>
#include <functional>

namespace production {

// Where a flash's progress goes: the engine's callback, with the user
// pointer of each board by its index. None: no progress.
struct ProgressSink {
    efm8_progress report = nullptr;
    std::function<void *(std::size_t board)> user;
};

// settings, firmware, plan and line must outlive the job. With a line
// (flash and watch), the board's attempt is begun as soon as it is open,
// its part kept as soon as identify names it, and its number drawn then,
// all before anything is erased.
Job flash_job(const Settings &settings, const Firmware &firmware, const Plan &plan, ProgressSink progress = {},
              const Line *line = nullptr);
Job verify_job(const Firmware &firmware);
Job run_job();
Job identify_job();
Job lock_job(const Plan &plan);

}  // namespace production

#endif
