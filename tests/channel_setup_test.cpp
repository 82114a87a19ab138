// Channel setup: eight confirmed steps, then one settle wait; the first
// failing step stops everything after its status name and error line.
#include "expected_output.h"
#include "fixture.h"

#include "mpsse/channel_setup.h"
#include "mpsse/settle_delay.h"

namespace {

using expected::setup_steps;
using Step = expected::SetupStep;

class ChannelSetup : public SimTest {};

TEST_F(ChannelSetup, AFullSetupConfirmsEachStepInOrderThenWaitsOnce)
{
    open_board();
    int result = 0;
    console::Run r = console::capture([&] { result = setup_channel(); });
    EXPECT_EQ(result, 0);

    std::vector<std::string> expected_calls;
    for (const Step &s : setup_steps)
        expected_calls.push_back(s.call);
    EXPECT_EQ(r.out, expected::setup);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(describe_calls(), expected_calls);
    ASSERT_EQ(vclock::waits().size(), 1u);
    EXPECT_EQ(vclock::waits()[0].ms, 1000u);
    EXPECT_EQ(vclock::waits()[0].after_calls, 8u);
    EXPECT_TRUE(sim::channel(0).mpsse_on());
    EXPECT_EQ(settle_delay.seconds, 1);
    EXPECT_EQ(settle_delay.fraction, 0);
}

TEST_F(ChannelSetup, WithShortDelayTheFinalWaitIsTenMilliseconds)
{
    open_board();
    short_delay = 1;
    console::capture([] { setup_channel(); });
    EXPECT_EQ(vclock::wait_lengths(), std::vector<uint32_t>{10});
}

TEST_F(ChannelSetup, AFailureAtEachStepStopsAfterItsStatusNameAndErrorLine)
{
    const FT_STATUS statuses[] = {FT_IO_ERROR, FT_DEVICE_NOT_FOUND, FT_OTHER_ERROR, 19};
    for (size_t failing = 0; failing < std::size(setup_steps); failing++) {
        for (FT_STATUS status : statuses) {
            SCOPED_TRACE("step " + std::to_string(failing + 1) + ", status " + std::to_string(status));
            SetUp();
            open_board();
            sim::inject(sim::fail(setup_steps[failing].op, setup_steps[failing].nth, status));
            int result = 0;
            console::Run r = console::capture([&] { result = setup_channel(); });

            EXPECT_EQ(result, -1);
            std::string name = expected::status_line(status);
            EXPECT_EQ(r.out, expected::setup_lines(failing));
            EXPECT_EQ(r.err, name + setup_steps[failing].error_line);
            if (failing > 0) {
                ASSERT_EQ(r.sequence.size(), 2u); // all success lines before the error
                EXPECT_EQ(r.sequence[0].first, console::Stream::out);
            }
            EXPECT_EQ(sim::calls().size(), failing + 1); // no later device call
            EXPECT_TRUE(vclock::waits().empty());
        }
    }
}

} // namespace
