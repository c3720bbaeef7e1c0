// The attempts: a row written before the board is touched, completed after,
// and read back filtered.
#include "station/station.h"

#include "station/station_sqlite.h"

#include <cctype>

namespace station {

// Draws the attempt's number, when it takes one, and writes its row.
static Result insert_attempt(Database &database, const AttemptStart &start, const std::string &started,
                             Attempt &attempt)
{
    std::uint64_t serial = 0;
    if (!start.counter.empty()) {
        const Result drawn = draw(database, start.counter, LARGEST_NUMBER, serial);
        if (!drawn.ok())
            return drawn;
    }
    Statement insert(database,
                     "INSERT INTO attempts (started, host, transport, path, part, image_name, image_sha256, counter, "
                     "serial) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)");
    insert.bind_text(1, started);
    insert.bind_text(2, database.host);
    insert.bind_text(3, transport_word(start.transport));
    insert.bind_text(4, start.path);
    insert.bind_text(5, start.part);
    insert.bind_text(6, start.image_name);
    insert.bind_text(7, start.image_sha256);
    if (!start.counter.empty()) {
        insert.bind_text(8, start.counter);
        insert.bind_int(9, std::int64_t(serial));
    }
    if (insert.step() != SQLITE_DONE)
        return database.failure();
    attempt.id = sqlite3_last_insert_rowid(database.db);
    attempt.serial = start.counter.empty() ? std::nullopt : std::optional<std::uint64_t>(serial);
    return {};
}

Result Station::begin(const AttemptStart &start, Attempt &attempt)
{
    return write([&](Database &database, Transaction &transaction) {
        std::string started;
        Result written = database.utc_time(start.started, started);
        if (written.ok())
            written = database.reserve.grow(database.path);
        if (!written.ok())
            return written;
        Attempt begun;
        written = insert_attempt(database, start, started, begun);
        if (written.ok() && !transaction.commit())
            written = database.failure();
        if (!written.ok()) {
            database.reserve.shrink();
            return written;
        }
        database.pending.insert(begun.id);
        attempt = begun;
        return Result{};
    });
}

// Removes the row of an attempt that never was one.
static Result withdraw(Database &database, const Attempt &attempt)
{
    Statement remove(database, "DELETE FROM attempts WHERE id = ? AND ended IS NULL AND serial IS NULL");
    remove.bind_int(1, attempt.id);
    return remove.step() == SQLITE_DONE ? Result{} : database.failure();
}

static bool withdraws(Status status)
{
    return status == Status::NoSuchCounter || status == Status::Exhausted || status == Status::TooLarge;
}

// The attempt's number drawn and written into its row, or the attempt
// withdrawn when the counter has none it may give.
static Result draw_into(Database &database, Transaction &transaction, Attempt &attempt, const std::string &counter,
                        std::uint64_t largest)
{
    std::uint64_t serial = 0;
    const Result drawn = station::draw(database, counter, largest, serial);
    if (!drawn.ok() && !withdraws(drawn.status))
        return drawn;
    if (!drawn.ok()) {
        const Result removed = withdraw(database, attempt);
        if (!removed.ok())
            return removed;
        if (!transaction.commit())
            return database.failure();
        if (database.pending.erase(attempt.id) > 0)
            database.reserve.shrink();
        return drawn;
    }
    Statement update(database,
                     "UPDATE attempts SET counter = ?, serial = ? WHERE id = ? AND ended IS NULL AND serial IS NULL");
    update.bind_text(1, counter);
    update.bind_int(2, std::int64_t(serial));
    update.bind_int(3, attempt.id);
    if (update.step() != SQLITE_DONE)
        return database.failure();
    if (sqlite3_changes(database.db) != 1)
        return {Status::Invalid, "attempt " + std::to_string(attempt.id) +
                                     " is not an unfinished attempt without a serial number in " + database.path};
    if (!transaction.commit())
        return database.failure();
    attempt.serial = serial;
    return {};
}

Result Station::draw(Attempt &attempt, const std::string &counter, std::uint64_t largest)
{
    return write([&](Database &database, Transaction &transaction) {
        return draw_into(database, transaction, attempt, counter, largest);
    });
}

Result Station::finish(const Attempt &attempt, const AttemptEnd &end)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!database_->db)
        return not_open();
    Database &database = *database_;
    std::string ended;
    const Result time = database.utc_time(end.ended, ended);
    if (!time.ok())
        return time;
    Transaction transaction(database);
    // The attempt ends here whatever happens to its record, and its room
    // goes to this update.
    if (database.pending.erase(attempt.id) > 0)
        database.reserve.shrink();
    if (!transaction.begun())
        return database.failure();
    Statement update(database,
                     "UPDATE attempts SET ended = ?, part = coalesce(nullif(?, ''), part), result = ?, exit_code = ?, "
                     "message = ?, commands = ?, bytes_written = ?, seconds = ?, tries = ? "
                     "WHERE id = ? AND ended IS NULL");
    update.bind_text(1, ended);
    update.bind_text(2, end.part);
    update.bind_text(3, end.result);
    update.bind_int(4, end.exit_code);
    update.bind_text(5, end.message);
    update.bind_int(6, std::int64_t(end.commands));
    update.bind_int(7, std::int64_t(end.bytes_written));
    update.bind_real(8, end.seconds);
    update.bind_int(9, end.tries);
    update.bind_int(10, attempt.id);
    if (update.step() != SQLITE_DONE)
        return database.failure();
    if (sqlite3_changes(database.db) != 1)
        return {Status::Invalid, "attempt " + std::to_string(attempt.id) + " is not an unfinished attempt in " +
                                     database.path};
    if (!transaction.commit())
        return database.failure();
    return {};
}

