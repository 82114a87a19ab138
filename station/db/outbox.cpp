#include "outbox.h"

#include "files.h"
#include "printable.h"

#include <nlohmann/json.hpp>

#include <filesystem>

namespace station::db {
namespace {

// user_version of an outbox file: 1 once its rows are kept by the servers'
// identities and it has its quarantine; 0 before, by the URLs' text.
const int outbox_format = 1;

const char *const outbox_tables[] = {
    "CREATE TABLE IF NOT EXISTS outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, server TEXT NOT NULL, "
    "kind TEXT NOT NULL, record_id TEXT, session TEXT NOT NULL, record TEXT)",
    // Rows set aside, with why: kept as they were, to be sent again after a fix.
    // damaged: a row the station could not read, rather than one the server refused.
    "CREATE TABLE IF NOT EXISTS quarantine (seq INTEGER PRIMARY KEY, server TEXT, kind TEXT, record_id TEXT, "
    "session TEXT, record TEXT, reason TEXT NOT NULL, damaged INTEGER NOT NULL)",
};

bool rolled_back(Database &file)
{
    std::string ignored;
    file.exec("ROLLBACK", ignored);
    return false;
}

// A JSON object holding key as text.
bool object_with(const Value &json, const char *key)
{
    if (!json)
        return false;
    nlohmann::json object = nlohmann::json::parse(*json, nullptr, false);
    return object.is_object() && object.contains(key) && object[key].is_string();
}

// Why the station cannot send an outbox row (kind, session, record); "" when it can.
std::string unusable(const Value &kind, const Value &session, const Value &record)
{
    if (!kind || (*kind != "record" && *kind != "session"))
        return "its kind is " + (kind ? "'" + companions::printable(*kind) + "'" : std::string("NULL")) +
               ", neither record nor session";
    if (!session)
        return "its session is NULL";
    if (!object_with(session, "session_id"))
        return "its session is not a session's JSON";
    if (*kind == "session")
        return "";
    if (!record)
        return "its record is NULL";
    return object_with(record, "record_id") ? "" : "its record is not a record's JSON";
}

// The row as a line names it: its place in the file, and its record where it has one.
std::string row_name(const Value &seq, const Value &record_id)
{
    return "outbox row " + companions::printable(seq.value_or("?")) +
           (record_id ? " (record " + companions::printable(*record_id) + ")" : "");
}

// Rows kept by a URL's text, from before the identities: each brought to
// its server's identity, once, by the first station to open the file.
bool key_by_identity(Database &file, std::string &why)
{
    std::vector<Row> rows;
    if (!file.begin(why))
        return false;
    if (!file.query("PRAGMA user_version", {}, rows, why))
        return rolled_back(file);
    long long format = 0;
    if (!rows.empty() && whole_number(rows[0].at(0), format) && format >= outbox_format)
        return file.exec("COMMIT", why);
    if (!file.query("SELECT DISTINCT server FROM outbox WHERE server IS NOT NULL", {}, rows, why))
        return rolled_back(file);
    for (const Row &row : rows) {
        Url url;
        std::string identity, unknown;
        // A key no URL reads is left as it is: its rows wait, counted for another server.
        if (!parse_url(*row.at(0), url, unknown) || url.kind != Url::postgresql ||
            !server_identity(url, identity, unknown))
            continue;
        if (!file.exec("UPDATE outbox SET server = $1 WHERE server = $2", {identity, row[0]}, why))
            return rolled_back(file);
    }
    return file.exec("PRAGMA user_version = " + std::to_string(outbox_format), why) && file.exec("COMMIT", why);
}

} // namespace

std::string counted(long n, const std::string &noun) { return std::to_string(n) + " " + noun + (n == 1 ? "" : "s"); }

std::unique_ptr<Outbox> Outbox::open(const std::string &path, const Url &url, std::string &why)
{
    std::string identity;
    if (!server_identity(url, identity, why)) {
        why = "cannot read the server's URL " + url.shown + ": " + why;
        return nullptr;
    }
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::u8path(path).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);
    std::unique_ptr<Database> file = open_sqlite(path, why);
    bool ready = file != nullptr;
    for (const char *sql : outbox_tables)
        ready = ready && file->exec(sql, why);
    if (!ready || !key_by_identity(*file, why)) {
        why = "cannot open the outbox " + path + ": " + why;
        return nullptr;
    }
    return std::unique_ptr<Outbox>(new Outbox(std::move(file), identity));
}

bool Outbox::add_record(const std::string &record_id, const std::string &session_json,
                        const std::string &record_json, std::string &why)
{
    return file_->exec("INSERT INTO outbox (server, kind, record_id, session, record) VALUES ($1, 'record', $2, $3, $4)",
                       {server_, record_id, session_json, record_json}, why);
}

bool Outbox::add_session(const std::string &session_json, std::string &why)
{
    return file_->exec("INSERT INTO outbox (server, kind, session) VALUES ($1, 'session', $2)",
                       {server_, session_json}, why);
}

bool Outbox::set_aside(const Value &seq, const std::string &reason, bool damaged, std::string &why)
{
    if (!file_->begin(why))
        return false;
    if (!file_->exec("INSERT INTO quarantine (seq, server, kind, record_id, session, record, reason, damaged) "
                     "SELECT seq, server, kind, record_id, session, record, $1, $2 FROM outbox WHERE seq = $3",
                     {reason, damaged ? "1" : "0", seq}, why) ||
        !file_->exec("DELETE FROM outbox WHERE seq = $1", {seq}, why))
        return rolled_back(*file_);
    return file_->exec("COMMIT", why);
}

