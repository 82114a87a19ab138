// A clock for the tests: the platform sleep records each requested wait and
// returns at once, so that the whole schedule of waits can be asserted.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace vclock {

struct Wait {
    uint32_t ms;
    size_t after_calls; // driver calls made before this wait
};

void reset();
const std::vector<Wait> &waits();
std::vector<uint32_t> wait_lengths();
uint64_t total_ms();

} // namespace vclock
