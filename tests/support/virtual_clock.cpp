#include "virtual_clock.h"

#include "platform/platform_sleep.h"
#include "sim_control.h"

namespace vclock {
namespace {
std::vector<Wait> recorded;
}

void reset() { recorded.clear(); }

const std::vector<Wait> &waits() { return recorded; }

std::vector<uint32_t> wait_lengths()
{
    std::vector<uint32_t> lengths;
    lengths.reserve(recorded.size());
    for (const Wait &w : recorded)
        lengths.push_back(w.ms);
    return lengths;
}

uint64_t total_ms()
{
    uint64_t total = 0;
    for (const Wait &w : recorded)
        total += w.ms;
    return total;
}

} // namespace vclock

void platform_sleep_ms(uint32_t ms)
{
    vclock::recorded.push_back({ms, sim::calls().size()});
}
