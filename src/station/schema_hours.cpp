// Version 4's hourly tally: each hour's attempts per station and image added
// up by the database as they are written, so that the figures the dashboard
// draws over a month or a year read a row per hour, station and image rather
// than every attempt; and an index on the failed attempts alone, which its
// failures by cause are counted from. Its statements are the same in either
// dialect, each run from a trigger of the dialect's own kind.
#include "station/store.h"

namespace station {

namespace {

// An attempt's hour, as the record writes times ("2024-05-01T09"): where
// hours sort as times do, and what the dashboard's periods are made from.
std::string hour(const std::string &row)
{
    return "substr(" + row + "started, 1, 13)";
}

std::string one(const std::string &condition)
{
    return "CASE WHEN " + condition + " THEN 1 ELSE 0 END";
}

// The tally's row of an attempt.
std::string its_row(const std::string &row)
{
    return "hour = " + hour(row) + " AND station = " + row + "station AND image_sha256 = " + row + "image_sha256";
}

}  // namespace

std::string hours_table(const char *integer)
{
    const std::string counted = std::string(" ") + integer + " NOT NULL";
    return "DROP TABLE IF EXISTS hour_tally;\nCREATE TABLE hour_tally (hour TEXT NOT NULL, station TEXT NOT NULL, "
           "image_sha256 TEXT NOT NULL, attempts" + counted + ", passed" + counted + ", first_pass" + counted +
           ", last_id" + counted + ", PRIMARY KEY (hour, station, image_sha256));\n"
           // The failed attempts are a few of them; the statements that
           // count them write the same condition, so that both planners see
           // it holds.
           "CREATE INDEX IF NOT EXISTS attempts_failed ON attempts (station, started) WHERE " + failed_sql("") +
           ";\n";
}

// The attempts there already, as the image tally counts them: a withdrawn
// attempt never was one, and an attempt names its station from version 2 on.
std::string hours_fill()
{
    return "INSERT INTO hour_tally (hour, station, image_sha256, attempts, passed, first_pass, last_id) "
           "SELECT " + hour("") + ", station, image_sha256, count(*), sum(" + one(passed_sql("")) + "), sum(" +
           one(first_pass_sql("")) + "), max(id) FROM attempts WHERE withdrawn IS NULL AND station IS NOT NULL "
           "GROUP BY " + hour("") + ", station, image_sha256;\n";
}

// An attempt written: its figures added to its hour's, its id kept where it
// is the highest.
std::string hours_add()
{
    return "INSERT INTO hour_tally (hour, station, image_sha256, attempts, passed, first_pass, last_id) SELECT " +
           hour("NEW.") + ", NEW.station, NEW.image_sha256, 1, " + one(passed_sql("NEW.")) + ", " +
           one(first_pass_sql("NEW.")) + ", NEW.id WHERE NEW.withdrawn IS NULL AND NEW.station IS NOT NULL "
           "ON CONFLICT (hour, station, image_sha256) DO UPDATE SET attempts = hour_tally.attempts + 1, "
           "passed = hour_tally.passed + excluded.passed, first_pass = hour_tally.first_pass + excluded.first_pass, "
           "last_id = CASE WHEN excluded.last_id > hour_tally.last_id THEN excluded.last_id ELSE hour_tally.last_id "
           "END;\n";
}

// An attempt updated (completed, numbered, withdrawn): what it added taken
// back, before hours_add adds it as it now is. Where it held its hour's
// highest id and has left that hour's row (withdrawn, or its hour, station
// or image changed), the highest is found again in the image's and
// station's index, among the attempts still there.
std::string hours_take_back()
{
    const std::string group = its_row("OLD.");
    const std::string left = "(NEW.withdrawn IS NOT NULL OR " + hour("NEW.") + " IS DISTINCT FROM " + hour("OLD.") +
                             " OR NEW.station IS DISTINCT FROM OLD.station OR NEW.image_sha256 IS DISTINCT FROM "
                             "OLD.image_sha256)";
    return "UPDATE hour_tally SET attempts = attempts - 1, passed = passed - " + one(passed_sql("OLD.")) +
           ", first_pass = first_pass - " + one(first_pass_sql("OLD.")) + " WHERE OLD.withdrawn IS NULL AND " + group +
           ";\nDELETE FROM hour_tally WHERE " + group + " AND attempts = 0;\n"
           "UPDATE hour_tally SET last_id = (SELECT max(a.id) FROM attempts a WHERE a.image_sha256 = "
           "hour_tally.image_sha256 AND a.station = hour_tally.station AND a.started >= hour_tally.hour AND "
           "a.started < hour_tally.hour || ';' AND " + hour("a.") + " = hour_tally.hour AND a.withdrawn IS NULL) "
           "WHERE " + group + " AND last_id = OLD.id AND " + left + ";\n";
}

}  // namespace station
