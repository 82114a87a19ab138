// libpq, PostgreSQL's client library, loaded the first time a station needs
// a server rather than at every start: it brings twenty libraries of its
// own (Kerberos, LDAP, TLS...) whose loading would be most of a fast run.
#pragma once

#include <libpq-fe.h>

#include <string>

namespace station::db {

// The libpq functions the station calls, with the types libpq-fe.h gives them.
struct Libpq {
    decltype(&PQconnectdbParams) connectdb_params;
    decltype(&PQstatus) status;
    decltype(&PQerrorMessage) error_message;
    decltype(&PQsetNoticeProcessor) set_notice_processor;
    decltype(&PQfinish) finish;
    decltype(&PQexecParams) exec_params;
    decltype(&PQresultStatus) result_status;
    decltype(&PQntuples) ntuples;
    decltype(&PQnfields) nfields;
    decltype(&PQgetisnull) getisnull;
    decltype(&PQgetvalue) getvalue;
    decltype(&PQgetlength) getlength;
    decltype(&PQclear) clear;
};

// The library's soname: the interface libpq-fe.h describes.
extern const char *const libpq_soname;

// libpq loaded once for the process (from any thread) and kept; nullptr
// with why when it cannot be loaded or lacks one of the functions.
const Libpq *libpq(std::string &why);

} // namespace station::db
