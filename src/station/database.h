// What names a station database, decided in one place for every command
// and front door: a file's path, a PostgreSQL server's URI, or libpq's
// key=value connection string, and nothing else. A value that looks like a
// server but is not one libpq reads is refused rather than taken for a file,
// so that no file is ever made whose name holds a server's password.
//
// How a database is named in any message, and how a name from the record
// or the command line is printed, are decided here as well: never a
// password, never a raw control character.
#ifndef KESTRANE_STATION_DATABASE_H
#define KESTRANE_STATION_DATABASE_H

#include "station/station_result.h"

#include <string>
#include <vector>

namespace station {

struct Database {
    bool server = false;
    // As SQLite or libpq takes it: without the blanks around it, a URI's
    // scheme in lower case (libpq reads it only so). Empty: the default
    // file, default_path().
    std::string value;
};

// Invalid, with a reason that holds no password, when given is neither a
// plausible path nor a server: blank, a control character in it, another
// scheme's URI, a server's address without its scheme, or a connection
// string libpq cannot read.
Result decide_database(const std::string &given, Database &database);

// The database as every message names it: a server as
// postgresql://USER@HOST[:PORT]/DATABASE, never its password; a path as
// escaped() prints it; anything else with each password it may hold
// written ***.
std::string database_name(const std::string &given);

// What in given may be a password, in every form it may be written: a
// URI's user information, raw and percent-decoded; a password= parameter
// or key=value pair, quoted or not, well formed or not.
std::vector<std::string> secrets(const std::string &given);

// text with every secret of database written ***: for the messages of
// libpq, which may quote what it could not read.
std::string scrubbed(std::string text, const std::string &database);

// A name from the record or the command line (a station, a counter, a
// file, a port) as text output prints it: as it is unless it holds a
// control character; then quoted as CSV quotes it, its quotes doubled, and
// each control character and backslash written as a C escape, so that it
// stays on one line and writes nothing onto the reader's terminal.
std::string escaped(const std::string &name);

// A CSV cell a spreadsheet takes as text, never as a formula: one that
// starts with =, +, -, @, a tab or a carriage return is prefixed with a
// single quote, as OWASP recommends.
std::string formula_guarded(const std::string &cell);

}  // namespace station

#endif
