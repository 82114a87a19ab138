#include "outbox.h"

#include <cstdlib>
#include <filesystem>

namespace station::db {

std::unique_ptr<Outbox> Outbox::open(const std::string &path, const Url &url, std::string &why)
{
    std::error_code ec;
    std::filesystem::path folder = std::filesystem::u8path(path).parent_path();
    if (!folder.empty())
        std::filesystem::create_directories(folder, ec);
    std::unique_ptr<Database> file = open_sqlite(path, why);
    if (!file || !file->exec("CREATE TABLE IF NOT EXISTS outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT, "
                             "server TEXT NOT NULL, kind TEXT NOT NULL, record_id TEXT, session TEXT NOT NULL, "
                             "record TEXT)",
                             why)) {
        why = "cannot open the outbox " + path + ": " + why;
        return nullptr;
    }
    return std::unique_ptr<Outbox>(new Outbox(std::move(file), url.shown));
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

bool Outbox::send(Database &server, long &sent, std::string &why)
{
    sent = 0;
    for (;;) {
        std::vector<Row> items;
        if (!file_->query("SELECT seq, kind, session, record FROM outbox WHERE server = $1 ORDER BY seq LIMIT 64",
                          {server_}, items, why))
            return false;
        if (items.empty())
            return true;
        for (const Row &item : items) {
            bool stored = *item[1] == "record" ? store_record(server, *item[2], item[3].value_or(""), why)
                                               : store_session(server, *item[2], why);
            if (!stored)
                return false;
            // Confirmed: only now does it leave. Should this fail, the next
            // send stores nothing twice.
            if (!file_->exec("DELETE FROM outbox WHERE seq = $1", {item[0]}, why))
                return false;
            sent += *item[1] == "record";
        }
    }
}

long Outbox::waiting(std::string &why)
{
    std::vector<Row> rows;
    if (!file_->query("SELECT COUNT(*) FROM outbox WHERE server = $1 AND kind = 'record'", {server_}, rows, why))
        return -1;
    return std::stol(rows.at(0).at(0).value_or("0"));
}

std::string default_outbox_path()
{
    namespace fs = std::filesystem;
#ifdef _WIN32
    const char *base = std::getenv("LOCALAPPDATA");
    fs::path data = base && *base ? fs::u8path(base) : fs::path(".");
#else
    const char *xdg = std::getenv("XDG_DATA_HOME"), *home = std::getenv("HOME");
    fs::path data = xdg && *xdg ? fs::u8path(xdg) : home && *home ? fs::u8path(home) / ".local/share" : fs::path(".");
#endif
    return (data / "wiretest-station" / "outbox.sqlite").u8string();
}

std::unique_ptr<Database> connect_server(const Url &url, std::string &why)
{
    std::unique_ptr<Database> server = open(url, why);
    if (server && !prepare_schema(*server, why))
        server.reset();
    return server;
}

} // namespace station::db
