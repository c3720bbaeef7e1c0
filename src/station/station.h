// The station database: a record of every flash at a production line and
// the counters that give each board a serial number of its own. One bench
// keeps it in an SQLite file that its processes and threads share
// (store_sqlite.h); the stations of a line share a PostgreSQL server
// (store_postgres.h). The logic is the same over both (store.h).
//
// A number is drawn in a transaction that writes it into the attempt using
// it, or writes the attempt, before anything is erased, so it is handed out
// once and never again, over any number of stations, processes and threads:
// not when the flash fails (the attempt keeps it as void), not when the
// process is killed at any moment (the attempt stays unfinished, never
// missing).
//
// Completing an attempt's record never fails for want of space in a file:
// its begin keeps room on the filesystem for it (Reserve in
// store_sqlite.h), or fails itself, before anything is sent to the board. When a
// server is lost after the attempt's row was written, its completion waits
// in a spool on this host (spool.h) and is sent once the server is back.
//
// Another program holding an SQLite file makes a call wait, up to
// BUSY_TIMEOUT_MS, rather than fail or skip the record. Every call returns a
// Result; nothing throws.
#ifndef KESTRANE_STATION_H
#define KESTRANE_STATION_H

#include "station/station_result.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace station {

class Store;
class Query;
class Spool;
class Transaction;
enum class Step;

const int BUSY_TIMEOUT_MS = 60000;
const int BUSY_SAY_MS = 1000;  // a shorter wait, two benches sharing a file, goes unsaid
const int RECONNECT_MS = 1000;
// Counters stay within SQLite's integers.
const std::uint64_t LARGEST_NUMBER = std::numeric_limits<std::int64_t>::max();

struct Counter {
    std::string name;
    std::uint64_t first = 0;
    std::optional<std::uint64_t> last;  // none: up to LARGEST_NUMBER
    std::uint64_t handed_out = 0;       // drawn so far, for boards that passed or not
    std::uint64_t next() const { return first + handed_out; }
    bool exhausted() const { return next() > last.value_or(LARGEST_NUMBER); }
};

enum class Transport { Usb, Uart };
const char *transport_word(Transport transport);  // "usb", "uart"

// Written before the board is touched.
struct AttemptStart {
    std::string started;  // UTC, e.g. "2024-05-01T09:30:00Z"; empty: now
    Transport transport = Transport::Usb;
    std::string path;   // the USB path or the serial port
    std::string part;   // empty while not known
    std::string image_name;
    std::string image_sha256;  // of the file as read, lower-case hex
    std::string counter;       // the counter to draw a serial number from; empty: none
};

// Written before the result is printed.
struct AttemptEnd {
    std::string ended;   // UTC; empty: now
    std::string part;    // the part the flash identified; empty keeps the start's
    std::string result;  // a word: "ok", "mismatch", ...
    int exit_code = 0;   // the process's exit status for this board; 0: it passed
    std::string message;
    std::uint64_t commands = 0;
    std::uint64_t bytes_written = 0;
    double seconds = 0;
    std::uint32_t tries = 1;
};

// What begin hands back and finish takes.
struct Attempt {
    std::int64_t id = 0;
    std::optional<std::uint64_t> serial;
};

struct AttemptRecord {
    std::int64_t id = 0;
    std::string host;
    std::string station;
    AttemptStart start;  // start.part is the part as last recorded
    std::optional<std::uint64_t> serial;
    std::optional<AttemptEnd> end;  // none: unfinished, the process ended first
    bool passed() const { return end && end->exit_code == 0; }
    // A number drawn for a board that failed: handed out, never again. An
    // unfinished attempt's number is not known to be void: the process may
    // have ended, or failed to complete the record, after the board took it.
    bool serial_void() const { return serial && end && !passed(); }
};

// Which attempts to read back; each field left empty matches all.
struct Filter {
    std::string since;  // UTC: attempts started at or after it
    std::optional<std::uint64_t> serial;
    std::string sha256_prefix;  // hex, any case
    std::string station;
};

// The numbers one station drew from a counter between first and last: count
// of them. Within a range every number of the counter was drawn, by this
// station or by others; a number that no attempt holds (a gap) ends it. So
// stations drawing turn about from one counter make one range each, and
// serial show grows with stations and gaps, never with attempts; which
// station drew one number history --serial tells.
struct Drawn {
    std::string station;
    std::uint64_t first = 0, last = 0;
    std::uint64_t count = 0;
};

// What one image's attempts add up to, at one station or the whole line.
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

// One period's attempts of one image at one station, added up by the
// database: the period is the hour ("2024-05-01T09:00Z") of attempts that
// started at or after a given time (to the second), the day ("2024-05-01")
// of those before it.
struct PeriodFigures {
    std::string period, station, sha256;
    std::uint64_t attempts = 0;
    std::uint64_t passed = 0;      // finished with exit status 0
    std::uint64_t first_pass = 0;  // passed on their first try, as ImageSummary's
    std::int64_t last_id = 0;      // the highest attempt id among them
};

