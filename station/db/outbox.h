// Store and forward: the records meant for the line's server, committed to
// a SQLite file on the station first and sent from there, each removed only
// once the server has confirmed it. A record the server refuses for what
// it holds, and a row of the file the station cannot use, are set aside in
// the file's quarantine with the reason, so that the later ones flow on.
#pragma once

#include "database.h"

#include <memory>
#include <string>
#include <vector>

namespace station::db {

// What one send did.
struct Sent {
    long records = 0; // stored by the server
    long refused = 0; // records set aside: the server refused them
    std::string reason; // the server's reason for the first of them
    std::vector<std::string> damaged; // rows that could not be used, set aside: a line for each
};

class Outbox {
public:
    // The outbox file at path, for the server that url reaches; nullptr with
    // why. A file that kept its records by the URL's text is brought to the
    // servers' identities.
    static std::unique_ptr<Outbox> open(const std::string &path, const Url &url, std::string &why);

    // A board's record, or a session's end, to be sent; false with why.
    bool add_record(const std::string &record_id, const std::string &session_json, const std::string &record_json,
                    std::string &why);
    bool add_session(const std::string &session_json, std::string &why);

    // The rows of the file, for any server, that the station cannot use,
    // set aside: one line for each, naming the row; false with why.
    bool set_aside_damaged(std::vector<std::string> &said, std::string &why);

    // Sends what waits for this server, oldest first, over server (connected
    // and its schema prepared). A record the server refuses, or a row that
    // cannot be used, is set aside and the rest flow on; false with why
    // when the server itself failed.
    bool send(Database &server, Sent &sent, std::string &why);

    // Records waiting for this server, for other servers, and refused by
    // this one and set aside, and when the oldest waiting for this server
    // finished (Unix time, 0: none waits); false with why.
    struct Counts {
        long waiting = 0, for_others = 0, set_aside = 0;
        int64_t oldest_millis = 0;
    };
    bool counts(Counts &counts, std::string &why);

    // Puts this server's records that it refused back in line, in their
    // places, to be sent again; how many, -1 with why.
    long retry_set_aside(std::string &why);

private:
    Outbox(std::unique_ptr<Database> file, std::string server) : file_(std::move(file)), server_(std::move(server)) {}
    bool set_aside(const Value &seq, const std::string &reason, bool damaged, std::string &why);
    std::unique_ptr<Database> file_;
    std::string server_; // the server's identity: an outbox may hold records for several
};

// "3 records": a count and its noun, in the singular for one.
std::string counted(long n, const std::string &noun);

// Where the outbox is kept unless --outbox says: beside the user's data
// ($XDG_DATA_HOME, else ~/.local/share; %LOCALAPPDATA% on Windows).
std::string default_outbox_path();

// Opens the server and prepares its schema; nullptr with why (incompatible
// as prepare_schema sets it).
std::unique_ptr<Database> connect_server(const Url &url, std::string &why, bool *incompatible = nullptr);

} // namespace station::db
