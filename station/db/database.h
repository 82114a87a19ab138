// The databases a station writes its records into: SQLite on the station,
// PostgreSQL for the whole line, behind one small interface. Every value
// reaches the database as a bound parameter, never as SQL text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace station::db {

using Value = std::optional<std::string>; // NULL, or the value as text
using Row = std::vector<Value>;

class Database {
public:
    virtual ~Database() = default;
    // One statement, parameters $1, $2, ... in the order they first appear;
    // its rows into rows, when rows is given. false with why.
    virtual bool run(const std::string &sql, const std::vector<Value> &params, std::vector<Row> *rows,
                     std::string &why) = 0;
    // Begins a transaction that no other writer of the database enters
    // until it ends; false with why.
    virtual bool begin(std::string &why) = 0;

    bool exec(const std::string &sql, const std::vector<Value> &params, std::string &why)
    {
        return run(sql, params, nullptr, why);
    }
    bool exec(const std::string &sql, std::string &why) { return run(sql, {}, nullptr, why); }
    bool query(const std::string &sql, const std::vector<Value> &params, std::vector<Row> &rows, std::string &why)
    {
        rows.clear();
        return run(sql, params, &rows, why);
    }
    // Whether the last statement that failed was refused for what it holds
    // (a constraint, a type, a value), so that as it is it fails again,
    // rather than for the connection or the server's state of the moment.
    // Set by every failure: a ROLLBACK after it keeps it.
    bool refused() const { return refused_; }

protected:
    bool refused_ = false;
};

// A whole number that a database holds as text; false for anything else
// (text, a fraction, a number past 64 bits): a value the station did not
// write is checked, never trusted.
bool whole_number(const Value &value, long long &number);

// What a --db URL names.
struct Url {
    enum Kind { sqlite, postgresql } kind = sqlite;
    std::string path;  // sqlite:PATH
    std::string text;  // a PostgreSQL URI as given, for libpq
    std::string shown; // the URL as messages and stored rows show it: never its password, printable
    std::vector<std::pair<size_t, size_t>> passwords; // where text holds a password: offset and length
};

// "sqlite:PATH" or "postgresql://..." (or "postgres://..."); false with why.
bool parse_url(const std::string &text, Url &url, std::string &why);

// The URL's password overwritten in the program's own command line, where an
// argument is the URL or --db=URL, so that ps and /proc show other users no secret.
void hide_password(int argc, char **argv, const std::string &url_text, const Url &url);

// Whether libpq takes a postgresql:// URL: its own parser, and the values it
// would refuse only when connecting (a port, sslmode...); false with why,
// which never holds the password.
bool server_url_accepted(const Url &url, std::string &why);

// Whether this build has the databases at all.
bool available();

// Whether the client libraries that a --db of the URL's kind needs load
// (they are loaded at their first use); false with why.
bool clients_loaded(const Url &url, std::string &why);

// read_only: a reader's connection. A SQLite file must be there already
// and is neither created nor written; a server's is as any other, the
// reader's role needing no more than SELECT.
enum class Access { read_write, read_only };

// An open connection; nullptr with why. A SQLite file is created where
// missing and opened in WAL mode with a busy timeout, so that several
// stations and readers share it.
std::unique_ptr<Database> open_sqlite(const std::string &path, std::string &why,
                                      Access access = Access::read_write);
std::unique_ptr<Database> open_postgresql(const Url &url, std::string &why);
std::unique_ptr<Database> open(const Url &url, std::string &why, Access access = Access::read_write);

// The version of the schema this station writes.
extern const int schema_version;

// The version of the schema a database holds, read without writing; false
// with why where it holds no station's tables.
bool read_schema_version(Database &database, int &version, std::string &why);

// Creates the tables where missing and brings an older schema up to this
// one; false with why. incompatible, when given, is set when the database
// itself is not for this station (a newer schema, a version that is no
// number): no retry mends that.
bool prepare_schema(Database &database, std::string &why, bool *incompatible = nullptr);

// Which server and database a PostgreSQL URL reaches, whatever its
// spelling: its host (localhost, 127.0.0.1 and ::1 alike; a socket folder
// is a host of its own), port and database, libpq's defaults filled in, as
// a connection string ("host=localhost port=5432 dbname=line"); false with why.
bool server_identity(const Url &url, std::string &identity, std::string &why);

// One board's record (the station's JSON record, with its session) in one
// transaction: the board is in the database whole or not at all. A record
// already there (its record_id) is left as it is, so that a resend after a
// lost answer stores nothing twice.
bool store_record(Database &database, const std::string &session_json, const std::string &record_json,
                  std::string &why);

// The session's end time, once it ended.
bool store_session(Database &database, const std::string &session_json, std::string &why);

} // namespace station::db
