// What turns a Filter into SQL, for the statements that read the record
// back (station_history.cpp, station_figures.cpp): a predicate for each
// field given and none for the others, so that each uses its index.
#ifndef KESTRANE_STATION_SELECTION_H
#define KESTRANE_STATION_SELECTION_H

#include "station/station.h"
#include "station/store.h"

#include <string>
#include <vector>

namespace station {

// The filter's predicates and the values they take, numbered as they come.
class Selection {
public:
    // Invalid for a time or a hash prefix that is not one.
    Result make(const Filter &filter, int schema);
    // "WHERE ..." over the attempts named as, with more conditions, or "".
    std::string where(const std::string &as, const std::vector<std::string> &more = {}) const;
    // The same over a tally named as, which counts the attempts that are
    // there (never the withdrawn) per image and station: the predicates
    // of the image and the station alone. The tally serves the selection
    // where it has no others (timed: but for its time).
    std::string kept_where(const std::string &as, const std::vector<std::string> &more = {}) const;
    bool timed() const { return !since_.empty(); }
    bool numbered() const { return numbered_; }
    const std::string &since() const { return since_; }  // as the record writes times
    void bind(Query &query) const;
    bool filtered() const { return !values_.empty(); }
    // How many values it binds: a statement's own parameters come after.
    int values() const { return int(values_.size()); }
    int schema() const { return schema_; }
    // The station column: before version 2 the host was the station.
    std::string station(const std::string &as) const { return as + "." + (schema_ >= 2 ? "station" : "host"); }

private:
    // Each predicate's text, its columns after "{}.", its values after ?N;
    // kept: a tally's columns too.
    void add(const std::string &predicate, const std::string &text, bool kept = false);
    void add(const std::string &predicate, std::int64_t number);
    std::string joined(const std::string &as, std::vector<std::string> predicates,
                       const std::vector<std::string> &more) const;

    struct Value {
        bool is_text;
        std::string text;
        std::int64_t number;
    };
    std::vector<std::string> predicates_, kept_;
    std::vector<Value> values_;
    int schema_ = 0;
    std::string since_;
    bool numbered_ = false;
};

// History's statement over the selection's attempts, in order (SQL).
std::string select_attempts(const Selection &selection, const std::string &order);
// An attempt from a row of that statement.
AttemptRecord record_from(Query &row);

}  // namespace station

#endif
