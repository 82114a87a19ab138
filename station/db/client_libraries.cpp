#include "client_libraries.h"

#include "database.h"

#include <dlfcn.h>

namespace station::db {
namespace {

// The sonames of the interfaces the headers describe, and the Debian
// packages that hold them.
const char *const libpq_soname = "libpq.so.5";
const char *const libsqlite3_soname = "libsqlite3.so.0";

template <typename Functions> struct Loaded {
    Functions functions{};
    std::string why; // empty once loaded
};

// dlerror's text, or what to say when it has none.
std::string loader_error()
{
    const char *text = dlerror();
    return text ? text : "no reason given";
}

// Never closed once loaded: connections that other threads hold use it until the end.
void *open_library(const char *soname, const char *what, std::string &why)
{
    void *library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library)
        why = std::string(soname) + " (" + what + ") cannot be loaded: " + loader_error();
    return library;
}

// The function name of library into function, unless an earlier one was
// missing: why then says which.
template <typename Function>
void resolve(void *library, const char *soname, const char *name, Function &function, std::string &why)
{
    if (!why.empty())
        return;
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (!function)
        why = std::string(soname) + " has no " + name + " (" + loader_error() + ")";
}

Loaded<Libpq> load_libpq()
{
    Loaded<Libpq> loaded;
    void *library = open_library(libpq_soname, "PostgreSQL's client library, Debian's package libpq5", loaded.why);
    if (!library)
        return loaded;
    Libpq &f = loaded.functions;
    auto get = [&](const char *name, auto &function) { resolve(library, libpq_soname, name, function, loaded.why); };
    get("PQconnectdbParams", f.connectdb_params);
    get("PQstatus", f.status);
    get("PQerrorMessage", f.error_message);
    get("PQsetNoticeProcessor", f.set_notice_processor);
    get("PQfinish", f.finish);
    get("PQexecParams", f.exec_params);
    get("PQresultStatus", f.result_status);
    get("PQntuples", f.ntuples);
    get("PQnfields", f.nfields);
    get("PQgetisnull", f.getisnull);
    get("PQgetvalue", f.getvalue);
    get("PQgetlength", f.getlength);
    get("PQclear", f.clear);
    if (!loaded.why.empty())
        dlclose(library);
    return loaded;
}

Loaded<Libsqlite3> load_libsqlite3()
{
    Loaded<Libsqlite3> loaded;
    void *library = open_library(libsqlite3_soname, "SQLite, Debian's package libsqlite3-0", loaded.why);
    if (!library)
        return loaded;
    Libsqlite3 &f = loaded.functions;
    auto get = [&](const char *name, auto &function) {
        resolve(library, libsqlite3_soname, name, function, loaded.why);
    };
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
    if (!loaded.why.empty())
        dlclose(library);
    return loaded;
}

template <typename Functions> const Functions *functions(const Loaded<Functions> &loaded, std::string &why)
{
    if (!loaded.why.empty()) {
        why = loaded.why;
        return nullptr;
    }
    return &loaded.functions;
}

} // namespace

const Libpq *libpq(std::string &why)
{
    static const Loaded<Libpq> loaded = load_libpq();
    return functions(loaded, why);
}

const Libsqlite3 *libsqlite3(std::string &why)
{
    static const Loaded<Libsqlite3> loaded = load_libsqlite3();
    return functions(loaded, why);
}

// SQLite for either kind: a server's records wait in an outbox file.
bool clients_loaded(const Url &url, std::string &why)
{
    return libsqlite3(why) && (url.kind != Url::postgresql || libpq(why));
}

} // namespace station::db
