// The attempts: the part kept as soon as it is known. Their rows are
// written in station_draw.cpp, and read back in station_history.cpp.
#include "station/station.h"

#include "station/database.h"
#include "station/spool.h"
#include "station/store.h"
#include "station/store_postgres.h"

#include <algorithm>
#include <cctype>

namespace station {

// A part the attempt's row holds already costs no statement.
Result Station::note_part(const Attempt &attempt, const std::string &part)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!store_)
        return not_open();
    const auto kept = pending_.find(attempt.id);
    if (kept != pending_.end() && kept->second == part)
        return {};
    auto update = store_->query("UPDATE attempts SET part = ?1 WHERE id = ?2 AND ended IS NULL AND withdrawn IS NULL");
    update->bind_text(1, part);
    update->bind_int(2, attempt.id);
    if (update->step() != Step::Done)
        return store_->failure();
    if (kept != pending_.end())
        kept->second = part;
    return {};
}

}  // namespace station
