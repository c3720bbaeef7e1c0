// The statements that read the record back, as history, its summary and
// serial show run them: here so that tests can read each one's plan.
#ifndef KESTRANE_STATION_QUERIES_H
#define KESTRANE_STATION_QUERIES_H

#include "station/station.h"
#include "station/store.h"

#include <memory>
#include <string>
#include <vector>

namespace station {

enum class Reading { History, Summary };

// The statement reading filter's attempts (History: row by row, in the
// order they started; Summary: added up per image and station), its
// values bound, with prefix before it ("EXPLAIN ..." or nothing). Invalid
// for a filter that is not one.
Result prepare_reading(Store &store, Reading reading, const Filter &filter, const std::string &prefix,
                       std::unique_ptr<Query> &query);

// Which attempts a statement of the dashboard's figures over time reads:
// every hour's but those of the two below (from the hourly tally where the
// schema has it and the filter names no serial number); those of the hour
// the last day starts in; those of the hour a filter's time falls in,
// where the tally counts the others (else none, and no statement).
enum class Span { Hours, DayHour, SinceHour };

// The statement (hours_from as Station::timeline takes it), or nullptr;
// and the failures' (phrases as Station::failures takes them), as
// prepare_reading makes the others.
Result prepare_timeline(Store &store, const Filter &filter, const std::string &hours_from, Span span,
                        const std::string &prefix, std::unique_ptr<Query> &query);
Result prepare_failures(Store &store, const Filter &filter, const std::vector<std::string> &phrases,
                        const std::string &prefix, std::unique_ptr<Query> &query);

// Serial show's: one counter's numbers (?1 its name) as ranges per station.
std::string drawn_sql(int schema);

}  // namespace station

#endif
