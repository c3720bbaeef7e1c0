// The statements that read the record back, as history, its summary and
// serial show run them: here so that tests can read each one's plan.
#ifndef KESTRANE_STATION_QUERIES_H
#define KESTRANE_STATION_QUERIES_H

#include "station/station.h"
#include "station/store.h"

#include <memory>
#include <string>

namespace station {

enum class Reading { History, Summary };

// The statement reading filter's attempts (History: row by row, in the
// order they started; Summary: added up per image and station), its
// values bound, with prefix before it ("EXPLAIN ..." or nothing). Invalid
// for a filter that is not one.
Result prepare_reading(Store &store, Reading reading, const Filter &filter, const std::string &prefix,
                       std::unique_ptr<Query> &query);

// Serial show's: one counter's numbers (?1 its name) as ranges per station.
std::string drawn_sql(int schema);

}  // namespace station

#endif