bool Outbox::set_aside_damaged(std::vector<std::string> &said, std::string &why)
{
    std::vector<Row> rows;
    if (!file_->query("SELECT seq, kind, session, record, record_id FROM outbox ORDER BY seq", {}, rows, why))
        return false;
    for (const Row &row : rows) {
        std::string damage = unusable(row[1], row[2], row[3]);
        if (damage.empty())
            continue;
        if (!set_aside(row[0], "cannot be used: " + damage, true, why))
            return false;
        said.push_back(row_name(row[0], row[4]) + " cannot be used (" + damage +
                       "): set aside in the outbox's quarantine");
    }
    return true;
}

bool Outbox::send(Database &server, Sent &sent, std::string &why)
{
    sent = Sent{};
    for (;;) {
        std::vector<Row> items;
        if (!file_->query("SELECT seq, kind, session, record FROM outbox WHERE server = $1 ORDER BY seq LIMIT 64",
                          {server_}, items, why))
            return false;
        if (items.empty())
            return true;
        for (const Row &item : items) {
            const bool record = item[1] == Value("record");
            std::string damage = unusable(item[1], item[2], item[3]), reason;
            if (!damage.empty()) { // written by something else since the start
                if (!set_aside(item[0], "cannot be used: " + damage, true, why))
                    return false;
                sent.damaged.push_back(row_name(item[0], std::nullopt) + " cannot be used (" + damage +
                                       "): set aside in the outbox's quarantine");
                continue;
            }
            bool stored = record ? store_record(server, *item[2], *item[3], reason)
                                 : store_session(server, *item[2], reason);
            if (!stored && !server.refused()) { // the server's own fault, or the connection's: everything waits
                why = reason;
                return false;
            }
            if (!stored) { // never to pass as it is: set aside, and the rest flow on
                if (!set_aside(item[0], reason, false, why))
                    return false;
                sent.refused += record;
                if (sent.reason.empty())
                    sent.reason = reason;
                continue;
            }
            // Confirmed: only now does it leave. Should this fail, the next
            // send stores nothing twice.
            if (!file_->exec("DELETE FROM outbox WHERE seq = $1", {item[0]}, why))
                return false;
            sent.records += record;
        }
    }
}

bool Outbox::counts(Counts &counts, std::string &why)
{
    std::vector<Row> rows;
    if (!file_->query("SELECT (SELECT COUNT(*) FROM outbox WHERE kind = 'record' AND server = $1), "
                      "(SELECT COUNT(*) FROM outbox WHERE kind = 'record' AND server IS NOT $1), "
                      "(SELECT COUNT(*) FROM quarantine WHERE kind = 'record' AND server = $1 AND damaged = 0), "
                      "COALESCE((SELECT json_extract(record, '$.end_time_millis') FROM outbox "
                      "WHERE kind = 'record' AND server = $1 AND json_valid(record) ORDER BY seq LIMIT 1), 0)",
                      {server_}, rows, why))
        return false;
    long long waiting = 0, for_others = 0, refused = 0, oldest = 0;
    if (rows.size() != 1 || !whole_number(rows[0].at(0), waiting) || !whole_number(rows[0].at(1), for_others) ||
        !whole_number(rows[0].at(2), refused)) {
        why = "the outbox's counts are no numbers";
        return false;
    }
    // A record whose finish time cannot be read ages from no time at all.
    if (!whole_number(rows[0].at(3), oldest))
        oldest = 0;
    counts = {long(waiting), long(for_others), long(refused), int64_t(oldest)};
    return true;
}

long Outbox::retry_set_aside(std::string &why)
{
    std::vector<Row> rows;
    if (!file_->begin(why))
        return -1;
    // Back in their places: a session's end still follows its records.
    // A damaged row stays: it would only be found damaged again.
    if (!file_->query("SELECT COUNT(*) FROM quarantine WHERE server = $1 AND damaged = 0 AND kind = 'record'",
                      {server_}, rows, why) ||
        !file_->exec("INSERT INTO outbox (seq, server, kind, record_id, session, record) SELECT seq, server, kind, "
                     "record_id, session, record FROM quarantine WHERE server = $1 AND damaged = 0",
                     {server_}, why) ||
        !file_->exec("DELETE FROM quarantine WHERE server = $1 AND damaged = 0", {server_}, why)) {
        rolled_back(*file_);
        return -1;
    }
    long long moved = 0;
    whole_number(rows.at(0).at(0), moved);
    return file_->exec("COMMIT", why) ? long(moved) : -1;
}

std::string default_outbox_path()
{
    return (std::filesystem::u8path(user_data_folder()) / "wiretest-station" / "outbox.sqlite").u8string();
}

std::unique_ptr<Database> connect_server(const Url &url, std::string &why, bool *incompatible)
{
    if (incompatible)
        *incompatible = false;
    std::unique_ptr<Database> server = open(url, why);
    if (server && !prepare_schema(*server, why, incompatible))
        server.reset();
    return server;
}

} // namespace station::db
