// Serial numbers from counters, in blocks where a server keeps the counter.
#include "serials.h"

#include <chrono>

namespace identity {
namespace {

using station::db::Database;
using station::db::Row;
using station::db::Value;

const char *const tables[] = {
    // The next counter value of each series (where this database keeps it).
    "CREATE TABLE IF NOT EXISTS serial_counters (series TEXT PRIMARY KEY, next_seq BIGINT NOT NULL)",
    // Numbers reserved from a counter: on the server, every station's; in a
    // station's file, its own, with the next one it takes.
    "CREATE TABLE IF NOT EXISTS serial_blocks (series TEXT NOT NULL, first_seq BIGINT NOT NULL, "
    "last_seq BIGINT NOT NULL, next_seq BIGINT NOT NULL, station TEXT NOT NULL, reserved_at BIGINT NOT NULL, "
    "PRIMARY KEY (series, first_seq))",
    // Every number handed out: assigned before the chip is written, then
    // programmed or spent. A number is in here once at most.
    "CREATE TABLE IF NOT EXISTS serial_assignments (series TEXT NOT NULL, seq BIGINT NOT NULL, "
    "serial TEXT, station TEXT NOT NULL, location TEXT NOT NULL, state TEXT NOT NULL, "
    "assigned_at BIGINT NOT NULL, PRIMARY KEY (series, seq))",
    // The last guard: one serial, one board, whatever the series.
    "CREATE UNIQUE INDEX IF NOT EXISTS serial_assignments_serial ON serial_assignments (serial)",
    // What a board's programming found and did, by its record (its
    // record's "identity").
    "CREATE TABLE IF NOT EXISTS board_identities (record_id TEXT PRIMARY KEY, serial_before TEXT, "
    "serial_after TEXT, eeprom TEXT, state TEXT, checksum TEXT, written INTEGER, verified INTEGER, kept INTEGER, "
    "allocated TEXT, failed_step TEXT, failed_word BIGINT)",
};

std::string now_ms()
{
    using namespace std::chrono;
    return std::to_string(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
}

// Ends a transaction that failed, keeping the why of its failure.
bool roll_back(Database &database, const std::string &)
{
    std::string ignored;
    database.exec("ROLLBACK", ignored);
    return false;
}

// count numbers from the series' counter of database, inside a transaction
// the caller began: *first is the first of them.
bool take_from_counter(Database &database, const std::string &series, long long count, long long &first,
                       std::string &why)
{
    std::vector<Row> rows;
    if (!database.query("SELECT next_seq FROM serial_counters WHERE series = $1", {series}, rows, why))
        return false;
    first = 1;
    if (!rows.empty() && !station::db::whole_number(rows[0].at(0), first)) {
        why = "the counter of series '" + series + "' holds no number";
        return false;
    }
    // Parameters are numbered in the order they first appear.
    if (rows.empty())
        return database.exec("INSERT INTO serial_counters (series, next_seq) VALUES ($1, $2)",
                             {series, std::to_string(first + count)}, why);
    return database.exec("UPDATE serial_counters SET next_seq = $1 WHERE series = $2",
                         {std::to_string(first + count), series}, why);
}

} // namespace

bool prepare_serial_tables(Database &database, std::string &why)
{
    for (const char *sql : tables)
        if (!database.exec(sql, why))
            return false;
    return true;
}

bool store_board_identity(Database &database, const nlohmann::json &record, std::string &why)
{
    auto found = record.find("identity");
    if (found == record.end() || !found->is_object())
        return true;
    const nlohmann::json &id = *found;
    auto text = [&](const char *key) -> Value {
        auto v = id.find(key);
        return v == id.end() || v->is_null() ? Value() : Value(v->is_string() ? v->get<std::string>() : v->dump());
    };
    auto flag = [&](const char *key) -> Value { return id.value(key, false) ? "1" : "0"; };
    return database.exec("INSERT INTO board_identities (record_id, serial_before, serial_after, eeprom, state, "
                         "checksum, written, verified, kept, allocated, failed_step, failed_word) VALUES "
                         "($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11, $12)",
                         {record.value("record_id", ""), text("serial_before"), text("serial_after"), text("eeprom"),
                          text("state"), text("checksum"), flag("written"), flag("verified"), flag("kept"),
                          text("allocated"), text("failed_step"), text("failed_word")},
                         why);
}

bool SerialAllocator::reserve_block(const std::string &series, std::string &why)
{
    std::unique_ptr<Database> server = server_(why);
    if (!server)
        return false;
    long long first = 0;
    if (!prepare_serial_tables(*server, why) || !server->begin(why))
        return false;
    if (!take_from_counter(*server, series, block_size_, first, why))
        return roll_back(*server, why);
    std::vector<Value> block = {series, std::to_string(first), std::to_string(first + block_size_ - 1),
                                station_, now_ms()};
    const char *insert = "INSERT INTO serial_blocks (series, first_seq, last_seq, next_seq, station, reserved_at) "
                         "VALUES ($1, $2, $3, $2, $4, $5)";
    if (!server->exec(insert, block, why) || !server->exec("COMMIT", why))
        return roll_back(*server, why);
    // Kept by the station from now on. Lost between the two (a crash), the
    // block is spent, never given twice.
    return journal_.exec(insert, block, why);
}

bool SerialAllocator::take(const std::string &series, const std::string &location,
                           const std::function<std::string(long long, std::string &)> &serial_of, std::string &serial,
                           std::string &why)
{
    long long seq = 0;
    if (!prepare_serial_tables(journal_, why))
        return false;
    for (int attempt = 0; attempt < 2; attempt++) {
        if (!journal_.begin(why))
            return false;
        bool found = false;
        if (server_) {
            std::vector<Row> rows;
            if (!journal_.query("SELECT first_seq, next_seq FROM serial_blocks WHERE series = $1 AND station = $2 "
                                "AND next_seq <= last_seq ORDER BY first_seq LIMIT 1",
                                {series, station_}, rows, why))
                return roll_back(journal_, why);
            if (!rows.empty()) {
                long long first = 0;
                if (!station::db::whole_number(rows[0].at(0), first) ||
                    !station::db::whole_number(rows[0].at(1), seq)) {
                    why = "a block of series '" + series + "' holds no number";
                    return roll_back(journal_, why);
                }
                found = journal_.exec("UPDATE serial_blocks SET next_seq = $1 WHERE series = $2 AND first_seq = $3",
                                      {std::to_string(seq + 1), series, std::to_string(first)}, why);
                if (!found)
                    return roll_back(journal_, why);
            }
        } else {
            if (!take_from_counter(journal_, series, 1, seq, why))
                return roll_back(journal_, why);
            found = true;
        }
        if (found) {
            serial = serial_of(seq, why);
            if (serial.empty())
                return roll_back(journal_, why);
            if (!journal_.exec("INSERT INTO serial_assignments (series, seq, serial, station, location, state, "
                               "assigned_at) VALUES ($1, $2, $3, $4, $5, 'assigned', $6)",
                               {series, std::to_string(seq), serial, station_, location, now_ms()}, why) ||
                !journal_.exec("COMMIT", why))
                return roll_back(journal_, why);
            return true;
        }
        roll_back(journal_, why);
        // The block is used up: another from the server, then take again.
        std::string server_why;
        if (attempt > 0 || !reserve_block(series, server_why)) {
            why = "no serial left in this station's block, and none could be reserved from the server" +
                  (server_why.empty() ? std::string() : ": " + server_why);
            return false;
        }
    }
    return false;
}

bool SerialAllocator::settle(const std::string &serial, const std::string &state, std::string &why)
{
    return journal_.exec("UPDATE serial_assignments SET state = $1 WHERE serial = $2", {state, serial}, why);
}

} // namespace identity
