// The attempts: the part kept as soon as it is known, and the record read
// back filtered. Their rows are written in station_draw.cpp.
#include "station/station.h"

#include "station/spool.h"
#include "station/store.h"
#include "station/store_postgres.h"

#include <algorithm>
#include <cctype>

namespace station {

// A part the attempt's row holds already costs no statement.
Result Station::note_part(const Attempt &attempt, const std::string &part)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    const auto kept = pending_.find(attempt.id);
    if (kept != pending_.end() && kept->second == part)
        return {};
    auto update = store_->query("UPDATE attempts SET part = ?1 WHERE id = ?2 AND ended IS NULL AND withdrawn IS NULL");
    update->bind_text(1, part);
    update->bind_int(2, attempt.id);
    if (update->step() != Step::Done)
        return store_->failure();
    if (kept != pending_.end())
        kept->second = part;
    return {};
}

// Every filter is bound, as NULL when it is not asked for. The station
// column came with version 2; before it, the host was the station.
static std::string select_attempts(int schema)
{
    return std::string("SELECT id, host, ") + (schema >= 2 ? "station" : "host") + R"(, started, transport, path, part,
       image_name, image_sha256, counter, serial,
       ended, result, exit_code, message, commands, bytes_written, seconds, tries
FROM attempts
WHERE (CAST(?1 AS TEXT) IS NULL OR started >= ?1)
  AND (CAST(?2 AS BIGINT) IS NULL OR serial = ?2)
  AND (CAST(?3 AS TEXT) IS NULL OR substr(image_sha256, 1, length(?3)) = ?3)
  AND (CAST(?4 AS TEXT) IS NULL OR )" + (schema >= 2 ? "station" : "host") + R"( = ?4)
  )" + (schema >= 2 ? "AND withdrawn IS NULL" : "") + R"(
ORDER BY started, id
)";
}

enum Column {
    ID, HOST, STATION, STARTED, TRANSPORT, PATH, PART, IMAGE_NAME, IMAGE_SHA256, COUNTER, SERIAL,
    ENDED, RESULT, EXIT_CODE, MESSAGE, COMMANDS, BYTES_WRITTEN, SECONDS, TRIES,
};

static AttemptEnd end_from(Query &row)
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

static AttemptRecord record_from(Query &row)
{
    AttemptRecord record;
    record.id = row.integer(ID);
    record.host = row.text(HOST);
    record.station = row.text(STATION);
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

static Result bind_filter(const Filter &filter, Query &select)
{
    if (!filter.since.empty()) {
        std::string since;
        const Result time = utc_time(filter.since, since);
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
    if (!filter.station.empty())
        select.bind_text(4, filter.station);
    return {};
}

Result Station::history(const Filter &filter, std::vector<AttemptRecord> &records)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    auto select = store_->query(select_attempts(store_->schema));
    const Result bound = bind_filter(filter, *select);
    if (!bound.ok())
        return bound;
    std::vector<AttemptRecord> read;
    Step row;
    while ((row = select->step()) == Step::Row)
        read.push_back(record_from(*select));
    if (row != Step::Done)
        return store_->failure();
    records = std::move(read);
    return {};
}

}  // namespace station
