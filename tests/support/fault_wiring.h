// The simulated chip's board for a fault of the diagnosis's model: the two
// models are written apart, and this is where a test joins them.
#pragma once

#include "fault_model.h"
#include "mpsse_chip.h"

#include <vector>

// A bridge of three nets has no board of its own: a test fails when given one.
chip::Wiring wiring_of(const std::vector<diagnose::Fault> &faults);
