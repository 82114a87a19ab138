/* The OS sleep on Windows. Sleep() rounds to the system timer tick (15.6 ms
 * by default) and may end early for a wait shorter than one tick, so each
 * wait runs against a deadline on QueryPerformanceCounter: it sleeps on a
 * high-resolution waitable timer until just before the deadline (or, where
 * Windows refuses that timer, on Sleep() at a 1 ms timer period) and spins
 * the rest on the counter. */
#include "platform_sleep.h"
#include "sleep_windows.h"

#include <windows.h>
#include <timeapi.h>

/* Windows 10 1803's flag, missing from older mingw-w64 headers. */
#ifndef CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
#define CREATE_WAITABLE_TIMER_HIGH_RESOLUTION 0x00000002
#endif

namespace {

/* How long before its deadline a wait stops sleeping and watches the counter,
 * and the shortest sleep worth asking for. The high-resolution timer wakes
 * some tenths of a millisecond late; Sleep() at a 1 ms period may wake up to
 * a period early or late, and sleeps whole milliseconds only. */
const int64_t TIMER_MARGIN_US = 1000;
const int64_t TIMER_SHORTEST_US = 100;
const int64_t SLEEP_MARGIN_US = 2000;
const int64_t SLEEP_SHORTEST_US = 1000;

const int64_t US_PER_S = 1000000;
const int64_t HUNDRED_NS_PER_US = 10;

int64_t counter_frequency = 0; /* counts per second, 0 until the first wait */
HANDLE wait_timer = nullptr;   /* the high-resolution timer, once made */
bool timer_refused = false;    /* wait on Sleep() instead */
bool period_raised = false;    /* timeBeginPeriod(1) done, held until exit */

int64_t counter_now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

/* Split so that no product overflows, whatever the counter's frequency. */
int64_t counts_to_us(int64_t counts)
{
    return counts / counter_frequency * US_PER_S +
           counts % counter_frequency * US_PER_S / counter_frequency;
}

int64_t ms_to_counts_rounded_up(uint32_t ms)
{
    int64_t whole_seconds = ms / 1000;
    int64_t rest_ms = ms % 1000;
    return whole_seconds * counter_frequency + (rest_ms * counter_frequency + 999) / 1000;
}

void prepare_waits()
{
    if (counter_frequency == 0) {
        LARGE_INTEGER frequency;
        QueryPerformanceFrequency(&frequency);
        counter_frequency = frequency.QuadPart;
    }
    if (!wait_timer && !timer_refused) {
        /* Windows 10 1803 and later; it leaves the system-wide tick alone. */
        wait_timer = CreateWaitableTimerExW(nullptr, nullptr, CREATE_WAITABLE_TIMER_HIGH_RESOLUTION,
                                            TIMER_ALL_ACCESS);
        timer_refused = wait_timer == nullptr;
    }
    if (timer_refused && !period_raised) {
        timeBeginPeriod(1);
        period_raised = true;
    }
}

/* Sleep for about us microseconds; false when the timer would not start. */
bool timer_sleep(int64_t us)
{
    LARGE_INTEGER due;
    due.QuadPart = -us * HUNDRED_NS_PER_US; /* negative: relative to now */
    if (!SetWaitableTimer(wait_timer, &due, 0, nullptr, nullptr, FALSE))
        return false;
    return WaitForSingleObject(wait_timer, INFINITE) == WAIT_OBJECT_0;
}

} // namespace

void platform_sleep_ms(uint32_t ms)
{
    prepare_waits();
    int64_t deadline = counter_now() + ms_to_counts_rounded_up(ms);
    /* Each sleep is measured anew against the deadline, however it ended. */
    for (;;) {
        int64_t left_us = counts_to_us(deadline - counter_now());
        int64_t margin_us = timer_refused ? SLEEP_MARGIN_US : TIMER_MARGIN_US;
        int64_t shortest_us = timer_refused ? SLEEP_SHORTEST_US : TIMER_SHORTEST_US;
        int64_t sleep_us = left_us - margin_us;
        if (sleep_us < shortest_us)
            break;
        if (timer_refused) {
            Sleep((DWORD)(sleep_us / 1000));
        } else if (!timer_sleep(sleep_us)) {
            /* A timer that failed once is not trusted again. */
            timer_refused = true;
            prepare_waits();
        }
    }
    while (counter_now() < deadline)
        YieldProcessor();
}

void platform_sleep_refuse_high_resolution_timer(void)
{
    timer_refused = true;
}

const char *platform_sleep_method(void)
{
    prepare_waits();
    return timer_refused ? "Sleep() at a 1 ms timer period" : "high-resolution waitable timer";
}
