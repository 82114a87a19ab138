// Every board with one wiring fault (164 of them): each pin stuck at 0 or 1
// or inverted, each pair of pins shorted (AND and OR) or crossed, and each
// pin wired to another low pin, with the faulty pins the full test must name
// and what the short test makes of each.
#pragma once

#include "mpsse_chip.h"

#include <string>
#include <vector>

struct SingleFault {
    std::string name;
    chip::Wiring wiring;
    std::string full;  // the faulty pins the full test must name: "3:stuck-0", "4:reads-other(5) 5:reads-other(4)"
    std::string brief; // what the short test makes of it ("" passes)
};

std::vector<SingleFault> single_faults();
