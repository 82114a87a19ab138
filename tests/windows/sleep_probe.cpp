// The Windows sleep measured on QueryPerformanceCounter, first on the
// high-resolution waitable timer, then on the fallback. One line per wait
// length: the waiter, the length, how many waits, how many ended early, and
// the least, median and greatest lateness in microseconds. Exit status 1
// when any wait ended early. tests/wine_test.cpp runs it under Wine.
#include "platform/platform_sleep.h"
#include "platform/sleep_windows.h"

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace {

int64_t counter_now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t counter_frequency()
{
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

// Run count waits of ms and print their line; the number that ended early.
int probe(uint32_t ms, int count)
{
    const int64_t frequency = counter_frequency();
    std::vector<int64_t> lateness_us;
    int early = 0;
    for (int i = 0; i < count; i++) {
        int64_t start = counter_now();
        platform_sleep_ms(ms);
        int64_t took = counter_now() - start;
        // Compare in counts: no rounding can hide an early end.
        if (took * 1000 < int64_t(ms) * frequency)
            early++;
        lateness_us.push_back((took * 1000000 - int64_t(ms) * 1000 * frequency) / frequency);
    }
    std::sort(lateness_us.begin(), lateness_us.end());
    std::printf("%s | %u ms | %d waits | %d early | late min %lld us, median %lld us, max %lld us\n",
                platform_sleep_method(), ms, count, early, (long long)lateness_us.front(),
                (long long)lateness_us[lateness_us.size() / 2], (long long)lateness_us.back());
    return early;
}

int probe_all()
{
    int early = probe(10, 20);
    for (uint32_t ms : {1u, 2u, 3u, 0u})
        early += probe(ms, 5);
    return early;
}

} // namespace

int main()
{
    int early = probe_all();
    platform_sleep_refuse_high_resolution_timer();
    early += probe_all();
    return early == 0 ? 0 : 1;
}
