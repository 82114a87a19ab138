// Serial numbers that are never given twice. Each comes from a counter per
// series (the serial template) in a database:
//  - one SQLite file shared by the stations that use it: each serial taken
//    in a transaction that no other writer enters;
//  - a line's PostgreSQL server: the station reserves a block of numbers
//    from the server's counter and keeps it in its own SQLite file, where
//    it takes serials from the block without the server, so that a station
//    cut off from the server goes on until its block runs out.
// Every serial is journalled, with the board's place, before it is handed
// out: written before the chip is; a serial whose programming failed is
// marked spent and never taken again.
#pragma once

#include "database.h"

#include <nlohmann/json.hpp>

#include <functional>
#include <memory>
#include <string>

namespace identity {

// The tables, in a database where they are missing: the counters, the
// blocks reserved from them, and the serials handed out.
bool prepare_serial_tables(station::db::Database &database, std::string &why);

// A board record's "identity", into board_identities, when it has one.
bool store_board_identity(station::db::Database &database, const nlohmann::json &record, std::string &why);

class SerialAllocator {
public:
    // journal: the station's SQLite file (the --db file without a server).
    // server: connects to the line's server (nullptr with why when it
    // cannot be reached); empty: the journal holds the counter itself.
    SerialAllocator(station::db::Database &journal,
                    std::function<std::unique_ptr<station::db::Database>(std::string &)> server,
                    std::string station, long long block_size = 100)
        : journal_(journal), server_(std::move(server)), station_(std::move(station)), block_size_(block_size)
    {
    }

    // The next counter value of series, made a serial by serial_of ("" with
    // why: none) and recorded as assigned to the board at location before
    // it is returned; false with why (the journal cannot be written; the
    // block is used up and the server cannot be reached).
    bool take(const std::string &series, const std::string &location,
              const std::function<std::string(long long, std::string &)> &serial_of, std::string &serial,
              std::string &why);

    // What became of a serial handed out: "programmed", or "spent" (its
    // programming failed: it is never taken again).
    bool settle(const std::string &serial, const std::string &state, std::string &why);

private:
    bool reserve_block(const std::string &series, std::string &why);
    station::db::Database &journal_;
    std::function<std::unique_ptr<station::db::Database>(std::string &)> server_;
    std::string station_;
    long long block_size_;
};

} // namespace identity
