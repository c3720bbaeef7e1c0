// The station database: opening it, where it lives by default, and the
// SHA-256 that names an image.
#include "station/station.h"

#include "station/station_sqlite.h"

#include <nettle/sha2.h>
#include <unistd.h>

#include <cctype>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>

namespace station {

static const int SCHEMA_VERSION = 1;
static const int BUSY_POLL_MS = 5;
// A bench appends rows and reads little back, so a small page cache does;
// SQLite's default of 2 MB would let a process that runs all day grow by as
// much as its file does, up to that.
static const char CACHE_SIZE[] = "PRAGMA cache_size = -128";  // KiB

// serial is unique per counter: a second hand-out of a number fails the
// transaction rather than reach a board.
static const char SCHEMA[] = R"(
CREATE TABLE IF NOT EXISTS counters (
    name TEXT PRIMARY KEY,
    first INTEGER NOT NULL,
    last INTEGER,
    handed_out INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE IF NOT EXISTS attempts (
    id INTEGER PRIMARY KEY,
    started TEXT NOT NULL,
    host TEXT NOT NULL,
    transport TEXT NOT NULL,
    path TEXT NOT NULL,
    part TEXT NOT NULL,
    image_name TEXT NOT NULL,
    image_sha256 TEXT NOT NULL,
    counter TEXT,
    serial INTEGER,
    ended TEXT,
    result TEXT,
    exit_code INTEGER,
    message TEXT,
    commands INTEGER,
    bytes_written INTEGER,
    seconds REAL,
    tries INTEGER
);
CREATE UNIQUE INDEX IF NOT EXISTS attempts_serial ON attempts (serial, counter) WHERE serial IS NOT NULL;
CREATE INDEX IF NOT EXISTS attempts_started ON attempts (started);
CREATE INDEX IF NOT EXISTS attempts_image ON attempts (image_sha256);
)";

Result Station::write(const std::function<Result(Database &, Transaction &)> &body)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!database_->db)
        return not_open();
    Transaction transaction(*database_);
    if (!transaction.begun())
        return database_->failure();
    return body(*database_, transaction);
}

Result Database::failure() const
{
    const int code = sqlite3_errcode(db);
    if (code == SQLITE_BUSY)
        return {Status::Failed, "the station database " + path + " stayed locked by another program for " +
                                    std::to_string(BUSY_TIMEOUT_MS / 1000) + " s"};
    return {Status::Failed, "the station database " + path + ": " + sqlite3_errmsg(db)};
}

Result Database::utc_time(const std::string &given, std::string &time)
{
    Statement now(*this, "SELECT strftime('%Y-%m-%dT%H:%M:%fZ', ?)");
    now.bind_text(1, given.empty() ? "now" : given);
    if (now.step() != SQLITE_ROW)
        return failure();
    if (now.null(0))
        return {Status::Invalid, "'" + given + "' is not a UTC time: write 2024-05-01 or 2024-05-01T09:30:00Z"};
    time = now.text(0);
    return {};
}

// SQLite's own busy time-out would wait as long, but says nothing while it
// waits.
static int wait_while_busy(void *database, int count)
{
    Database *waiting = static_cast<Database *>(database);
    if (count == BUSY_SAY_MS / BUSY_POLL_MS && waiting->on_busy && !waiting->said_waiting) {
        waiting->said_waiting = true;
        waiting->on_busy();
    }
    if (count >= BUSY_TIMEOUT_MS / BUSY_POLL_MS)
        return 0;
    sqlite3_sleep(BUSY_POLL_MS);
    return 1;
}

static Result cannot_open(const Database &database)
{
    std::string message = "cannot open the station database " + database.path + ": " + sqlite3_errmsg(database.db);
    const int error = sqlite3_system_errno(database.db);
    if (error != 0)
        message += std::string(" (") + std::strerror(error) + ")";
    return {Status::CannotOpen, message};
}

static std::string host_name()
{
    char name[HOST_NAME_MAX + 1] = "";
    if (gethostname(name, sizeof name) != 0)
        return "";
    name[HOST_NAME_MAX] = '\0';
    return name;
}

