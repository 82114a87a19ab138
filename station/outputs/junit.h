// A run's boards as JUnit XML: a suite per board, a case per pin.
#pragma once

#include "board_result.h"

#include <string>
#include <vector>

namespace station {

std::string junit_xml(const std::vector<BoardResult> &results, const RunContext &context);

} // namespace station
