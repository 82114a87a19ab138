#include "command_line.h"

#include "fixture_file.h"
#include "host_name.h"
#include "outbox.h"
#include "page_server.h"
#include "printable.h"
#include "station_programming.h"
#include "targets.h"

#include <CLI/CLI.hpp>

#include <ctime>

#include <cstdio>

namespace station {
namespace {

using companions::is_blank;

// A number of seconds in range; CLI11's Range lets NaN through.
CLI::Validator seconds_between(double low, double high)
{
    return CLI::Validator(
        [low, high](const std::string &text) {
            double value = 0;
            if (CLI::detail::lexical_cast(text, value) && value >= low && value <= high)
                return std::string();
            char range[64];
            snprintf(range, sizeof range, "from %.15g to %.15g", low, high);
            return "not a number of seconds " + std::string(range) + ": " + text;
        },
        "SECONDS");
}

// The command line as a session's row keeps it: each argument quoted where
// a shell would need it, the --db URL as messages show it, and made printable.
std::string command_line(int argc, char **argv, const std::string &db_url, const std::string &db_shown)
{
    std::string line = "wiretest-station";
    for (int i = 1; i < argc; i++) {
        std::string arg = argv[i];
        if (!db_url.empty() && (arg == db_url || arg == "--db=" + db_url))
            arg.replace(arg.size() - db_url.size(), db_url.size(), db_shown);
        bool plain = !arg.empty() && arg.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                                           "0123456789-_.,:/=@+") == std::string::npos;
        if (!plain) {
            std::string quoted = "'";
            for (char c : arg)
                quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
            arg = quoted + "'";
        }
        line += " " + arg;
    }
    return companions::printable(line);
}

std::string not_a_location(const char *option, const std::string &text)
{
    return std::string(option) + " '" + companions::printable(text) +
           "': not a location as --list prints them (1-2.3, or 0x and hex digits)";
}

// --serve and --metrics: an address the page's server can listen at.
bool serve_address(const char *option, const std::string &text, std::optional<page::ServeAddress> &address,
                   std::string &why)
{
    page::ServeAddress parsed;
    if (!page::parse_serve_address(text, parsed, why)) {
        why = std::string(option) + " " + why;
        return false;
    }
    if (!page::available()) {
        why = std::string(option) + " is not available on this build of wiretest-station";
        return false;
    }
    address = parsed;
    return true;
}

} // namespace

int usage_error(const std::string &why)
{
    // A command line's own bytes (an escape sequence, Latin-1) act on no terminal.
    fprintf(stderr, "wiretest-station: usage error: %s (see --help)\n", companions::printable(why).c_str());
    return exit_station;
}

