// The station database's SQLite plumbing, shared by its source files and by
// nothing else: a connection with its file's name, prepared statements and
// write transactions that undo themselves unless committed.
#ifndef KESTRANE_STATION_SQLITE_H
#define KESTRANE_STATION_SQLITE_H

#include "station/station_result.h"

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <set>
#include <string>

namespace station {

// Room kept on the database's filesystem, a share for each attempt in
// progress, so that completing its record never needs space that is not
// there: a begin takes a share before it writes, a finish gives its share
// back just before it writes, both under the database's write lock, so no
// other writer of the database can take the room in between. The room is
// an unnamed file, which the kernel frees however the process ends.
class Reserve {
public:
    static const std::uint64_t SHARE = 64 * 1024;  // the frames of one update and a step of the shared memory

    Reserve() = default;
    Reserve(const Reserve &) = delete;
    Reserve &operator=(const Reserve &) = delete;
    ~Reserve();

    // One more share, in the folder of the database at path.
    Result grow(const std::string &path);
    // One share back.
    void shrink();
    // Every share back, the file closed.
    void drop();

private:
    int fd_ = -1;
    std::uint64_t shares_ = 0;
};

class Database {
public:
    sqlite3 *db = nullptr;
    std::string path;
    std::string host;
    std::function<void()> on_busy;
    bool said_waiting = false;  // on_busy was called, and no call has got the database since
    Reserve reserve;
    std::set<std::int64_t> pending;  // attempts begun here, not yet finished

    Database() = default;
    Database(const Database &) = delete;
    Database &operator=(const Database &) = delete;
    ~Database() { close(); }

    void close()
    {
        sqlite3_close(db);
        db = nullptr;
        reserve.drop();
        pending.clear();
    }

    // The last failure in SQLite's words, naming the file. Call it before
    // anything else runs on the connection.
    Result failure() const;

    // A UTC time as stored: ISO 8601 with milliseconds and a Z, so that text
    // order is time order. given empty means now.
    Result utc_time(const std::string &given, std::string &time);
};

// Draws the counter's next number, if it is at most largest; called inside
// the attempt's transaction, so that the number and the row that uses it
// are committed together or not at all.
Result draw(Database &database, const std::string &name, std::uint64_t largest, std::uint64_t &serial);

inline Result not_open()
{
    return {Status::Failed, "the station database is not open"};
}

class Statement {
public:
    Statement(Database &database, const char *sql)
        : prepared_(sqlite3_prepare_v2(database.db, sql, -1, &statement_, nullptr))
    {
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    // Parameters count from 1; binding to a statement that failed to prepare
    // does nothing, and step then returns the failure.
    void bind_text(int index, const std::string &text)
    {
        sqlite3_bind_text(statement_, index, text.data(), int(text.size()), SQLITE_TRANSIENT);
    }
    void bind_int(int index, std::int64_t value) { sqlite3_bind_int64(statement_, index, value); }
    void bind_real(int index, double value) { sqlite3_bind_double(statement_, index, value); }
    void bind_null(int index) { sqlite3_bind_null(statement_, index); }

    // SQLITE_ROW, SQLITE_DONE or a failure.
    int step() { return prepared_ == SQLITE_OK ? sqlite3_step(statement_) : prepared_; }

    // Columns count from 0.
    bool null(int column) { return sqlite3_column_type(statement_, column) == SQLITE_NULL; }
    std::int64_t integer(int column) { return sqlite3_column_int64(statement_, column); }
    double real(int column) { return sqlite3_column_double(statement_, column); }
    std::string text(int column)
    {
        const unsigned char *text = sqlite3_column_text(statement_, column);
        return text ? reinterpret_cast<const char *>(text) : "";
    }

private:
    sqlite3_stmt *statement_ = nullptr;
    int prepared_;
};

// BEGIN IMMEDIATE: the write lock is taken at once, waiting for it as the
// busy handler says, so two writers never both read a counter and then race
// to write it.
class Transaction {
public:
    explicit Transaction(Database &database)
        : db_(database.db), begun_(sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK)
    {
        if (begun_)
            database.said_waiting = false;
    }
    ~Transaction()
    {
        if (begun_ && !sqlite3_get_autocommit(db_))
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction &) = delete;
    Transaction &operator=(const Transaction &) = delete;

    bool begun() const { return begun_; }
    bool commit() { return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK; }

private:
    sqlite3 *db_;
    bool begun_;
};

}  // namespace station

#endif
