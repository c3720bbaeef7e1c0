// The station database in an SQLite file: statements, transactions, the
// busy handler, and the ways to open a file to write it or only to read it.
#include "station/store_sqlite.h"

#include "station/database.h"
#include "station/station.h"

#include <unistd.h>

#include <cctype>
#include <cstring>
#include <filesystem>
#include <vector>

namespace station {

static const int BUSY_POLL_MS = 5;
// A bench appends rows and reads little back, so a small page cache does;
// SQLite's default of 2 MB would let a process that runs all day grow by as
// much as its file does, up to that.
static const char CACHE_SIZE[] = "PRAGMA cache_size = -128";  // KiB

// A tally (name: "tally", "hours") made, then kept by a trigger on each
// attempt inserted and updated.
static std::string kept(const std::string &name, const std::string &made, const std::string &add,
                        const std::string &take_back)
{
    const std::string trigger = "attempts_" + name;
    return "DROP TRIGGER IF EXISTS " + trigger + "_insert;\nDROP TRIGGER IF EXISTS " + trigger + "_update;\n" + made +
           "CREATE TRIGGER " + trigger + "_insert AFTER INSERT ON attempts BEGIN\n" + add + "END;\nCREATE TRIGGER " +
           trigger + "_update AFTER UPDATE OF " + TALLIED + " ON attempts BEGIN\n" + take_back + add + "END;\n";
}

// serial is unique per counter: a second hand-out of a number fails the
// transaction rather than reach a board.
static const Dialect SQLITE = {R"(
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
)",
                               "",
                               // A row's id is in each index already: started then id is the
                               // order history reads in.
                               R"(
DROP INDEX IF EXISTS attempts_image;
DROP INDEX IF EXISTS attempts_station;
CREATE INDEX IF NOT EXISTS attempts_image_station ON attempts (image_sha256, station, started);
CREATE INDEX IF NOT EXISTS attempts_station_started ON attempts (station, started);
CREATE INDEX IF NOT EXISTS attempts_counter ON attempts (counter, serial, station) WHERE serial IS NOT NULL;
)",
                               [] {
                                   return kept("tally", tally_table("INTEGER") + tally_fill(), tally_add(), tally_take_back());
                               },
                               [] {
                                   return kept("hours", hours_table("INTEGER") + hours_fill(), hours_add(), hours_take_back());
                               }};

namespace {

class SqliteQuery : public Query {
public:
    SqliteQuery(sqlite3 *db, const std::string &sql)
        : prepared_(sqlite3_prepare_v2(db, sql.c_str(), -1, &statement_, nullptr))
    {
    }
    ~SqliteQuery() override { sqlite3_finalize(statement_); }