bool parse_command_line(int argc, char **argv, CommandLine &line, int &status)
{
    CLI::App app{"Tests the wiring of boards found by the USB port they are plugged into, several at once,\n"
                 "and keeps a record of each.",
                 "wiretest-station"};
    app.set_version_flag("--version", std::string("wiretest-station ") + version);
    RunOptions &options = line.options;
    WaitOptions &wait = line.wait;
    app.add_flag("--list", line.list, "list the MPSSE channels plugged in, opening none");
    app.add_flag("--all", options.selection.all, "test every chip found");
    // One value each: in "--port 1-1 extra", extra is no port.
    app.add_option("--port", options.selection.ports, "test the chip plugged at this location (repeatable)")
        ->type_name("LOC")
        ->allow_extra_args(false);
    app.add_option("--serial", options.selection.serials, "test the chip with this serial number (repeatable)")
        ->type_name("S")
        ->allow_extra_args(false);
    // C and D have no MPSSE on any chip, and no chip with a high GPIO byte
    // has more than two channels.
    app.add_option("--channel", line.channel, "the channel tested on each chip, A or B (default A)")
        ->check(CLI::IsMember({"A", "B"}));
    app.add_flag("--short", options.context.short_test, "drive only the four fixed patterns");
    app.add_option("--patterns", line.patterns,
                   "the pattern set: standard (the thirteen patterns, the default), locate (walking ones and a "
                   "constant-weight code, the driven byte read back: locates every modelled single and double "
                   "fault), deep (locate, then each net driven low alone with the others as inputs held by the "
                   "chip's weak pull-ups, read after a 1 ms settle wait: finds resistive bridges); locate and "
                   "deep run with --fast")
        ->type_name("SET")
        ->check(CLI::IsMember({"standard", "locate", "deep"}));
    app.add_flag("--delay", options.context.short_waits, "make every settle wait 10 ms");
    app.add_flag("--fast", options.context.fast, "the whole test in one USB round trip, without settle waits");
    app.add_option("--settle-us", options.fast.settle_us, "with --fast: at least N us between setting a pattern and reading it")
        ->type_name("N")
        ->check(CLI::Range(0u, 1000000u));
    auto *repeat = app.add_option("--repeat", options.fast.repeat, "with --fast: test each board N times without reopening it")
        ->type_name("N")
        ->check(CLI::Range(1L, 100000000L));
    auto *duration = app.add_option("--duration", options.fast.duration_s, "with --fast: test each board over and over for SECONDS")
        ->type_name("SECONDS")
        ->check(seconds_between(0.001, 31536000))
        ->excludes(repeat);
    app.add_option("--board-timeout", options.board_timeout_s,
                   "end a board's test that has not finished after SECONDS, as an ERROR (default: its mode's "
                   "schedule and a margin)")
        ->type_name("SECONDS")
        ->check(seconds_between(0.001, 31536000));
    app.add_option("--jobs", options.jobs, "test at most N boards at once (default: all)")
        ->type_name("N")
        ->check(CLI::Range(1, 1000));
    app.add_flag("--wait", line.waiting, "test each board the moment it is plugged in, until Ctrl-C or --count");
    auto *count = app.add_option("--count", wait.count, "with --wait: end after N boards")
        ->type_name("N")
        ->check(CLI::Range(1, 1000000000));
    app.add_flag("--scan", wait.scan,
                 "with --wait and --port or --fixture: read each board's label from standard input first (with "
                 "several slots, the slot's name, then the label)");
    app.add_flag("--json", options.json, "print the records, one JSON object per line, and nothing else");
    auto *records = app.add_option("--records", options.records_dir, "write each board's record into DIR")
        ->type_name("DIR");
    auto *junit = app.add_option("--junit", options.junit_file, "write the JUnit XML of the run to FILE")
        ->type_name("FILE");
    auto *db = app.add_option("--db", options.db_url,
                              "write each board's record into a database: sqlite:PATH, or a postgresql:// URL "
                              "(through a local outbox)")
        ->type_name("URL");
    // Its default is looked up for --help only: no run needs it before it opens the outbox.
    auto *outbox = app.add_option("--outbox", options.outbox)->type_name("PATH");
    auto *serve = app.add_option("--serve", line.serve_text,
                                 "serve the station's live page at [ADDR:]PORT while it tests (ADDR default: 127.0.0.1)")
                      ->type_name("[ADDR:]PORT");
    auto *metrics = app.add_option("--metrics", line.metrics_text,
                                   "serve the station's metrics alone (OpenMetrics, for Prometheus) at "
                                   "[ADDR:]PORT/metrics while it tests; --serve serves them too")
                        ->type_name("[ADDR:]PORT");
    app.add_flag("--forward", line.forward, "send the records waiting in the outbox to the --db server, then exit");
    auto *retry_refused = app.add_flag("--retry-refused", options.retry_refused,
                                       "with --forward: send again the records the server refused, after a fix");
    options.context.station_id = host_name();
    auto *station_id = app.add_option("--station-id", options.context.station_id,
                                      "the station's name in the records (default: host name)")
        ->type_name("ID");
    auto *lot = app.add_option("--lot", options.context.lot, "the production lot, in every record")->type_name("L");
    auto *operator_name =
        app.add_option("--operator", options.context.operator_name, "who runs the station, in every record")
            ->type_name("NAME");
    auto *retest = app.add_option("--retest", options.retest,
                                  "test a board whose outcome is ERROR again at once, up to N times (0 to 10, "
                                  "default 0); each attempt has a record")
        ->type_name("N")
        ->check(CLI::Range(0, 10));
    auto *fixture = app.add_option("--fixture", line.fixture_file, "test the slots of the fixture described in FILE (TOML)")
        ->type_name("FILE");
    auto *reset = app.add_option("--reset-cycles", line.reset_slot,
                                 "with --fixture: count the slot's insertions from 0 after its contacts were changed, "
                                 "and exit")
        ->type_name("SLOT");
    // Each board's identity programmed into its chip's EEPROM.
    auto *product = app.add_option("--product", line.product_file,
                                   "program each board that passes (or every tested board, as FILE's [product] "
                                   "says) with the product's strings and a serial of the line; needs --db")
                        ->type_name("FILE");
    app.add_flag("--reprogram", line.reprogram, "with --product: write over an image another maker left in the EEPROM");
    auto *board = app.add_option("--board", line.board)->group("");
    app.footer("Exit status: 0 every board passed, 1 a board failed and none had an ERROR,\n"
               "3 a board had an ERROR or a target matched nothing (test again),\n"
               "2 the station could not do its job (a usage error, a failed listing, lost output,\n"
               "a record or the JUnit file not written), whatever the boards did.\n");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        outbox->description("with a postgresql:// --db: keep the records to be sent in PATH (default: " +
                            db::default_outbox_path() + ")");
        status = app.exit(e);
        return false;
    } catch (const CLI::CallForVersion &e) {
        status = app.exit(e);
        return false;
    } catch (const CLI::ParseError &e) {
        status = usage_error(e.what());
        return false;
    }
    auto at = [](const CLI::Option *option) { return option->count() > 0; };
    line.given = {at(board),  at(records),       at(junit),      at(db),         at(outbox),  at(serve),
                  at(metrics), at(retry_refused), at(station_id), at(lot),        at(operator_name),
                  at(fixture), at(reset),         at(repeat),     at(duration),   at(count),    at(product)};
    options.count_attempts = retest->count() > 0;
    bool url_parsed = !(line.given.db || line.forward) || db::parse_url(options.db_url, line.url, line.url_refused);
    options.command_line = command_line(argc, argv, url_parsed ? options.db_url : "", line.url.shown);
    if (url_parsed)
        db::hide_password(argc, argv, options.db_url, line.url);
    return true;
}

