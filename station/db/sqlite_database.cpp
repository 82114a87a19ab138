// The station's own database: a SQLite file.
#include "database.h"

#include <sqlite3.h>

namespace station::db {
namespace {

// Another station or a reader holding the file waits this long, not fails.
const int busy_timeout_ms = 10000;

class Sqlite : public Database {
public:
    explicit Sqlite(sqlite3 *db) : db_(db) {}
    ~Sqlite() override { sqlite3_close_v2(db_); }
    Sqlite(const Sqlite &) = delete;
    Sqlite &operator=(const Sqlite &) = delete;
    // IMMEDIATE: the write lock now, so that two writers never deadlock
    // upgrading their read locks.
    bool begin(std::string &why) override { return exec("BEGIN IMMEDIATE", why); }

    bool run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows,
             std::string &why) override
    {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db_, sql.c_str(), int(sql.size()), &statement, nullptr) != SQLITE_OK) {
            why = sqlite3_errmsg(db_);
            return false;
        }
        bool ok = true;
        for (size_t i = 0; ok && i < params.size(); i++)
            ok = (params[i] ? sqlite3_bind_text(statement, int(i + 1), params[i]->data(), int(params[i]->size()),
                                                SQLITE_TRANSIENT)
                            : sqlite3_bind_null(statement, int(i + 1))) == SQLITE_OK;
        int step;
        while (ok && (step = sqlite3_step(statement)) == SQLITE_ROW) {
            if (!rows)
                continue;
            Row row;
            for (int c = 0; c < sqlite3_column_count(statement); c++) {
                const unsigned char *value = sqlite3_column_text(statement, c);
                if (value)
                    row.emplace_back(std::string(reinterpret_cast<const char *>(value),
                                                 size_t(sqlite3_column_bytes(statement, c))));
                else
                    row.emplace_back(std::nullopt);
            }
            rows->push_back(std::move(row));
        }
        ok = ok && step == SQLITE_DONE;
        if (!ok)
            why = sqlite3_errmsg(db_);
        sqlite3_finalize(statement);
        return ok;
    }

private:
    sqlite3 *db_;
};

} // namespace

bool available() { return true; }

std::unique_ptr<Database> open_sqlite(const std::string &path, std::string &why)
{
    sqlite3 *db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX;
    if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        why = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, busy_timeout_ms);
    auto database = std::make_unique<Sqlite>(db);
    // WAL: readers and one writer at once; NORMAL sync is still whole
    // transactions after a crash, the last ones perhaps lost to a power cut:
    // FULL keeps them too, and a board a second is no load for it.
    if (!database->exec("PRAGMA journal_mode=WAL", why) || !database->exec("PRAGMA synchronous=FULL", why) ||
        !database->exec("PRAGMA foreign_keys=ON", why))
        return nullptr;
    return database;
}

} // namespace station::db
