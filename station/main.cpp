// wiretest-station: tests boards found by the USB port they are plugged
// into, several at once, and keeps a record of each. Each board's test runs
// in a process of its own: this program started again with --board, or, for
// a single board on POSIX, a copy of the station made with fork().
#include "driver_options.h"
#include "printable.h"
#include "run.h"
#include "wait.h"
#include "db/database.h"
#include "db/outbox.h"
#include "page/page_server.h"
#include "report.h"
#include "identity/eeprom_command.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

const int exit_usage = station::exit_station;

std::string host_name()
{
#ifdef _WIN32
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    return GetComputerNameA(name, &size) ? std::string(name, size) : "unknown";
#else
    char name[256] = {};
    return gethostname(name, sizeof name - 1) == 0 ? std::string(name) : "unknown";
#endif
}

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

bool is_blank(const std::string &text) { return text.find_first_not_of(" \t") == std::string::npos; }

std::string not_a_location(const char *option, const std::string &text)
{
    return std::string(option) + " '" + companions::printable(text) +
           "': not a location as --list prints them (1-2.3, or 0x and hex digits)";
}

int usage_error(const std::string &why)
{
    // A command line's own bytes (an escape sequence, Latin-1) act on no terminal.
    fprintf(stderr, "wiretest-station: usage error: %s (see --help)\n", companions::printable(why).c_str());
    return exit_usage;
}

// Standard output lost (a full disk, a closed descriptor) is a run whose
// records did not arrive.
int checked_output(int status)
{
    if (fflush(stdout) != 0 || ferror(stdout)) {
        fprintf(stderr, "ERROR: can not write to standard output\n");
        return station::exit_station;
    }
    return status;
}