bool validate(CommandLine &line, Mode &mode, std::string &why)
{
    RunOptions &options = line.options;
    const CommandLine::Given &given = line.given;
    // An unset variable in a script ("--records $DIR") must not lose every
    // record without a word, nor a blank name make a record nobody can find.
    if ((given.records && options.records_dir.empty()) || (given.junit && options.junit_file.empty())) {
        why = std::string(given.records && options.records_dir.empty() ? "--records" : "--junit") + " '': an empty path";
        return false;
    }
    if (given.retry_refused && !line.forward) {
        why = "--retry-refused belongs to --forward";
        return false;
    }
    if (given.db || line.forward) {
        if (!line.url_refused.empty()) {
            why = line.url_refused;
            return false;
        }
        if (!db::available()) {
            why = "--db is not available on this build of wiretest-station";
            return false;
        }
        if (given.outbox && (options.outbox.empty() || line.url.kind != db::Url::postgresql)) {
            why = "--outbox takes a path, and belongs to a postgresql:// --db";
            return false;
        }
        if (line.forward) {
            if (line.url.kind != db::Url::postgresql) {
                why = "--forward sends an outbox to a postgresql:// --db";
                return false;
            }
            mode = Mode::forward;
            return true;
        }
    } else if (given.outbox) {
        why = "--outbox belongs to a postgresql:// --db";
        return false;
    }
    if ((given.serve && !serve_address("--serve", line.serve_text, options.serve, why)) ||
        (given.metrics && !serve_address("--metrics", line.metrics_text, options.metrics, why)))
        return false;
    if (given.station_id && is_blank(options.context.station_id)) {
        why = "--station-id '" + companions::printable(options.context.station_id) + "': a blank name";
        return false;
    }
    const Selection &selection = options.selection;
    if (given.fixture) {
        if (selection.all || !selection.ports.empty() || !selection.serials.empty()) {
            why = "--fixture names the boards to test: it takes no --port, --serial or --all";
            return false;
        }
        if (given.reset) {
            mode = Mode::reset_cycles; // once the fixture's file names the slot
            return true;
        }
    } else if (given.reset) {
        why = "--reset-cycles names a slot of a --fixture";
        return false;
    }
    // The texts every record, screen, page and database row carry, kept once
    // as they all show them: a byte no output could hold (a Latin-1
    // terminal's --operator) ends no run, and the page's counts of the
    // station find the rows stored under its name.
    for (std::string *text : {&options.context.station_id, &options.context.lot, &options.context.operator_name})
        *text = companions::printable(*text);
    // A field the line sorts its records by is never blank.
    if (given.lot && is_blank(options.context.lot)) {
        why = "--lot '" + options.context.lot + "': a blank value";
        return false;
    }
    if (given.operator_name && is_blank(options.context.operator_name)) {
        why = "--operator '" + options.context.operator_name + "': a blank name";
        return false;
    }
    for (const std::string &serial : selection.serials)
        if (is_blank(serial)) {
            why = "--serial '" + companions::printable(serial) + "': a blank value";
            return false;
        }
    for (const std::string &port : selection.ports)
        if (!is_location(port)) {
            why = not_a_location("--port", port);
            return false;
        }
    options.selection.channel = line.channel[0];
    options.fast.short_test = options.context.short_test;
    options.context.patterns = *diagnose::pattern_set_named(line.patterns);
    options.fast.patterns = options.context.patterns;
    if (options.context.patterns != diagnose::PatternSet::standard && !options.context.fast) {
        why = "--patterns " + line.patterns + " runs in one USB round trip: add --fast";
        return false;
    }
    if (options.context.patterns != diagnose::PatternSet::standard && options.context.short_test) {
        why = "--short is a part of the thirteen patterns: it goes with --patterns standard only";
        return false;
    }
    if (given.duration)
        options.fast.repeat = 0; // until the time is up
    if (!options.context.fast && (given.repeat || given.duration || options.fast.settle_us > 0)) {
        why = "--repeat, --duration and --settle-us run the fast test: add --fast";
        return false;
    }
    if (options.context.fast && options.context.short_waits) {
        why = "--fast makes no settle waits: --delay has nothing to shorten";
        return false;
    }
    if (given.product && !given.db) {
        why = "--product takes its serials from --db: give --db";
        return false;
    }
    if (line.reprogram && !given.product && !given.fixture) { // a fixture's [product] is checked as it is read
        why = "--reprogram belongs to --product";
        return false;
    }

    if (!line.board.empty() || given.board) {
        if (!is_location(line.board)) {
            why = not_a_location("--board", line.board);
            return false;
        }
        mode = Mode::board;
        return true;
    }
    // A fixture's slots are the ports, once its file is read.
    bool ports = !selection.ports.empty() || given.fixture;
    if (!line.waiting && (given.count || line.wait.scan)) {
        why = "--count and --scan belong to --wait";
        return false;
    }
    if (line.waiting) {
        if (line.list || selection.all || !selection.serials.empty()) {
            why = "--wait watches locations: give --port LOC, or nothing for every port";
            return false;
        }
        if (line.wait.scan && !ports) {
            why = "--scan reads the labels of the boards in slots: give --port LOC or --fixture";
            return false;
        }
        mode = Mode::wait;
        return true;
    }
    bool targeted = selection.all || ports || !selection.serials.empty();
    if (line.list) {
        if (targeted) {
            why = "--list takes no targets";
            return false;
        }
        if (given.records || given.junit || given.db || given.serve || given.metrics) {
            why = "--list tests no board: it writes no --records, no --junit, no --db and serves no page and no "
                  "metrics";
            return false;
        }
        mode = Mode::list;
        return true;
    }
    if (!targeted) {
        why = "name the boards to test: --all, --port LOC or --serial S";
        return false;
    }
    if (selection.all && (!selection.ports.empty() || !selection.serials.empty())) {
        why = "--all tests every chip; it takes no --port or --serial";
        return false;
    }
    mode = Mode::run;
    return true;
}

