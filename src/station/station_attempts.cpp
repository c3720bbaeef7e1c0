// The attempts: a row written before the board is touched, completed after,
// and read back filtered.
#include "station/station.h"

#include "station/spool.h"
#include "station/store.h"
#include "station/store_postgres.h"

namespace station {

// Draws the attempt's number, when it takes one, and writes its row.
static Result insert_attempt(Store &store, const AttemptStart &start, const std::string &started,
                             const std::string &host, const std::string &station, Attempt &attempt)
{
    std::uint64_t serial = 0;
    if (!start.counter.empty()) {
        const Result drawn = draw(store, start.counter, LARGEST_NUMBER, serial);
        if (!drawn.ok())
            return drawn;
    }
    auto insert = store.query("INSERT INTO attempts (started, host, station, transport, path, part, image_name, "
                              "image_sha256, counter, serial) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10) "
                              "RETURNING id");
    insert->bind_text(1, started);
    insert->bind_text(2, host);
    insert->bind_text(3, station);
    insert->bind_text(4, transport_word(start.transport));
    insert->bind_text(5, start.path);
    insert->bind_text(6, start.part);
    insert->bind_text(7, start.image_name);
    insert->bind_text(8, start.image_sha256);
    if (!start.counter.empty()) {
        insert->bind_text(9, start.counter);
        insert->bind_int(10, std::int64_t(serial));
    }
    if (insert->step() != Step::Row)
        return store.failure();
    attempt.id = insert->integer(0);
    attempt.serial = start.counter.empty() ? std::nullopt : std::optional<std::uint64_t>(serial);
    return insert->step() == Step::Done ? Result{} : store.failure();
}

// A server's connection found lost before anything was written (it closed
// while the line was idle) is made again, once.
Result Station::begin(const AttemptStart &start, Attempt &attempt)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    std::string started;
    const Result time = utc_time(start.started, started);
    if (!time.ok())
        return time;
    std::size_t sent = 0;
    const Result connected = reconnect(sent);
    if (!connected.ok())
        return connected;
    Result begun = begin_once(start, started, attempt);
    if (begun.status == Status::Unreachable && begun.message.empty() && reconnect(sent).ok())
        begun = begin_once(start, started, attempt);
    return begun.message.empty() && !begun.ok() ? store_->failure() : begun;
}

// Unreachable without a message: the connection was lost before the
// transaction began.
Result Station::begin_once(const AttemptStart &start, const std::string &started, Attempt &attempt)
{
    Store &store = *store_;
    Transaction transaction(store);
    if (!transaction.begun()) {
        const Result failed = store.failure();
        return failed.status == Status::Unreachable ? Result{Status::Unreachable, ""} : failed;
    }
    Result written = store.keep_room();
    if (!written.ok())
        return written;
    Attempt begun;
    written = insert_attempt(store, start, started, host_, station_, begun);
    if (written.ok() && !transaction.commit())
        written = store.failure();
    if (!written.ok()) {
        store.give_room();
        return written;
    }
    pending_.insert(begun.id);
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

// The attempt's number drawn and written into its row, or the attempt
// withdrawn when the counter has none it may give.
Result Station::draw(Attempt &attempt, const std::string &counter, std::uint64_t largest)
{
    return write([&](Store &store, Transaction &transaction) {
        std::uint64_t serial = 0;
        const Result drawn = station::draw(store, counter, largest, serial);
        if (!drawn.ok() && !withdraws(drawn.status))
            return drawn;
        if (!drawn.ok()) {
            const Result withdrawn = withdraw(store, attempt);
            if (!withdrawn.ok())
                return withdrawn;
            if (!transaction.commit())
                return store.failure();
            if (pending_.erase(attempt.id) > 0)
                store.give_room();
            return drawn;
        }
        auto update = store.query("UPDATE attempts SET counter = ?1, serial = ?2 WHERE id = ?3 AND ended IS NULL "
                                  "AND serial IS NULL RETURNING id");
        update->bind_text(1, counter);
        update->bind_int(2, std::int64_t(serial));
        update->bind_int(3, attempt.id);
        const Step updated = update->step();
        if (updated == Step::Done)
            return Result{Status::Invalid, "attempt " + std::to_string(attempt.id) +
                                               " is not an unfinished attempt without a serial number in " +
                                               store.name()};
        if (updated != Step::Row || update->step() != Step::Done || !transaction.commit())
            return store.failure();
        attempt.serial = serial;
        return Result{};
    });
}

static const char UPDATE_END[] =
    "UPDATE attempts SET ended = ?1, part = coalesce(nullif(?2, ''), part), result = ?3, exit_code = ?4, "
    "message = ?5, commands = ?6, bytes_written = ?7, seconds = ?8, tries = ?9 "
    "WHERE id = ?10 AND ended IS NULL AND withdrawn IS NULL RETURNING id";

Step complete(Store &store, std::int64_t id, const AttemptEnd &end)
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
    const Step updated = update->step();
    return updated == Step::Row && update->step() != Step::Done ? Step::Failed : updated;
}

Result Station::finish(const Attempt &attempt, const AttemptEnd &end)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    Store &store = *store_;
    AttemptEnd completion = end;
    const Result time = utc_time(end.ended, completion.ended);
    if (!time.ok())
        return time;
    Step updated = complete_once(attempt.id, completion);
    // A server that closed the connection may be there again at once.
    std::size_t sent = 0;
    if (updated == Step::Failed && store.failure().status == Status::Unreachable && reconnect(sent).ok())
        updated = complete_once(attempt.id, completion);
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
Step Station::complete_once(std::int64_t id, const AttemptEnd &end)
{
    Transaction transaction(*store_);
    // The attempt ends here whatever happens to its record, and its room
    // goes to this update, under the write lock: no other writer of the
    // file takes it first.
    if (pending_.erase(id) > 0)
        store_->give_room();
    Step updated = transaction.begun() ? complete(*store_, id, end) : Step::Failed;
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
                                 "; its completion is kept in " + spool_->path() +
                                 " and sent once the server is back (kestrane-cli station sync sends it)"};
}

Result Station::note_part(const Attempt &attempt, const std::string &part)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    auto update = store_->query("UPDATE attempts SET part = ?1 WHERE id = ?2 AND ended IS NULL AND withdrawn IS NULL");
    update->bind_text(1, part);
    update->bind_int(2, attempt.id);
    return update->step() == Step::Done ? Result{} : store_->failure();
}

}  // namespace station
