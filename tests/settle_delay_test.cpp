// The length of a settle wait, from the delay record or the -delay flag.
#include "fixture.h"

#include "mpsse/settle_delay.h"

namespace {

struct DelayCase {
    int32_t seconds, fraction;
    int short_mode;
    uint32_t expected_ms;
};

void PrintTo(const DelayCase &c, std::ostream *os)
{
    *os << c.seconds << " s + " << c.fraction << (c.short_mode ? ", -delay" : "");
}

class SettleDelay : public SimTest, public ::testing::WithParamInterface<DelayCase> {};

TEST_P(SettleDelay, SleepsOnceForTheComputedLength)
{
    const DelayCase &c = GetParam();
    settle_delay = {c.seconds, c.fraction};
    short_delay = c.short_mode;
    wait_settle();
    EXPECT_EQ(vclock::wait_lengths(), std::vector<uint32_t>{c.expected_ms});
}

INSTANTIATE_TEST_SUITE_P(Arithmetic, SettleDelay, ::testing::Values(
    DelayCase{0, 0, 0, 0},                 // a zero wait still goes to the OS
    DelayCase{0, 99999999, 0, 0},          // truncated, not rounded
    DelayCase{0, 100000000, 0, 1},
    DelayCase{0, 199999999, 0, 1},
    DelayCase{0, 1000000000, 0, 10},
    DelayCase{1, 0, 0, 1000},
    DelayCase{2, 0, 0, 2000},
    DelayCase{2, 100000000, 0, 2001},
    DelayCase{0, 2147483647, 0, 21},       // the largest fraction
    DelayCase{2, 0, 1, 10},                // -delay ignores the record
    DelayCase{0, 100000000, 1, 10},        // and lengthens the short waits
    DelayCase{0, 0, 1, 10}));

TEST_F(SimTest, ANegativeRecordNeverBecomesAnEndlessWait)
{
    settle_delay = {-1, 0};
    wait_settle();
    EXPECT_EQ(vclock::wait_lengths(), std::vector<uint32_t>{0});
}

} // namespace
