// The line's database: a PostgreSQL server, through libpq. libpq's own
// environment (PGHOST, PGUSER, PGPASSWORD, PGSSLMODE...) and ~/.pgpass
// apply as for psql.
#include "database.h"
#include "client_libraries.h"
#include "printable.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>

namespace station::db {
namespace {

using Clock = std::chrono::steady_clock;

// The limits a frozen or vanished server meets, unless the URL (or libpq's
// environment) sets its own: a connection gives up after connect_timeout, a
// quiet one is probed by TCP keepalives, unacknowledged data fails after
// tcp_user_timeout, and the server ends a statement after statement_timeout.
const char default_connect_timeout[] = "5";          // seconds
const char default_statement_timeout_ms[] = "5000";
const int default_statement_timeout_ms_value = 5000;
// The station waits for a statement's answer that long and this much more:
// a server that stopped (SIGSTOP, a hung machine) cannot end its statement.
const auto answer_grace = std::chrono::milliseconds(1000);

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
    return companions::printable(text);
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

    // The answer is awaited on the socket, never longer than the limit: a
    // server that stopped answering ends the connection, not the station.
    bool run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows,
             std::string &why) override
    {
        if (!lost_.empty()) {
            refused_ = false;
            why = lost_;
            return false;
        }
        std::vector<const char *> values;
        values.reserve(params.size());
        for (const Value &v : params)
            values.push_back(v ? v->c_str() : nullptr);
        if (!pq_.send_query_params(connection_, sql.c_str(), int(values.size()), nullptr, values.data(), nullptr,
                                   nullptr, 0)) {
            why = one_line(pq_.error_message(connection_));
            refused_ = false;
            return false;
        }
        const Clock::time_point deadline = Clock::now() + answer_limit_;
        bool ok = true;
        std::string first_error;
        for (;;) {
            if (!await_answer(deadline, why)) {
                refused_ = false;
                return false;
            }
            PGresult *result = pq_.get_result(connection_);
            if (!result)
                break;
            ExecStatusType status = pq_.result_status(result);
            if (status != PGRES_COMMAND_OK && status != PGRES_TUPLES_OK) {
                if (ok) {
                    first_error = one_line(pq_.error_message(connection_));
                    refused_ = refused_for_content(pq_.result_error_field(result, PG_DIAG_SQLSTATE));
                }
                ok = false;
            }
            if (ok && rows)
                for (int r = 0; r < pq_.ntuples(result); r++) {
                    Row row;
                    for (int c = 0; c < pq_.nfields(result); c++)
                        if (pq_.getisnull(result, r, c))
                            row.emplace_back(std::nullopt);
                        else
                            row.emplace_back(
                                std::string(pq_.getvalue(result, r, c), size_t(pq_.getlength(result, r, c))));
                    rows->push_back(std::move(row));
                }
            pq_.clear(result);
        }
        if (!ok)
            why = first_error;
        return ok;
    }

    // How long an answer is awaited: the statement timeout in force (the
    // URL's, PGOPTIONS', the role's or the station's) and a grace.
    bool read_answer_limit(std::string &why)
    {
        std::vector<Row> rows;
        if (!query("SELECT setting FROM pg_settings WHERE name = 'statement_timeout'", {}, rows, why))
            return false;
        long long ms = 0;
        if (!rows.empty() && !whole_number(rows[0][0], ms))
            ms = 0; // a setting the server gives as no number: the station's own limit
        answer_limit_ = std::chrono::milliseconds(ms > 0 ? ms : default_statement_timeout_ms_value) + answer_grace;
        return true;
    }

private:
    // Sends what libpq holds and reads until an answer is whole; false with
    // why when the connection failed or the deadline passed.
    bool await_answer(Clock::time_point deadline, std::string &why)
    {
        for (;;) {
            int unsent = pq_.flush(connection_);
            if (unsent < 0 || !pq_.consume_input(connection_)) {
                why = one_line(pq_.error_message(connection_));
                return false;
            }
            if (unsent == 0 && !pq_.is_busy(connection_))
                return true;
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            pollfd socket{pq_.socket(connection_), short(POLLIN | (unsent ? POLLOUT : 0)), 0};
            int ready = left > 0 ? poll(&socket, 1, int(left)) : 0;
            if (ready < 0 && errno != EINTR) {
                why = "the connection to the server failed";
                return false;
            }
            if (ready == 0) {
                double seconds = double(std::chrono::duration_cast<std::chrono::milliseconds>(answer_limit_).count()) / 1000;
                char text[96];
                snprintf(text, sizeof text, "the server did not answer within %.3g s", seconds);
                lost_ = why = text;
                return false;
            }
        }
    }

    const Libpq &pq_;
    PGconn *connection_;
    std::chrono::milliseconds answer_limit_{default_statement_timeout_ms_value + answer_grace.count()};
    std::string lost_; // once a deadline passed, the connection is given up
};

