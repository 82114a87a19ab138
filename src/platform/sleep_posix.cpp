#include "platform_sleep.h"

#include <errno.h>
#include <time.h>

void platform_sleep_ms(uint32_t ms)
{
    /* An absolute deadline on the monotonic clock: a wait interrupted by a
     * signal resumes for exactly what is left, never ending early. */
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += (long)(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
