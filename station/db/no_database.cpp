// A build without the database libraries: --db says so.
#include "database.h"

namespace station::db {
namespace {

const char *const not_available = "--db is not available on this build of wiretest-station";

} // namespace

bool available() { return false; }

bool clients_loaded(const Url &, std::string &why)
{
    why = not_available;
    return false;
}

bool server_url_accepted(const Url &, std::string &why)
{
    why = not_available;
    return false;
}

std::unique_ptr<Database> open_sqlite(const std::string &, std::string &why, Access)
{
    why = not_available;
    return nullptr;
}

std::unique_ptr<Database> open_postgresql(const Url &, std::string &why) { return open_sqlite("", why); }

bool server_identity(const Url &, std::string &, std::string &why)
{
    why = not_available;
    return false;
}

} // namespace station::db
