// What a station run is asked to do, as its command line says.
#pragma once

#include "board_result.h"
#include "fast_options.h"
#include "fixture_file.h"
#include "targets.h"
#include "product_profile.h"
#include "serve_address.h"

#include <optional>
#include <string>
#include <vector>

namespace station {

struct RunOptions {
    Selection selection;
    Fixture fixture; // with --fixture: its slots are the selection's ports
    RunContext context;
    int jobs = 0; // boards under test at once; 0: all
    bool json = false;
    std::string records_dir;
    std::string junit_file;
    std::string db_url;      // --db: sqlite:PATH or a postgresql:// URL
    std::string outbox;      // the outbox of a PostgreSQL server's records; "": the default
    bool retry_refused = false; // --forward: the records the server refused, sent again
    std::optional<page::ServeAddress> serve; // --serve: the station's page
    std::optional<page::ServeAddress> metrics; // --metrics: /metrics alone
    std::string command_line; // as the session's row in the database keeps it
    FastOptions fast; // with context.fast
    double board_timeout_s = 0; // a board's process is ended past this; 0: its mode's deadline
    std::vector<std::string> driver_options; // handed on to each board's process
    int retest = 0;              // an ERROR tested again up to this many times
    bool count_attempts = false; // every record says its attempt (--retest given)
    std::optional<identity::StationIdentity> identity; // --product: each board's EEPROM programmed
};

} // namespace station
