// Completions of attempts whose server was lost after their rows were
// written, kept on this host until it is back: an SQLite file,
// $XDG_STATE_HOME/kestrane/spool.sqlite, shared by every process here and
// keyed by the line's own id (made by station init), so that a completion
// only ever goes to the database that holds its attempt.
#ifndef KESTRANE_STATION_SPOOL_H
#define KESTRANE_STATION_SPOOL_H

#include "station/station.h"
#include "station/store_sqlite.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace station {

class PostgresStore;

// Completes the attempt id with end: Row when it did, Done when the
// attempt is not an unfinished one, Failed.
Step complete(Store &store, std::int64_t id, const AttemptEnd &end);

class Spool {
public:
    // Keeps a completion for the server's line.
    Result keep(const PostgresStore &server, std::int64_t id, const AttemptEnd &end);
    // Sends what waits for the server's line, each completion dropped from
    // the spool once the server has it, or had it already; left (when
    // asked) counts what waits for other lines, kept what stays because
    // the server holds no such attempt (it was restored from a backup). A
    // missing spool is empty; one that is not this tool's, or cannot be
    // read, is CannotOpen, and is left as it is.
    Result send(PostgresStore &server, std::size_t &sent, std::size_t *left, std::size_t *kept = nullptr);
    std::string path() const { return path_; }

private:
    Result open(bool create);

    SqliteStore file_;
    bool open_ = false;
    std::string path_;
};

}  // namespace station

#endif
