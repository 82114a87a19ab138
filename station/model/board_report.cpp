// A board's report as its process prints it, turned into its result.
#include "board_report.h"

#include "printable.h"

#include "test_driver/report_format.h"

namespace station {

using companions::printable;

void BoardReport::add_line(const std::string &text)
{
    // A Windows child's lines end in CR LF.
    std::string line = text;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    reader_.add_line(line);
    size_t rest = 0;
    if (parse_row_start(line.data(), line.size(), &rest) >= 0)
        rows_++;
    if (parse_count_line(line.data(), line.size()) >= 0)
        end_run();
}

// A run's rows came to their count line: judge them and count per pin.
void BoardReport::end_run()
{
    // The reader begins the next run's report with its next row.
    // Each run's pins; the faults are named for the run shown alone.
    diagnose::Diagnosis d = diagnose::judge(reader_.finish(), false);
    int run = ++soak_.runs;
    if (d.verdict == diagnose::Verdict::incomplete) {
        if (soak_.incomplete_runs++ == 0)
            first_incomplete_ = d.reason;
        if (!shown_)
            shown_ = d;
        return;
    }
    bool failed = d.verdict == diagnose::Verdict::fail;
    if (!shown_ || (failed && failed_runs_ == 0)) {
        shown_ = d;
        if (failed)
            diagnose::name_faults(*shown_);
    }
    failed_runs_ += failed;
    for (size_t pin = 0; pin < 8; pin++) {
        diagnose::PinStatus status = d.pins[pin].status;
        bool not_ok = status != diagnose::PinStatus::ok && status != diagnose::PinStatus::untested;
        PinSoak &p = soak_.pins[pin];
        if (run > 1 && not_ok != failed_last_[pin])
            p.flips++;
        failed_last_[pin] = not_ok;
        if (!not_ok)
            continue;
        if (p.failures++ == 0)
            p.failed_class = diagnose::status_name(status);
        if (p.failed_runs.size() < PinSoak::failed_runs_kept)
            p.failed_runs.push_back(run);
    }
}

void BoardReport::conclude(BoardResult &result, int exit_status, bool soak, const std::string &ending) const
{
    const diagnose::FailureTrail &trail = reader_.failure_trail();
    // The board was listed when its test began: one that cannot be found
    // from then on, at the open or later, went away during the test.
    const bool unplugged = trail.device_not_found;
    if (soak_.runs == 0 || (!soak && exit_status != 0)) {
        result.rows_ran = false;
        result.outcome = Outcome::error;
        // The failed step's line and its status name; a step without a line
        // of its own (the synchronisation) leaves its status name alone.
        std::string status = trail.failed_step.empty() ? trail.last_status : trail.failed_status;
        // The library's words for the failure; an unplug says all itself.
        if (!status.empty() && !trail.cause.empty() && !unplugged)
            status += " (" + printable(trail.cause) + ")";
        if (!trail.failed_step.empty())
            result.reason = printable(trail.failed_step) + (status.empty() ? "" : " (" + status + ")");
        else if (!status.empty())
            result.reason = "a device call failed (" + status + ")";
        else
            result.reason = exit_status < 0 ? "the test could not be started"
                                            : "the test ended without its report (" +
                                                  (ending.empty() ? "exit status " + std::to_string(exit_status)
                                                                  : ending) +
                                                  ")";
        if (unplugged)
            result.reason = "unplugged during the test (" +
                            (trail.failed_step.empty() ? status : result.reason) + ")";
        return;
    }
    result.rows_ran = true;
    result.diagnosis = *shown_;
    if (soak)
        result.soak = soak_;
    decide_pins(result);
    if (soak_.incomplete_runs > 0) {
        // A row without an answer measured nothing: the board is to be
        // tested again, not judged.
        result.outcome = Outcome::error;
        result.reason = unplugged ? "unplugged during the test (FT_DEVICE_NOT_FOUND)" : printable(first_incomplete_);
        if (soak)
            result.reason += " (" + std::to_string(soak_.incomplete_runs) + " of " + std::to_string(soak_.runs) +
                             " runs incomplete)";
        return;
    }
    result.outcome = failed_runs_ > 0 ? Outcome::fail : Outcome::pass;
    // A soak whose process a signal ended did not end its test, whatever
    // runs it had finished: it keeps their counts, and has no verdict.
    if (!ending.empty()) {
        result.outcome = Outcome::error;
        result.reason = "the test ended without its report (" + ending + ")";
    }
}

} // namespace station
