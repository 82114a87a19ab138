// A session of the station's outputs run in this process, as the runner
// drives them: each chosen by the options, started, given every board's
// result with its record, and ended; what they wrote on the standard
// streams is kept, and their files are where the options put them.
#pragma once

#include "console.h"
#include "sinks.h"

#include <string>
#include <vector>

struct OutputSession {
    console::Run run;         // standard output and error of the whole session
    std::vector<std::string> records; // each board's record, as every output got it
    std::string why;          // the first output's refusal ("" when none refused)
};

OutputSession run_outputs(const station::RunOptions &options, const std::vector<station::BoardResult> &results);
