// utc_time.h on POSIX.
#include "utc_time.h"

namespace station {

std::tm utc_calendar(std::time_t when)
{
    std::tm fields{};
    gmtime_r(&when, &fields);
    return fields;
}

std::time_t utc_seconds(std::tm fields) { return timegm(&fields); }

} // namespace station
