// The station database on a PostgreSQL server, through libpq.
#include "station/store_postgres.h"

#include "station/database.h"

#include "station/station.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace station {

// Types of the parameters as bound: text, bigint, double precision.
static const Oid TEXT_OID = 25, INT8_OID = 20, FLOAT8_OID = 701;

namespace {

class PostgresQuery : public Query, public Pipelined {
public:
    // ?N becomes $N; the statement takes as many parameters as its highest N.
    // single_row: each row read as it comes (libpq's single-row mode), the
    // result never held whole.
    PostgresQuery(PostgresStore &store, pg_conn *conn, const std::string &sql, bool single_row = false)
        : store_(store), conn_(conn), single_row_(single_row)
    {
        int highest = 0;
        for (std::size_t i = 0; i < sql.size(); ++i) {
            if (sql[i] != '?') {
                sql_ += sql[i];
                continue;
            }
            sql_ += '$';
            int number = 0;
            while (i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9')
                number = number * 10 + (sql[++i] - '0');
            sql_ += std::to_string(number);
            highest = std::max(highest, number);
        }
        values_.resize(std::size_t(highest));
        bound_.resize(std::size_t(highest), false);
        types_.resize(std::size_t(highest), 0);
    }
    ~PostgresQuery() override
    {
        PQclear(result_);
        if (single_row_ && run_ && !ended_)
            drain(true);
    }

    void bind_text(int index, const std::string &text) override { bind(index, text, TEXT_OID); }
    void bind_int(int index, std::int64_t value) override { bind(index, std::to_string(value), INT8_OID); }
    void bind_real(int index, double value) override
    {
        char text[32];
        const auto written = std::to_chars(text, text + sizeof text, value);
        bind(index, std::string(text, written.ptr), FLOAT8_OID);
    }

    // The parameters as libpq takes them.
    std::vector<const char *> values() const override
    {
        std::vector<const char *> values(values_.size());
        for (std::size_t i = 0; i < values_.size(); ++i)
            values[i] = bound_[i] ? values_[i].c_str() : nullptr;
        return values;
    }
    const std::string &sql() const override { return sql_; }
    const std::vector<Oid> &types() const override { return types_; }
    // The result as a pipeline of several brought it (run_together), for
    // the first step to take.
    void collected(PGresult *result) override
    {
        result_ = result;
        collected_ = true;
    }

    Step step() override
    {
        if (single_row_)
            return step_single();
        if (!run_) {
            run_ = true;
            if (!collected_) {
                const std::vector<const char *> given = values();
                result_ = store_.run(sql_, int(given.size()), types_.data(), given.data());
            }
            const ExecStatusType status = PQresultStatus(result_);
            if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
                store_.failed(result_);
                failed_ = true;
            }
            rows_ = status == PGRES_TUPLES_OK ? PQntuples(result_) : 0;
        }
        if (failed_)
            return Step::Failed;
        return ++row_ < rows_ ? Step::Row : Step::Done;
    }

    bool null(int column) override { return PQgetisnull(result_, row_, column) != 0; }
    std::int64_t integer(int column) override { return std::strtoll(PQgetvalue(result_, row_, column), nullptr, 10); }
    double real(int column) override
    {
        const char *text = PQgetvalue(result_, row_, column);
        double value = 0;
        std::from_chars(text, text + std::strlen(text), value);
        return value;
    }
    std::string text(int column) override { return PQgetvalue(result_, row_, column); }

private:
    Step step_single()
    {
        if (!run_) {
            run_ = true;
            const std::vector<const char *> given = values();
            if (!PQsendQueryParams(conn_, sql_.c_str(), int(given.size()), types_.data(), given.data(), nullptr,
                                   nullptr, 0) ||
                !PQsetSingleRowMode(conn_)) {
                store_.failed(nullptr);
                failed_ = ended_ = true;
                drain(false);
            }
        }
        if (failed_ || ended_)
            return failed_ ? Step::Failed : Step::Done;
        PQclear(result_);
        result_ = PQgetResult(conn_);
        row_ = 0;
        const ExecStatusType status = PQresultStatus(result_);
        if (status == PGRES_SINGLE_TUPLE)
            return Step::Row;
        ended_ = true;
        failed_ = status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK;
        if (failed_)
            store_.failed(result_);
        drain(false);
        return failed_ ? Step::Failed : Step::Done;
    }

    // The rest of a result read and dropped, so that the connection takes
    // the next statement; cancel: the server is asked to stop sending.
    void drain(bool cancel)
    {
        if (cancel) {
            if (PGcancel *request = PQgetCancel(conn_)) {
                char error[256];
                PQcancel(request, error, sizeof error);
                PQfreeCancel(request);
            }
        }
        while (PGresult *rest = PQgetResult(conn_))
            PQclear(rest);
        ended_ = true;
    }

    void bind(int index, std::string value, Oid type)
    {
        if (index < 1 || std::size_t(index) > values_.size())
            return;
        values_[std::size_t(index - 1)] = std::move(value);
        bound_[std::size_t(index - 1)] = true;
        types_[std::size_t(index - 1)] = type;
    }

    PostgresStore &store_;
    pg_conn *conn_;
    std::string sql_;
    std::vector<std::string> values_;
    std::vector<bool> bound_;
    std::vector<Oid> types_;
    PGresult *result_ = nullptr;
    bool single_row_;
    bool run_ = false, failed_ = false, ended_ = false, collected_ = false;
    int rows_ = 0, row_ = -1;
};

}  // namespace

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
    return std::make_unique<PostgresQuery>(*this, conn_, sql);
}

std::unique_ptr<Query> PostgresStore::stream(const std::string &sql)
{
    return std::make_unique<PostgresQuery>(*this, conn_, sql, true);
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
