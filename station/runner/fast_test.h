// The whole wiring test in one USB round trip: the set and read commands of
// every pattern in one command stream, one write, ending with send-immediate,
// and the answers read back under a deadline. Repeated without reopening, it
// is a soak run that catches contacts that come and go.
#pragma once

#include "fault_model.h"

#include <chrono>
#include <cstdint>

namespace station {

struct FastOptions {
    bool short_test = false;
    // The planned sets (locate, deep) drive their own steps and read the low
    // byte back after each; deep waits diagnose::deep_settle_us (or settle_us,
    // when longer) before each step with inputs, for the pull-ups to settle.
    diagnose::PatternSet patterns = diagnose::PatternSet::standard;
    uint32_t settle_us = 0;   // at least this long between setting a pattern and reading it
    long repeat = 1;          // runs; 0: until duration_s has passed
    double duration_s = 0;
};

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
