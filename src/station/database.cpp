// Paths, servers and passwords: what --db and KESTRANE_DB name, and how
// each database and each name is shown.
#include "station/database.h"

#include <libpq-fe.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <map>

namespace station {

static const char BLANKS[] = " \t\r\n\v\f";

static bool blank(char c)
{
    return c != '\0' && std::strchr(BLANKS, c) != nullptr;
}

static bool control(char c)
{
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

static std::string lower(std::string text)
{
    for (char &c : text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

static std::string trimmed(const std::string &text)
{
    const std::size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(BLANKS) - first + 1);
}

// The length of a postgresql:// or postgres:// scheme that text starts
// with, in any letter case; 0 for none.
static std::size_t server_scheme(const std::string &text)
{
    for (const std::string scheme : {"postgresql://", "postgres://"})
        if (lower(text.substr(0, scheme.size())) == scheme)
            return scheme.size();
    return 0;
}

// scheme://...: a URI of any scheme.
static bool any_scheme(const std::string &text)
{
    const std::size_t end = text.find("://");
    if (end == std::string::npos || end == 0 || !std::isalpha(static_cast<unsigned char>(text[0])))
        return false;
    return std::all_of(text.begin(), text.begin() + long(end), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
    });
}

// A word of letters followed by '=' at the start of a blank-separated
// token: what libpq's key=value strings are made of.
static bool has_keyword(const std::string &text)
{
    for (std::size_t at = 0; at < text.size(); ++at) {
        if (at > 0 && !blank(text[at - 1]))
            continue;
        std::size_t end = at;
        while (end < text.size() && (std::isalpha(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            ++end;
        while (end > at && end < text.size() && blank(text[end]))
            ++end;
        if (end > at && end < text.size() && text[end] == '=')
            return true;
    }
    return false;
}

// USER:PASSWORD@HOST with no scheme: a server's address written as a path.
static bool credentials_shaped(const std::string &text)
{
    const std::size_t at = text.rfind('@');
    const std::size_t colon = text.find(':');
    return at != std::string::npos && colon < at && text.find('/') > colon;
}

static std::size_t read_value(const std::string &text, std::size_t at, std::string &written, std::string &value);

// Secrets are written *** the longest first, so that none is left half
// written.
static void longest_first(std::vector<std::string> &secrets)
{
    std::sort(secrets.begin(), secrets.end(), [](const std::string &a, const std::string &b) {
        return a.size() > b.size();
    });
}

// A connection string libpq cannot read, its keywords kept and every value
// (a misspelt password's too) written ***; values has what was masked.
static std::string masked(const std::string &text, std::vector<std::string> &values)
{
    std::string shown;
    for (std::size_t at = text.find_first_not_of(BLANKS); at < text.size(); at = text.find_first_not_of(BLANKS, at)) {
        std::size_t end = at;
        while (end < text.size() && (std::isalnum(static_cast<unsigned char>(text[end])) || text[end] == '_'))
            ++end;
        std::size_t equals = text.find_first_not_of(BLANKS, end);
        const bool pair = end > at && equals < text.size() && text[equals] == '=';
        shown += (shown.empty() ? "" : " ") + (pair ? text.substr(at, end - at) + "=" : std::string()) + "***";
        const std::size_t from = pair ? text.find_first_not_of(BLANKS, equals + 1) : at;
        if (from >= text.size())
            break;
        std::string written, value;
        at = read_value(text, from, written, value);
        for (const std::string &form : {written, value})
            if (!form.empty())
                values.push_back(form);
    }
    longest_first(values);
    return shown;
}

// key=value pairs that libpq cannot read.
static bool unreadable_pairs(const std::string &value)
{
    if (server_scheme(value) != 0 || any_scheme(value) || !has_keyword(value))
        return false;
    PQconninfoOption *options = PQconninfoParse(value.c_str(), nullptr);
    PQconninfoFree(options);
    return options == nullptr;
}

Result decide_database(const std::string &given, Database &database)
{
    database = Database{};
    if (given.empty())
        return {};
    const std::string value = trimmed(given);
    const std::string shown = "'" + escaped(scrubbed(value, given)) + "'";
    if (value.empty())
        return {Status::Invalid, "the station database is blank: give a file's path or a server"};
    if (std::any_of(value.begin(), value.end(), control))
        return {Status::Invalid, "the station database " + shown + " holds a control character"};
    if (const std::size_t scheme = server_scheme(value)) {
        database.server = true;
        database.value = lower(value.substr(0, scheme)) + value.substr(scheme);
        return {};
    }
    if (any_scheme(value))
        return {Status::Invalid, "the station database " + shown +
                                     " is neither a file's path nor a PostgreSQL server's postgresql:// URI"};
    if (has_keyword(value)) {
        char *error = nullptr;
        PQconninfoOption *options = PQconninfoParse(value.c_str(), &error);
        if (options == nullptr) {
            const std::string reason = error != nullptr ? trimmed(error) : "out of memory";
            PQfreemem(error);
            std::vector<std::string> values;
            const std::string keys = "'" + escaped(masked(value, values)) + "'";
            return {Status::Invalid, "the station database " + keys + " is not a connection string libpq reads: " +
                                         escaped(scrubbed(reason, value)) +
                                         " (a file whose name starts WORD= is given as ./WORD=...)"};
        }
        PQconninfoFree(options);
        database.server = true;
        database.value = value;
        return {};
    }
    if (credentials_shaped(value))
        return {Status::Invalid, "the station database " + shown +
                                     " looks like a server's address: write it postgresql://USER@HOST/DATABASE"};
    database.value = value;
    return {};
}

// libpq's options as the connection string or URI gives them; empty when
// libpq cannot read it.
static std::map<std::string, std::string> options_of(const std::string &value)
{
    std::map<std::string, std::string> found;
    PQconninfoOption *options = PQconninfoParse(value.c_str(), nullptr);
    if (options == nullptr)
        return found;
    for (PQconninfoOption *option = options; option->keyword != nullptr; ++option)
        if (option->val != nullptr)
            found[option->keyword] = option->val;
    PQconninfoFree(options);
    return found;
}

std::string database_name(const std::string &given)
{
    Database database;
    std::vector<std::string> values;
    if (!decide_database(given, database).ok()) {
        const std::string value = trimmed(given);
        return escaped(unreadable_pairs(value) ? masked(value, values) : scrubbed(value, given));
    }
    if (!database.server)
        return escaped(database.value);
    std::map<std::string, std::string> options = options_of(database.value);
    if (options.empty())
        return escaped(scrubbed(database.value, given));
    const std::string host = !options["host"].empty() ? options["host"] : options["hostaddr"];
    const std::string port = options["port"];
    const std::string user = options["user"];
    return escaped("postgresql://" + (user.empty() ? "" : user + "@") + host + (port.empty() ? "" : ":" + port) +
                   "/" + options["dbname"]);
}

static std::string percent_decoded(const std::string &text)
{
    const auto hex = [](char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; };
    std::string decoded;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && hex(text[i + 1]) && hex(text[i + 2])) {
            decoded += char(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            decoded += text[i];
        }
    }
    return decoded;
}

static void add_secret(std::vector<std::string> &found, const std::string &secret)
{
    for (const std::string &form : {secret, percent_decoded(secret)})
        if (!form.empty() && std::find(found.begin(), found.end(), form) == found.end())
            found.push_back(form);
}

// The value of a key=value pair as written, from at: quoted '...' with
// backslash escapes, or up to the next blank. written is what the string
// holds, value what libpq makes of it.
static std::size_t read_value(const std::string &text, std::size_t at, std::string &written, std::string &value)
{
    const std::size_t start = at;
    const bool quoted = at < text.size() && text[at] == '\'';
    at += quoted ? 1 : 0;
    for (; at < text.size(); ++at) {
        if (quoted ? text[at] == '\'' : blank(text[at]))
            break;
        if (text[at] == '\\' && at + 1 < text.size())
            ++at;
        value += text[at];
    }
    written = text.substr(start + (quoted ? 1 : 0), at - start - (quoted ? 1 : 0));
    return at + (quoted ? 1 : 0);
}

std::vector<std::string> secrets(const std::string &given)
{
    std::vector<std::string> found;
    // A URI's user information: USER:PASSWORD@ before the last @.
    const std::size_t scheme = given.find("://");
    const std::size_t at = given.rfind('@');
    const std::size_t from = scheme == std::string::npos ? 0 : scheme + 3;
    if (at != std::string::npos && at > from) {
        const std::size_t colon = given.find(':', from);
        if (colon < at)
            add_secret(found, given.substr(colon + 1, at - colon - 1));
    }
    // password=..., as a URI's parameter or a key=value pair, and a
    // password keyword whatever follows it.
    const std::string folded = lower(given);
    for (std::size_t key = folded.find("password"); key != std::string::npos;
         key = folded.find("password", key + 1)) {
        std::size_t next = given.find_first_not_of(BLANKS, key + 8);
        if (next != std::string::npos && given[next] == '=')
            next = given.find_first_not_of(BLANKS, next + 1);
        if (next == std::string::npos)
            continue;
        std::string written, value;
        read_value(given, next, written, value);
        add_secret(found, written);
        add_secret(found, value);
        const std::size_t amp = written.find_first_of("&#");
        if (amp != std::string::npos)
            add_secret(found, written.substr(0, amp));
    }
    const std::string password = options_of(trimmed(given))["password"];
    add_secret(found, password);
    // A string libpq cannot read: any of its values may be a password
    // under a misspelt keyword.
    std::vector<std::string> values;
    if (unreadable_pairs(trimmed(given)))
        masked(trimmed(given), values);
    for (const std::string &value : values)
        add_secret(found, value);
    longest_first(found);
    return found;
}

std::string scrubbed(std::string text, const std::string &database)
{
    for (const std::string &secret : secrets(database))
        for (std::size_t at = text.find(secret); at != std::string::npos; at = text.find(secret, at + 3))
            text.replace(at, secret.size(), "***");
    return text;
}

std::string escaped(const std::string &name)
{
    if (std::none_of(name.begin(), name.end(), control))
        return name;
    static const std::map<char, const char *> ESCAPES = {
        {'"', "\"\""}, {'\\', "\\\\"}, {'\n', "\\n"}, {'\r', "\\r"}, {'\t', "\\t"}};
    std::string quoted = "\"";
    for (char c : name) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
        const auto escape = ESCAPES.find(c);
        quoted += escape != ESCAPES.end() ? escape->second : control(c) ? hex : std::string(1, c);
    }
    return quoted + "\"";
}

std::string formula_guarded(const std::string &cell)
{
    static const std::string STARTS = "=+-@\t\r";
    return !cell.empty() && STARTS.find(cell[0]) != std::string::npos ? "'" + cell : cell;
}

}  // namespace station
