// The ids of records and sessions.
#pragma once

#include <string>

namespace station {

// A new random UUID (version 4), as text.
std::string new_uuid();

} // namespace station
