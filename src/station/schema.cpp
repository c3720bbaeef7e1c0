// The station database's schema, versioned, made and upgraded alike in
// either dialect; and the times it stores.
#include "station/store.h"

#include <cstdio>
#include <ctime>
#include <chrono>

namespace station {

// Version 2: each attempt names its station; those recorded before say the
// host they were recorded on. An attempt that never was one (its board
// opened, and no number left for it) is withdrawn rather than deleted, so
// that a station needs no right to delete.
static const char STATIONS[] = R"(
ALTER TABLE attempts ADD COLUMN station TEXT;
UPDATE attempts SET station = host;
CREATE INDEX attempts_station ON attempts (station);
ALTER TABLE attempts ADD COLUMN withdrawn INTEGER;
)";

static Result newer(Store &store, int version)
{
    return {Status::CannotOpen, "the station database " + store.name() + " has schema version " +
                                    std::to_string(version) + ", made by a newer Kestrane: this one knows up to " +
                                    std::to_string(SCHEMA_VERSION)};
}

Result check_version(Store &store, int &version)
{
    const Result read = store.version(version);
    if (!read.ok())
        return read;
    if (version > SCHEMA_VERSION)
        return newer(store, version);
    store.schema = version;
    return {};
}

Result upgrade_schema(Store &store)
{
    Transaction transaction(store);
    if (!transaction.begun())
        return store.failure();
    int version = 0;
    const Result checked = check_version(store, version);
    if (!checked.ok() || version == SCHEMA_VERSION)
        return checked;
    const Dialect &dialect = store.dialect();
    const bool upgraded = (version >= 1 || store.execute(dialect.tables)) &&
                          (version >= 2 || (store.execute(STATIONS) && store.execute(dialect.guards))) &&
                          (version >= 3 ||
                           (store.execute(dialect.indexes) && store.execute(dialect.tally().c_str()))) &&
                          (version >= 4 || store.execute(dialect.hours().c_str())) &&
                          store.set_version(SCHEMA_VERSION);
    if (!upgraded || !transaction.commit())
        return store.failure();
    store.schema = SCHEMA_VERSION;
    return {};
}

// Digits, exactly count of them, as a number.
static bool digits(const char *&at, int count, int &value)
{
    value = 0;
    for (int i = 0; i < count; ++i, ++at) {
        if (*at < '0' || *at > '9')
            return false;
        value = value * 10 + (*at - '0');
    }
    return true;
}

static bool literal(const char *&at, char c)
{
    if (*at != c)
        return false;
    ++at;
    return true;
}

// 2024-05-01, then optionally T or a space and 09:30, :00, .123..., and Z.
static bool parse_time(const std::string &given, std::tm &time, int &milliseconds)
{
    const char *at = given.c_str();
    time = std::tm{};
    milliseconds = 0;
    int year, month, day;
    if (!digits(at, 4, year) || !literal(at, '-') || !digits(at, 2, month) || !literal(at, '-') ||
        !digits(at, 2, day))
        return false;
    time.tm_year = year - 1900;
    time.tm_mon = month - 1;
    time.tm_mday = day;
    if (literal(at, 'T') || literal(at, ' ')) {
        if (!digits(at, 2, time.tm_hour) || !literal(at, ':') || !digits(at, 2, time.tm_min))
            return false;
        if (literal(at, ':') && !digits(at, 2, time.tm_sec))
            return false;
        if (literal(at, '.')) {
            int scale = 100, digit;
            if (!digits(at, 1, digit))
                return false;
            do {
                milliseconds += digit * scale;
                scale /= 10;
            } while (digits(at, 1, digit));
        }
        literal(at, 'Z');
    }
    if (*at != '\0')
        return false;
    // timegm mends a day or an hour out of range; a time that needed mending
    // was not one.
    std::tm checked = time;
    const std::time_t seconds = timegm(&checked);
    return seconds != -1 && checked.tm_mday == time.tm_mday && checked.tm_mon == time.tm_mon &&
           checked.tm_hour == time.tm_hour && checked.tm_min == time.tm_min && checked.tm_sec == time.tm_sec;
}

Result utc_time(const std::string &given, std::string &time)
{
    std::tm parts{};
    int milliseconds = 0;
    if (given.empty()) {
        const auto now = std::chrono::system_clock::now();
        const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
        gmtime_r(&seconds, &parts);
        milliseconds = int(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    } else if (!parse_time(given, parts, milliseconds)) {
        return {Status::Invalid, "'" + given + "' is not a UTC time: write 2024-05-01 or 2024-05-01T09:30:00Z"};
    }
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, milliseconds);
    time = text;
    return {};
}

}  // namespace station
