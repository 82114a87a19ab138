// wiretest-station's command line in three steps: parse reads the words
// into a CommandLine, validate checks them and chooses what the run does
// (pure: no file, device or database is touched, so tests call it as it
// is), and merge_fixture adds what a --fixture file says.
#pragma once

#include "database.h"
#include "run_options.h"
#include "wait.h"

#include <string>

namespace station {

// What the command line says, with which options were given at all.
struct CommandLine {
    RunOptions options;
    WaitOptions wait;
    bool list = false, waiting = false, forward = false;
    std::string channel = "A";
    std::string board; // a board's own test, in the process started for it
    std::string patterns = "standard";
    std::string serve_text, metrics_text;
    std::string fixture_file;
    std::string reset_slot;
    std::string product_file; // --product: each board's identity programmed
    bool reprogram = false;
    db::Url url;            // --db, parsed
    std::string url_refused; // why --db is no URL; "" when it is one or not given
    struct Given {
        bool board = false, records = false, junit = false, db = false, outbox = false, serve = false,
             metrics = false, retry_refused = false, station_id = false, lot = false, operator_name = false,
             fixture = false, reset = false, repeat = false, duration = false, count = false, product = false;
    } given;
};

// What a valid command line does.
enum class Mode { run, wait, list, board, forward, reset_cycles };

// Reads argv (hiding a --db URL's password in it for ps); false with the
// exit status when the run ends here (--help, --version, a usage error
// already said).
bool parse_command_line(int argc, char **argv, CommandLine &line, int &status);

// Checks the command line and settles what it leaves open (addresses,
// patterns, texts made printable); false with why for a usage error.
bool validate(CommandLine &line, Mode &mode, std::string &why);

// Reads the --fixture file: its slots become the ports, and its station,
// lot and operator fill what the command line left unsaid; false with why.
bool merge_fixture(CommandLine &line, std::string &why);

// Reads the --product file, checked against the EEPROM with the lot and
// station the serials carry (the fixture's, once merged); false with why.
bool load_product(CommandLine &line, std::string &why);

// Says why on standard error as a usage error; returns the exit status.
int usage_error(const std::string &why);

} // namespace station
