#include "client_libraries.h"

#include "database.h"
#include "loaded_library.h"

namespace station::db {

// The sonames are those of the interfaces the headers describe.
const Libpq *libpq(std::string &why)
{
    static const LoadedLibrary<Libpq> loaded = load_library<Libpq>(
        "libpq.so.5", "PostgreSQL's client library, Debian's package libpq5", [](Libpq &f, const auto &get) {
            get("PQconnectdbParams", f.connectdb_params);
            get("PQstatus", f.status);
            get("PQerrorMessage", f.error_message);
            get("PQsetNoticeProcessor", f.set_notice_processor);
            get("PQfinish", f.finish);
            get("PQsendQueryParams", f.send_query_params);
            get("PQsetnonblocking", f.set_nonblocking);
            get("PQflush", f.flush);
            get("PQsocket", f.socket);
            get("PQconsumeInput", f.consume_input);
            get("PQisBusy", f.is_busy);
            get("PQgetResult", f.get_result);
            get("PQconninfoParse", f.conninfo_parse);
            get("PQconninfoFree", f.conninfo_free);
            get("PQfreemem", f.freemem);
            get("PQresultStatus", f.result_status);
            get("PQntuples", f.ntuples);
            get("PQnfields", f.nfields);
            get("PQgetisnull", f.getisnull);
            get("PQgetvalue", f.getvalue);
            get("PQgetlength", f.getlength);
            get("PQclear", f.clear);
            get("PQresultErrorField", f.result_error_field);
            get("PQconndefaults", f.conndefaults);
        });
    return library_functions(loaded, why);
}

const Libsqlite3 *libsqlite3(std::string &why)
{
    static const LoadedLibrary<Libsqlite3> loaded = load_library<Libsqlite3>(
        "libsqlite3.so.0", "SQLite, Debian's package libsqlite3-0", [](Libsqlite3 &f, const auto &get) {
            get("sqlite3_open_v2", f.open_v2);
            get("sqlite3_close_v2", f.close_v2);
            get("sqlite3_busy_timeout", f.busy_timeout);
            get("sqlite3_errmsg", f.errmsg);
            get("sqlite3_prepare_v2", f.prepare_v2);
            get("sqlite3_bind_text", f.bind_text);
            get("sqlite3_bind_null", f.bind_null);
            get("sqlite3_step", f.step);
            get("sqlite3_column_count", f.column_count);
            get("sqlite3_column_text", f.column_text);
            get("sqlite3_column_bytes", f.column_bytes);
            get("sqlite3_finalize", f.finalize);
        });
    return library_functions(loaded, why);
}

// SQLite for either kind: a server's records wait in an outbox file.
bool clients_loaded(const Url &url, std::string &why)
{
    return libsqlite3(why) && (url.kind != Url::postgresql || libpq(why));
}

} // namespace station::db
