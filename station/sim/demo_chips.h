// The chips of wiretest-station-sim and of its Windows counterpart's
// simulated ftd2xx.dll (demo_chips.cpp): dual chips (FT2232H), each with its
// board on channel A, attached to the simulated driver through its control
// header.
#pragma once

#include "mpsse_chip.h"

#include <string>
#include <vector>

namespace station {

struct DemoChip {
    std::string location;
    std::string serial;
    chip::Wiring wiring;
};

const std::vector<DemoChip> &demo_chips();

// Every demo chip plugged in at its location for good.
void attach_demo_chips();

} // namespace station
