// The attempts' rows: one written before the board is touched, its number
// drawn into it once the board is known to take it, completed after; on a
// server each a single statement, sent with other threads' (together).
#include "station/station.h"

#include "station/database.h"
#include "station/spool.h"
#include "station/store.h"
#include "station/store_postgres.h"

#include <algorithm>

namespace station {

static const char INSERT_ATTEMPT[] =
    "INSERT INTO attempts (started, host, station, transport, path, part, image_name, image_sha256, counter, serial) "
    "SELECT ?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, counter, serial FROM ";

// The attempt's row, its number drawn from start.counter when it takes one:
// on a server in the same statement, the draw its first part; in a file
// already drawn (serial), in turn within the transaction.
static std::unique_ptr<Query> insert_query(Store &store, const AttemptStart &start, const std::string &started,
                                           const std::string &host, const std::string &station, std::uint64_t serial)
{
    const bool drawing = !start.counter.empty(), at_once = drawing && store.statement_is_transaction();
    const std::string source = at_once   ? "drawn"
                               : drawing ? "(SELECT ?9 AS counter, CAST(?10 AS BIGINT) AS serial) AS drawn"
                                         : "(SELECT CAST(NULL AS TEXT) AS counter, CAST(NULL AS BIGINT) AS serial) AS none";
    auto insert = store.query((at_once ? "WITH drawn AS (" + draw_sql(9, 10) + ") " : std::string()) +
                              INSERT_ATTEMPT + source + " RETURNING id, serial");
    insert->bind_text(1, started);
    insert->bind_text(2, host);
    insert->bind_text(3, station);
    insert->bind_text(4, transport_word(start.transport));
    insert->bind_text(5, start.path);
    insert->bind_text(6, start.part);
    insert->bind_text(7, start.image_name);
    insert->bind_text(8, start.image_sha256);
    if (drawing) {
        insert->bind_text(9, start.counter);
        insert->bind_int(10, at_once ? std::int64_t(LARGEST_NUMBER) : std::int64_t(serial));
    }
    return insert;
}

static Result inserted(Store &store, Query &insert, const AttemptStart &start, Attempt &attempt)
{
    const Step row = insert.step();
    if (row == Step::Done && !start.counter.empty())
        return not_drawn(store, start.counter, LARGEST_NUMBER);
    if (row != Step::Row)
        return store.failure();
    attempt.id = insert.integer(0);
    attempt.serial = insert.null(1) ? std::nullopt : std::optional<std::uint64_t>(std::uint64_t(insert.integer(1)));
    return insert.step() == Step::Done ? Result{} : store.failure();
}

// sent: the row's statement, sent with others' already (Station::together).
static Result insert_attempt(Store &store, const AttemptStart &start, const std::string &started,
                             const std::string &host, const std::string &station, Attempt &attempt,
                             std::unique_ptr<Query> sent)
{
    std::uint64_t serial = 0;
    if (!sent && !start.counter.empty() && !store.statement_is_transaction()) {
        const Result drawn = draw(store, start.counter, LARGEST_NUMBER, serial);
        if (!drawn.ok())
            return drawn;
    }
    if (!sent)
        sent = insert_query(store, start, started, host, station, serial);
    return inserted(store, *sent, start, attempt);
}

// A server's connection found lost before anything was written (it closed
// while the line was idle) is made again, once. A server's row goes with
// what other threads send meanwhile.
Result Station::begin(const AttemptStart &start, Attempt &attempt)
{
    std::string started;
    const Result time = utc_time(start.started, started);
    if (!time.ok())
        return time;
    const Make make = [&](Store &store) {
        return start.counter.empty() || store.statement_is_transaction()
                   ? insert_query(store, start, started, host_, station_, 0)
                   : nullptr;
    };
    return together(make, [&](std::unique_ptr<Query> sent) {
        if (!store_)
            return not_open();
        if (sent)
            return begin_once(start, started, attempt, std::move(sent));
        std::size_t reconnected = 0;
        const Result connected = reconnect(reconnected);
        if (!connected.ok())
            return connected;
        Result begun = begin_once(start, started, attempt, nullptr);
        if (begun.status == Status::Unreachable && begun.message.empty() && reconnect(reconnected).ok())
            begun = begin_once(start, started, attempt, nullptr);
        return begun.message.empty() && !begun.ok() ? store_->failure() : begun;
    });
}

// Unreachable without a message: the connection was lost before the
// transaction began.
Result Station::begin_once(const AttemptStart &start, const std::string &started, Attempt &attempt,
                           std::unique_ptr<Query> sent)
{
    Store &store = *store_;
    Transaction transaction(store, Transaction::OneStatement);
    if (!transaction.begun()) {
        const Result failed = store.failure();
        return failed.status == Status::Unreachable ? Result{Status::Unreachable, ""} : failed;
    }
    Result written = store.keep_room();
    if (!written.ok())
        return written;
    Attempt begun;
    written = insert_attempt(store, start, started, host_, station_, begun, std::move(sent));
    if (written.ok() && !transaction.commit())
        written = store.failure();
    if (!written.ok()) {
        store.give_room();
        seen_.erase(start.counter);  // read again when next asked
        return written;
    }
    pending_[begun.id] = start.part;
    if (begun.serial)
        saw_drawn(start.counter, *begun.serial);
    attempt = begun;
    return {};
}

// Marks the row of an attempt that never was one: history leaves it out.
// A station may not delete rows.
static Result withdraw(Store &store, const Attempt &attempt)
{
    auto update = store.query("UPDATE attempts SET withdrawn = 1 WHERE id = ?1 AND ended IS NULL AND serial IS NULL");
    update->bind_int(1, attempt.id);
    return update->step() == Step::Done ? Result{} : store.failure();
}

static bool withdraws(Status status)
{
    return status == Status::NoSuchCounter || status == Status::Exhausted || status == Status::TooLarge;
}

// In a file: the number drawn, then written into the attempt's row with
// its part, in the transaction. Row: written; Done: the attempt was not one
// to take it; Failed: drawn says why, a withdrawing status when the attempt
// is to be withdrawn.
static Step draw_in_turn(Store &store, const Attempt &attempt, const std::string &counter, std::uint64_t largest,
                         const std::string &part, std::uint64_t &serial, Result &drawn)
{
    drawn = station::draw(store, counter, largest, serial);
    if (!drawn.ok())
        return Step::Failed;
    auto update = store.query("UPDATE attempts SET counter = ?1, serial = ?2, part = coalesce(nullif(?4, ''), part) "
                              "WHERE id = ?3 AND ended IS NULL AND serial IS NULL RETURNING id");
    update->bind_text(1, counter);
    update->bind_int(2, std::int64_t(serial));
    update->bind_int(3, attempt.id);
    update->bind_text(4, part);
    const Step updated = update->step();
    if (updated == Step::Row && update->step() == Step::Done)
        return Step::Row;
    drawn = store.failure();
    return updated == Step::Done ? Step::Done : Step::Failed;
}

// On a server: one statement draws the number and writes it into the
// attempt's row, or withdraws the attempt when the counter has none for it;
// a counter is drawn from only for an attempt that takes the number.
static std::unique_ptr<Query> draw_query(Store &store, const Attempt &attempt, const std::string &counter,
                                         std::uint64_t largest, const std::string &part)
{
    static const char UNFINISHED[] = "ended IS NULL AND serial IS NULL AND withdrawn IS NULL";
    auto update = store.query(
        "WITH drawn AS (" + draw_sql(1, 2, std::string("EXISTS (SELECT 1 FROM attempts WHERE id = ?3 AND ") + UNFINISHED + ")") +
        ") UPDATE attempts SET counter = (SELECT counter FROM drawn), serial = (SELECT serial FROM drawn), "
        "part = coalesce(nullif(?4, ''), part), withdrawn = CASE WHEN EXISTS (SELECT 1 FROM drawn) THEN NULL ELSE 1 END "
        "WHERE id = ?3 AND " + UNFINISHED + " RETURNING serial");
    update->bind_text(1, counter);
    update->bind_int(2, std::int64_t(std::min<std::uint64_t>(largest, LARGEST_NUMBER)));
    update->bind_int(3, attempt.id);
    update->bind_text(4, part);
    return update;
}

static Step drawn_at_once(Store &store, Query &update, const std::string &counter, std::uint64_t largest,
                          std::uint64_t &serial, Result &drawn)
{
    const Step updated = update.step();
    if (updated != Step::Row) {
        drawn = store.failure();
        return updated;
    }
    const bool numbered = !update.null(0);
    serial = numbered ? std::uint64_t(update.integer(0)) : 0;
    if (update.step() != Step::Done) {
        drawn = store.failure();
        return Step::Failed;
    }
    drawn = numbered ? Result{} : not_drawn(store, counter, largest);
    if (!numbered && drawn.ok())  // the counter changed since: the attempt is withdrawn all the same
        drawn = {Status::Exhausted, "counter '" + counter + "' had no number left for the board"};
    return numbered ? Step::Row : Step::Failed;
}

// The attempt's number drawn and written into its row, or the attempt
// withdrawn when the counter has none it may give.
Result Station::draw(Attempt &attempt, const std::string &counter, std::uint64_t largest, const std::string &part)
{
    const Make make = [&](Store &store) {
        return store.statement_is_transaction() ? draw_query(store, attempt, counter, largest, part) : nullptr;
    };
    return together(make, [&](std::unique_ptr<Query> sent) { return draw_locked(attempt, counter, largest, part, std::move(sent)); });
}

// Callers hold mutex_.
Result Station::draw_locked(Attempt &attempt, const std::string &counter, std::uint64_t largest,
                            const std::string &part, std::unique_ptr<Query> sent)
{
    if (!store_)
        return not_open();
    Store &store = *store_;
    Transaction transaction(store, Transaction::OneStatement);
    if (!transaction.begun())
        return store.failure();
    std::uint64_t serial = 0;
    Result drawn;
    const bool at_once = store.statement_is_transaction();
    if (at_once && !sent)
        sent = draw_query(store, attempt, counter, largest, part);
    const Step updated = at_once ? drawn_at_once(store, *sent, counter, largest, serial, drawn)
                                 : draw_in_turn(store, attempt, counter, largest, part, serial, drawn);
    if (updated == Step::Done)
        return {Status::Invalid, "attempt " + std::to_string(attempt.id) +
                                     " is not an unfinished attempt without a serial number in " + store.name()};
    if (updated == Step::Failed && !withdraws(drawn.status))
        return drawn;
    if (updated == Step::Failed) {
        const Result withdrawn = at_once ? Result{} : withdraw(store, attempt);
        if (!withdrawn.ok())
            return withdrawn;
        if (!transaction.commit())
            return store.failure();
        if (pending_.erase(attempt.id) > 0)
            store.give_room();
        seen_.erase(counter);  // read again when next asked
        return drawn;
    }
    if (!transaction.commit())
        return store.failure();
    attempt.serial = serial;
    saw_drawn(counter, serial);
    if (pending_.count(attempt.id) > 0 && !part.empty())
        pending_[attempt.id] = part;
    return {};
}

static const char UPDATE_END[] =
    "UPDATE attempts SET ended = ?1, part = coalesce(nullif(?2, ''), part), result = ?3, exit_code = ?4, "
    "message = ?5, commands = ?6, bytes_written = ?7, seconds = ?8, tries = ?9 "
    "WHERE id = ?10 AND ended IS NULL AND withdrawn IS NULL RETURNING id";

static std::unique_ptr<Query> complete_query(Store &store, std::int64_t id, const AttemptEnd &end)
{
    auto update = store.query(UPDATE_END);
    update->bind_text(1, end.ended);
    update->bind_text(2, end.part);
    update->bind_text(3, end.result);
    update->bind_int(4, end.exit_code);
    update->bind_text(5, end.message);
    update->bind_int(6, std::int64_t(end.commands));
    update->bind_int(7, std::int64_t(end.bytes_written));
    update->bind_real(8, end.seconds);
    update->bind_int(9, end.tries);
    update->bind_int(10, id);
    return update;
}

static Step completed(Query &update)
{
    const Step updated = update.step();
    return updated == Step::Row && update.step() != Step::Done ? Step::Failed : updated;
}

Step complete(Store &store, std::int64_t id, const AttemptEnd &end)
{
    return completed(*complete_query(store, id, end));
}

Result Station::finish(const Attempt &attempt, const AttemptEnd &end)
{
    AttemptEnd completion = end;
    const Result time = utc_time(end.ended, completion.ended);
    if (!time.ok())
        return time;
    const Make make = [&](Store &store) { return complete_query(store, attempt.id, completion); };
    return together(make, [&](std::unique_ptr<Query> sent) { return finish_locked(attempt, completion, std::move(sent)); });
}

// Callers hold mutex_.
Result Station::finish_locked(const Attempt &attempt, const AttemptEnd &completion, std::unique_ptr<Query> sent)
{
    if (!store_)
        return not_open();
    Store &store = *store_;
    Step updated = complete_once(attempt.id, completion, std::move(sent));
    // A server that closed the connection may be there again at once.
    std::size_t reconnected = 0;
    if (updated == Step::Failed && store.failure().status == Status::Unreachable && reconnect(reconnected).ok())
        updated = complete_once(attempt.id, completion, nullptr);
    if (updated == Step::Failed) {
        const Result failed = store.failure();
        return failed.status == Status::Unreachable ? spool(attempt.id, completion, failed) : failed;
    }
    if (updated == Step::Done)
        return {Status::Invalid, "attempt " + std::to_string(attempt.id) + " is not an unfinished attempt in " +
                                     store.name()};
    return {};
}

// Callers hold mutex_.
Step Station::complete_once(std::int64_t id, const AttemptEnd &end, std::unique_ptr<Query> sent)
{
    Transaction transaction(*store_, Transaction::OneStatement);
    // The attempt ends here whatever happens to its record, and its room
    // goes to this update, under the write lock: no other writer of the
    // file takes it first.
    if (pending_.erase(id) > 0)
        store_->give_room();
    if (!sent && transaction.begun())
        sent = complete_query(*store_, id, end);
    Step updated = transaction.begun() ? completed(*sent) : Step::Failed;
    if (updated == Step::Row && !transaction.commit())
        updated = Step::Failed;
    return updated;
}

// Kept here until the server is back; the spool failing too leaves the
// attempt unfinished there.
Result Station::spool(std::int64_t id, const AttemptEnd &end, const Result &lost)
{
    if (!spool_)
        spool_ = std::make_unique<Spool>();
    const Result kept = spool_->keep(dynamic_cast<PostgresStore &>(*store_), id, end);
    if (!kept.ok())
        return {Status::Unreachable, lost.message + "; nor could the completion be kept: " + kept.message};
    return {Status::Pending, "the record of attempt " + std::to_string(id) + " is pending: " + lost.message +
                                 "; its completion is kept in " + escaped(spool_->path()) +
                                 " and sent once the server is back (kestrane-cli station sync sends it)"};
}

}  // namespace station
