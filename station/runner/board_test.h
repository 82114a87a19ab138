// One board's test, as the process the station starts for it runs it: the
// channel opened by its location, then the same engine and the same report
// as wiretest's.
#pragma once

namespace station {

// Opens channel of the chip at location and runs the wiring test on it,
// printing the report on the standard streams: 0 when the test ran to its
// end, -1 after a device or setup failure.
int test_board(const char *location, char channel, bool short_test, bool short_waits);

// Opens the channel into device_handle and prints the connection banner, or
// the status name and the error line: 0 or -1. The engine's state starts
// anew, with short_waits as -delay sets it.
int open_board(const char *location, char channel, bool short_waits);

} // namespace station
