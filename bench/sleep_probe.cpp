// How late a 10 ms wait ends, wait by wait, and what processor time it costs.
//
//   bench_sleep_probe WAY WAITS
//
// WAY is one of:
//   plain     one absolute clock_nanosleep to the deadline at the default timer
//             slack: what src/platform/sleep_posix.cpp did before it was tuned;
//   slack     the same after prctl(PR_SET_TIMERSLACK, 1);
//   platform  the tool's own platform_sleep_ms, linked from the real source.
// Each way runs in its own process, since the timer slack stays with a thread.
//
// Prints waits=N cpu_ns_per_wait=<process processor time / N>, then the
// lateness past 10 ms of each wait in ns, a line each, in the order made
// (negative: the wait ended early).
#include "platform/platform_sleep.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <time.h>

#include <vector>

namespace {

const long long WAIT_NS = 10000000LL;

long long read_clock(clockid_t clock)
{
    struct timespec t;
    clock_gettime(clock, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

void plain_sleep_10ms()
{
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += WAIT_NS;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s plain|slack|platform WAITS\n", argv[0]);
        return 2;
    }
    const char *way = argv[1];
    int waits = atoi(argv[2]);
    bool platform = strcmp(way, "platform") == 0;
    if (strcmp(way, "slack") == 0)
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    else if (!platform && strcmp(way, "plain") != 0) {
        fprintf(stderr, "bench_sleep_probe: unknown way %s\n", way);
        return 2;
    }
    if (waits < 1)
        return 2;

    std::vector<long long> late;
    late.reserve(size_t(waits));
    long long cpu_start = read_clock(CLOCK_PROCESS_CPUTIME_ID);
    for (int i = 0; i < waits; i++) {
        long long start = read_clock(CLOCK_MONOTONIC);
        if (platform)
            platform_sleep_ms(10);
        else
            plain_sleep_10ms();
        late.push_back(read_clock(CLOCK_MONOTONIC) - start - WAIT_NS);
    }
    long long cpu = read_clock(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;

    printf("waits=%d cpu_ns_per_wait=%lld\n", waits, cpu / waits);
    for (long long x : late)
        printf("%lld\n", x);
    return 0;
}