// Failed attempts (finished, exit status other than 0) of one station with
// one result, whose message holds the same one of the phrases looked for.
struct FailureCause {
    std::string station, result;
    int phrase = -1;  // the first of the phrases its message holds; -1: none
    std::uint64_t count = 0;
};

// Called for each attempt as it is read; false stops the reading. It runs
// with the Station held, so it must not call the Station.
using AttemptVisitor = std::function<bool(const AttemptRecord &)>;

// The first schema whose database keeps the attempts' figures hour by hour,
// which Station::timeline then reads rather than the attempts.
const int HOURS_KEPT = 4;

// Whether a database is a PostgreSQL server's URI rather than a file.
bool is_server(const std::string &database);

// One connection, guarded by a mutex: a Station may be shared by the threads
// that flash boards, and each call's statements run as one piece. Separate
// Stations, in this process or others, on one file are safe as well.
class Station {
public:
    Station();
    ~Station();
    Station(const Station &) = delete;
    Station &operator=(const Station &) = delete;

    // Opens the database: a file, created with its schema where there is
    // none (its directory must exist), or a server's postgresql:// URI,
    // whose schema station init made. Fails with CannotOpen when it cannot
    // be written, or Unreachable, so nothing need be flashed before that is
    // known. A server's pending completions (spool.h) are sent.
    Result open(const std::string &database);
    // Opens the database and makes or upgrades its schema.
    Result init(const std::string &database);
    // Opens default_path(), creating its directories.
    Result open_default();
    // Opens the database at path to read it, never to write: it may be a
    // read-only file, in a read-only folder or on a read-only mount. Nothing
    // is created beside it where its owner could not write it again.
    // warning says what cannot be read, if anything: where a write-ahead
    // log holds records but the shared memory file beside it cannot be
    // made, only the database file itself is read.
    // A server is read in read-only transactions.
    Result open_to_read(const std::string &database, std::string &warning);
    std::string path() const;  // as last opened, for messages: a server's without its password
    int schema_version() const;

    // The station each attempt names: by default this host's name.
    void name_station(const std::string &name);

    // A server's connection, made again when it was lost, at most once a
    // RECONNECT_MS: Ok, or Unreachable with the reason. Once it is back
    // the spool is sent (sent says how many), before anything is drawn.
    // A file is always there.
    Result reachable(std::size_t &sent);
    // Sends this server's completions waiting in the spool; left: those
    // that wait for other servers.
    Result sync(std::size_t &sent, std::size_t &left);
    // kept: completions whose attempt the server does not hold (it was
    // restored from a backup), which stay in the spool.
    Result sync(std::size_t &sent, std::size_t &left, std::size_t &kept);
    // The spool's path, once a server was opened.
    std::string spool_path() const;
    // Why the spool could not be read when the database was opened or its
    // server came back, if it could not: what waits in it is not sent, and
    // the rest goes on.
    std::string spool_trouble() const;
    // Completions sent from the spool since the database was opened, its
    // opening's included.
    std::size_t sent() const;

    // Called on the calling thread, with the Station held (so it must not
    // call the Station), once a call has waited BUSY_SAY_MS for another
    // program's hold on the database: the front end may say why it waits.
    // Once per wait: calls that wait again before one gets the database
    // (the next board's, or a retry's) are not said again.
    void on_busy(std::function<void()> waiting);

    // Creates a counter handing out first, first + 1, ... up to last. Init
    // again with the same bounds changes nothing (a bench script may run it
    // every morning) and never restarts the count; other bounds are a
    // Conflict: a new range takes a new name. counter is as it now stands.
    Result init_counter(const std::string &name, std::uint64_t first, std::optional<std::uint64_t> last,
                        Counter &counter);
    Result counter(const std::string &name, Counter &counter);
    // The counter as this Station last saw it, read or drawn from, where
    // the database is a server and it was seen since the database was
    // opened: no round trip. Otherwise as counter() reads it. A count only
    // grows: a counter seen used up is; one seen with numbers left may have
    // been used up by another station since, which its draw tells.
    Result counter_as_seen(const std::string &name, Counter &counter);
    Result counters(std::vector<Counter> &counters);  // by name

    // Writes the attempt's row, drawing its serial number from start.counter
    // in the same transaction: NoSuchCounter or Exhausted write nothing.
    Result begin(const AttemptStart &start, Attempt &attempt);
    // Draws the serial number of an unfinished attempt begun without one,
    // from counter, once its board is known to take it: at most largest.
    // NoSuchCounter, Exhausted and TooLarge withdraw the attempt in the same
    // transaction (its row marked withdrawn, which history never shows, its
    // room given back), as if it had never begun: its board was only opened
    // and identified, and nothing but a number was wanting. On any other
    // failure the attempt stays as it was.
    // part: the part identify named, kept with the number (empty: none).
    Result draw(Attempt &attempt, const std::string &counter, std::uint64_t largest, const std::string &part = "");
    // Completes an unfinished attempt; a finished one is Invalid and stays
    // as it was. A server lost on the way: Pending, the completion kept in
    // the spool, the message saying so.
    Result finish(const Attempt &attempt, const AttemptEnd &end);
    // Keeps the part of an unfinished attempt once identify has named it,
    // so that the attempt keeps it should the process end first.
    Result note_part(const Attempt &attempt, const std::string &part);

