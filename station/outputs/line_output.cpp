// The line of each board on standard output, and the summary line.
#include "sinks.h"

#include "printable.h"

namespace station {

using companions::printable;

std::string result_line(const BoardResult &result)
{
    const Channel &b = result.board;
    std::string line = std::string(outcome_name(result.outcome)) + " " + (b.location.empty() ? "-" : b.location) +
                       " " + b.channel + " " + (b.serial.empty() ? "-" : printable(b.serial));
    if (!result.slot.empty())
        line += " slot: " + printable(result.slot);
    // A log is matched to the boards' labels by it.
    if (!result.label.empty())
        line += " label: " + printable(result.label);
    if (result.soak)
        line += " runs: " + std::to_string(result.soak->runs);
    else if (result.rows_ran && result.diagnosis.errors)
        line += " errors: " + std::to_string(*result.diagnosis.errors);
    if (result.outcome == Outcome::fail) {
        std::vector<std::string> pins = pin_lines(result);
        for (size_t i = 0; i < pins.size(); i++)
            line += (i == 0 ? ": " : "; ") + pins[i];
    } else if (result.outcome == Outcome::error) {
        line += ": " + result.reason;
    }
    // Last, so that a line's fields read as before it.
    if (!result.cycle_note.empty())
        line += "; " + result.cycle_note;
    if (result.label_reused)
        line += "; " + label_reused_note(result);
    return line;
}

std::string summary_line(const std::vector<BoardResult> &results)
{
    int passed = 0, failed = 0, errors = 0;
    for (const BoardResult &r : results) {
        passed += r.outcome == Outcome::pass;
        failed += r.outcome == Outcome::fail;
        errors += r.outcome == Outcome::error;
    }
    return "boards: " + std::to_string(results.size()) + ", passed: " + std::to_string(passed) +
           ", failed: " + std::to_string(failed) + ", errors: " + std::to_string(errors);
}

} // namespace station

namespace station {
namespace {

// The line of each board, and the summary after the last.
class LineOutput : public Output {
public:
    explicit LineOutput(Screen &screen) : screen_(screen) {}

    bool finished(const FinishedBoard &board, std::string &) override
    {
        std::string line = result_line(board.result);
        // An attempt tested again is not the board's outcome: its last attempt's line is.
        const BoardResult &r = board.result;
        if (!board.last && r.attempt > 0)
            line += " (attempt " + std::to_string(r.attempt) + " of " + std::to_string(r.last_attempt) +
                    ", testing again)";
        screen_.finished(board.screen_line, line, board.result);
        return true;
    }

    bool end(SessionEnd &session, std::string &) override
    {
        if (!session.records_lost.empty())
            screen_.records_lost(session.records_lost);
        std::string line = summary_line(session.results);
        for (const std::string &note : session.summary_notes)
            line += ", " + note;
        screen_.summary(line);
        return true;
    }

private:
    Screen &screen_;
};

// --json: each board's record on a line of its own, and nothing else.
class JsonLineOutput : public Output {
public:
    explicit JsonLineOutput(Screen &screen) : screen_(screen) {}

    bool finished(const FinishedBoard &board, std::string &) override
    {
        screen_.finished(board.screen_line, board.record, board.result);
        return true;
    }

private:
    Screen &screen_;
};

} // namespace

std::unique_ptr<Output> line_output(Screen &screen) { return std::make_unique<LineOutput>(screen); }
std::unique_ptr<Output> json_line_output(Screen &screen) { return std::make_unique<JsonLineOutput>(screen); }

} // namespace station