bool load_product(CommandLine &line, std::string &why)
{
    RunOptions &options = line.options;
    identity::StationIdentity identity;
    identity.reprogram = line.reprogram;
    if (!identity::load_station_identity(line.product_file,
                                         {options.context.lot, options.context.station_id, std::time(nullptr)},
                                         identity, why)) {
        why = "--product " + why;
        return false;
    }
    options.identity = identity;
    return true;
}

bool merge_fixture(CommandLine &line, std::string &why)
{
    RunOptions &options = line.options;
    if (!read_fixture(line.fixture_file, options.fixture, why))
        return false;
    const Fixture &f = options.fixture;
    for (const FixtureSlot &slot : f.slots) {
        options.selection.ports.push_back(slot.location);
        options.selection.port_channels.push_back(slot.channel);
    }
    options.context.fixture_id = companions::printable(f.id);
    // --product says what this run programs, the fixture's [product] what is usual.
    if (!line.given.product && f.product) {
        if (!line.given.db) {
            why = companions::printable(line.fixture_file) + ": [product] takes its serials from --db: give --db";
            return false;
        }
        line.product_file = line.fixture_file;
    }
    if (line.reprogram && line.product_file.empty()) {
        why = "--reprogram belongs to --product or a fixture's [product]";
        return false;
    }
    // The command line says what this run is, the file what is usual; each
    // kept as every output shows it.
    if (!line.given.station_id && !f.station_id.empty())
        options.context.station_id = companions::printable(f.station_id);
    if (!line.given.lot)
        options.context.lot = companions::printable(f.lot);
    if (!line.given.operator_name)
        options.context.operator_name = companions::printable(f.operator_name);
    if (!line.given.reset)
        return true;
    for (const FixtureSlot &slot : f.slots)
        if (slot.name == line.reset_slot)
            return true;
    why = "--reset-cycles '" + companions::printable(line.reset_slot) + "': no slot of " +
          companions::printable(line.fixture_file) + " has that name";
    return false;
}

} // namespace station
