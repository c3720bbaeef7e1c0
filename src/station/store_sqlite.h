// The station database in an SQLite file (store.h): a connection with its
// file's name, prepared statements, and the room kept for completing the
// records of the attempts in progress. Shared by the station's SQLite
// source files and by nothing else.
#ifndef KESTRANE_STATION_STORE_SQLITE_H
#define KESTRANE_STATION_STORE_SQLITE_H

#include "station/store.h"

#include <sqlite3.h>

#include <cstdint>
#include <functional>
#include <memory>
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

// The journal is a write-ahead log synced on every commit: a bench operator
// reading the history never stalls a flash, and a commit survives a crash
// or a power cut. Another program holding the file makes a call wait, up to
// BUSY_TIMEOUT_MS, rather than fail.
class SqliteStore : public Store {
public:
    // on_busy: called once a call has waited BUSY_SAY_MS (station.h); its
    // owner may change it between calls.
    explicit SqliteStore(const std::function<void()> *on_busy = nullptr) : on_busy_(on_busy) {}
    ~SqliteStore() override;

    // Opens or creates the database at path, its schema made or upgraded.
    Result open(const std::string &path);
    // Opens it to read, never to write (Station::open_to_read).
    Result open_to_read(const std::string &path, std::string &warning);
    // Opens a file of the tool's own, such as the spool, its tables made by
    // schema (idempotent), without the room of a station database.
    Result open_plain(const std::string &path, const char *schema);

    std::unique_ptr<Query> query(const std::string &sql) override;
    bool begin() override;
    bool commit() override;
    void rollback() override;
    bool execute(const char *sql) override;
    Result failure() override;
    std::string name() const override;  // the path, escaped
    const Dialect &dialect() const override;
    Result version(int &version) override;
    bool set_version(int version) override;
    Result keep_room() override { return reserve_.grow(path_); }
    void give_room() override { reserve_.shrink(); }

    // For the busy handler.
    void waited(int count);
    bool timed_out(int count) const;

private:
    Result open_file(const std::string &path, const char *schema);
    Result cannot_open() const;
    Result configure();
    void close();

    sqlite3 *db_ = nullptr;
    std::string path_;
    const std::function<void()> *on_busy_;
    bool said_waiting_ = false;  // on_busy was called, and no call has got the database since
    Reserve reserve_;
};

}  // namespace station

#endif