static Result create_schema(Database &database)
{
    Transaction transaction(database);
    if (!transaction.begun())
        return cannot_open(database);
    Statement version(database, "PRAGMA user_version");
    if (version.step() != SQLITE_ROW)
        return cannot_open(database);
    if (version.integer(0) > SCHEMA_VERSION)
        return {Status::CannotOpen, "the station database " + database.path + " was made by a newer Kestrane"};
    const std::string set_version = "PRAGMA user_version = " + std::to_string(SCHEMA_VERSION);
    if (sqlite3_exec(database.db, SCHEMA, nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(database.db, set_version.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK || !transaction.commit())
        return cannot_open(database);
    return {};
}

// A write-ahead log lets readers and the writer go on side by side; FULL
// syncs it on every commit, so a drawn number survives a power cut too.
static Result configure(Database &database)
{
    sqlite3_busy_handler(database.db, wait_while_busy, &database);
    if (sqlite3_db_readonly(database.db, "main") == 1)
        return {Status::CannotOpen, "cannot open the station database " + database.path + ": it is read-only"};
    if (sqlite3_exec(database.db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(database.db, "PRAGMA synchronous = FULL", nullptr, nullptr, nullptr) != SQLITE_OK ||
        sqlite3_exec(database.db, CACHE_SIZE, nullptr, nullptr, nullptr) != SQLITE_OK)
        return cannot_open(database);
    return create_schema(database);
}

Station::Station() : database_(std::make_unique<Database>()) {}
Station::~Station() = default;

Result Station::open(const std::string &path)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Database &database = *database_;
    database.close();
    database.path = path;
    database.host = host_name();
    Result opened;
    if (sqlite3_open_v2(path.c_str(), &database.db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        opened = cannot_open(database);
    else
        opened = configure(database);
    if (!opened.ok())
        database.close();
    return opened;
}

// A path as an SQLite URI, so that it can carry parameters: percent-encoded
// but for what paths hold plainly, an absolute one after an empty host.
static std::string file_uri(const std::string &path, const char *parameters)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string uri = path.empty() || path[0] != '/' ? "file:" : "file://";
    for (unsigned char c : path) {
        if (std::isalnum(c) || std::strchr("/-._~", c) != nullptr) {
            uri += char(c);
        } else {
            uri += '%';
            uri += HEX[c >> 4];
            uri += HEX[c & 0xF];
        }
    }
    return uri + "?" + parameters;
}

// The ways to open a database for reading, each tried when the one before
// cannot open it. Immutable reads the file alone: no locks, no write-ahead
// log, nothing created; right for a file nobody writes.
enum class Reading { Writable, ReadOnly, Immutable };

static int open_reading(Database &database, Reading reading)
{
    database.close();
    static const char *const PARAMETERS[] = {"mode=rw", "mode=ro", "mode=ro&immutable=1"};
    const int flags = SQLITE_OPEN_URI | (reading == Reading::Writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
    const std::string uri = file_uri(database.path, PARAMETERS[int(reading)]);
    int result = sqlite3_open_v2(uri.c_str(), &database.db, flags, nullptr);
    if (result == SQLITE_OK) {
        sqlite3_busy_handler(database.db, wait_while_busy, &database);
        // Opening reads nothing: the first read is where a missing log or
        // shared memory file shows.
        result = sqlite3_exec(database.db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    return result & 0xFF;
}

static bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

Result Station::open_to_read(const std::string &path, std::string &warning)
{
    std::lock_guard<std::mutex> lock(mutex_);
    Database &database = *database_;
    database.close();
    database.path = path;
    database.host = host_name();
    warning.clear();
    // A file this user may write is opened as ever. One they may not is
    // read alone when nothing lies beside it to be read with it; otherwise
    // read-only, which creates the log and shared memory files where it
    // can: beside a live database they exist already.
    const std::string wal = path + "-wal";
    std::vector<Reading> ways;
    if (access(path.c_str(), W_OK) == 0)
        ways = {Reading::Writable, Reading::Immutable};
    else if (exists(wal) || exists(path + "-journal"))
        ways = {Reading::ReadOnly, Reading::Immutable};
    else
        ways = {Reading::Immutable};
    // The next way is tried when one could not make or write what it needs
    // beside the file (no permission, a read-only or full filesystem), not
    // when the file itself is at fault or held.
    const auto next_way = [](int result) {
        return result != SQLITE_OK && result != SQLITE_NOTADB && result != SQLITE_CORRUPT && result != SQLITE_BUSY &&
               result != SQLITE_LOCKED && result != SQLITE_NOMEM;
    };
    int result = SQLITE_CANTOPEN;
    for (std::size_t i = 0; i < ways.size() && next_way(result); ++i) {
        result = open_reading(database, ways[i]);
        std::error_code unknown;
        if (result == SQLITE_OK && ways[i] == Reading::Immutable && i > 0 &&
            std::filesystem::file_size(wal, unknown) > 0 && !unknown)
            warning = "the records in " + wal + " are not read: its shared memory file " + path +
                      "-shm cannot be made here; copy the database with both files to a folder you may write to, "
                      "to read them all";
    }
    Result opened;
    if (result != SQLITE_OK) {
        opened = cannot_open(database);
    } else {
        Statement version(database, "PRAGMA user_version");
        if (version.step() != SQLITE_ROW)
            opened = cannot_open(database);
        else if (version.integer(0) > SCHEMA_VERSION)
            opened = {Status::CannotOpen, "the station database " + path + " was made by a newer Kestrane"};
    }
    if (!opened.ok())
        database.close();
    return opened;
}

Result Station::open_default()
{
    std::string path;
    const Result found = default_path(path);
    if (!found.ok())
        return found;
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), error);
    if (error)
        return {Status::CannotOpen, "cannot create the directory of " + path + ": " + error.message()};
    return open(path);
}

std::string Station::path() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return database_->path;
}

void Station::on_busy(std::function<void()> waiting)
{
    std::lock_guard<std::mutex> lock(mutex_);
    database_->on_busy = std::move(waiting);
}

const char *transport_word(Transport transport)
{
    return transport == Transport::Uart ? "uart" : "usb";
}

Result default_path(std::string &path)
{
    const char *state = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    if (state != nullptr && state[0] == '/')
        path = state;
    else if (home != nullptr && home[0] != '\0')
        path = std::string(home) + "/.local/state";
    else
        return {Status::CannotOpen, "neither XDG_STATE_HOME nor HOME is set: give the station database's path"};
    path += "/kestrane/station.sqlite";
    return {};
}

// Nettle: three plain calls in a small library, where OpenSSL 3 deprecates
// its plain SHA-256 functions in favour of the EVP interface.
std::string sha256_hex(const std::uint8_t *data, std::size_t size)
{
    sha256_ctx context;
    sha256_init(&context);
    sha256_update(&context, size, data);
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&context, SHA256_DIGEST_SIZE, digest);
    static const char DIGITS[] = "0123456789abcdef";
    std::string hex;
    for (std::uint8_t byte : digest) {
        hex += DIGITS[byte >> 4];
        hex += DIGITS[byte & 0xF];
    }
    return hex;
}

}  // namespace station
