// Calendar time in UTC, through each OS's thread-safe calls.
#pragma once

#include <ctime>

namespace station {

// The UTC calendar fields of a time.
std::tm utc_calendar(std::time_t when);

// The time that UTC calendar fields name: utc_calendar's inverse, with
// fields out of their range carried over as timegm does.
std::time_t utc_seconds(std::tm fields);

} // namespace station
