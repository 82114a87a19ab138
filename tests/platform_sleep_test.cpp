// The real OS sleep, on the real clock: no wait ends before its length,
// measured from its own start, and a signal does not cut a wait short.
// Only those properties are asserted strictly; how late a wait ends depends
// on the load of the machine, so the upper bounds only catch a runaway wait.
#include "platform/platform_sleep.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/time.h>
#include <time.h>

#include <cstdint>

namespace {

int64_t now_ns()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
}

// Length of one platform_sleep_ms(ms) call as seen from outside, in ns.
int64_t timed_sleep(uint32_t ms)
{
    int64_t start = now_ns();
    platform_sleep_ms(ms);
    return now_ns() - start;
}

const int64_t NS_PER_MS = 1000000;
const int64_t RUNAWAY_NS = 1000 * NS_PER_MS; // far beyond any scheduling delay

TEST(PlatformSleep, NoneOfTwentyTenMillisecondWaitsEndsEarly)
{
    for (int i = 0; i < 20; i++) {
        int64_t took = timed_sleep(10);
        EXPECT_GE(took, 10 * NS_PER_MS) << "wait " << i;
        EXPECT_LT(took, RUNAWAY_NS) << "wait " << i;
    }
}

TEST(PlatformSleep, ShortWaitsLastAtLeastTheirLength)
{
    for (uint32_t ms : {1u, 2u, 3u, 1u}) {
        int64_t took = timed_sleep(ms);
        EXPECT_GE(took, int64_t(ms) * NS_PER_MS) << ms << " ms";
        EXPECT_LT(took, RUNAWAY_NS) << ms << " ms";
    }
}

TEST(PlatformSleep, AZeroLengthWaitReturns)
{
    EXPECT_LT(timed_sleep(0), RUNAWAY_NS);
}

// A SIGALRM handler installed without SA_RESTART, so that the signal does
// interrupt the sleep call; it notes when each signal came.
volatile sig_atomic_t signals_seen = 0;
volatile int64_t first_signal_ns = 0;

void on_alarm(int)
{
    if (signals_seen == 0)
        first_signal_ns = now_ns();
    signals_seen = signals_seen + 1;
}

class SignalDuringSleep : public ::testing::Test {
protected:
    void SetUp() override
    {
        signals_seen = 0;
        first_signal_ns = 0;
        struct sigaction action = {};
        action.sa_handler = on_alarm;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        ASSERT_EQ(sigaction(SIGALRM, &action, &previous), 0);
    }
    void TearDown() override
    {
        struct itimerval off = {};
        setitimer(ITIMER_REAL, &off, nullptr);
        sigaction(SIGALRM, &previous, nullptr);
    }
    // Raise SIGALRM after first_us, then every interval_us (0: once).
    static void arm(long first_us, long interval_us)
    {
        struct itimerval timer = {};
        timer.it_value.tv_usec = first_us;
        timer.it_interval.tv_usec = interval_us;
        ASSERT_EQ(setitimer(ITIMER_REAL, &timer, nullptr), 0);
    }
    struct sigaction previous = {};
};

TEST_F(SignalDuringSleep, OneSignalMidWaitDoesNotEndItEarly)
{
    int64_t start = now_ns();
    arm(5000, 0); // 5 ms into a 20 ms wait
    platform_sleep_ms(20);
    int64_t end = now_ns();
    ASSERT_EQ(signals_seen, 1);
    EXPECT_GT(first_signal_ns, start);
    EXPECT_LT(first_signal_ns, end);
    EXPECT_GE(end - start, 20 * NS_PER_MS);
    EXPECT_LT(end - start, RUNAWAY_NS);
}

TEST_F(SignalDuringSleep, RepeatedSignalsDoNotEndItEarly)
{
    int64_t start = now_ns();
    arm(1000, 1000); // every millisecond through a 30 ms wait
    platform_sleep_ms(30);
    int64_t end = now_ns();
    struct itimerval off = {};
    setitimer(ITIMER_REAL, &off, nullptr);
    EXPECT_GE(signals_seen, 2);
    EXPECT_GE(end - start, 30 * NS_PER_MS);
    EXPECT_LT(end - start, RUNAWAY_NS);
}

} // namespace
