// wiretest-station: tests boards found by the USB port they are plugged
// into, several at once, and keeps a record of each. Each board's test runs
// in a process of its own: this program started again with --board, or, for
// a single board on POSIX, a copy of the station made with fork().
#include "command_line.h"
#include "commands.h"
#include "driver_options.h"
#include "eeprom_command.h"
#include "files.h"
#include "report.h"
#include "run.h"
#include "sinks.h"
#include "terminal.h"
#include "wait.h"

#include <cstdio>
#include <string>

namespace {

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
    // Started with standard input closed, the first file the station opened
    // would take its place, and --wait would read it as commands.
    if (!station::hold_standard_input())
        return station::exit_station;
    if (argc > 1 && std::string(argv[1]) == "report")
        return checked_output(station::report_main(argc - 1, argv + 1));
    if (argc > 1 && std::string(argv[1]) == "eeprom") {
        station::take_driver_options(argc, argv);
        return checked_output(station::eeprom_main(argc - 1, argv + 1));
    }
    station::line_buffered_output();
    station::CommandLine line;
    line.options.driver_options = station::take_driver_options(argc, argv);
    int status = 0;
    if (!station::parse_command_line(argc, argv, line, status))
        return status;
    station::Mode mode = station::Mode::run;
    std::string why;
    if (!station::validate(line, mode, why))
        return station::usage_error(why);
    const station::RunOptions &options = line.options;
    // Said before the first board, not by the outbox's thread after it.
    const station::db::Url &url = line.url;
    if ((line.given.db || line.forward) &&
        (!station::db::clients_loaded(url, why) ||
         (url.kind == station::db::Url::postgresql && !station::db::server_url_accepted(url, why)))) {
        fprintf(stderr, "wiretest-station: --db %s: %s\n", url.shown.c_str(), why.c_str());
        return station::exit_station;
    }
    if (line.given.fixture && !station::merge_fixture(line, why))
        return station::usage_error(why);
    // The board's own process leaves the programming to the station.
    if (!line.product_file.empty() && mode != station::Mode::board && !station::load_product(line, why))
        return station::usage_error(why);
    switch (mode) {
    case station::Mode::forward:
        return checked_output(station::forward_outbox(options));
    case station::Mode::reset_cycles:
        return checked_output(station::reset_cycles(options, line.reset_slot));
    case station::Mode::board:
        return station::board_main(line.board, line.channel[0], options);
    case station::Mode::wait:
        return checked_output(station::wait_station(options, line.wait));
    case station::Mode::list:
        return checked_output(station::list_station(options.json));
    case station::Mode::run:
        break;
    }
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
