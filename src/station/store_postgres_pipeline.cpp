// Statements in pipelines: each prepared on its first use in the trip that
// runs it, and several calls' statements in one trip.
#include "station/store_postgres.h"

#include <libpq-fe.h>

namespace station {

// A result of a pipeline's: its statement's first, the rest dropped up to
// the end of the statement's results.
static PGresult *statement_result(pg_conn *conn)
{
    PGresult *first = PQgetResult(conn);
    if (first != nullptr)
        for (PGresult *more; (more = PQgetResult(conn)) != nullptr;)
            PQclear(more);
    return first;
}

// Each statement is prepared on its first use on this connection, in the
// same round trip as its run: the prepare, the run and a sync sent as one
// pipeline. A prepare that fails is the statement's failure, and leaves
// nothing prepared.
PGresult *PostgresStore::run(const std::string &sql, int count, const Oid *types, const char *const *values)
{
    const auto found = prepared_.find(sql);
    if (found != prepared_.end())
        return PQexecPrepared(conn_, found->second.c_str(), count, values, nullptr, nullptr, 0);
    const std::string name = "kestrane_" + std::to_string(++named_);
    if (PQenterPipelineMode(conn_) != 1)
        return PQexecParams(conn_, sql.c_str(), count, types, values, nullptr, nullptr, 0);
    PGresult *prepared = nullptr, *result = nullptr;
    if (PQsendPrepare(conn_, name.c_str(), sql.c_str(), count, types) == 1 &&
        PQsendQueryPrepared(conn_, name.c_str(), count, values, nullptr, nullptr, 0) == 1 && PQpipelineSync(conn_) == 1) {
        prepared = statement_result(conn_);
        result = statement_result(conn_);
        PGresult *sync = PQgetResult(conn_);
        PQclear(sync);
    }
    // A connection lost on the way may leave the pipeline unfinished; it is
    // made again before anything else runs on it.
    PQexitPipelineMode(conn_);
    if (PQresultStatus(prepared) == PGRES_COMMAND_OK) {
        prepared_[sql] = name;
        PQclear(prepared);
        return result;
    }
    PQclear(result);
    if (prepared == nullptr)
        return PQmakeEmptyPGresult(conn_, PGRES_FATAL_ERROR);
    return prepared;
}

// Each statement sent with a sync after it, so that it is a transaction of
// its own and a failure ends at it; then each one's results read in turn.
// One whose sending failed is left to run at its first step.
void PostgresStore::run_together(const std::vector<Query *> &queries)
{
    if (queries.size() < 2 || conn_ == nullptr || PQenterPipelineMode(conn_) != 1)
        return;
    struct Sent {
        Pipelined *query;
        std::string preparing;  // the name its statement is prepared as in this trip, if it is
    };
    std::vector<Sent> sent;
    std::map<std::string, std::string> preparing;  // by SQL
    for (Query *each : queries) {
        auto *query = dynamic_cast<Pipelined *>(each);
        if (query == nullptr)
            break;
        const std::vector<const char *> values = query->values();
        const int count = int(values.size());
        Sent next{query, ""};
        std::string name;
        if (const auto found = prepared_.find(query->sql()); found != prepared_.end()) {
            name = found->second;
        } else if (const auto earlier = preparing.find(query->sql()); earlier != preparing.end()) {
            name = earlier->second;
        } else {
            name = next.preparing = preparing[query->sql()] = "kestrane_" + std::to_string(++named_);
            if (PQsendPrepare(conn_, name.c_str(), query->sql().c_str(), count, query->types().data()) != 1)
                break;
        }
        if (PQsendQueryPrepared(conn_, name.c_str(), count, values.data(), nullptr, nullptr, 0) != 1 ||
            PQpipelineSync(conn_) != 1)
            break;
        sent.push_back(next);
    }
    for (const Sent &each : sent) {
        PGresult *prepared = each.preparing.empty() ? nullptr : statement_result(conn_);
        PGresult *result = statement_result(conn_);
        PQclear(PQgetResult(conn_));  // the sync
        if (!each.preparing.empty() && PQresultStatus(prepared) == PGRES_COMMAND_OK)
            prepared_[each.query->sql()] = each.preparing;
        if (each.preparing.empty() || PQresultStatus(prepared) == PGRES_COMMAND_OK) {
            PQclear(prepared);
            each.query->collected(result != nullptr ? result : PQmakeEmptyPGresult(conn_, PGRES_FATAL_ERROR));
        } else {
            PQclear(result);
            each.query->collected(prepared != nullptr ? prepared : PQmakeEmptyPGresult(conn_, PGRES_FATAL_ERROR));
        }
    }
    PQexitPipelineMode(conn_);
}

}  // namespace station
