// Reads the report of one board's test as its process prints it, standard
// error mixed in, with wiretest-diagnose's reader, and judges each run.
#pragma once

#include "board_result.h"

#include <optional>
#include <string>

namespace station {

class BoardReport {
public:
    void add_line(const std::string &text);
    int rows() const { return rows_; }
    int runs() const { return soak_.runs; }
    int failed_runs() const { return failed_runs_; }
    // The outcome of the test whose process ended with exit_status; soak
    // when the process ran the test over and over; ending, when set, says
    // how the process ended instead of its exit status ("killed by SIGSEGV").
    void conclude(BoardResult &result, int exit_status, bool soak = false, const std::string &ending = "") const;

private:
    void end_run();

    diagnose::ReportReader reader_;
    std::optional<diagnose::Diagnosis> shown_; // the first failing run, else the first
    std::string first_incomplete_;    // why the first incomplete run was
    Soak soak_;
    std::array<bool, 8> failed_last_{};
    int failed_runs_ = 0;
    int rows_ = 0;
};

} // namespace station
