// A station run: every selected board tested at once, each in a process of
// its own, a line and a record per board as it finishes, and the summary.
#pragma once

#include "fast_test.h"
#include "station.h"

#include <string>

namespace station {

struct RunOptions {
    Selection selection;
    RunContext context;
    int jobs = 0; // boards under test at once; 0: all
    bool json = false;
    std::string records_dir;
    std::string junit_file;
    FastOptions fast; // with context.fast
};

// Returns the exit status.
int run_station(const RunOptions &options);

// --list: returns the exit status.
int list_station(bool json);

} // namespace station