    void bind_text(int index, const std::string &text) override
    {
        sqlite3_bind_text(statement_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
    }
    void bind_int(int index, std::int64_t value) override { sqlite3_bind_int64(statement_, index, value); }
    void bind_real(int index, double value) override { sqlite3_bind_double(statement_, index, value); }
    Step step() override
    {
        const int stepped = prepared_ == SQLITE_OK ? sqlite3_step(statement_) : prepared_;
        return stepped == SQLITE_ROW ? Step::Row : stepped == SQLITE_DONE ? Step::Done : Step::Failed;
    }
    bool null(int column) override { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::int64_t integer(int column) override { return sqlite3_column_int64(statement_, column); }
    double real(int column) override { return sqlite3_column_double(statement_, column); }
    std::string text(int column) override
    {
        const unsigned char *text = sqlite3_column_text(statement_, column);
        return text ? reinterpret_cast<const char *>(text) : "";
    }

private:
    sqlite3_stmt *statement_ = nullptr;
    int prepared_;
};

}  // namespace

SqliteStore::~SqliteStore()
{
    close();
}

void SqliteStore::close()
{
    sqlite3_close(db_);
    db_ = nullptr;
    reserve_.drop();
}

std::unique_ptr<Query> SqliteStore::query(const std::string &sql)
{
    return std::make_unique<SqliteQuery>(db_, sql);
}

// BEGIN IMMEDIATE: the write lock is taken at once, waiting for it as the
// busy handler says, so two writers never both read a counter and then race
// to write it.
bool SqliteStore::begin()
{
    const bool begun = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    if (begun)
        said_waiting_ = false;
    return begun;
}

bool SqliteStore::commit()
{
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}

void SqliteStore::rollback()
{
    if (!sqlite3_get_autocommit(db_))
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
}

bool SqliteStore::execute(const char *sql)
{
    return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Result SqliteStore::failure()
{
    const int code = sqlite3_errcode(db_);
    if (code == SQLITE_BUSY)
        return {Status::Failed, "the station database " + name() + " stayed locked by another program for " +
                                    std::to_string(BUSY_TIMEOUT_MS / 1000) + " s"};
    return {Status::Failed, "the station database " + name() + ": " + sqlite3_errmsg(db_)};
}

const Dialect &SqliteStore::dialect() const
{
    return SQLITE;
}

Result SqliteStore::version(int &version)
{
    auto read = query("PRAGMA user_version");
    if (read->step() != Step::Row)
        return cannot_open();
    version = int(read->integer(0));
    return {};
}

bool SqliteStore::set_version(int version)
{
    return execute(("PRAGMA user_version = " + std::to_string(version)).c_str());
}

void SqliteStore::waited(int count)
{
    if (count == BUSY_SAY_MS / BUSY_POLL_MS && on_busy_ != nullptr && *on_busy_ && !said_waiting_) {
        said_waiting_ = true;
        (*on_busy_)();
    }
}

bool SqliteStore::timed_out(int count) const
{
    return count >= BUSY_TIMEOUT_MS / BUSY_POLL_MS;
}

// SQLite's own busy time-out would wait as long, but says nothing while it
// waits.
static int wait_while_busy(void *store, int count)
{
    SqliteStore *waiting = static_cast<SqliteStore *>(store);
    waiting->waited(count);
    if (waiting->timed_out(count))
        return 0;
    sqlite3_sleep(BUSY_POLL_MS);
    return 1;
}

Result SqliteStore::cannot_open() const
{
    std::string message = "cannot open the station database " + name() + ": " + sqlite3_errmsg(db_);
    const int error = sqlite3_system_errno(db_);
    if (error != 0)
        message += std::string(" (") + std::strerror(error) + ")";
    return {Status::CannotOpen, message};
}

// A write-ahead log lets readers and the writer go on side by side; FULL
// syncs it on every commit, so a drawn number survives a power cut too.
Result SqliteStore::configure()
{
    sqlite3_busy_handler(db_, wait_while_busy, this);
    if (sqlite3_db_readonly(db_, "main") == 1)
        return {Status::CannotOpen, "cannot open the station database " + name() + ": it is read-only"};
    if (!execute("PRAGMA journal_mode = WAL") || !execute("PRAGMA synchronous = FULL") || !execute(CACHE_SIZE))
        return cannot_open();
    return {};
}

// Opens or creates the file, configured; schema makes what it holds:
// nullptr for a station database's, made or upgraded.
Result SqliteStore::open_file(const std::string &path, const char *schema)
{
    close();
    path_ = path;
    Result opened;
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        opened = cannot_open();
    else
        opened = configure();
    if (opened.ok() && schema != nullptr && !execute(schema))
        opened = cannot_open();
    if (opened.ok() && schema == nullptr) {
        opened = upgrade_schema(*this);
        if (opened.status == Status::Failed)
            opened = cannot_open();
    }
    if (!opened.ok())
        close();
    return opened;
}

Result SqliteStore::open(const std::string &path)
{
    return open_file(path, nullptr);
}

std::string SqliteStore::name() const
{
    return escaped(path_);
}

Result SqliteStore::open_plain(const std::string &path, const char *schema)
{
    return open_file(path, schema);
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

static int open_reading(sqlite3 *&db, const std::string &path, SqliteStore &store, Reading reading)
{
    sqlite3_close(db);
    db = nullptr;
    static const char *const PARAMETERS[] = {"mode=rw", "mode=ro", "mode=ro&immutable=1"};
    const int flags = SQLITE_OPEN_URI | (reading == Reading::Writable ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY);
    const std::string uri = file_uri(path, PARAMETERS[int(reading)]);
    int result = sqlite3_open_v2(uri.c_str(), &db, flags, nullptr);
    if (result == SQLITE_OK) {
        sqlite3_busy_handler(db, wait_while_busy, &store);
        // Opening reads nothing: the first read is where a missing log or
        // shared memory file shows.
        result = sqlite3_exec(db, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    return result & 0xFF;
}

static bool exists(const std::string &path)
{
    return access(path.c_str(), F_OK) == 0;
}

Result SqliteStore::open_to_read(const std::string &path, std::string &warning)
{
    close();
    path_ = path;
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
        result = open_reading(db_, path, *this, ways[i]);
        std::error_code unknown;
        if (result == SQLITE_OK && ways[i] == Reading::Immutable && i > 0 &&
            std::filesystem::file_size(wal, unknown) > 0 && !unknown)
            warning = "the records in " + wal + " are not read: its shared memory file " + path +
                      "-shm cannot be made here; copy the database with both files to a folder you may write to, "
                      "to read them all";
    }
    int version = 0;
    Result opened = result == SQLITE_OK ? check_version(*this, version) : cannot_open();
    if (!opened.ok())
        close();
    return opened;
}

}  // namespace station
