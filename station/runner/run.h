// A station run: every selected board tested at once, each in a process of
// its own, a line and a record per board as it finishes, and the summary.
#pragma once

#include "cycle_counts.h"
#include "label_reuse.h"
#include "sinks.h"
#include "run_options.h"
#include "screen.h"

#include <chrono>
#include <memory>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace station {

// What a run and a --wait loop share: the screen, each finished board's
// result handed to every output, and the end (exit status).
class Session {
public:
    explicit Session(const RunOptions &options, bool operator_view = false);
    // Lists the channels and readies the outputs; false after saying why.
    bool start(std::vector<Channel> &channels);
    // Tests one board in a process of its own; label, when given, is its
    // dut_id. forked: the process is a copy of this one (run_forked's terms).
    // first_attempt past 1: a board tested again where it sits, not plugged
    // anew; its records count on from there. Returns its last attempt.
    int test(const Channel &board, const std::string &label, bool forked = false, int first_attempt = 1);
    // A board's result, to every output.
    // last: false for an attempt tested again, which counts in no summary.
    // replaces: the board's result before, when it was tested again on request.
    void finish(int live, BoardResult result, bool last = true, bool replaces = false);
    // A slot's live state, to every output.
    void announce(const SlotEvent &event);
    // Something of the station's own went wrong while boards were tested
    // (their insertions not saved): on the screen, to every output, and in
    // the exit status.
    void station_fault(const std::string &why);
    // The name of the fixture's slot the board sits in; "" without one.
    std::string slot_name(const Channel &board) const;
    // Returns the exit status; notes for the summary line.
    int end(std::vector<std::string> notes = {});
    // A record could not be written: a line's loop must stop, not test
    // boards that leave no trace.
    bool records_lost();
    // Whether an output runs threads of its own.
    bool outputs_run_threads() const;
    // A chip whose EEPROM the station wrote enumerates again, under its new
    // serial and a new USB address: true once, for the chip the programming
    // found again (its location, serial and enumeration), when it is such a
    // board come back rather than a board plugged in. The same board
    // replugged before the station looked is another enumeration: tested.
    bool take_reenumerated(const Channel &chip);

    const RunOptions &options;
    Screen screen;

private:
    // One attempt at result.board's test; its live line on the screen.
    int test_once(BoardResult &result, bool forked);
    // The insertions of result.board's slot where they are counted, one
    // more when the board was put into it, and their warning near or past
    // the rating.
    void count_insertion(BoardResult &result, bool inserted);
    const std::string program;
    CycleCounts cycles_;
    LabelReuse labels_;
    std::vector<std::unique_ptr<Output>> outputs_;
    std::mutex results_mutex_;
    std::mutex events_mutex_; // apart: an event never waits on a record being written
    std::vector<BoardResult> results_;
    bool records_lost_ = false;
    bool station_faulted_ = false; // under events_mutex_
    std::string lost_why_; // the last record's
    std::mutex reenumerated_mutex_;
    std::map<std::string, Channel> reenumerated_; // the chip found again, by location
};

// How long a board's process may run before the station ends it: what its
// test's schedule takes, with room for a slow machine, unless
// board_timeout_s sets another.
std::chrono::milliseconds board_deadline(const RunOptions &options);

// Returns the exit status.
int run_station(const RunOptions &options);

// A board's own process: its test, as options say, with the board's
// interrupt handlers; the exit status.
int board_main(const std::string &location, char channel, const RunOptions &options);

} // namespace station
