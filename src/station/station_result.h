// What every call of the station database hands back: a status the front
// end turns into an exit code, and a message naming what failed.
#ifndef KESTRANE_STATION_RESULT_H
#define KESTRANE_STATION_RESULT_H

#include <string>

namespace station {

enum class Status {
    Ok,
    CannotOpen,     // the file or its directory cannot be opened, created or written; a schema not usable
    NoSuchCounter,
    Exhausted,      // the counter has handed out its last number; nothing was written
    TooLarge,       // the counter's next number is beyond what the board takes; nothing was drawn
    Conflict,       // a counter of that name exists with other bounds
    Invalid,        // an argument the database cannot take: a time, a hash prefix, bounds
    Failed,         // the database failed, or another program held it past the time-out
    Unreachable,    // the server cannot be reached, or the connection to it was lost
    Pending,        // a completion kept in the spool until the server is back
};

struct Result {
    Status status = Status::Ok;
    std::string message;  // what failed and on which file
    bool ok() const { return status == Status::Ok; }
};

}  // namespace station

#endif
