// A process that makes the waits of a -delay run and nothing else: N waits of
// 10 ms, each with the tool's own platform_sleep_ms, as exact as this machine
// allows. The tool on the latency-faithful virtual USB chip is measured
// against it.
//
//   bench_waits N
#include "platform/platform_sleep.h"

#include <cstdlib>

int main(int argc, char **argv)
{
    int waits = argc == 2 ? std::atoi(argv[1]) : -1;
    if (waits < 0)
        return 2;
    for (int i = 0; i < waits; i++)
        platform_sleep_ms(10);
    return 0;
}