Result Station::note_part(const Attempt &attempt, const std::string &part)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!database_->db)
        return not_open();
    Statement update(*database_, "UPDATE attempts SET part = ? WHERE id = ? AND ended IS NULL");
    update.bind_text(1, part);
    update.bind_int(2, attempt.id);
    return update.step() == SQLITE_DONE ? Result{} : database_->failure();
}

// Every filter is bound, as NULL when it is not asked for.
static const char SELECT_ATTEMPTS[] = R"(
SELECT id, host, started, transport, path, part, image_name, image_sha256, counter, serial,
       ended, result, exit_code, message, commands, bytes_written, seconds, tries
FROM attempts
WHERE (?1 IS NULL OR started >= ?1)
  AND (?2 IS NULL OR serial = ?2)
  AND (?3 IS NULL OR substr(image_sha256, 1, length(?3)) = ?3)
ORDER BY started, id
)";

enum Column {
    ID, HOST, STARTED, TRANSPORT, PATH, PART, IMAGE_NAME, IMAGE_SHA256, COUNTER, SERIAL,
    ENDED, RESULT, EXIT_CODE, MESSAGE, COMMANDS, BYTES_WRITTEN, SECONDS, TRIES,
};

static AttemptEnd end_from(Statement &row)
{
    AttemptEnd end;
    end.ended = row.text(ENDED);
    end.result = row.text(RESULT);
    end.exit_code = int(row.integer(EXIT_CODE));
    end.message = row.text(MESSAGE);
    end.commands = std::uint64_t(row.integer(COMMANDS));
    end.bytes_written = std::uint64_t(row.integer(BYTES_WRITTEN));
    end.seconds = row.real(SECONDS);
    end.tries = std::uint32_t(row.integer(TRIES));
    return end;
}

static AttemptRecord record_from(Statement &row)
{
    AttemptRecord record;
    record.id = row.integer(ID);
    record.host = row.text(HOST);
    record.start.started = row.text(STARTED);
    record.start.transport = row.text(TRANSPORT) == transport_word(Transport::Uart) ? Transport::Uart : Transport::Usb;
    record.start.path = row.text(PATH);
    record.start.part = row.text(PART);
    record.start.image_name = row.text(IMAGE_NAME);
    record.start.image_sha256 = row.text(IMAGE_SHA256);
    record.start.counter = row.text(COUNTER);
    if (!row.null(SERIAL))
        record.serial = std::uint64_t(row.integer(SERIAL));
    if (!row.null(ENDED))
        record.end = end_from(row);
    return record;
}

// Lower-case hex, as stored; anything else could never match.
static Result hash_prefix(const std::string &given, std::string &prefix)
{
    prefix.clear();
    for (char c : given) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {Status::Invalid, "'" + given + "' is not the start of a SHA-256 in hex"};
        prefix += char(std::tolower(static_cast<unsigned char>(c)));
    }
    return {};
}

static Result bind_filter(Database &database, const Filter &filter, Statement &select)
{
    if (!filter.since.empty()) {
        std::string since;
        const Result time = database.utc_time(filter.since, since);
        if (!time.ok())
            return time;
        select.bind_text(1, since);
    }
    if (filter.serial)
        select.bind_int(2, std::int64_t(*filter.serial));
    if (!filter.sha256_prefix.empty()) {
        std::string prefix;
        const Result valid = hash_prefix(filter.sha256_prefix, prefix);
        if (!valid.ok())
            return valid;
        select.bind_text(3, prefix);
    }
    return {};
}

Result Station::history(const Filter &filter, std::vector<AttemptRecord> &records)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Database &database = *database_;
    if (!database.db)
        return not_open();
    Statement select(database, SELECT_ATTEMPTS);
    const Result bound = bind_filter(database, filter, select);
    if (!bound.ok())
        return bound;
    std::vector<AttemptRecord> read;
    int row;
    while ((row = select.step()) == SQLITE_ROW)
        read.push_back(record_from(select));
    if (row != SQLITE_DONE)
        return database.failure();
    records = std::move(read);
    return {};
}

}  // namespace station
