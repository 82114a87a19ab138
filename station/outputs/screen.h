// What a station shows, shared by the threads of the boards under test.
// Standard output gets one line per board as it finishes (or its JSON
// record), in a log or a pipe exactly so. When standard output and standard
// error are one terminal, standard error shows one live line per board under
// test, redrawn at most ten times a second; elsewhere (a pipe, tee, a log) it
// would erase other output, and there is none. With --wait, when standard
// output is the operator's terminal, each result is shown large, in green,
// red or yellow (ERROR, with what to do) unless NO_COLOR is set, and stays
// until the next board arrives.
#pragma once

#include "board_result.h"

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace station {

class Screen {
public:
    explicit Screen(bool operator_view = false);

    // A board under test: its live line. Returns its number for the calls below.
    int add_board(const std::string &label);
    void progress(int board, const std::string &text);
    // The board's line (or record) on standard output; board -1 for a target
    // that named no board.
    void finished(int board, const std::string &line, const BoardResult &result);
    // A line on standard error, "wiretest-station: " first.
    void message(const std::string &line);
    void summary(const std::string &line);
    // --wait: what the station waits for, shown on the operator's terminal.
    void waiting(const std::string &where);
    // The last word on the operator's terminal when records were lost.
    void records_lost(const std::string &why);

private:
    struct Board {
        std::string label;
        std::string progress;
    };

    void erase();
    void draw();
    void show_result(const BoardResult &result);
    void show_big(const std::string &words, const char *colour);

    std::mutex mutex_;
    std::map<int, Board> boards_; // under test: a finished board's goes, so a day's boards leave none
    int next_board_ = 0;
    bool live_;      // standard output and standard error are one terminal
    bool operator_;  // --wait with standard output on a terminal
    bool colour_;
    bool result_shown_ = false;
    int drawn_ = 0;
    std::chrono::steady_clock::time_point drawn_at_; // the live lines' last redraw
    std::string waiting_;
};

} // namespace station
