// The whole wiring test in one USB round trip: the set and read commands of
// every pattern in one command stream, one write, ending with send-immediate,
// and the answers read back under a deadline. Repeated without reopening, it
// is a soak run that catches contacts that come and go.
#pragma once

#include "fast_options.h"

#include <chrono>
#include <cstdint>

namespace station {

// For the benchmark (bench/fast_phase.cpp): when set, told of each run's
// span from just before the stream's write to the end of the reading of its
// answers.
extern void (*fast_phase_observer)(std::chrono::steady_clock::duration span);

// Opens channel of the chip at location and sets it up as the normal test
// does but without its settle waits, synchronises with a write the chip
// answers at once (send-immediate), then runs the test as often
// as asked. Prints a normal test's report for every run (rows and count
// line), so that the station reads it as it reads a normal run. 0 when the
// runs ran to their end, -1 after a device or setup failure.
int test_board_fast(const char *location, char channel, const FastOptions &options);

} // namespace station