bool is_port_list(const std::string &text)
{
    size_t start = 0;
    for (;;) {
        size_t end = text.find(',', start);
        std::string port = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        if (!port.empty() && (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
                              std::stoi(port) < 1 || std::stoi(port) > 65535))
            return false;
        if (end == std::string::npos)
            return true;
        start = end + 1;
    }
}

bool is_whole_number(const std::string &text)
{
    size_t digits = text.rfind('-', 0) == 0 ? 1 : 0;
    return text.size() > digits && text.size() < 10 + digits &&
           text.find_first_not_of("0123456789", digits) == std::string::npos;
}

// What libpq checks only when it connects, said before the first board.
std::string value_refused(const std::string &key, const std::string &value)
{
    struct Choice {
        const char *key, *values;
    };
    static const Choice choices[] = {
        {"sslmode", " disable allow prefer require verify-ca verify-full "},
        {"gssencmode", " disable prefer require "},
        {"channel_binding", " disable prefer require "},
        {"target_session_attrs", " any read-write read-only primary standby prefer-standby "},
    };
    if (key == "port")
        return is_port_list(value) ? "" : "not a port number (1 to 65535)";
    for (const Choice &choice : choices)
        if (key == choice.key)
            return value.find(' ') == std::string::npos &&
                           std::string(choice.values).find(" " + value + " ") != std::string::npos
                       ? ""
                       : "not one of" + std::string(choice.values).substr(0, strlen(choice.values) - 1);
    for (const char *number : {"connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
                               "keepalives_count", "tcp_user_timeout"})
        if (key == number)
            return is_whole_number(value) ? "" : "not a whole number";
    return "";
}

// A message about the URL, with no password in it.
std::string without_passwords(std::string message, const Url &url)
{
    for (const auto &[offset, length] : url.passwords) {
        const std::string password = url.text.substr(offset, length);
        for (size_t at = 0; !password.empty() && (at = message.find(password, at)) != std::string::npos; at += 3)
            message.replace(at, password.size(), "...");
    }
    return message;
}

} // namespace

PQconninfoOption *parse_conninfo(const Libpq &pq, const Url &url, std::string &why)
{
    char *error = nullptr;
    PQconninfoOption *options = pq.conninfo_parse(url.text.c_str(), &error);
    if (!options) {
        why = without_passwords(error ? one_line(error) : "out of memory", url);
        pq.freemem(error);
    }
    return options;
}

bool server_url_accepted(const Url &url, std::string &why)
{
    const Libpq *pq = libpq(why);
    if (!pq)
        return false;
    PQconninfoOption *options = parse_conninfo(*pq, url, why);
    if (!options)
        return false;
    for (const PQconninfoOption *option = options; option->keyword && why.empty(); option++)
        if (option->val)
            if (std::string refused = value_refused(option->keyword, option->val); !refused.empty())
                why = without_passwords(std::string(option->keyword) + "=" + companions::printable(option->val) +
                                            ": " + refused,
                                        url);
    pq->conninfo_free(options);
    return why.empty();
}

std::unique_ptr<Database> open_postgresql(const Url &url, std::string &why)
{
    // Defaults come before the URL, whose own values come later and win;
    // PGOPTIONS' settings follow the station's own statement timeout and
    // win as well. The text is exchanged as UTF-8 whatever the database's
    // encoding: the server converts it, or refuses what it cannot hold.
    const char *pgoptions = std::getenv("PGOPTIONS");
    const std::string options = std::string("-c statement_timeout=") + default_statement_timeout_ms +
                                (pgoptions ? std::string(" ") + pgoptions : "");
    const char *keys[] = {"connect_timeout", "keepalives",       "keepalives_idle", "keepalives_interval",
                          "keepalives_count", "tcp_user_timeout", "options",         "application_name",
                          "dbname",           "client_encoding",  nullptr};
    const char *values[] = {default_connect_timeout, "1", "5", "2", "3", "10000", options.c_str(), "wiretest-station",
                            url.text.c_str(),        "UTF8", nullptr};
    const Libpq *pq = libpq(why);
    if (!pq)
        return nullptr;
    PGconn *connection = pq->connectdb_params(keys, values, 1);
    if (!connection) {
        why = "out of memory";
        return nullptr;
    }
    if (pq->status(connection) != CONNECTION_OK || pq->set_nonblocking(connection, 1) != 0) {
        why = without_passwords(one_line(pq->error_message(connection)), url);
        pq->finish(connection);
        return nullptr;
    }
    // Notices (a table that exists already) are no news to an operator.
    pq->set_notice_processor(connection, [](void *, const char *) {}, nullptr);
    auto database = std::make_unique<Postgresql>(*pq, connection);
    if (!database->read_answer_limit(why))
        return nullptr;
    return database;
}

} // namespace station::db
