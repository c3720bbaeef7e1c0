// The dashboard's table, and history's --html: the page of the line, served
// live or written once.
#include "cli/option_table.h"
#include "cli/option_values.h"

#include <algorithm>

namespace cli {

static const char DASHBOARD_ABOUT[] =
    "Serve a web page of the station record, read-only: yield and first-pass\n"
    "yield per station and per image over time (by hour for the last day, by day\n"
    "before it; ?since=TIME as history's --since), boards per hour, failures by\n"
    "result and by the command that failed, per station, each counter's numbers\n"
    "used and left, and the last 50 attempts. The page updates itself within 2 s\n"
    "of a new attempt. Its data is JSON too: /api/summary (the objects of history\n"
    "--summary --json), /api/attempts?since=TIME&station=NAME&limit=N (those of\n"
    "history --json, the latest N, by default 50) and /api/counters (those of\n"
    "serial show --json). Charts are drawn by Debian's Chart.js, served by the\n"
    "dashboard itself: the page asks nothing of the internet.\n"
    "\n"
    "Only GET and HEAD are answered (anything else: 405). The database is only\n"
    "read: a station role with SELECT alone, or a read-only file, will do. An\n"
    "address other than the loopback's is said as a warning: give --token there.\n"
    "A port in use is exit 75, a database that cannot be read 73 (66 for a file\n"
    "not made yet). A kestrane-cli built without cpp-httplib has no dashboard\n"
    "(exit 69); history --html writes the page to a file all the same.\n";

static bool take_listen(const Flag &, const char *argument, Options &options, std::string &error)
{
    const std::string text = argument;
    const std::size_t colon = text.rfind(':');
    const std::string port = colon == std::string::npos ? "" : text.substr(colon + 1);
    const bool digits = !port.empty() && port.size() <= 5 &&
                        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (colon == 0 || !digits || std::stoul(port) == 0 || std::stoul(port) > 65535) {
        error = "--listen takes HOST:PORT (127.0.0.1:8080, 0.0.0.0:8080, [::1]:8080), not '" + text + "'";
        return false;
    }
    options.listen = text;
    return true;
}

static bool take_token(const Flag &, const char *argument, Options &options, std::string &error)
{
    options.token = argument;
    if (options.token.empty())
        error = "--token needs a token";
    return error.empty();
}

// Each station once.
static bool take_stations(const Flag &, const char *argument, Options &options, std::string &error)
{
    const std::string name = argument;
    if (name.empty())
        error = "--station needs a station's name";
    else if (std::find(options.stations.begin(), options.stations.end(), name) != options.stations.end())
        error = "--station " + name + " is given twice";
    else
        options.stations.push_back(name);
    return error.empty();
}

static bool take_html(const Flag &, const char *argument, Options &options, std::string &error)
{
    options.html = argument;
    if (options.html.empty())
        error = "--html needs a file to write";
    return error.empty();
}

Flag html_flag()
{
    return {"html", Argument::Required, "FILE",
            "write the dashboard's page of the attempts chosen to FILE instead, as one file that holds its data, "
            "its script and Chart.js and asks nothing of the network (- for standard output)",
            take_html};
}

void add_dashboard_command(std::vector<CommandTable> &tables)
{
    tables.push_back(
        {"dashboard", Command::Dashboard, Operands::None, DASHBOARD_ABOUT,
         {{"listen", Argument::Required, "HOST:PORT",
           "where to listen (default 127.0.0.1:8080, this host alone; 0.0.0.0:8080 is every network's)",
           take_listen},
          {"station", Argument::Required, "NAME", "show station NAME's attempts; again for more (default: all)",
           take_stations, true},
          {"token", Argument::Required, "TOKEN",
           "answer only requests that carry TOKEN, as 'Authorization: Bearer TOKEN' or ?token=TOKEN (the page "
           "then keeps it in a cookie for its own requests); for a plant network",
           take_token},
          {"db", Argument::Required, "PATH|URI",
           "the station database: a file, or a PostgreSQL server's postgresql:// URI (default $KESTRANE_DB, else "
           "$XDG_STATE_HOME/kestrane/station.sqlite)",
           take_db}}});
}

}  // namespace cli
