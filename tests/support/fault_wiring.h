// The simulated chip's board for a fault of the diagnosis's model: the two
// models are written apart, and this is where a test joins them.
#pragma once

#include "fault_model.h"
#include "mpsse_chip.h"

#include <string>
#include <vector>

// The faults as board text (board_text.h), which the virtual USB bus also
// reads. A bridge of three nets has no board of its own: a test fails when
// given one.
std::string board_text_of(const std::vector<diagnose::Fault> &faults);
chip::Wiring wiring_of(const std::vector<diagnose::Fault> &faults);
