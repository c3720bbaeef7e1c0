// A PostgreSQL 15 server of the test program's own (pg_server.sh), started
// before its first test and removed after its last, with a fresh database
// for each test that asks, and SQL run as its superuser through libpq.
#ifndef KESTRANE_TESTS_PG_TEST_SERVER_H
#define KESTRANE_TESTS_PG_TEST_SERVER_H

#include <gtest/gtest.h>
#include <libpq-fe.h>

#include <stdlib.h>

#include <fstream>
#include <string>

class PostgresServer : public ::testing::Environment {
public:
    void SetUp() override
    {
        char folder[] = "/tmp/kestrane-pg.XXXXXX";
        ASSERT_NE(mkdtemp(folder), nullptr);
        dir() = folder;
        ASSERT_TRUE(run("start")) << "the test's PostgreSQL server did not start";
    }
    void TearDown() override { run("clean"); }

    static bool run(const std::string &action, const std::string &mode = "")
    {
        return std::system((std::string(PG_SERVER) + " " + action + " " + dir() + " " + mode).c_str()) == 0;
    }

    // A new, empty database: its URI over the server's socket.
    static std::string database()
    {
        static int made = 0;
        const std::string name = "test_" + std::to_string(++made);
        EXPECT_TRUE(sql(uri("postgres"), "CREATE DATABASE " + name));
        return uri(name);
    }
    static std::string uri(const std::string &database)
    {
        return "postgresql:///" + database + "?host=" + dir() + "/socket&port=" + port() + "&user=postgres";
    }
    // Over 127.0.0.1, as user (with password) on database.
    static std::string tcp(const std::string &database, const std::string &user, const std::string &password)
    {
        return "postgresql://" + user + ":" + password + "@127.0.0.1:" + port() + "/" + database;
    }
    static std::string port()
    {
        std::string port;
        std::ifstream(dir() + "/port") >> port;
        return port;
    }

    // Runs statement as the superuser; value gets the first row's first
    // column, if any.
    static bool sql(const std::string &uri, const std::string &statement, std::string *value = nullptr)
    {
        PGconn *conn = PQconnectdb(uri.c_str());
        PGresult *result = PQexec(conn, statement.c_str());
        const ExecStatusType status = PQresultStatus(result);
        const bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok)
            ADD_FAILURE() << statement << ": " << PQerrorMessage(conn);
        if (value != nullptr)
            *value = ok && PQntuples(result) > 0 ? PQgetvalue(result, 0, 0) : "";
        PQclear(result);
        PQfinish(conn);
        return ok;
    }

    static std::string &dir()
    {
        static std::string folder;
        return folder;
    }
};

#endif
