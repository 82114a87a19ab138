// A board's record: what a line's systems read of it, one JSON object.
#pragma once

#include "board_result.h"

#include <string>

namespace station {

// The board's record, one JSON object without a line end.
std::string record_json(const BoardResult &result, const RunContext &context);

// The record's file name: dut_id (cut to 64 bytes, with a hash of the whole
// when it had to be changed), location, channel and UTC start time, made
// safe; it never begins with '-' or '.'.
std::string record_file_name(const BoardResult &result);

} // namespace station
