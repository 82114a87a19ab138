// The station's own database: a SQLite file.
#include "client_libraries.h"
#include "database.h"

namespace station::db {
namespace {

// Another station or a reader holding the file waits this long, not fails.
const int busy_timeout_ms = 10000;

class Sqlite : public Database {
public:
    Sqlite(const Libsqlite3 &lib, sqlite3 *db) : lib_(lib), db_(db) {}
    ~Sqlite() override { lib_.close_v2(db_); }
    Sqlite(const Sqlite &) = delete;
    Sqlite &operator=(const Sqlite &) = delete;
    // IMMEDIATE: the write lock now, so that two writers never deadlock
    // upgrading their read locks.
    bool begin(std::string &why) override { return exec("BEGIN IMMEDIATE", why); }

    bool run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows,
             std::string &why) override
    {
        sqlite3_stmt *statement = nullptr;
        if (lib_.prepare_v2(db_, sql.c_str(), int(sql.size()), &statement, nullptr) != SQLITE_OK) {
            why = lib_.errmsg(db_);
            refused_ = false;
            return false;
        }
        bool ok = true;
        for (size_t i = 0; ok && i < params.size(); i++)
            ok = (params[i] ? lib_.bind_text(statement, int(i + 1), params[i]->data(), int(params[i]->size()),
                                                SQLITE_TRANSIENT)
                            : lib_.bind_null(statement, int(i + 1))) == SQLITE_OK;
        int step = SQLITE_OK;
        while (ok && (step = lib_.step(statement)) == SQLITE_ROW) {
            if (!rows)
                continue;
            Row row;
            for (int c = 0; c < lib_.column_count(statement); c++) {
                const unsigned char *value = lib_.column_text(statement, c);
                if (value)
                    row.emplace_back(std::string(reinterpret_cast<const char *>(value),
                                                 size_t(lib_.column_bytes(statement, c))));
                else
                    row.emplace_back(std::nullopt);
            }
            rows->push_back(std::move(row));
        }
        ok = ok && step == SQLITE_DONE;
        if (!ok) {
            why = lib_.errmsg(db_);
            // A constraint, a type or a size: the same statement fails again.
            refused_ = step == SQLITE_CONSTRAINT || step == SQLITE_MISMATCH || step == SQLITE_TOOBIG;
        }
        lib_.finalize(statement);
        return ok;
    }

private:
    const Libsqlite3 &lib_;
    sqlite3 *db_;
};

} // namespace

bool available() { return true; }

std::unique_ptr<Database> open_sqlite(const std::string &path, std::string &why, Access access)
{
    const Libsqlite3 *lib = libsqlite3(why);
    if (!lib)
        return nullptr;
    const bool read_only = access == Access::read_only;
    sqlite3 *db = nullptr;
    int flags = (read_only ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                SQLITE_OPEN_FULLMUTEX;
    if (lib->open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        why = db ? lib->errmsg(db) : "out of memory";
        lib->close_v2(db);
        return nullptr;
    }
    lib->busy_timeout(db, busy_timeout_ms);
    auto database = std::make_unique<Sqlite>(*lib, db);
    // A reader takes the file as its writers left it.
    if (read_only)
        return database;
    // WAL: readers and one writer at once; NORMAL sync is still whole
    // transactions after a crash, the last ones perhaps lost to a power cut:
    // FULL keeps them too, and a board a second is no load for it.
    if (!database->exec("PRAGMA journal_mode=WAL", why) || !database->exec("PRAGMA synchronous=FULL", why) ||
        !database->exec("PRAGMA foreign_keys=ON", why))
        return nullptr;
    return database;
}

} // namespace station::db
