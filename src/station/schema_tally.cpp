// Version 3's tally: each image's attempts at each station added up by the
// database as they are written, so that the summary of a whole record,
// however long, reads a handful of rows. Its statements are the same in
// either dialect; each dialect runs them from a trigger of its own kind.
#include "station/store.h"

#include <vector>

namespace station {

std::string passed_sql(const std::string &row)
{
    return row + "ended IS NOT NULL AND coalesce(" + row + "exit_code, 0) = 0";
}

std::string first_pass_sql(const std::string &row)
{
    return passed_sql(row) + " AND coalesce(" + row + "tries, 0) = 1";
}

std::string failed_sql(const std::string &row)
{
    return row + "ended IS NOT NULL AND NOT coalesce(" + row + "exit_code, 0) = 0";
}

// What one attempt (row: "NEW.", "OLD." or "" for the table's own) adds to
// its image's figures at its station, as the summary counts them.
static const char *const FIGURES[] = {"passed", "failed", "unfinished", "first_pass", "voids"};
static std::vector<std::string> adds(const std::string &row)
{
    const auto one = [](const std::string &condition) { return "CASE WHEN " + condition + " THEN 1 ELSE 0 END"; };
    return {one(passed_sql(row)), one(failed_sql(row)), one(row + "ended IS NULL"), one(first_pass_sql(row)),
            one(row + "serial IS NOT NULL AND " + failed_sql(row))};
}

static std::string listed(const std::vector<std::string> &items)
{
    std::string list;
    for (const std::string &item : items)
        list += (list.empty() ? "" : ", ") + item;
    return list;
}

// Each figure as its column.
static std::string named(const std::vector<std::string> &items)
{
    std::string list;
    for (std::size_t i = 0; i < items.size(); ++i)
        list += (i == 0 ? "" : ", ") + items[i] + " AS " + FIGURES[i];
    return list;
}

static const char COLUMNS[] = "(image_sha256, station, attempts, passed, failed, unfinished, first_pass, voids, "
                              "lowest, highest, first_started, first_id, last_started, last_id)";

// The columns an update changes the figures by.
const char TALLIED[] = "serial, ended, exit_code, tries, withdrawn, image_sha256, station, started";

std::string tally_table(const char *integer)
{
    const std::string number = std::string(" ") + integer, counted = number + " NOT NULL";
    std::string columns = "image_sha256 TEXT NOT NULL, station TEXT NOT NULL, attempts" + counted;
    for (const char *figure : FIGURES)
        columns += std::string(", ") + figure + counted;
    return "DROP TABLE IF EXISTS image_tally;\nCREATE TABLE image_tally (" + columns + ", lowest" + number +
           ", highest" + number + ", first_started TEXT NOT NULL, first_id" + counted +
           ", last_started TEXT NOT NULL, last_id" + counted + ", PRIMARY KEY (image_sha256, station));\n";
}

// The figures of the attempts there already; a withdrawn attempt never
// was one, and an attempt names its station from version 2 on.
std::string tally_fill()
{
    return std::string("INSERT INTO image_tally ") + COLUMNS +
           " SELECT image_sha256, station, count(*), sum(passed), sum(failed), sum(unfinished), sum(first_pass), "
           "sum(voids), min(serial), max(serial), min(started), 0, max(started), 0 FROM (SELECT image_sha256, station, "
           "serial, started, " + named(adds("")) + " FROM attempts WHERE withdrawn IS NULL AND station IS NOT NULL) "
           "AS counted GROUP BY image_sha256, station;\n"
           "UPDATE image_tally SET first_id = (SELECT min(a.id) FROM attempts a WHERE a.image_sha256 = "
           "image_tally.image_sha256 AND a.station = image_tally.station AND a.withdrawn IS NULL AND a.started = "
           "image_tally.first_started), last_id = (SELECT max(a.id) FROM attempts a WHERE a.image_sha256 = "
           "image_tally.image_sha256 AND a.station = image_tally.station AND a.withdrawn IS NULL AND a.started = "
           "image_tally.last_started);\n";
}

// An attempt written: its figures added, the first and last attempts and
// the lowest and highest serial kept.
std::string tally_add()
{
    const auto keep = [](const char *column, const char *than, const char *on) {
        return std::string(column) + " = CASE WHEN (excluded." + on + "_started, excluded." + on + "_id) " + than +
               " (image_tally." + on + "_started, image_tally." + on + "_id) THEN excluded." + column +
               " ELSE image_tally." + column + " END";
    };
    std::string sum;
    for (const char *column : {"attempts", "passed", "failed", "unfinished", "first_pass", "voids"})
        sum += std::string(column) + " = image_tally." + column + " + excluded." + column + ", ";
    return std::string("INSERT INTO image_tally ") + COLUMNS + " SELECT NEW.image_sha256, NEW.station, 1, " +
           listed(adds("NEW.")) + ", NEW.serial, NEW.serial, NEW.started, NEW.id, NEW.started, NEW.id "
           "WHERE NEW.withdrawn IS NULL AND NEW.station IS NOT NULL "
           "ON CONFLICT (image_sha256, station) DO UPDATE SET " + sum +
           "lowest = CASE WHEN excluded.lowest < image_tally.lowest OR image_tally.lowest IS NULL "
           "THEN excluded.lowest ELSE image_tally.lowest END, "
           "highest = CASE WHEN excluded.highest > image_tally.highest OR image_tally.highest IS NULL "
           "THEN excluded.highest ELSE image_tally.highest END, " +
           keep("first_started", "<", "first") + ", " + keep("first_id", "<", "first") + ", " +
           keep("last_started", ">", "last") + ", " + keep("last_id", ">", "last") + ";\n";
}

// An attempt updated (completed, numbered, withdrawn): the figures it
// added taken back, before tally_add adds them as they now are. Where it
// was its image's first or last attempt, or held its lowest or highest
// number, and is no longer there as it was, those are found again, in the
// image's and station's index.
std::string tally_take_back()
{
    static const char GROUP[] = "image_sha256 = OLD.image_sha256 AND station = OLD.station";
    static const char ITS[] = "FROM attempts a WHERE a.image_sha256 = image_tally.image_sha256 AND a.station = "
                              "image_tally.station AND a.withdrawn IS NULL";
    const std::string moved = "(NEW.withdrawn IS NOT NULL OR NEW.image_sha256 IS DISTINCT FROM OLD.image_sha256 OR "
                              "NEW.station IS DISTINCT FROM OLD.station OR NEW.started IS DISTINCT FROM OLD.started";
    std::string take;
    const std::vector<std::string> old = adds("OLD.");
    for (std::size_t i = 0; i < old.size(); ++i)
        take += std::string(", ") + FIGURES[i] + " = " + FIGURES[i] + " - " + old[i];
    const auto end = [&](const char *which, const char *order) {
        return std::string(which) + "_started = (SELECT a.started " + ITS + " ORDER BY a.started " + order +
               ", a.id " + order + " LIMIT 1), " + which + "_id = (SELECT a.id " + ITS + " ORDER BY a.started " +
               order + ", a.id " + order + " LIMIT 1)";
    };
    return std::string("UPDATE image_tally SET attempts = attempts - 1") + take + " WHERE OLD.withdrawn IS NULL AND " +
           GROUP + ";\nDELETE FROM image_tally WHERE " + GROUP + " AND attempts = 0;\n" + "UPDATE image_tally SET " +
           end("first", "ASC") + ", " + end("last", "DESC") + " WHERE " + GROUP +
           " AND (first_id = OLD.id OR last_id = OLD.id) AND " + moved + ");\n" +
           "UPDATE image_tally SET lowest = (SELECT min(a.serial) " + ITS +
           "), highest = (SELECT max(a.serial) " + ITS +
           ") WHERE " + GROUP + " AND (lowest = OLD.serial OR highest = OLD.serial) AND (" + moved +
           " OR NEW.serial IS DISTINCT FROM OLD.serial));\n";
}

}  // namespace station
