#include "libpq.h"

#include <dlfcn.h>

namespace station::db {

const char *const libpq_soname = "libpq.so.5";

namespace {

struct Loaded {
    Libpq functions{};
    std::string why; // empty once loaded
};

// dlerror's text, or what to say when it has none.
std::string loader_error()
{
    const char *text = dlerror();
    return text ? text : "no reason given";
}

template <typename Function> bool resolve(void *library, const char *name, Function &function, std::string &why)
{
    function = reinterpret_cast<Function>(dlsym(library, name));
    if (!function)
        why = std::string(libpq_soname) + " has no " + name + " (" + loader_error() + ")";
    return function != nullptr;
}

Loaded load()
{
    Loaded loaded;
    // Never closed: the connections the outbox's thread holds use it until the end.
    void *library = dlopen(libpq_soname, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        loaded.why = std::string(libpq_soname) + " (PostgreSQL's client library, Debian's package libpq5) cannot be "
                     "loaded: " + loader_error();
        return loaded;
    }
    Libpq &f = loaded.functions;
    std::string &why = loaded.why;
    bool all = resolve(library, "PQconnectdbParams", f.connectdb_params, why) &&
               resolve(library, "PQstatus", f.status, why) &&
               resolve(library, "PQerrorMessage", f.error_message, why) &&
               resolve(library, "PQsetNoticeProcessor", f.set_notice_processor, why) &&
               resolve(library, "PQfinish", f.finish, why) && resolve(library, "PQexecParams", f.exec_params, why) &&
               resolve(library, "PQresultStatus", f.result_status, why) &&
               resolve(library, "PQntuples", f.ntuples, why) && resolve(library, "PQnfields", f.nfields, why) &&
               resolve(library, "PQgetisnull", f.getisnull, why) && resolve(library, "PQgetvalue", f.getvalue, why) &&
               resolve(library, "PQgetlength", f.getlength, why) && resolve(library, "PQclear", f.clear, why);
    if (!all)
        dlclose(library);
    return loaded;
}

} // namespace

const Libpq *libpq(std::string &why)
{
    static const Loaded loaded = load();
    if (!loaded.why.empty()) {
        why = loaded.why;
        return nullptr;
    }
    return &loaded.functions;
}

} // namespace station::db
