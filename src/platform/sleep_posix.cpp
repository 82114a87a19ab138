#include "platform_sleep.h"

#include <errno.h>
#include <time.h>
#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace {

/* How long before its deadline a wait stops sleeping and starts watching the
 * clock. A sleep wakes some tens of microseconds late (often over a hundred
 * on a virtual machine); waking this much early and spinning the rest on the
 * monotonic clock ends each wait within about a microsecond of its deadline,
 * at the cost of at most this much processor time per wait. */
const long SPIN_NS = 200000L;

const long NS_PER_S = 1000000000L;

bool before(const struct timespec &a, const struct timespec &b)
{
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

/* Ask the kernel to wake the thread when its timers expire rather than up to
 * 50 us later to batch wake-ups (the default timer slack). Once per process;
 * a kernel that refuses leaves the default, which costs time, not correctness. */
void tighten_timer_slack()
{
#if defined(__linux__)
    static bool done = false;
    if (!done) {
        prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
        done = true;
    }
#endif
}

} // namespace

void platform_sleep_ms(uint32_t ms)
{
    /* An absolute deadline on the monotonic clock, from this wait's own start:
     * a wait interrupted by a signal resumes for exactly what is left, never
     * ending early, and no wait gives time to or takes it from another. */
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= NS_PER_S) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= NS_PER_S;
    }
    tighten_timer_slack();
    struct timespec wake = deadline;
    wake.tv_nsec -= SPIN_NS;
    if (wake.tv_nsec < 0) {
        wake.tv_sec -= 1;
        wake.tv_nsec += NS_PER_S;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &wake, nullptr) == EINTR) {
    }
    struct timespec now;
    do
        clock_gettime(CLOCK_MONOTONIC, &now);
    while (before(now, deadline));
}
