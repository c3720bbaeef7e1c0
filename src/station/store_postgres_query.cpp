// A statement on the PostgreSQL server (store_postgres.h): its ?N
// parameters as libpq's $N, run whole or row by row (single-row mode),
// or handed the result a pipeline of several brought.
#include "station/store_postgres.h"

#include <libpq-fe.h>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace station {

// Types of the parameters as bound: text, bigint, double precision.
static const Oid TEXT_OID = 25, INT8_OID = 20, FLOAT8_OID = 701;

namespace {

class PostgresQuery : public Query, public Pipelined {
public:
    // ?N becomes $N; the statement takes as many parameters as its highest N.
    // single_row: each row read as it comes (libpq's single-row mode), the
    // result never held whole.
    PostgresQuery(PostgresStore &store, pg_conn *conn, const std::string &sql, bool single_row = false)
        : store_(store), conn_(conn), single_row_(single_row)
    {
        int highest = 0;
        for (std::size_t i = 0; i < sql.size(); ++i) {
            if (sql[i] != '?') {
                sql_ += sql[i];
                continue;
            }
            sql_ += '$';
            int number = 0;
            while (i + 1 < sql.size() && sql[i + 1] >= '0' && sql[i + 1] <= '9')
                number = number * 10 + (sql[++i] - '0');
            sql_ += std::to_string(number);
            highest = std::max(highest, number);
        }
        values_.resize(std::size_t(highest));
        bound_.resize(std::size_t(highest), false);
        types_.resize(std::size_t(highest), 0);
    }
    ~PostgresQuery() override
    {
        PQclear(result_);
        if (single_row_ && run_ && !ended_)
            drain(true);
    }

    void bind_text(int index, const std::string &text) override { bind(index, text, TEXT_OID); }
    void bind_int(int index, std::int64_t value) override { bind(index, std::to_string(value), INT8_OID); }
    void bind_real(int index, double value) override
    {
        char text[32];
        const auto written = std::to_chars(text, text + sizeof text, value);
        bind(index, std::string(text, written.ptr), FLOAT8_OID);
    }

    // The parameters as libpq takes them.
    std::vector<const char *> values() const override
    {
        std::vector<const char *> values(values_.size());
        for (std::size_t i = 0; i < values_.size(); ++i)
            values[i] = bound_[i] ? values_[i].c_str() : nullptr;
        return values;
    }
    const std::string &sql() const override { return sql_; }
    const std::vector<Oid> &types() const override { return types_; }
    // The result as a pipeline of several brought it (run_together), for
    // the first step to take.
    void collected(PGresult *result) override
    {
        result_ = result;
        collected_ = true;
    }

    Step step() override
    {
        if (single_row_)
            return step_single();
        if (!run_) {
            run_ = true;
            if (!collected_) {
                const std::vector<const char *> given = values();
                result_ = store_.run(sql_, int(given.size()), types_.data(), given.data());
            }
            const ExecStatusType status = PQresultStatus(result_);
            if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
                store_.failed(result_);
                failed_ = true;
            }
            rows_ = status == PGRES_TUPLES_OK ? PQntuples(result_) : 0;
        }
        if (failed_)
            return Step::Failed;
        return ++row_ < rows_ ? Step::Row : Step::Done;
    }

    bool null(int column) override { return PQgetisnull(result_, row_, column) != 0; }
    std::int64_t integer(int column) override { return std::strtoll(PQgetvalue(result_, row_, column), nullptr, 10); }
    double real(int column) override
    {
        const char *text = PQgetvalue(result_, row_, column);
        double value = 0;
        std::from_chars(text, text + std::strlen(text), value);
        return value;
    }
    std::string text(int column) override { return PQgetvalue(result_, row_, column); }

private:
    Step step_single()
    {
        if (!run_) {
            run_ = true;
            const std::vector<const char *> given = values();
            if (!PQsendQueryParams(conn_, sql_.c_str(), int(given.size()), types_.data(), given.data(), nullptr,
                                   nullptr, 0) ||
                !PQsetSingleRowMode(conn_)) {
                store_.failed(nullptr);
                failed_ = ended_ = true;
                drain(false);
            }
        }
        if (failed_ || ended_)
            return failed_ ? Step::Failed : Step::Done;
        PQclear(result_);
        result_ = PQgetResult(conn_);
        row_ = 0;
        const ExecStatusType status = PQresultStatus(result_);
        if (status == PGRES_SINGLE_TUPLE)
            return Step::Row;
        ended_ = true;
        failed_ = status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK;
        if (failed_)
            store_.failed(result_);
        drain(false);
        return failed_ ? Step::Failed : Step::Done;
    }

    // The rest of a result read and dropped, so that the connection takes
    // the next statement; cancel: the server is asked to stop sending.
    void drain(bool cancel)
    {
        if (cancel) {
            if (PGcancel *request = PQgetCancel(conn_)) {
                char error[256];
                PQcancel(request, error, sizeof error);
                PQfreeCancel(request);
            }
        }
        while (PGresult *rest = PQgetResult(conn_))
            PQclear(rest);
        ended_ = true;
    }

    void bind(int index, std::string value, Oid type)
    {
        if (index < 1 || std::size_t(index) > values_.size())
            return;
        values_[std::size_t(index - 1)] = std::move(value);
        bound_[std::size_t(index - 1)] = true;
        types_[std::size_t(index - 1)] = type;
    }

    PostgresStore &store_;
    pg_conn *conn_;
    std::string sql_;
    std::vector<std::string> values_;
    std::vector<bool> bound_;
    std::vector<Oid> types_;
    PGresult *result_ = nullptr;
    bool single_row_;
    bool run_ = false, failed_ = false, ended_ = false, collected_ = false;
    int rows_ = 0, row_ = -1;
};

}  // namespace

std::unique_ptr<Query> postgres_query(PostgresStore &store, pg_conn *conn, const std::string &sql, bool single_row)
{
    return std::make_unique<PostgresQuery>(store, conn, sql, single_row);
}

}  // namespace station
