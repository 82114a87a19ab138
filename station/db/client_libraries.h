// The databases' client libraries, loaded the first time a run needs them
// rather than at every start: libpq alone brings twenty libraries of its
// own (Kerberos, LDAP, TLS...), and SQLite's symbols are as many for the
// dynamic loader to look up as the C++ library's; together they were most
// of a fast run's time.
#pragma once

#include <libpq-fe.h>
#include <sqlite3.h>

#include <string>

namespace station::db {

// The functions the station calls, with the types the libraries' headers give them.
struct Libpq {
    decltype(&PQconnectdbParams) connectdb_params;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) error_message;
    decltype(&PQsetNoticeProcessor) set_notice_processor;
    decltype(&PQfinish) finish;
    decltype(&PQsendQueryParams) send_query_params;
    decltype(&PQsetnonblocking) set_nonblocking;
    decltype(&PQflush) flush;
    decltype(&PQsocket) socket;
    decltype(&PQconsumeInput) consume_input;
    decltype(&PQisBusy) is_busy;
    decltype(&PQgetResult) get_result;
    decltype(&PQconninfoParse) conninfo_parse;
    decltype(&PQconninfoFree) conninfo_free;
    decltype(&PQfreemem) freemem;
    decltype(&PQresultStatus) result_status;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQgetlength) getlength;
    decltype(&PQclear) clear;
    decltype(&PQresultErrorField) result_error_field;
    decltype(&PQconndefaults) conndefaults;
};

struct Libsqlite3 {
    decltype(&sqlite3_open_v2) open_v2;
    decltype(&sqlite3_close_v2) close_v2;
    decltype(&sqlite3_busy_timeout) busy_timeout;
    decltype(&sqlite3_errmsg) errmsg;
    decltype(&sqlite3_prepare_v2) prepare_v2;
    decltype(&sqlite3_bind_text) bind_text;
    decltype(&sqlite3_bind_null) bind_null;
    decltype(&sqlite3_step) step;
    decltype(&sqlite3_column_count) column_count;
    decltype(&sqlite3_column_text) column_text;
    decltype(&sqlite3_column_bytes) column_bytes;
    decltype(&sqlite3_finalize) finalize;
};

// Each library loaded once for the process (from any thread) and kept;
// nullptr with why when it cannot be loaded or lacks one of the functions.
const Libpq *libpq(std::string &why);
const Libsqlite3 *libsqlite3(std::string &why);

struct Url;
// A PostgreSQL URL as libpq's own parser reads it (free with
// conninfo_free); nullptr with why, which never shows the password.
PQconninfoOption *parse_conninfo(const Libpq &pq, const Url &url, std::string &why);

} // namespace station::db
