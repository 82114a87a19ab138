// The line's database: a PostgreSQL server, through libpq. libpq's own
// environment (PGHOST, PGUSER, PGPASSWORD, PGSSLMODE...) and ~/.pgpass
// apply as for psql.
#include "database.h"
#include "client_libraries.h"

#include <cstring>

namespace station::db {
namespace {

// libpq's message, its lines joined: one line on the station's screen.
std::string one_line(const char *message)
{
    std::string text;
    bool gap = false;
    for (const char *c = message; *c; c++) {
        if (*c == '\n') {
            gap = true;
            continue;
        }
        if (gap && !text.empty())
            text += "; ";
        gap = false;
        text += *c;
    }
    return text;
}

// SQLSTATE classes of a statement refused for what it holds: cardinality,
// data exception, integrity constraint, triggered data change, syntax or
// access rule, check option, and a trigger's own RAISE. Every other class
// (08 connection, 40 rollback, 53 resources, 57 operator...) and no
// SQLSTATE at all (the connection lost) may pass when tried again.
bool refused_for_content(const char *sqlstate)
{
    if (!sqlstate || std::strlen(sqlstate) != 5)
        return false;
    for (const char *refused : {"21", "22", "23", "27", "42", "44", "P0"})
        if (std::strncmp(sqlstate, refused, 2) == 0)
            return true;
    return false;
}

class Postgresql : public Database {
public:
    Postgresql(const Libpq &pq, PGconn *connection) : pq_(pq), connection_(connection) {}
    ~Postgresql() override { pq_.finish(connection_); }
    Postgresql(const Postgresql &) = delete;
    Postgresql &operator=(const Postgresql &) = delete;
    // Writers of one record or of the schema take turns: two stations that
    // create the tables at once would otherwise collide in the catalogue.
    bool begin(std::string &why) override
    {
        return exec("BEGIN", why) && exec("SELECT pg_advisory_xact_lock(727174)", why);
    }

    bool run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows,
             std::string &why) override
    {
        std::vector<const char *> values;
        values.reserve(params.size());
        for (const Value &v : params)
            values.push_back(v ? v->c_str() : nullptr);
        PGresult *result =
            pq_.exec_params(connection_, sql.c_str(), int(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
        ExecStatusType status = pq_.result_status(result);
        bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok) {
            why = one_line(pq_.error_message(connection_));
            refused_ = result && refused_for_content(pq_.result_error_field(result, PG_DIAG_SQLSTATE));
        }
        if (ok && rows)
            for (int r = 0; r < pq_.ntuples(result); r++) {
                Row row;
                for (int c = 0; c < pq_.nfields(result); c++)
                    if (pq_.getisnull(result, r, c))
                        row.emplace_back(std::nullopt);
                    else
                        row.emplace_back(std::string(pq_.getvalue(result, r, c), size_t(pq_.getlength(result, r, c))));
                rows->push_back(std::move(row));
            }
        pq_.clear(result);
        return ok;
    }

private:
    const Libpq &pq_;
    PGconn *connection_;
};

} // namespace

std::unique_ptr<Database> open_postgresql(const Url &url, std::string &why)
{
    // A server that does not answer must not hold a board's record up for
    // long: 5 s unless the URL says otherwise (its own values come later and win).
    const char *keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char *values[] = {"5", "wiretest-station", url.text.c_str(), nullptr};
    const Libpq *pq = libpq(why);
    if (!pq)
        return nullptr;
    PGconn *connection = pq->connectdb_params(keys, values, 1);
    if (!connection) {
        why = "out of memory";
        return nullptr;
    }
    if (pq->status(connection) != CONNECTION_OK) {
        why = one_line(pq->error_message(connection));
        pq->finish(connection);
        return nullptr;
    }
    // Notices (a table that exists already) are no news to an operator.
    pq->set_notice_processor(connection, [](void *, const char *) {}, nullptr);
    return std::make_unique<Postgresql>(*pq, connection);
}

} // namespace station::db
