// The station's commands that test no board.
#pragma once

#include "run_options.h"

#include <string>

namespace station {

// --reset-cycles SLOT: the slot's insertions counted from 0; returns the
// exit status.
int reset_cycles(const RunOptions &options, const std::string &slot);

// --list: returns the exit status.
int list_station(bool json);

} // namespace station