int station_main(int argc, char *argv[])
{
#ifndef _WIN32
    // Started with standard input closed, the first file the station opened
    // would take its place, and --wait would read it as commands.
    if (fcntl(STDIN_FILENO, F_GETFD) == -1 && errno == EBADF && open("/dev/null", O_RDONLY) != STDIN_FILENO)
        return station::exit_station;
#endif
    if (argc > 1 && std::string(argv[1]) == "report")
        return checked_output(station::report_main(argc - 1, argv + 1));
    if (argc > 1 && std::string(argv[1]) == "eeprom") {
        station::take_driver_options(argc, argv);
        return checked_output(station::eeprom_main(argc - 1, argv + 1));
    }
#ifndef _WIN32
    setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
#endif
    CLI::App app{"Tests the wiring of boards found by the USB port they are plugged into, several at once,\n"
                 "and keeps a record of each.",
                 "wiretest-station"};
    app.set_version_flag("--version", std::string("wiretest-station ") + station::version);
    station::RunOptions options;
    station::WaitOptions wait;
    options.driver_options = station::take_driver_options(argc, argv);
    bool list = false, waiting = false;
    std::string channel = "A";
    std::string board; // a board's own test, in the process started for it
    app.add_flag("--list", list, "list the MPSSE channels plugged in, opening none");
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
    app.add_option("--channel", channel, "the channel tested on each chip, A or B (default A)")
        ->check(CLI::IsMember({"A", "B"}));
    app.add_flag("--short", options.context.short_test, "drive only the four fixed patterns");
    std::string patterns = "spec";
    app.add_option("--patterns", patterns,
                   "the pattern set: spec (the thirteen patterns, the default), locate (walking ones and a "
                   "constant-weight code, the driven byte read back: locates every modelled single and double "
                   "fault), deep (locate, then each net driven low alone with the others as inputs held by the "
                   "chip's weak pull-ups, read after a 1 ms settle wait: finds resistive bridges); locate and "
                   "deep run with --fast")
        ->type_name("SET")
        ->check(CLI::IsMember({"spec", "locate", "deep"}));
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
    app.add_flag("--wait", waiting, "test each board the moment it is plugged in, until Ctrl-C or --count");
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
    std::string serve_text;
    auto *serve = app.add_option("--serve", serve_text,
                                 "serve the station's live page at [ADDR:]PORT while it tests (ADDR default: 127.0.0.1)")
                      ->type_name("[ADDR:]PORT");
    std::string metrics_text;
    auto *metrics = app.add_option("--metrics", metrics_text,
                                   "serve the station's metrics alone (OpenMetrics, for Prometheus) at "
                                   "[ADDR:]PORT/metrics while it tests; --serve serves them too")
                        ->type_name("[ADDR:]PORT");
    bool forward = false;
    app.add_flag("--forward", forward, "send the records waiting in the outbox to the --db server, then exit");
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
    std::string fixture_file;
    auto *fixture = app.add_option("--fixture", fixture_file, "test the slots of the fixture described in FILE (TOML)")
        ->type_name("FILE");
    // Each board's identity programmed into its chip's EEPROM.
    std::string product_file;
    auto *product = app.add_option("--product", product_file,
                                   "program each board that passes (or every tested board, as FILE's [product] "
                                   "says) with the product's strings and a serial of the line; needs --db")
                        ->type_name("FILE");
    bool reprogram = false;
    app.add_flag("--reprogram", reprogram, "with --product: write over an image another maker left in the EEPROM");
    std::string reset_slot;
    auto *reset = app.add_option("--reset-cycles", reset_slot,
                                 "with --fixture: count the slot's insertions from 0 after its contacts were changed, "
                                 "and exit")
        ->type_name("SLOT");
    app.add_option("--board", board)->group("");
    app.footer("Exit status: 0 every board passed, 1 a board failed and none had an ERROR,\n"
               "3 a board had an ERROR or a target matched nothing (test again),\n"
               "2 the station could not do its job (a usage error, a failed listing, lost output,\n"
               "a record or the JUnit file not written), whatever the boards did.\n");
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        outbox->description("with a postgresql:// --db: keep the records to be sent in PATH (default: " +
                            station::db::default_outbox_path() + ")");
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return usage_error(e.what());
    }
    station::db::Url url;
    std::string url_refused;
    bool url_parsed = !(*db || forward) || station::db::parse_url(options.db_url, url, url_refused);
    options.command_line = command_line(argc, argv, url_parsed ? options.db_url : "", url.shown);
    if (url_parsed)
        station::db::hide_password(argc, argv, options.db_url, url);
    // An unset variable in a script ("--records $DIR") must not lose every
    // record without a word, nor a blank name make a record nobody can find.
    if ((*records && options.records_dir.empty()) || (*junit && options.junit_file.empty()))
        return usage_error(std::string(*records && options.records_dir.empty() ? "--records" : "--junit") +
                           " '': an empty path");
    if (*retry_refused && !forward)
        return usage_error("--retry-refused belongs to --forward");

    if (*db || forward) {
        if (!url_parsed)
            return usage_error(url_refused);
        std::string why;
        if (!station::db::available())
            return usage_error("--db is not available on this build of wiretest-station");
        if (*outbox && (options.outbox.empty() || url.kind != station::db::Url::postgresql))
            return usage_error("--outbox takes a path, and belongs to a postgresql:// --db");
        // Said before the first board, not by the outbox's thread after it.
        if (!station::db::clients_loaded(url, why) ||
            (url.kind == station::db::Url::postgresql && !station::db::server_url_accepted(url, why))) {
            fprintf(stderr, "wiretest-station: --db %s: %s\n", url.shown.c_str(), why.c_str());
            return station::exit_station;
        }
        if (forward) {
            if (url.kind != station::db::Url::postgresql)
                return usage_error("--forward sends an outbox to a postgresql:// --db");
            return checked_output(station::forward_outbox(options));
        }
    } else if (*outbox) {
        return usage_error("--outbox belongs to a postgresql:// --db");
    }
    if (*serve) {
        station::page::ServeAddress address;
        std::string why;
        if (!station::page::parse_serve_address(serve_text, address, why))
            return usage_error("--serve " + why);
        if (!station::page::available())
            return usage_error("--serve is not available on this build of wiretest-station");
        options.serve = address;
    }
    if (*metrics) {
        station::page::ServeAddress address;
        std::string why;
        if (!station::page::parse_serve_address(metrics_text, address, why))
            return usage_error("--metrics " + why);
        if (!station::page::available())
            return usage_error("--metrics is not available on this build of wiretest-station");
        options.metrics = address;
    }
    if (*station_id && is_blank(options.context.station_id))
        return usage_error("--station-id '" + companions::printable(options.context.station_id) + "': a blank name");
    options.count_attempts = retest->count() > 0;
    if (*fixture) {
        if (options.selection.all || !options.selection.ports.empty() || !options.selection.serials.empty())
            return usage_error("--fixture names the boards to test: it takes no --port, --serial or --all");
        std::string why;
        if (!station::read_fixture(fixture_file, options.fixture, why))
            return usage_error(why);
        const station::Fixture &f = options.fixture;
        for (const station::FixtureSlot &slot : f.slots) {
            options.selection.ports.push_back(slot.location);
            options.selection.port_channels.push_back(slot.channel);
        }
        options.context.fixture_id = f.id;
        // The command line says what this run is, the file what is usual.
        if (!*station_id && !f.station_id.empty())
            options.context.station_id = f.station_id;
        if (!*lot)
            options.context.lot = f.lot;
        if (!*operator_name)
            options.context.operator_name = f.operator_name;
        if (*reset) {
            bool known = false;
            for (const station::FixtureSlot &slot : f.slots)
                known = known || slot.name == reset_slot;
            if (!known)
                return usage_error("--reset-cycles '" + companions::printable(reset_slot) + "': no slot of " +
                                   companions::printable(fixture_file) + " has that name");
            return checked_output(station::reset_cycles(options, reset_slot));
        }
    } else if (*reset) {
        return usage_error("--reset-cycles names a slot of a --fixture");
    }
    // The texts every record, screen, page and database row carry, kept once
    // as they all show them: a byte no output could hold (a Latin-1
    // terminal's --operator) ends no run, and the page's counts of the
    // station find the rows stored under its name.
    for (std::string *text : {&options.context.station_id, &options.context.lot, &options.context.operator_name,
                              &options.context.fixture_id})
        *text = companions::printable(*text);
    // A field the line sorts its records by is never blank.
    if (*lot && is_blank(options.context.lot))
        return usage_error("--lot '" + options.context.lot + "': a blank value");
    if (*operator_name && is_blank(options.context.operator_name))
        return usage_error("--operator '" + options.context.operator_name + "': a blank name");
    for (const std::string &serial : options.selection.serials)
        if (is_blank(serial))
            return usage_error("--serial '" + companions::printable(serial) + "': a blank value");
    for (const std::string &port : options.selection.ports)
        if (!station::is_location(port))
            return usage_error(not_a_location("--port", port));
    options.selection.channel = channel[0];
    options.fast.short_test = options.context.short_test;
    options.context.patterns = *diagnose::pattern_set_named(patterns);
    options.fast.patterns = options.context.patterns;
    if (options.context.patterns != diagnose::PatternSet::standard && !options.context.fast)
        return usage_error("--patterns " + patterns + " runs in one USB round trip: add --fast");
    if (options.context.patterns != diagnose::PatternSet::standard && options.context.short_test)
        return usage_error("--short is a part of the thirteen patterns: it goes with --patterns spec only");
    if (*duration)
        options.fast.repeat = 0; // until the time is up
    if (!options.context.fast && (*repeat || *duration || options.fast.settle_us > 0))
        return usage_error("--repeat, --duration and --settle-us run the fast test: add --fast");
    if (options.context.fast && options.context.short_waits)
        return usage_error("--fast makes no settle waits: --delay has nothing to shorten");

    // Checked against the EEPROM now, with the lot and station the serials carry.
    if (*product) {
        if (!*db)
            return usage_error("--product takes its serials from --db: give --db");
        identity::StationIdentity identity;
        identity.reprogram = reprogram;
        std::string why;
        if (!identity::load_station_identity(product_file, {options.context.lot, options.context.station_id, time(nullptr)},
                                             identity, why))
            return usage_error("--product " + why);
        options.identity = identity;
    } else if (reprogram) {
        return usage_error("--reprogram belongs to --product");
    }

    if (!board.empty() || app.count("--board") > 0) {
        if (!station::is_location(board))
            return usage_error(not_a_location("--board", board));
        return station::board_main(board, channel[0], options);
    }
    if (!waiting && (*count || wait.scan))
        return usage_error("--count and --scan belong to --wait");
    if (waiting) {
        if (list || options.selection.all || !options.selection.serials.empty())
            return usage_error("--wait watches locations: give --port LOC, or nothing for every port");
        if (wait.scan && options.selection.ports.empty())
            return usage_error("--scan reads the labels of the boards in slots: give --port LOC or --fixture");
        return checked_output(station::wait_station(options, wait));
    }
    bool targeted = options.selection.all || !options.selection.ports.empty() || !options.selection.serials.empty();
    if (list) {
        if (targeted)
            return usage_error("--list takes no targets");
        if (*records || *junit || *db || *serve || *metrics)
            return usage_error("--list tests no board: it writes no --records, no --junit, no --db and serves no "
                               "page and no metrics");
        return checked_output(station::list_station(options.json));
    }
    if (!targeted)
        return usage_error("name the boards to test: --all, --port LOC or --serial S");
    if (options.selection.all && (!options.selection.ports.empty() || !options.selection.serials.empty()))
        return usage_error("--all tests every chip; it takes no --port or --serial");
    return checked_output(station::run_station(options));
}

} // namespace

// cppcheck-suppress constParameter ; the signature of main is the language's
int main(int argc, char *argv[])
{
    try {
        return station_main(argc, argv);
    } catch (const std::exception &e) { // out of memory, a thread that cannot start
        fprintf(stderr, "wiretest-station: %s\n", e.what());
        return station::exit_station;
    }
}
