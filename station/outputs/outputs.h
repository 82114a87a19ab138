// Where a session's results go. Every output gets the same board results,
// one at a time as the boards finish, each with its record; an output is
// one file of its own and one line in choose_outputs (sinks.h).
#pragma once

#include "board_result.h"
#include "events.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace station {

struct FinishedBoard {
    const BoardResult &result;
    const std::string &record; // its JSON record, the same in every output
    int screen_line;           // its live line on the screen; -1 for none
    bool last;                 // false for an attempt that is tested again
    bool replaces;             // its board's result before, tested again on request
};

struct SessionEnd {
    const std::vector<BoardResult> &results; // in the order they finished
    const std::string &records_lost;         // why a result was not kept; "" when all were
    std::vector<std::string> summary_notes;  // for the summary line, from the outputs before it
};

class Output {
public:
    virtual ~Output() = default;
    // Before the first board, so that what cannot be written is found now;
    // false with why.
    virtual bool start(std::string &why)
    {
        (void)why;
        return true;
    }
    // A board's result, called for one board at a time. false with why when
    // it was not kept: the session tests no more boards.
    virtual bool finished(const FinishedBoard &board, std::string &why) = 0;
    // A slot's live state; called from any board's thread, one at a time.
    // Nothing here may wait on anything but memory: a board's test waits on it.
    virtual void slot_event(const SlotEvent &event) { (void)event; }
    // A fault of the station's own, as the screen says it; from any board's
    // thread, one at a time, and as quick as slot_event.
    virtual void station_fault(const std::string &why) { (void)why; }
    // Whether it runs threads of its own once started (a server, a
    // forwarder): a copy of the process made with fork() would take a
    // snapshot of their locks.
    virtual bool runs_threads() const { return false; }
    // What the station's metrics count this output's write failures as
    // (metrics::sinks); nullptr for an output that writes nothing kept.
    virtual const char *sink() const { return nullptr; }
    // After the last board; false with why ("" when said already).
    virtual bool end(SessionEnd &session, std::string &why)
    {
        (void)session, (void)why;
        return true;
    }
};

// "PASS 1-1 A WTST0001 errors: 0" and the like, without a line end; a
// scanned label follows the serial number as "label: X".
std::string result_line(const BoardResult &result);

// The summary line, without a line end.
std::string summary_line(const std::vector<BoardResult> &results);

} // namespace station
