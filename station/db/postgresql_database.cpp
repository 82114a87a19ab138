// The line's database: a PostgreSQL server, through libpq. libpq's own
// environment (PGHOST, PGUSER, PGPASSWORD, PGSSLMODE...) and ~/.pgpass
// apply as for psql.
#include "database.h"

#include <libpq-fe.h>

namespace station::db {
namespace {

class Postgresql : public Database {
public:
    explicit Postgresql(PGconn *connection) : connection_(connection) {}
    ~Postgresql() override { PQfinish(connection_); }
    Postgresql(const Postgresql &) = delete;
    Postgresql &operator=(const Postgresql &) = delete;
    using Database::exec;

    bool exec(const std::string &sql, const std::vector<Value> &params, std::string &why) override
    {
        return run(sql, params, nullptr, why);
    }

    bool query(const std::string &sql, const std::vector<Value> &params, std::vector<Row> &rows,
               std::string &why) override
    {
        rows.clear();
        return run(sql, params, &rows, why);
    }

    // Writers of one record or of the schema take turns: two stations that
    // create the tables at once would otherwise collide in the catalogue.
    bool begin(std::string &why) override
    {
        return exec("BEGIN", why) && exec("SELECT pg_advisory_xact_lock(727174)", why);
    }

private:
    bool run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows, std::string &why)
    {
        std::vector<const char *> values;
        for (const Value &v : params)
            values.push_back(v ? v->c_str() : nullptr);
        PGresult *result =
            PQexecParams(connection_, sql.c_str(), int(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
        ExecStatusType status = PQresultStatus(result);
        bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok) {
            why = PQerrorMessage(connection_);
            while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
                why.pop_back();
        }
        if (ok && rows)
            for (int r = 0; r < PQntuples(result); r++) {
                Row row;
                for (int c = 0; c < PQnfields(result); c++)
                    if (PQgetisnull(result, r, c))
                        row.emplace_back(std::nullopt);
                    else
                        row.emplace_back(std::string(PQgetvalue(result, r, c), size_t(PQgetlength(result, r, c))));
                rows->push_back(std::move(row));
            }
        PQclear(result);
        return ok;
    }

    PGconn *connection_;
};

} // namespace

std::unique_ptr<Database> open_postgresql(const Url &url, std::string &why)
{
    // A server that does not answer must not hold a board's record up for
    // long: 5 s unless the URL says otherwise (its own values come later and win).
    const char *keys[] = {"connect_timeout", "application_name", "dbname", nullptr};
    const char *values[] = {"5", "wiretest-station", url.text.c_str(), nullptr};
    PGconn *connection = PQconnectdbParams(keys, values, 1);
    if (!connection) {
        why = "out of memory";
        return nullptr;
    }
    if (PQstatus(connection) != CONNECTION_OK) {
        why = PQerrorMessage(connection);
        while (!why.empty() && (why.back() == '\n' || why.back() == ' '))
            why.pop_back();
        PQfinish(connection);
        return nullptr;
    }
    // Notices (a table that exists already) are no news to an operator.
    PQsetNoticeProcessor(connection, [](void *, const char *) {}, nullptr);
    return std::make_unique<Postgresql>(connection);
}

} // namespace station::db
