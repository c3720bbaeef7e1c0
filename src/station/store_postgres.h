// The station database on a PostgreSQL server (store.h), through libpq: a
// connection made from a postgresql:// URI, with libpq's own environment
// and ~/.pgpass as usual, that gives up within CONNECT_TIMEOUT_S unless
// told otherwise, and is made again when lost. Statements are sent with
// their parameters apart, never spliced into the SQL; a password never
// appears in a message.
#ifndef KESTRANE_STATION_STORE_POSTGRES_H
#define KESTRANE_STATION_STORE_POSTGRES_H

#include "station/store.h"

#include <chrono>
#include <map>
#include <string>
#include <vector>

struct pg_conn;
struct pg_result;

namespace station {

const int CONNECT_TIMEOUT_S = 5;

// A statement as a pipeline sends it: the SQL, its parameters and their
// types as bound, and the result the pipeline brought, for its first step.
class Pipelined {
public:
    virtual ~Pipelined() = default;
    virtual const std::string &sql() const = 0;
    virtual std::vector<const char *> values() const = 0;
    virtual const std::vector<unsigned int> &types() const = 0;
    virtual void collected(::pg_result *result) = 0;
};

class PostgresStore;

// A statement on conn (store_postgres_query.cpp); single_row: its rows read
// as they come, never held whole.
std::unique_ptr<Query> postgres_query(PostgresStore &store, pg_conn *conn, const std::string &sql, bool single_row);

class PostgresStore : public Store {
public:
    // Read: history and serial show, in read-only transactions, any
    // version this tool knows. Write: the version this tool makes.
    // Upgrade: station init, which makes or upgrades the schema.
    enum class Use { Read, Write, Upgrade };

    PostgresStore() = default;
    ~PostgresStore() override;
    PostgresStore(const PostgresStore &) = delete;
    PostgresStore &operator=(const PostgresStore &) = delete;

    // CannotOpen for a URI libpq cannot read or a schema this use cannot
    // take; Unreachable for a server that cannot be reached or refuses the
    // login.
    Result open(const std::string &uri, Use use);
    // Whether the connection is known to be lost: the server closed it, or
    // a statement found it gone.
    bool lost();
    // Connects again when lost, at most once a RECONNECT_MS.
    Result reconnect();
    // The line's own id, made by station init: which database a spooled
    // completion belongs to.
    const std::string &line() const { return line_; }

    std::unique_ptr<Query> query(const std::string &sql) override;
    std::unique_ptr<Query> stream(const std::string &sql) override;
    bool begin() override;
    bool commit() override;
    void rollback() override;
    bool execute(const char *sql) override;
    Result failure() override;
    std::string name() const override { return name_; }
    const Dialect &dialect() const override;
    Result version(int &version) override;
    bool set_version(int version) override;

    bool statement_is_transaction() const override { return true; }
    void run_together(const std::vector<Query *> &queries) override;

    // A failed statement's result (nullptr: the connection's), kept for
    // failure().
    void failed(const ::pg_result *result);
    // Runs a statement with its parameters (Query's), prepared on its first
    // use: its result, never nullptr.
    ::pg_result *run(const std::string &sql, int count, const unsigned int *types, const char *const *values);

private:
    Result connect();
    Result check_schema();

    pg_conn *conn_ = nullptr;
    std::string uri_, name_;
    Use use_ = Use::Write;
    std::string line_;
    std::string error_;
    std::string state_;  // the last failure's SQLSTATE; empty for the connection's
    std::map<std::string, std::string> prepared_;  // by SQL: the name it was prepared as on this connection
    int named_ = 0;                                 // statements named on this connection
    bool error_lost_ = false;
    std::chrono::steady_clock::time_point last_try_;
};

}  // namespace station

#endif
