// wiretest-station-sim's --sim-control: chips that a test plugs, unplugs and
// holds when it decides, by appending lines to a file that every process of
// the station reads (sim_options.cpp describes the lines).
#pragma once

#include "demo_chips.h"

#include "sim_control.h"

#include <string>

namespace station {

// "1-7=1-1:FT4232H": the demo board of location 1-1 at 1-7, on a chip of
// that kind (FT2232H when none is named). false when text is not that shape.
bool parse_demo_plug(const std::string &text, std::string &location, const DemoChip *&board, sim::ChipKind &kind);

// The simulated driver follows the file at path from now on: the lines
// already there first, each later one as it is written. Notes for the test
// go to path with ".log" after it. false, with why, when it cannot be watched.
bool follow_control_file(const std::string &path, std::string &why);

} // namespace station
