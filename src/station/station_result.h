// What every call of the station database hands back: a status the front
// end turns into an exit code, and a message naming what failed.
#ifndef KESTRANE_STATION_RESULT_H
#define KESTRANE_STATION_RESULT_H

#include <string>

namespace station {

enum class Status {
    Ok,
    CannotOpen,     // the file or its directory cannot be opened, created or written
    NoSuchCounter,
    Exhausted,      // the counter has handed out its last number; nothing was written
    TooLarge,       // the counter's next number is beyond what the board takes; nothing was drawn
    Conflict,       // a counter of that name exists with other bounds
    Invalid,        // an argument the database cannot take: a time, a hash prefix, bounds
    Failed,         // SQLite failed, or another program held the database past the time-out
};

struct Result {
    Status status = Status::Ok;
    std::string message;  // what failed and on which file
    bool ok() const { return status == Status::Ok; }
};

}  // namespace station

#endif
