#include "client_libraries.h"

#include "database.h"

#include <dlfcn.h>
#include <type_traits>

namespace station::db {
namespace {

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

// The library soname (what it is, for a message) with each of its functions
// that take_all takes through the getter it is given. Never closed once
// loaded: connections that other threads hold use it until the end.
template <typename Functions, typename TakeAll>
Loaded<Functions> load(const char *soname, const char *what, TakeAll take_all)
{
    Loaded<Functions> loaded;
    void *library = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        loaded.why = std::string(soname) + " (" + what + ") cannot be loaded: " + loader_error();
        return loaded;
    }
    // The first function missing is the one said.
    auto get = [&](const char *name, auto &function) {
        if (!loaded.why.empty())
            return;
        function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(dlsym(library, name));
        if (!function)
            loaded.why = std::string(soname) + " has no " + name + " (" + loader_error() + ")";
    };
    take_all(loaded.functions, get);
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

// The sonames are those of the interfaces the headers describe.
const Libpq *libpq(std::string &why)
{
    static const Loaded<Libpq> loaded = load<Libpq>(
        "libpq.so.5", "PostgreSQL's client library, Debian's package libpq5", [](Libpq &f, const auto &get) {
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
        });
    return functions(loaded, why);
}

const Libsqlite3 *libsqlite3(std::string &why)
{
    static const Loaded<Libsqlite3> loaded = load<Libsqlite3>(
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
    return functions(loaded, why);
}

// SQLite for either kind: a server's records wait in an outbox file.
bool clients_loaded(const Url &url, std::string &why)
{
    return libsqlite3(why) && (url.kind != Url::postgresql || libpq(why));
}

} // namespace station::db
