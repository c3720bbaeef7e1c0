// The attempts read back: streamed row by row, or added up by the database
// per image and station. A filter becomes SQL with a predicate for each of
// its fields that is given and none for the others: a predicate written
// (? IS NULL OR col = ?) is one no index can serve.
#include "station/station.h"

#include "station/selection.h"
#include "station/station_queries.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace station {

namespace {

// Lower-case hex, as stored; anything else could never match.
Result hash_prefix(const std::string &given, std::string &prefix)
{
    prefix.clear();
    for (char c : given) {
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return {Status::Invalid, "'" + given + "' is not the start of a SHA-256 in hex"};
        prefix += char(std::tolower(static_cast<unsigned char>(c)));
    }
    return {};
}

}  // namespace

Result Selection::make(const Filter &filter, int schema)
{
    schema_ = schema;
    if (!filter.since.empty()) {
        const Result time = utc_time(filter.since, since_);
        if (!time.ok())
            return time;
        add("{}.started >= ?", since_);
    }
    if (filter.serial) {
        add("{}.serial = ?", std::int64_t(*filter.serial));
        numbered_ = true;
    }
    if (!filter.sha256_prefix.empty()) {
        std::string prefix;
        const Result valid = hash_prefix(filter.sha256_prefix, prefix);
        if (!valid.ok())
            return valid;
        // A range the image's index serves: every hex digit sorts before g.
        add("{}.image_sha256 >= ?", prefix, true);
        add("{}.image_sha256 < ?", prefix + "g", true);
    }
    if (!filter.station.empty())
        add(schema >= 2 ? "{}.station = ?" : "{}.host = ?", filter.station, true);
    if (schema >= 2)
        predicates_.push_back("{}.withdrawn IS NULL");
    return {};
}

void Selection::add(const std::string &predicate, const std::string &text, bool kept)
{
    values_.push_back({true, text, 0});
    predicates_.push_back(predicate + std::to_string(values_.size()));
    if (kept)
        kept_.push_back(predicates_.back());
}

void Selection::add(const std::string &predicate, std::int64_t number)
{
    values_.push_back({false, "", number});
    predicates_.push_back(predicate + std::to_string(values_.size()));
}

std::string Selection::where(const std::string &as, const std::vector<std::string> &more) const
{
    return joined(as, predicates_, more);
}

std::string Selection::kept_where(const std::string &as, const std::vector<std::string> &more) const
{
    return joined(as, kept_, more);
}

std::string Selection::joined(const std::string &as, std::vector<std::string> predicates,
                              const std::vector<std::string> &more) const
{
    predicates.insert(predicates.end(), more.begin(), more.end());
    std::string sql;
    for (const std::string &predicate : predicates) {
        sql += sql.empty() ? " WHERE " : " AND ";
        std::string named = predicate;
        for (std::size_t at; (at = named.find("{}")) != std::string::npos;)
            named.replace(at, 2, as);
        sql += named;
    }
    return sql;
}

void Selection::bind(Query &query) const
{
    for (std::size_t i = 0; i < values_.size(); ++i) {
        if (values_[i].is_text)
            query.bind_text(int(i + 1), values_[i].text);
        else
            query.bind_int(int(i + 1), values_[i].number);
    }
}

namespace {

enum Column {
    ID, HOST, STATION, STARTED, TRANSPORT, PATH, PART, IMAGE_NAME, IMAGE_SHA256, COUNTER, SERIAL,
    ENDED, RESULT, EXIT_CODE, MESSAGE, COMMANDS, BYTES_WRITTEN, SECONDS, TRIES,
};

}  // namespace

std::string select_attempts(const Selection &selection, const std::string &order)
{
    return "SELECT a.id, a.host, " + selection.station("a") +
           ", a.started, a.transport, a.path, a.part, a.image_name, a.image_sha256, a.counter, a.serial, a.ended, "
           "a.result, a.exit_code, a.message, a.commands, a.bytes_written, a.seconds, a.tries FROM attempts a" +
           selection.where("a") + " ORDER BY " + order;
}

static AttemptEnd end_from(Query &row)
{
    AttemptEnd end;
    end.ended = row.text(ENDED);
    end.result = row.text(RESULT);
    end.exit_code = int(row.integer(EXIT_CODE));
    end.message = row.text(MESSAGE);
    end.commands = std::uint64_t(row.integer(COMMANDS));
    end.bytes_written = std::uint64_t(row.integer(BYTES_WRITTEN));
    end.seconds = row.real(SECONDS);
    end.tries = std::uint32_t(row.integer(TRIES));
    return end;
}

