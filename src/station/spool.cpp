// The spool of completions waiting for their server.
#include "station/spool.h"

#include "station/database.h"
#include "station/store_postgres.h"

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace station {

static const char SCHEMA[] = R"(
CREATE TABLE IF NOT EXISTS completions (
    line TEXT NOT NULL,
    server TEXT NOT NULL,
    attempt INTEGER NOT NULL,
    ended TEXT NOT NULL,
    part TEXT NOT NULL,
    result TEXT NOT NULL,
    exit_code INTEGER NOT NULL,
    message TEXT NOT NULL,
    commands INTEGER NOT NULL,
    bytes_written INTEGER NOT NULL,
    seconds REAL NOT NULL,
    tries INTEGER NOT NULL,
    PRIMARY KEY (line, attempt)
);
)";

// Why the spool at path is not one this tool can read without harm to it,
// or empty when it is: written only by this tool, it is never written over
// or added to when it is anything else, since records may wait in it.
static std::string unreadable(const std::string &path)
{
    std::error_code error;
    const auto status = std::filesystem::status(path, error);
    if (error)
        return error.message();
    if (!std::filesystem::is_regular_file(status))
        return "it is not a file";
    if (std::filesystem::file_size(path, error) == 0 || error)
        return "it is empty";
    std::ifstream file(path, std::ios::binary);
    char header[16] = {};
    if (!file.read(header, sizeof header) || std::string(header, sizeof header) != std::string("SQLite format 3", 16))
        return file ? "it is not an SQLite file" : "it cannot be read";
    sqlite3 *db = nullptr;
    std::string why;
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name = 'completions'", -1,
                           &statement, nullptr) != SQLITE_OK ||
        sqlite3_step(statement) != SQLITE_ROW)
        why = sqlite3_errmsg(db);
    else if (sqlite3_column_int(statement, 0) != 1)
        why = "it is another program's file";
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return why;
}

Result Spool::open(bool create)
{
    if (open_)
        return {};
    Result found = state_folder(path_);
    if (!found.ok())
        return found;
    path_ += "/spool.sqlite";
    std::error_code error;
    const bool exists = std::filesystem::exists(std::filesystem::symlink_status(path_, error));
    if (!create && !exists)
        return {};  // nothing spooled here yet, and open_ stays false
    const std::string why = exists ? unreadable(path_) : "";
    if (!why.empty())
        return {Status::CannotOpen, "the spool " + escaped(path_) + " cannot be read (" + why +
                                        "): records may be pending in it"};
    std::filesystem::create_directories(std::filesystem::path(path_).parent_path(), error);
    if (error)
        return {Status::CannotOpen, "cannot create the directory of " + escaped(path_) + ": " + error.message()};
    const Result opened = file_.open_plain(path_, SCHEMA);
    open_ = opened.ok();
    return opened;
}

Result Spool::keep(const PostgresStore &server, std::int64_t id, const AttemptEnd &end)
{
    const Result opened = open(true);
    if (!opened.ok())
        return opened;
    auto insert = file_.query("INSERT OR REPLACE INTO completions (line, server, attempt, ended, part, result, "
                              "exit_code, message, commands, bytes_written, seconds, tries) "
                              "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12)");
    insert->bind_text(1, server.line());
    insert->bind_text(2, server.name());
    insert->bind_int(3, id);
    insert->bind_text(4, end.ended);
    insert->bind_text(5, end.part);
    insert->bind_text(6, end.result);
    insert->bind_int(7, end.exit_code);
    insert->bind_text(8, end.message);
    insert->bind_int(9, std::int64_t(end.commands));
    insert->bind_int(10, std::int64_t(end.bytes_written));
    insert->bind_real(11, end.seconds);
    insert->bind_int(12, end.tries);
    return insert->step() == Step::Done ? Result{} : file_.failure();
}

namespace {
struct Waiting {
    std::int64_t attempt;
    AttemptEnd end;
};
}  // namespace

// Whether the server holds the attempt at all: one restored from a backup
// may not, and its completion then stays in the spool.
static Step held(PostgresStore &server, std::int64_t attempt)
{
    auto count = server.query("SELECT count(*) FROM attempts WHERE id = ?1");
    count->bind_int(1, attempt);
    if (count->step() != Step::Row)
        return Step::Failed;
    return count->integer(0) > 0 ? Step::Row : Step::Done;
}

Result Spool::send(PostgresStore &server, std::size_t &sent, std::size_t *left, std::size_t *kept)
{
    sent = 0;
    if (kept != nullptr)
        *kept = 0;
    const Result opened = open(false);
    if (!opened.ok() || !open_)
        return opened;
    auto select = file_.query("SELECT attempt, ended, part, result, exit_code, message, commands, bytes_written, "
                              "seconds, tries FROM completions WHERE line = ?1 ORDER BY attempt");
    select->bind_text(1, server.line());
    std::vector<Waiting> waiting;
    Step row;
    while ((row = select->step()) == Step::Row) {
        AttemptEnd end;
        end.ended = select->text(1);
        end.part = select->text(2);
        end.result = select->text(3);
        end.exit_code = int(select->integer(4));
        end.message = select->text(5);
        end.commands = std::uint64_t(select->integer(6));
        end.bytes_written = std::uint64_t(select->integer(7));
        end.seconds = select->real(8);
        end.tries = std::uint32_t(select->integer(9));
        waiting.push_back({select->integer(0), end});
    }
    if (row != Step::Done)
        return file_.failure();
    for (const Waiting &completion : waiting) {
        // Done: the server had it already, its reply lost with the
        // connection, and the completion is dropped all the same; unless
        // the server holds no such attempt at all.
        Transaction transaction(server);
        Step completed = transaction.begun() ? complete(server, completion.attempt, completion.end) : Step::Failed;
        if (completed == Step::Row && !transaction.commit())
            completed = Step::Failed;
        const Step holds = completed == Step::Done ? held(server, completion.attempt) : Step::Row;
        if (completed == Step::Failed || holds == Step::Failed)
            return server.failure();
        if (holds == Step::Done) {
            if (kept != nullptr)
                ++*kept;
            continue;
        }
        auto drop = file_.query("DELETE FROM completions WHERE line = ?1 AND attempt = ?2");
        drop->bind_text(1, server.line());
        drop->bind_int(2, completion.attempt);
        if (drop->step() != Step::Done)
            return file_.failure();
        ++sent;
    }
    if (left != nullptr) {
        auto others = file_.query("SELECT count(*) FROM completions WHERE line <> ?1");
        others->bind_text(1, server.line());
        if (others->step() != Step::Row)
            return file_.failure();
        *left = std::size_t(others->integer(0));
    }
    return {};
}

}  // namespace station
