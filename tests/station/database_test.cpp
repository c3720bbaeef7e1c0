// What names a station database, and how it and any name are shown:
// properties over random passwords written in every form a user may write
// one, and over random names.
#include "station/database.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>

using namespace station;

namespace {

std::mt19937 &random_engine()
{
    static std::mt19937 engine(std::random_device{}());
    return engine;
}

std::size_t below(std::size_t n)
{
    return std::uniform_int_distribution<std::size_t>(0, n - 1)(random_engine());
}

// 10 to 19 characters of any printable ASCII but blanks at the ends.
std::string random_password()
{
    std::string password;
    const std::size_t size = 10 + below(10);
    while (password.size() < size) {
        const char c = char(0x21 + below(0x7E - 0x21 + 1));
        password += c;
    }
    return password;
}

std::string percent_encoded(const std::string &text)
{
    static const char HEX[] = "0123456789ABCDEF";
    std::string encoded;
    for (unsigned char c : text) {
        if (std::isalnum(c)) {
            encoded += char(c);
        } else {
            encoded += '%';
            encoded += HEX[c >> 4];
            encoded += HEX[c & 0xF];
        }
    }
    return encoded;
}

// libpq's quoting of a key=value value.
std::string quoted(const std::string &text)
{
    std::string out = "'";
    for (char c : text) {
        if (c == '\'' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "'";
}

std::string random_case(std::string text)
{
    for (char &c : text)
        if (below(2) == 1)
            c = char(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// The password written in one of the forms a user may write it, well
// formed or not.
std::string random_form(const std::string &password)
{
    const std::string scheme = random_case(below(2) == 1 ? "postgresql" : "postgres");
    const std::string encoded = percent_encoded(password);
    std::string value;
    switch (below(7)) {
    case 0: value = scheme + "://station:" + encoded + "@10.0.0.5:5432/line"; break;
    case 1: value = scheme + "://station@10.0.0.5/line?sslmode=require&password=" + encoded; break;
    case 2: value = "host=10.0.0.5 user=station password=" + quoted(password) + " dbname=line"; break;
    case 3: value = "password = " + quoted(password) + " host=10.0.0.5"; break;
    case 4: value = "host=10.0.0.5 pasword=" + quoted(password); break;
    case 5: value = "host=10.0.0.5 password " + quoted(password); break;
    default: value = scheme + "://station:" + encoded + "@10.0.0.5/line?bogus=1"; break;
    }
    return std::string(below(3), ' ') + value + std::string(below(3), '\t');
}

bool holds(const std::string &text, const std::string &password)
{
    return text.find(password) != std::string::npos || text.find(percent_encoded(password)) != std::string::npos;
}

}  // namespace

TEST(Database, NoFormOfAPasswordIsEverShownOrTakenForAFile)
{
    for (int round = 0; round < 2000; ++round) {
        const std::string password = random_password();
        const std::string given = random_form(password);
        Database database;
        const Result decided = decide_database(given, database);
        EXPECT_FALSE(holds(decided.message, password)) << given << " -> " << decided.message;
        EXPECT_FALSE(holds(database_name(given), password)) << given << " -> " << database_name(given);
        EXPECT_FALSE(decided.ok() && !database.server) << given << " taken for a file";
        // What libpq may say of it, quoting any part of it.
        EXPECT_FALSE(holds(scrubbed("could not read \"" + given + "\" near \"" + password + "\"", given), password))
            << given;
    }
}

TEST(Database, ServersInEveryFormAndPathsAreTold)
{
    const std::pair<const char *, bool> CASES[] = {
        {"postgresql://h/line", true},
        {"POSTGRES://h/line", true},
        {"  PostgreSQL://u@h/line\t", true},
        {"host=10.0.0.5 user=station password=S3cret dbname=line", true},
        {" dbname = line ", true},
        {"/var/lib/kestrane/station.sqlite", false},
        {"station.sqlite", false},
        {"./host=x.sqlite", false},
        {"  line.sqlite  ", false},
    };
    for (const auto &[given, server] : CASES) {
        Database database;
        ASSERT_TRUE(decide_database(given, database).ok()) << given;
        EXPECT_EQ(database.server, server) << given;
        const std::string &value = database.value;
        EXPECT_TRUE(!value.empty() && value.front() != ' ' && value.back() != ' ' && value.back() != '\t') << given;
    }
    Database database;
    ASSERT_TRUE(decide_database("POSTGRESQL://u@h/line", database).ok());
    EXPECT_EQ(database.value, "postgresql://u@h/line");
    EXPECT_EQ(database_name("host=h port=5433 user=u password=p dbname=line"), "postgresql://u@h:5433/line");
}

TEST(Database, NeitherAPathNorAServerIsRefused)
{
    for (const char *given : {"   ", "mysql://u:p@h/db", "sqlite:///x.db", "u:secret@h/line", "host=h pasword=x",
                              "host=h password x", "line\x1B[2J.sqlite", "line\n.sqlite"}) {
        Database database;
        const Result decided = decide_database(given, database);
        EXPECT_EQ(decided.status, Status::Invalid) << given;
        EXPECT_EQ(decided.message.find('\x1B'), std::string::npos) << decided.message;
    }
}

TEST(Database, NamesAreEscapedAsHistoryEscapesThem)
{
    for (int round = 0; round < 2000; ++round) {
        std::string name;
        for (std::size_t i = below(12); i > 0; --i)
            name += char(below(128));
        const std::string shown = escaped(name);
        EXPECT_TRUE(std::none_of(shown.begin(), shown.end(),
                                 [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
            << shown;
        const bool plain = std::none_of(name.begin(), name.end(),
                                        [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
        EXPECT_EQ(shown == name, plain) << shown;
    }
    EXPECT_EQ(escaped("a\x1B[2J\"b\\"), "\"a\\x1B[2J\"\"b\\\\\"");
}

TEST(Database, CellsASpreadsheetWouldRunAreGuarded)
{
    for (const char *cell : {"=1+2", "+3", "-2+3", "@SUM(1)", "\tx", "\rx"})
        EXPECT_EQ(formula_guarded(cell), std::string("'") + cell);
    for (const char *cell : {"", "bench-2", "fw.bin", "1=1", " =x"})
        EXPECT_EQ(formula_guarded(cell), cell);
}
