// The production bench: flash every bootloader that appears, once each,
// until a count of attempts is reached (a board left untouched, one that
// could not be opened or had no number left, is none), the serial numbers
// run out, or a stop is asked; boards in progress always finish. A USB bootloader appears on the bus; a
// board on a serial port appears when it answers there, and leaves when it
// stops answering. It runs all day: each board's thread is joined as soon
// as it is done, and nothing is kept of a board but what the front end
// counts.
#ifndef KESTRANE_PRODUCTION_WATCHER_H
#define KESTRANE_PRODUCTION_WATCHER_H

#include "production/boards.h"

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace production {

// What the bench tells its front end, always from the thread that runs it.
struct WatchEvents {
    std::function<void(const Outcome &)> finished;  // a board is done
    std::function<void(const std::string &path)> left;  // a board taken earlier is gone
    std::function<void(const std::string &)> warn;  // a port that cannot be opened, and why
    std::function<void(long running)> idle;         // between looks, with the boards in progress
    // The record's server is away, and why: no board is taken until it is
    // back, when this is called with an empty reason.
    std::function<void(const std::string &why)> away;
    std::function<bool()> stopping;                 // true once no new board is to be taken
    // Where a board in its fixture always answers (it is brought into its
    // bootloader by lines or by its application), boards are taken when a
    // trigger says so rather than when they answer: waits up to the time
    // given and returns 1 for a new board on each port, 0 for none yet,
    // or a failure that stops the bench. Empty: boards are looked for.
    std::function<int32_t(std::chrono::milliseconds)> triggered;
};

// Runs the bench until it stops and every board in progress is done. job:
// the flash with its line (job.line) and its port settings; ports: the
// ports to ask, none for the USB bootloaders; count: boards to take, 0 for
// no limit. Returns EFM8_OK, or the result of the first board that failed.
int32_t run_watch(const Job &job, const std::vector<efm8_device> &ports, long count, const WatchEvents &events);

}  // namespace production

#endif
