// The counters that hand out serial numbers, and which station drew which.
#include "station/station.h"

#include "station/database.h"
#include "station/station_queries.h"

#include "station/store.h"

#include <algorithm>

namespace station {

static Counter counter_from(Query &row)
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

static Result read_counter(Store &store, const std::string &name, Counter &counter)
{
    auto select = store.query(std::string(SELECT_COUNTER) + " WHERE name = ?1");
    select->bind_text(1, name);
    const Step found = select->step();
    if (found == Step::Done)
        return {Status::NoSuchCounter, "no counter is named '" + escaped(name) + "' in " + store.name()};
    if (found != Step::Row)
        return store.failure();
    counter = counter_from(*select);
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
        return {Status::Invalid, "counter '" + escaped(name) + "' would end at " + std::to_string(*last) +
                                     ", before its first number " + std::to_string(first)};
    return {};
}

// Two stations making the same counter at once: one inserts it, the other
// finds it.
Result Station::init_counter(const std::string &name, std::uint64_t first, std::optional<std::uint64_t> last,
                             Counter &counter)
{
    const Result valid = check_bounds(name, first, last);
    if (!valid.ok())
        return valid;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    Store &store = *store_;
    Transaction transaction(store);
    if (!transaction.begun())
        return store.failure();
    auto insert = store.query("INSERT INTO counters (name, first, last) VALUES (?1, ?2, ?3) ON CONFLICT (name) DO NOTHING");
    insert->bind_text(1, name);
    insert->bind_int(2, std::int64_t(first));
    if (last)
        insert->bind_int(3, std::int64_t(*last));
    if (insert->step() != Step::Done)
        return store.failure();
    Counter existing;
    const Result read = read_counter(store, name, existing);
    if (!read.ok())
        return read;
    if (existing.first != first || existing.last != last)
        return {Status::Conflict, "counter '" + escaped(name) + "' exists " + bounds(existing.first, existing.last) +
                                      "; a new range takes a new name"};
    if (!transaction.commit())
        return store.failure();
    counter = existing;
    return {};
}

Result Station::counter(const std::string &name, Counter &counter)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    const Result read = read_counter(*store_, name, counter);
    if (read.ok() && store_->statement_is_transaction())
        seen_[name] = counter;
    return read;
}

Result Station::counter_as_seen(const std::string &name, Counter &counter)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto seen = seen_.find(name);
        if (store_ && seen != seen_.end()) {
            counter = seen->second;
            return {};
        }
    }
    return this->counter(name, counter);
}

// Callers hold mutex_.
void Station::saw_drawn(const std::string &counter, std::uint64_t serial)
{
    const auto seen = seen_.find(counter);
    if (seen != seen_.end() && serial >= seen->second.first)
        seen->second.handed_out = std::max(seen->second.handed_out, serial - seen->second.first + 1);
}

Result Station::counters(std::vector<Counter> &counters)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    auto select = store_->query(std::string(SELECT_COUNTER) + " ORDER BY name");
    std::vector<Counter> read;
    Step row;
    while ((row = select->step()) == Step::Row)
        read.push_back(counter_from(*select));
    if (row != Step::Done)
        return store_->failure();
    counters = std::move(read);
    return {};
}

// The update takes the counter's row for the rest of the transaction, so
// concurrent draws, on one server or one file, queue on it and each sees
// the count the one before it left. A counter whose next number is past
// its last, or past largest, is not updated: missing, used up and too
// large are told apart after. Written as counts past first, so that no sum
// passes the largest integer.
std::string draw_sql(int name, int largest, const std::string &also)
{
    const std::string most = "?" + std::to_string(largest);
    return "UPDATE counters SET handed_out = handed_out + 1 WHERE name = ?" + std::to_string(name) + " AND first <= " +
           most + " AND handed_out <= " + most + " - first AND (last IS NULL OR handed_out <= last - first)" +
           (also.empty() ? "" : " AND " + also) + " RETURNING name AS counter, first + (handed_out - 1) AS serial";
}

static std::int64_t bound(std::uint64_t largest)
{
    return std::int64_t(std::min<std::uint64_t>(largest, LARGEST_NUMBER));
}

Result draw(Store &store, const std::string &name, std::uint64_t largest, std::uint64_t &serial)
{
    auto update = store.query(draw_sql(1, 2));
    update->bind_text(1, name);
    update->bind_int(2, bound(largest));
    const Step drawn = update->step();
    if (drawn == Step::Row) {
        serial = std::uint64_t(update->integer(1));
        return update->step() == Step::Done ? Result{} : store.failure();
    }
    return drawn == Step::Done ? not_drawn(store, name, largest) : store.failure();
}

Result not_drawn(Store &store, const std::string &name, std::uint64_t largest)
{
    Counter counter;
    const Result found = read_counter(store, name, counter);
    if (!found.ok())
        return found;
    if (counter.exhausted())
        return {Status::Exhausted, "counter '" + escaped(name) + "' has handed out its last number, " +
                                       std::to_string(counter.last.value_or(LARGEST_NUMBER))};
    return {Status::TooLarge, "counter '" + escaped(name) + "' would hand out " + std::to_string(counter.next()) +
                                  ", and the board takes at most " + std::to_string(largest)};
}

// Gaps and islands over the counter's numbers in order: within a run
// without a gap serial - its rank stays the same, whichever station drew
// it; each station's numbers in each run are one range. The counter's index
// hands its numbers over in order.
std::string drawn_sql(int schema)
{
    return std::string("SELECT station, min(serial), max(serial), count(*) FROM (SELECT ") +
           (schema >= 2 ? "station" : "host") +
           " AS station, serial, serial - row_number() OVER (ORDER BY serial) AS run FROM attempts "
           "WHERE counter = ?1 AND serial IS NOT NULL) AS numbered GROUP BY station, run ORDER BY station, min(serial)";
}

Result Station::drawn(const std::string &counter, std::vector<Drawn> &drawn)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    auto select = store_->query(drawn_sql(store_->schema));
    select->bind_text(1, counter);
    std::vector<Drawn> read;
    Step row;
    while ((row = select->step()) == Step::Row)
        read.push_back({select->text(0), std::uint64_t(select->integer(1)), std::uint64_t(select->integer(2)),
                        std::uint64_t(select->integer(3))});
    if (row != Step::Done)
        return store_->failure();
    drawn = std::move(read);
    return {};
}

}  // namespace station
