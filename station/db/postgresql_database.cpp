// The line's database: a PostgreSQL server, through libpq. libpq's own
// environment (PGHOST, PGUSER, PGPASSWORD, PGSSLMODE...) and ~/.pgpass
// apply as for psql.
#include "database.h"

#include <libpq-fe.h>

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

class Postgresql : public Database {
public:
    explicit Postgresql(PGconn *connection) : connection_(connection) {}
    ~Postgresql() override { PQfinish(connection_); }
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
            PQexecParams(connection_, sql.c_str(), int(values.size()), nullptr, values.data(), nullptr, nullptr, 0);
        ExecStatusType status = PQresultStatus(result);
        bool ok = status == PGRES_COMMAND_OK || status == PGRES_TUPLES_OK;
        if (!ok)
            why = one_line(PQerrorMessage(connection_));
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

private:
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
        why = one_line(PQerrorMessage(connection));
        PQfinish(connection);
        return nullptr;
    }
    // Notices (a table that exists already) are no news to an operator.
    PQsetNoticeProcessor(connection, [](void *, const char *) {}, nullptr);
    return std::make_unique<Postgresql>(connection);
}

} // namespace station::db