    // The attempts the filter matches, in the order they started, each
    // handed to visit as the database yields it (SQLite's step, libpq's
    // single-row mode): nothing is held but the row at hand, however long
    // the record. Only the filter's given fields become predicates, so each
    // uses its index (station init makes them). Invalid for a filter that
    // is not one (a time or hash prefix it cannot read), before any row.
    Result history(const Filter &filter, const AttemptVisitor &visit);
    // The same, collected: for a record known to be small.
    Result history(const Filter &filter, std::vector<AttemptRecord> &records);
    // The matching attempts added up by the database, per image and
    // station (GROUP BY), never read here row by row: one summary per
    // image, in the order each was first attempted, each followed by one
    // per station that attempted it, by station (its name's bytes; "?" for
    // none). The same figures as summarize (station_report.h) over history.
    Result summary(const Filter &filter, std::vector<ImageSummary> &summaries);
    // The matching attempts added up by the database per period, station
    // and image (PeriodFigures), hours being those of attempts that started
    // at or after hours_from (as the record writes times, to the second);
    // in no particular order. Only the filter's given fields become
    // predicates, as history's.
    Result timeline(const Filter &filter, const std::string &hours_from, std::vector<PeriodFigures> &figures);
    // The matching failed attempts counted by the database per station,
    // result and the first of phrases their message holds (FailureCause);
    // in no particular order.
    Result failures(const Filter &filter, const std::vector<std::string> &phrases, std::vector<FailureCause> &causes);
    // The latest limit matching attempts, in the order they started: the
    // database reads them from the end of the start time's index.
    Result latest(const Filter &filter, std::size_t limit, std::vector<AttemptRecord> &records);
    // Which station drew which of a counter's numbers (Drawn), by station
    // and number: computed by the database, as few ranges as gaps allow.
    Result drawn(const std::string &counter, std::vector<Drawn> &drawn);

private:
    Result open_locked(const std::string &database, bool upgrade);
    Result send_spool(std::size_t &sent, std::size_t *left, std::size_t *kept = nullptr);
    Result reconnect(std::size_t &sent);
    // sent: the call's statement, sent already (together); nullptr: not.
    Result begin_once(const AttemptStart &start, const std::string &started, Attempt &attempt,
                      std::unique_ptr<Query> sent);
    Result spool(std::int64_t id, const AttemptEnd &end, const Result &lost);
    Step complete_once(std::int64_t id, const AttemptEnd &end, std::unique_ptr<Query> sent);
    Result draw_locked(Attempt &attempt, const std::string &counter, std::uint64_t largest, const std::string &part,
                       std::unique_ptr<Query> sent);
    Result finish_locked(const Attempt &attempt, const AttemptEnd &completion, std::unique_ptr<Query> sent);
    // Runs a call whose writes are one statement, make's, and then, with
    // the database held, then with that statement, sent (nullptr where none
    // was sent: a file, make gave none, or the server is not there; then
    // does all as alone). On a server the calls that come while one
    // thread's statements are on the wire wait, and the next trip sends all
    // of theirs as one pipeline and goes on with each: the threads of a
    // line share their round trips.
    struct Waiting;
    using Make = std::function<std::unique_ptr<Query>(Store &)>;
    using Then = std::function<Result(std::unique_ptr<Query>)>;
    Result together(const Make &make, const Then &then);
    void trip(const std::vector<Waiting *> &calls);
    // Keeps what a draw from here says of its counter.
    void saw_drawn(const std::string &counter, std::uint64_t serial);

    std::unique_ptr<Store> store_;
    std::unique_ptr<Spool> spool_;
    std::function<void()> on_busy_;
    std::string host_, station_;
    std::map<std::int64_t, std::string> pending_;  // attempts begun here, not yet finished: their part as kept
    std::map<std::string, Counter> seen_;           // counters as last seen here (counter_as_seen)
    std::size_t sent_ = 0;
    std::string spool_trouble_;
    mutable std::mutex mutex_;
    std::mutex waiting_lock_;            // guards waiting_ and sending_; never taken inside mutex_
    std::condition_variable trip_done_;  // a trip's calls are done
    std::vector<Waiting *> waiting_;     // calls whose statements wait for the next trip
    bool sending_ = false;               // a thread is making a trip
    std::atomic<bool> together_{false};  // the database is a server's: calls share their trips
};

// $XDG_STATE_HOME/kestrane/station.sqlite, or under ~/.local/state when
// XDG_STATE_HOME is unset, empty or not absolute.
Result default_path(std::string &path);
// The folder it is in: $XDG_STATE_HOME/kestrane, or ~/.local/state/kestrane.
Result state_folder(std::string &path);

// SHA-256 as lower-case hex.
std::string sha256_hex(const std::uint8_t *data, std::size_t size);

}  // namespace station

#endif