AttemptRecord record_from(Query &row)
{
    AttemptRecord record;
    record.id = row.integer(ID);
    record.host = row.text(HOST);
    record.station = row.text(STATION);
    record.start.started = row.text(STARTED);
    record.start.transport = row.text(TRANSPORT) == transport_word(Transport::Uart) ? Transport::Uart : Transport::Usb;
    record.start.path = row.text(PATH);
    record.start.part = row.text(PART);
    record.start.image_name = row.text(IMAGE_NAME);
    record.start.image_sha256 = row.text(IMAGE_SHA256);
    record.start.counter = row.text(COUNTER);
    if (!row.null(SERIAL))
        record.serial = std::uint64_t(row.integer(SERIAL));
    if (!row.null(ENDED))
        record.end = end_from(row);
    return record;
}

Result Station::history(const Filter &filter, const AttemptVisitor &visit)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    std::unique_ptr<Query> select;
    const Result made = prepare_reading(*store_, Reading::History, filter, "", select);
    if (!made.ok())
        return made;
    Step row;
    while ((row = select->step()) == Step::Row)
        if (!visit(record_from(*select)))
            return {};
    return row == Step::Done ? Result{} : store_->failure();
}

Result Station::history(const Filter &filter, std::vector<AttemptRecord> &records)
{
    std::vector<AttemptRecord> read;
    const Result result = history(filter, [&read](const AttemptRecord &record) {
        read.push_back(record);
        return true;
    });
    if (result.ok())
        records = std::move(read);
    return result;
}

namespace {

// One image's attempts at one station, added up by the database; the
// attempts it first and last started, for the order of images and the name
// each was last flashed from.
enum Group {
    SHA256, AT_STATION, ATTEMPTS, PASSED, FAILED, UNFINISHED, FIRST_PASS, LOWEST, HIGHEST, VOIDS,
    FIRST_STARTED, LAST_STARTED, FIRST_ID, LAST_ID, LAST_NAME,
};

// The whole record's figures are the tally's (schema_tally.cpp), kept as
// attempts are written, and so are an image's or a station's. Those from a
// time on or of a serial number are added up here, the rows found by the
// filter's index; the subqueries find one row each in the image's and
// station's index.
std::string group_by(const Selection &selection)
{
    if (!selection.timed() && !selection.numbered() && selection.schema() >= 3)
        return "SELECT t.image_sha256, t.station, t.attempts, t.passed, t.failed, t.unfinished, t.first_pass, "
               "t.lowest, t.highest, t.voids, t.first_started, t.last_started, t.first_id, t.last_id, "
               "(SELECT c.image_name FROM attempts c WHERE c.id = t.last_id) FROM image_tally t" +
               selection.kept_where("t");
    const auto count = [](const std::string &condition) {
        return "sum(CASE WHEN " + condition + " THEN 1 ELSE 0 END)";
    };
    const auto at = [&](const char *started, const char *which) {
        return std::string("(SELECT ") + which + "(b.id) FROM attempts b" +
               selection.where("b", {"b.image_sha256 = g.sha256", selection.station("b") + " = g.station",
                                     std::string("b.started = g.") + started}) +
               ")";
    };
    // Filtered, the rows are found by the filter's index: grouped by an
    // expression, they are not read in the whole image index's order instead.
    const std::string image = selection.filtered() ? "a.image_sha256 || ''" : "a.image_sha256";
    const std::string groups =
        "SELECT " + image + " AS sha256, " + selection.station("a") + " AS station, count(*) AS attempts, " +
        count(passed_sql("a.")) + " AS passed, " + count(failed_sql("a.")) + " AS failed, " +
        count("a.ended IS NULL") + " AS unfinished, " +
        count(first_pass_sql("a.")) + " AS first_pass, " +
        "min(a.serial) AS lowest, max(a.serial) AS highest, " +
        count("a.serial IS NOT NULL AND " + failed_sql("a.")) + " AS voids, " +
        "min(a.started) AS first_started, max(a.started) AS last_started FROM attempts a" + selection.where("a") +
        " GROUP BY " + image + ", " + selection.station("a");
    const std::string ends = "SELECT g.*, " + at("first_started", "min") + " AS first_id, " +
                             at("last_started", "max") + " AS last_id FROM (" + groups + ") AS g";
    return "SELECT e.*, (SELECT c.image_name FROM attempts c WHERE c.id = e.last_id) FROM (" + ends + ") AS e";
}

struct Found {
    ImageSummary summary;
    std::string first_started, last_started;
    std::int64_t first_id = 0, last_id = 0;
};

Found found_from(Query &row)
{
    Found found;
    ImageSummary &summary = found.summary;
    summary.sha256 = row.text(SHA256);
    summary.station = row.text(AT_STATION);
    summary.name = row.text(LAST_NAME);
    summary.attempts = std::uint64_t(row.integer(ATTEMPTS));
    summary.passed = std::uint64_t(row.integer(PASSED));
    summary.failed = std::uint64_t(row.integer(FAILED));
    summary.unfinished = std::uint64_t(row.integer(UNFINISHED));
    summary.first_pass = std::uint64_t(row.integer(FIRST_PASS));
    if (!row.null(LOWEST)) {
        summary.lowest_serial = std::uint64_t(row.integer(LOWEST));
        summary.highest_serial = std::uint64_t(row.integer(HIGHEST));
    }
    summary.voids = std::uint64_t(row.integer(VOIDS));
    found.first_started = row.text(FIRST_STARTED);
    found.last_started = row.text(LAST_STARTED);
    found.first_id = row.integer(FIRST_ID);
    found.last_id = row.integer(LAST_ID);
    return found;
}

// One station's figures added to the line's.
void add(Found &line, const Found &station)
{
    ImageSummary &sum = line.summary;
    const ImageSummary &more = station.summary;
    const bool first = sum.attempts == 0;
    sum.sha256 = more.sha256;
    sum.attempts += more.attempts;
    sum.passed += more.passed;
    sum.failed += more.failed;
    sum.unfinished += more.unfinished;
    sum.first_pass += more.first_pass;
    sum.voids += more.voids;
    if (more.lowest_serial) {
        sum.lowest_serial = std::min(*more.lowest_serial, sum.lowest_serial.value_or(*more.lowest_serial));
        sum.highest_serial = std::max(*more.highest_serial, sum.highest_serial.value_or(*more.highest_serial));
    }
    if (first || std::tie(station.first_started, station.first_id) < std::tie(line.first_started, line.first_id)) {
        line.first_started = station.first_started;
        line.first_id = station.first_id;
    }
    if (first || std::tie(station.last_started, station.last_id) > std::tie(line.last_started, line.last_id)) {
        line.last_started = station.last_started;
        line.last_id = station.last_id;
        sum.name = more.name;
    }
}

}  // namespace

