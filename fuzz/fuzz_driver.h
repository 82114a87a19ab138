// A driver whose every answer comes from the fuzzer's input: statuses, device
// counts and serial numbers, handles, queue counts, read counts and bytes. It
// keeps the driver's side of each contract in ft_driver.h (it never writes
// beyond what it was given) and checks the system's side of it: the handle
// it opened, counts within the buffers, nothing after FT_Close.
#pragma once

#include "fuzz_input.h"

namespace fuzz_driver {

// Start a run that answers from in, which must outlive the run.
void start(FuzzInput &in);

struct Tally {
    size_t calls = 0;
    size_t closes = 0;
    size_t waits = 0;
};
const Tally &tally();

} // namespace fuzz_driver
