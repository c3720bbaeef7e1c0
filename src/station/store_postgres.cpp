// The station database on a PostgreSQL server, through libpq.
#include "station/store_postgres.h"

#include "station/database.h"

#include "station/station.h"

#include <libpq-fe.h>

#include <cstring>
#include <thread>

namespace station {

// libpq's notices (a table that exists already, ...) are no business of
// the tool's user.
static void no_notices(void *, const char *) {}

// libpq's messages take several lines; the tool's take one. Each may
// quote what libpq could not read, which may be the password.
static std::string one_line(const std::string &text, const std::string &uri)
{
    std::string line;
    bool space = false;
    for (char c : scrubbed(text, uri)) {
        if (c == '\n' || c == '\t' || c == ' ') {
            space = !line.empty();
            continue;
        }
        if (space)
            line += ' ';
        space = false;
        line += c;
    }
    return escaped(line);
}

PostgresStore::~PostgresStore()
{
    PQfinish(conn_);
}

// The server's own errors carry an SQLSTATE; libpq's, about the
// connection, none. A write to a closed connection fails before libpq has
// read that it is closed.
void PostgresStore::failed(const ::pg_result *result)
{
    if (conn_ == nullptr)
        return;  // error_ says why the last connection failed
    const char *state = result != nullptr ? PQresultErrorField(result, PG_DIAG_SQLSTATE) : nullptr;
    state_ = state != nullptr ? state : "";
    error_lost_ = (result != nullptr && state == nullptr) || lost();
    const char *message = result != nullptr ? PQresultErrorMessage(result) : "";
    if (message[0] == '\0')
        message = PQerrorMessage(conn_);
    error_ = one_line(message, uri_);
}

Result PostgresStore::failure()
{
    if (error_lost_)
        return {Status::Unreachable, "lost the station database server " + name_ + ": " + error_};
    return {Status::Failed, "the station database " + name_ + ": " + error_};
}

Result PostgresStore::open(const std::string &uri, Use use)
{
    PQfinish(conn_);
    conn_ = nullptr;
    uri_ = uri;
    use_ = use;
    char *error = nullptr;
    PQconninfoOption *options = PQconninfoParse(uri.c_str(), &error);
    if (options == nullptr) {
        std::string reason = error != nullptr ? error : "out of memory";
        PQfreemem(error);
        name_ = database_name(uri);
        return {Status::CannotOpen, "the station database's URI is not one libpq reads: " + one_line(reason, uri)};
    }
    PQconninfoFree(options);
    name_ = database_name(uri);
    return connect();
}

// Each use sets the session up the same way every time it connects.
Result PostgresStore::connect()
{
    last_try_ = std::chrono::steady_clock::now();
    PQfinish(conn_);
    // Given before the URI, so that the URI's own settings win; libpq's
    // environment wins over these defaults too.
    const std::string timeout = std::to_string(CONNECT_TIMEOUT_S);
    const std::string user_timeout = std::to_string(CONNECT_TIMEOUT_S * 1000);
    std::vector<const char *> keywords, values;
    if (std::getenv("PGCONNECT_TIMEOUT") == nullptr) {
        keywords.push_back("connect_timeout");
        values.push_back(timeout.c_str());
    }
    // A server that stops answering mid-statement is given up on as soon:
    // data unacknowledged, or an idle connection unanswered, for as long.
    keywords.insert(keywords.end(), {"tcp_user_timeout", "keepalives_idle", "keepalives_interval", "keepalives_count",
                                     "fallback_application_name", "dbname", nullptr});
    values.insert(values.end(), {user_timeout.c_str(), "2", "1", "3", "kestrane", uri_.c_str(), nullptr});
    conn_ = PQconnectdbParams(keywords.data(), values.data(), 1);
    prepared_.clear();
    named_ = 0;
    if (conn_ == nullptr)
        return {Status::Unreachable, "cannot reach the station database server " + name_ + ": out of memory"};
    PQsetNoticeProcessor(conn_, no_notices, nullptr);
    if (PQstatus(conn_) != CONNECTION_OK) {
        const std::string reason = one_line(PQerrorMessage(conn_), uri_);
        PQfinish(conn_);
        conn_ = nullptr;
        error_lost_ = true;
        error_ = reason;
        return {Status::Unreachable, "cannot reach the station database server " + name_ + ": " + reason};
    }
    if (use_ == Use::Read && !execute("SET SESSION CHARACTERISTICS AS TRANSACTION READ ONLY"))
        return failure();
    return check_schema();
}

Result PostgresStore::check_schema()
{
    if (use_ == Use::Upgrade)
        return upgrade_schema(*this);
    int version = 0;
    const Result checked = check_version(*this, version);
    if (!checked.ok())
        return checked;
    if (version == 0)
        return {Status::CannotOpen, "the station database " + name_ +
                                        " has no Kestrane tables yet: kestrane-cli station init --db URI makes them"};
    if (use_ == Use::Write && version < SCHEMA_WRITTEN)
        return {Status::CannotOpen, "the station database " + name_ + " has schema version " +
                                        std::to_string(version) + ": kestrane-cli station init --db URI upgrades it to " +
                                        std::to_string(SCHEMA_VERSION)};
    return {};
}

bool PostgresStore::lost()
{
    if (conn_ == nullptr)
        return true;
    // libpq's socket never blocks: this reads only what has come, such as
    // the server closing the connection.
    // The second read finds the end of a connection whose last words the
    // first one read.
    for (int read = 0; read < 2 && PQstatus(conn_) == CONNECTION_OK; ++read)
        PQconsumeInput(conn_);
    return PQstatus(conn_) != CONNECTION_OK;
}

Result PostgresStore::reconnect()
{
    if (!lost())
        return {};
    if (conn_ == nullptr && std::chrono::steady_clock::now() - last_try_ < std::chrono::milliseconds(RECONNECT_MS))
        return {Status::Unreachable, "cannot reach the station database server " + name_ + ": " + error_};
    const std::string was = line_;
    const Result connected = connect();
    if (connected.ok() && !was.empty() && line_ != was)
        return {Status::CannotOpen, "the station database " + name_ + " is another line's now: its tables were made "
                                    "again since this command started"};
    return connected;
}

std::unique_ptr<Query> PostgresStore::query(const std::string &sql)
{
    return postgres_query(*this, conn_, sql, false);
}

std::unique_ptr<Query> PostgresStore::stream(const std::string &sql)
{
    return postgres_query(*this, conn_, sql, true);
}

// One command whose result carries no rows; its status as the server
// named it.
static bool command(PostgresStore &store, pg_conn *conn, const char *sql, const char *tag = nullptr)
{
    PGresult *result = PQexec(conn, sql);
    const bool done = PQresultStatus(result) == PGRES_COMMAND_OK && (tag == nullptr || std::strcmp(PQcmdStatus(result), tag) == 0);
    if (!done)
        store.failed(result);
    PQclear(result);
    return done;
}

// READ COMMITTED: a draw's update waits for another's on the same counter
// and then sees what it left.
bool PostgresStore::begin()
{
    return command(*this, conn_, "BEGIN");
}

// A transaction a statement failed in ends as ROLLBACK, not COMMIT.
bool PostgresStore::commit()
{
    return command(*this, conn_, "COMMIT", "COMMIT");
}

void PostgresStore::rollback()
{
    if (PQstatus(conn_) == CONNECTION_OK)
        PQclear(PQexec(conn_, "ROLLBACK"));
}

bool PostgresStore::execute(const char *sql)
{
    return command(*this, conn_, sql);
}

// Two station inits at once take turns, in the upgrade's transaction. A
// station reads the version in one round trip, outside any transaction:
// no table is no schema yet.
Result PostgresStore::version(int &version)
{
    version = 0;
    static const char UNDEFINED_TABLE[] = "42P01";
    if (use_ == Use::Upgrade) {
        auto lock = query("SELECT pg_advisory_xact_lock(4711)");
        if (lock->step() != Step::Row)
            return failure();
        auto exists = query("SELECT to_regclass('kestrane_schema') IS NOT NULL");
        if (exists->step() != Step::Row)
            return failure();
        if (exists->text(0) != "t")
            return {};
    }
    auto read = query("SELECT version, line FROM kestrane_schema");
    const Step row = read->step();
    if (row == Step::Failed && use_ != Use::Upgrade && state_ == UNDEFINED_TABLE && !error_lost_)
        return {};
    if (row == Step::Failed)
        return failure();
    if (row == Step::Row) {
        version = int(read->integer(0));
        line_ = read->text(1);
    }
    return {};
}

bool PostgresStore::set_version(int version)
{
    auto set = query("UPDATE kestrane_schema SET version = ?1");
    set->bind_int(1, version);
    auto first = query("INSERT INTO kestrane_schema (version, line) SELECT ?1, CAST(gen_random_uuid() AS text) "
                       "WHERE NOT EXISTS (SELECT 1 FROM kestrane_schema)");
    first->bind_int(1, version);
    if (set->step() != Step::Done || first->step() != Step::Done)
        return false;
    int read = 0;
    return this->version(read).ok() && read == version;
}

}  // namespace station
