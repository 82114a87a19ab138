// --wait: the station as a line's loop. Every chip that appears at a selected
// location is tested once, as soon as its enumeration has settled, and again
// only after it was unplugged and a chip plugged there anew.
#pragma once

#include "run.h"

namespace station {

struct WaitOptions {
    int count = 0;     // end after this many boards; 0: until interrupted
    bool scan = false; // read each board's dut_id from standard input first
};

// Returns the exit status.
int wait_station(const RunOptions &options, const WaitOptions &wait);

} // namespace station
