// A build without the database libraries: --db says so.
#include "database.h"

namespace station::db {

bool available() { return false; }

std::unique_ptr<Database> open_sqlite(const std::string &, std::string &why)
{
    why = "--db is not available on this build of wiretest-station";
    return nullptr;
}

std::unique_ptr<Database> open_postgresql(const Url &url, std::string &why) { return open_sqlite(url.path, why); }

} // namespace station::db
