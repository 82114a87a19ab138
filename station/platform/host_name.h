// The name of the computer the station runs on, as its OS tells it.
#pragma once

#include <string>

namespace station {

// The host's name; "unknown" when the OS cannot tell it.
std::string host_name();

} // namespace station