// History's rows come as the server sends them, never held whole.
Result prepare_reading(Store &store, Reading reading, const Filter &filter, const std::string &prefix,
                       std::unique_ptr<Query> &query)
{
    Selection selection;
    const Result made = selection.make(filter, store.schema);
    if (!made.ok())
        return made;
    query = reading == Reading::History ? store.stream(prefix + select_attempts(selection, "a.started, a.id"))
                                        : store.query(prefix + group_by(selection));
    selection.bind(*query);
    return {};
}

// The database adds up each image's attempts at each station: a handful of
// rows, which are added up here into each image's line.
Result Station::summary(const Filter &filter, std::vector<ImageSummary> &summaries)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    std::unique_ptr<Query> select;
    const Result made = prepare_reading(*store_, Reading::Summary, filter, "", select);
    if (!made.ok())
        return made;
    struct Image {
        Found line;
        std::map<std::string, Found> stations;  // by name, "" for none
    };
    std::map<std::string, Image> images;
    Step row;
    while ((row = select->step()) == Step::Row) {
        const Found found = found_from(*select);
        Image &image = images[found.summary.sha256];
        add(image.line, found);
        add(image.stations[found.summary.station], found);
    }
    if (row != Step::Done)
        return store_->failure();
    std::vector<const Image *> order;
    for (const auto &image : images)
        order.push_back(&image.second);
    std::sort(order.begin(), order.end(), [](const Image *a, const Image *b) {
        return std::tie(a->line.first_started, a->line.first_id) < std::tie(b->line.first_started, b->line.first_id);
    });
    std::vector<ImageSummary> read;
    for (const Image *image : order) {
        read.push_back(image->line.summary);
        for (const auto &station : image->stations) {
            read.push_back(station.second.summary);
            read.back().station = station.first.empty() ? "?" : station.first;
        }
    }
    for (ImageSummary &summary : read)
        summary.first_pass_yield = double(summary.first_pass) / double(summary.attempts);
    summaries = std::move(read);
    return {};
}

}  // namespace station
