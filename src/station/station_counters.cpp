// The counters that hand out serial numbers.
#include "station/station.h"

#include "station/station_sqlite.h"

namespace station {

static Counter counter_from(Statement &row)
{
    Counter counter;
    counter.name = row.text(0);
    counter.first = std::uint64_t(row.integer(1));
    if (!row.null(2))
        counter.last = std::uint64_t(row.integer(2));
    counter.handed_out = std::uint64_t(row.integer(3));
    return counter;
}

static const char SELECT_COUNTER[] = "SELECT name, first, last, handed_out FROM counters";

static Result read_counter(Database &database, const std::string &name, Counter &counter)
{
    Statement select(database, (std::string(SELECT_COUNTER) + " WHERE name = ?").c_str());
    select.bind_text(1, name);
    const int found = select.step();
    if (found == SQLITE_DONE)
        return {Status::NoSuchCounter, "no counter is named '" + name + "' in " + database.path};
    if (found != SQLITE_ROW)
        return database.failure();
    counter = counter_from(select);
    return {};
}

static std::string bounds(std::uint64_t first, std::optional<std::uint64_t> last)
{
    return "from " + std::to_string(first) + (last ? " to " + std::to_string(*last) : " on, with no last number");
}

static Result check_bounds(const std::string &name, std::uint64_t first, std::optional<std::uint64_t> last)
{
    if (name.empty())
        return {Status::Invalid, "a counter needs a name"};
    if (first > LARGEST_NUMBER || (last && *last > LARGEST_NUMBER))
        return {Status::Invalid, "counters go up to " + std::to_string(LARGEST_NUMBER)};
    if (last && *last < first)
        return {Status::Invalid, "counter '" + name + "' would end at " + std::to_string(*last) +
                                     ", before its first number " + std::to_string(first)};
    return {};
}

Result Station::init_counter(const std::string &name, std::uint64_t first, std::optional<std::uint64_t> last,
                             Counter &counter)
{
    const Result valid = check_bounds(name, first, last);
    if (!valid.ok())
        return valid;
    return write([&](Database &database, Transaction &transaction) {
        Counter existing;
        const Result found = read_counter(database, name, existing);
        if (found.status == Status::NoSuchCounter) {
            Statement insert(database, "INSERT INTO counters (name, first, last) VALUES (?, ?, ?)");
            insert.bind_text(1, name);
            insert.bind_int(2, std::int64_t(first));
            if (last)
                insert.bind_int(3, std::int64_t(*last));
            if (insert.step() != SQLITE_DONE)
                return database.failure();
        } else if (!found.ok()) {
            return found;
        } else if (existing.first != first || existing.last != last) {
            return Result{Status::Conflict, "counter '" + name + "' exists " + bounds(existing.first, existing.last) +
                                                "; a new range takes a new name"};
        }
        const Result read = read_counter(database, name, counter);
        if (read.ok() && !transaction.commit())
            return database.failure();
        return read;
    });
}

Result Station::counter(const std::string &name, Counter &counter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!database_->db)
        return not_open();
    return read_counter(*database_, name, counter);
}

Result Station::counters(std::vector<Counter> &counters)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!database_->db)
        return not_open();
    Statement select(*database_, (std::string(SELECT_COUNTER) + " ORDER BY name").c_str());
    std::vector<Counter> read;
    int row;
    while ((row = select.step()) == SQLITE_ROW)
        read.push_back(counter_from(select));
    if (row != SQLITE_DONE)
        return database_->failure();
    counters = std::move(read);
    return {};
}

Result draw(Database &database, const std::string &name, std::uint64_t largest, std::uint64_t &serial)
{
    Counter counter;
    const Result found = read_counter(database, name, counter);
    if (!found.ok())
        return found;
    if (counter.exhausted())
        return {Status::Exhausted, "counter '" + name + "' has handed out its last number, " +
                                       std::to_string(counter.last.value_or(LARGEST_NUMBER))};
    if (counter.next() > largest)
        return {Status::TooLarge, "counter '" + name + "' would hand out " + std::to_string(counter.next()) +
                                      ", and the board takes at most " + std::to_string(largest)};
    Statement update(database, "UPDATE counters SET handed_out = handed_out + 1 WHERE name = ?");
    update.bind_text(1, name);
    if (update.step() != SQLITE_DONE)
        return database.failure();
    serial = counter.next();
    return {};
}

}  // namespace station
