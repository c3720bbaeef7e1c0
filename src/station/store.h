// What the station's logic needs of a database, whichever it is: SQLite in
// a file (store_sqlite.h) or a PostgreSQL server (store_postgres.h).
// Counters, attempts and the schema's upgrades are written once, over this,
// in SQL both dialects read: parameters written ?1, ?2, ...; RETURNING for
// what a write made; CAST where a parameter's type is not plain.
#ifndef KESTRANE_STATION_STORE_H
#define KESTRANE_STATION_STORE_H

#include "station/station_result.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace station {

enum class Step { Row, Done, Failed };

// One statement. Parameters count from 1 and are NULL until bound; columns
// count from 0. A statement that failed to prepare fails its first step.
class Query {
public:
    virtual ~Query() = default;
    virtual void bind_text(int index, const std::string &text) = 0;
    virtual void bind_int(int index, std::int64_t value) = 0;
    virtual void bind_real(int index, double value) = 0;
    // Runs the statement on the first call; then each row in turn.
    virtual Step step() = 0;
    virtual bool null(int column) = 0;
    virtual std::int64_t integer(int column) = 0;
    virtual double real(int column) = 0;
    virtual std::string text(int column) = 0;
};

// The SQL that differs between the dialects: the tables as first made, and
// what each version after it adds.
struct Dialect {
    const char *tables;   // version 1
    const char *guards;   // version 2 and on: what keeps a station role from rewriting history
    const char *indexes;  // version 3: what history's filters, its summary and serial show search by
    std::string (*tally)();  // version 3 too: image_tally, kept by triggers (schema_tally.cpp)
    std::string (*hours)();  // version 4: hour_tally, kept by triggers, and the failures' index (schema_hours.cpp)
};

// What the record counts an attempt as, for a row named row ("NEW.", "a.",
// or "" for the table's own), in SQL both dialects read: passed (finished
// with exit status 0), passed on its first try, failed (finished with any
// other status). The index of the failed attempts is made over failed_sql,
// so that a statement written with it is one the index serves.
std::string passed_sql(const std::string &row);
std::string first_pass_sql(const std::string &row);
std::string failed_sql(const std::string &row);

// The tally's statements, the same in both dialects (schema_tally.cpp): the
// table (with the dialect's integer type), what fills it from the attempts
// there already, and what a trigger runs on an attempt inserted (NEW) and
// updated (OLD, then NEW) in the columns TALLIED.
std::string tally_table(const char *integer);
std::string tally_fill();
std::string tally_add();
std::string tally_take_back();
extern const char TALLIED[];
// The hourly tally's, alike (schema_hours.cpp); its table's statement makes
// the index on the failed attempts too.
std::string hours_table(const char *integer);
std::string hours_fill();
std::string hours_add();
std::string hours_take_back();

class Store {
public:
    virtual ~Store() = default;

    virtual std::unique_ptr<Query> query(const std::string &sql) = 0;
    // A statement whose rows are read one at a time as they come, for a
    // result too large to hold; read it to its end before the next. SQLite
    // reads every query so.
    virtual std::unique_ptr<Query> stream(const std::string &sql) { return query(sql); }
    // A write transaction, its writes serialised with every other writer's
    // where they touch the same rows. False when it could not begin.
    virtual bool begin() = 0;
    virtual bool commit() = 0;
    virtual void rollback() = 0;
    // A statement without parameters or rows, outside any query.
    virtual bool execute(const char *sql) = 0;
    // The last failure, naming the database; Unreachable when the server
    // cannot be reached. Call it before anything else runs.
    virtual Result failure() = 0;
    // The database as messages name it: its path, or the server's URI
    // without a password.
    virtual std::string name() const = 0;

    virtual const Dialect &dialect() const = 0;
    // 0 for a database without the schema.
    virtual Result version(int &version) = 0;
    // Inside the upgrade's transaction.
    virtual bool set_version(int version) = 0;

    // Room kept for completing each attempt in progress, where the
    // database's filesystem is this host's: taken before an attempt's row is
    // written, given back just before it is completed.
    virtual Result keep_room() { return {}; }
    virtual void give_room() {}

    // Whether a statement is a transaction of its own, so that one that
    // writes in a single statement needs no BEGIN and no COMMIT: a
    // server's, where each would cost a round trip. A file's writers
    // begin one all the same, to keep room under its write lock.
    virtual bool statement_is_transaction() const { return false; }
    // Sends the queries, bound and not yet stepped, in one round trip where
    // the store can (a server's pipeline), each its own transaction; each
    // step then reads what came back. Elsewhere each runs at its first step.
    virtual void run_together(const std::vector<Query *> &) {}

    int schema = 0;  // the schema's version as found on opening, or made
};

// A write transaction that rolls back unless committed. One whose writes
// are a single statement is that statement alone where the store lets it
// be (Store::statement_is_transaction): its commit is the statement's own.
class Transaction {
public:
    enum Writes { Statements, OneStatement };
    explicit Transaction(Store &store, Writes writes = Statements)
        : store_(store), implicit_(writes == OneStatement && store.statement_is_transaction()),
          begun_(implicit_ || store.begin())
    {
    }
    ~Transaction()
    {
        if (begun_ && !committed_ && !implicit_)
            store_.rollback();
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    bool begun() const { return begun_; }
    bool commit()
    {
        committed_ = implicit_ || store_.commit();
        return committed_;
    }

private:
    Store &store_;
    bool implicit_;
    bool begun_;
    bool committed_ = false;
};

const int SCHEMA_VERSION = 4;
// The oldest schema a station writes to: the versions after it add only
// indexes, so a line keeps flashing until its owner runs station init.
const int SCHEMA_WRITTEN = 2;

// Creates the schema or brings it up to SCHEMA_VERSION, in one transaction;
// a schema newer than this is CannotOpen.
Result upgrade_schema(Store &store);
// Refuses a schema newer than this one, and says which version it is.
Result check_version(Store &store, int &version);

// UTC times as stored: ISO 8601 with milliseconds and a Z, so that text
// order is time order. given empty means now; Invalid when given is not a
// time written 2024-05-01, 2024-05-01T09:30, 2024-05-01T09:30:00[.fff][Z].
Result utc_time(const std::string &given, std::string &time);

// Draws the counter's next number; called inside the attempt's transaction,
// so that the number and the row that uses it are committed together or not
// at all.
Result draw(Store &store, const std::string &name, std::uint64_t largest, std::uint64_t &serial);
// The draw's update as SQL, its counter's name the parameter ?NAME and the
// largest number the board takes ?LARGEST, drawing only where also holds
// (SQL; empty: always): it returns the number drawn as serial and the
// counter as counter, or no row. A server runs it as the first part of the
// statement that writes the number into its attempt, so that the counter's
// row is locked only while the server runs that one statement.
std::string draw_sql(int name, int largest, const std::string &also = "");
// Why the counter drew no number: NoSuchCounter, Exhausted or TooLarge.
Result not_drawn(Store &store, const std::string &name, std::uint64_t largest);

inline Result not_open()
{
    return {Status::Failed, "the station database is not open"};
}

}  // namespace station

#endif
