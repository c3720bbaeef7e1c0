// A statement run on a station database as its owner, whichever store holds
// it: on a server as its superuser, in a file through SQLite. A statement
// that fails fails the test.
#ifndef KESTRANE_TESTS_OWNER_SQL_H
#define KESTRANE_TESTS_OWNER_SQL_H

#include "pg_test_server.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

inline void owner_sql(bool server, const std::string &database, const std::string &statement)
{
    if (server) {
        PostgresServer::sql(database, statement);
        return;
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(database.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, statement.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

#endif
