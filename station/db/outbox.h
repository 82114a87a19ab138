// Store and forward: the records meant for the line's server, committed to
// a SQLite file on the station first and sent from there, each removed only
// once the server has confirmed it.
#pragma once

#include "database.h"

#include <memory>
#include <string>

namespace station::db {

class Outbox {
public:
    // The outbox file at path, for the server that url names; nullptr with why.
    static std::unique_ptr<Outbox> open(const std::string &path, const Url &url, std::string &why);

    // A board's record, or a session's end, to be sent; false with why.
    bool add_record(const std::string &record_id, const std::string &session_json, const std::string &record_json,
                    std::string &why);
    bool add_session(const std::string &session_json, std::string &why);

    // Sends what waits, oldest first, over server (connected and its schema
    // prepared), counting the records sent; false with why when the server failed.
    bool send(Database &server, long &sent, std::string &why);
    // What waits for this server; -1 with why.
    long waiting(std::string &why);

private:
    Outbox(std::unique_ptr<Database> file, std::string server) : file_(std::move(file)), server_(std::move(server)) {}
    std::unique_ptr<Database> file_;
    std::string server_; // the server's URL without a password: an outbox may hold records for several
};

// Where the outbox is kept unless --outbox says: beside the user's data
// ($XDG_DATA_HOME, else ~/.local/share; %LOCALAPPDATA% on Windows).
std::string default_outbox_path();

// Opens the server and prepares its schema; nullptr with why.
std::unique_ptr<Database> connect_server(const Url &url, std::string &why);

} // namespace station::db
