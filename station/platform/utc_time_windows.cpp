// utc_time.h on Windows: the C runtime's own names for the same calls.
#include "utc_time.h"

namespace station {

std::tm utc_calendar(std::time_t when)
{
    std::tm fields{};
    gmtime_s(&fields, &when);
    return fields;
}

std::time_t utc_seconds(std::tm fields) { return _mkgmtime(&fields); }

} // namespace station
