// The MPSSE exchanges: the bytes each one sends, its waits, what it makes of
// the receive queue, and how each of its device calls may fail.
#include "fixture.h"

#include "device_link/device_state.h"
#include "mpsse/channel_setup.h"
#include "mpsse/exchanges.h"
#include "mpsse/settle_delay.h"

#include <algorithm>

namespace {

using Calls = std::vector<std::string>;
using Waits = std::vector<uint32_t>;

class Exchanges : public SimTest {};

// --- sync_mpsse -------------------------------------------------------------

TEST_F(Exchanges, SyncSendsLoopbackBadCommandAndLoopbackOffAndReadsTheEcho)
{
    open_board();
    console::capture([] { setup_channel(); });
    sim::forget_calls();
    vclock::reset();
    int result = -1;
    console::Run r = console::capture([&] { result = sync_mpsse(); });

    EXPECT_EQ(result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(describe_calls(), (Calls{
        "FT_Write[84]", "FT_GetQueueStatus()=0",
        "FT_Write[AB]", "FT_GetQueueStatus()=2", "FT_Read(2)=[FA AB]",
        "FT_Write[85]", "FT_GetQueueStatus()=0"}));
    // setup left the fraction at 0, so only the echo wait is long.
    EXPECT_EQ(vclock::wait_lengths(), (Waits{0, 0, 2000, 0}));
    EXPECT_FALSE(sim::channel(0).loopback());
}

TEST_F(Exchanges, SyncWaitsInheritTheFractionLeftInTheRecord)
{
    open_board();
    settle_delay = {7, 300000000}; // seconds are always set, the fraction kept
    console::capture([] { sync_mpsse(); });
    EXPECT_EQ(vclock::wait_lengths(), (Waits{3, 3, 2003, 3}));
}

TEST_F(Exchanges, SyncWithShortDelayWaitsTenMillisecondsFourTimes)
{
    open_board();
    short_delay = 1;
    console::capture([] { sync_mpsse(); });
    EXPECT_EQ(vclock::wait_lengths(), (Waits{10, 10, 10, 10}));
}

TEST_F(Exchanges, SyncReadsTheEchoEvenWhenNothingIsQueued)
{
    open_board(); // never switched to MPSSE: the chip answers nothing
    int result = -1;
    console::capture([&] { result = sync_mpsse(); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(describe_calls(), (Calls{
        "FT_Write[84]", "FT_GetQueueStatus()=0", "FT_Write[AB]", "FT_GetQueueStatus()=0",
        "FT_Read(0)=[]", "FT_Write[85]", "FT_GetQueueStatus()=0"}));
}

TEST_F(Exchanges, SyncFailsAtEachDeviceCallWithTheStatusNameOnly)
{
    // Stale bytes before each drain make both drains read, so that every one
    // of the nine calls exists to fail.
    struct Case {
        sim::Op op;
        int nth;
        size_t calls_made;
    };
    const Case cases[] = {
        {sim::Op::Write, 1, 1}, {sim::Op::GetQueueStatus, 1, 2}, {sim::Op::Read, 1, 3},
        {sim::Op::Write, 2, 4}, {sim::Op::GetQueueStatus, 2, 5}, {sim::Op::Read, 2, 6},
        {sim::Op::Write, 3, 7}, {sim::Op::GetQueueStatus, 3, 8}, {sim::Op::Read, 3, 9},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(sim::op_name(c.op)) + " #" + std::to_string(c.nth));
        SetUp();
        open_board();
        console::capture([] { setup_channel(); });
        sim::forget_calls();
        sim::inject(sim::stale_before(sim::Op::GetQueueStatus, 1, {0x11}));
        sim::inject(sim::stale_before(sim::Op::GetQueueStatus, 3, {0x22}));
        sim::inject(sim::fail(c.op, c.nth, FT_IO_ERROR));
        int result = 0;
        console::Run r = console::capture([&] { result = sync_mpsse(); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(r.err, "FT_IO_ERROR\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(sim::calls().size(), c.calls_made);
    }
}

// --- set_low_byte -----------------------------------------------------------

TEST_F(Exchanges, SetLowByteWritesValueWithAllPinsOutputsAndWaitsASecond)
{
    open_synced_board();
    int result = -1;
    console::Run r = console::capture([&] { result = set_low_byte(0x2A); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(describe_calls(), (Calls{"FT_Write[80 2A FF]", "FT_GetQueueStatus()=0"}));
    ASSERT_EQ(vclock::waits().size(), 1u);
    EXPECT_EQ(vclock::waits()[0].ms, 1000u);
    EXPECT_EQ(vclock::waits()[0].after_calls, 1u); // between the write and the queue query
    EXPECT_EQ(sim::channel(0).low_value(), 0x2A);
    EXPECT_EQ(sim::channel(0).low_direction(), 0xFF);
}

TEST_F(Exchanges, SetLowByteListsUnreadBytesInArrivalOrderAndSucceeds)
{
    open_synced_board();
    sim::inject(sim::stale_before(sim::Op::GetQueueStatus, 1, {0xFA, 0x05, 0x00, 0xAB}));
    int result = -1;
    console::Run r = console::capture([&] { result = set_low_byte(0x01); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(r.err, "\t\t0: 0xFA\n\t\t1: 0x5\n\t\t2: 0x0\n\t\t3: 0xAB\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Exchanges, SetLowByteReportsAFailedReadListsNothingAndStillSucceeds)
{
    open_synced_board();
    sim::inject(sim::stale_before(sim::Op::GetQueueStatus, 1, {0x01, 0x02}));
    // The failed read claims a count far beyond the buffer.
    sim::inject(sim::fail(sim::Op::Read, 1, FT_IO_ERROR, 1000000));
    int result = -1;
    console::Run r = console::capture([&] { result = set_low_byte(0x01); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(r.err, "FT_IO_ERROR\n");
    EXPECT_EQ(r.out, "");
}

TEST_F(Exchanges, SetLowByteNeverReadsOrListsMoreThanTheReceiveBufferHolds)
{
    open_synced_board();
    sim::inject(sim::stale_before(sim::Op::GetQueueStatus, 1, std::vector<uint8_t>(70000, 0x5A)));
    console::Run r = console::capture([] { set_low_byte(0x00); });
    EXPECT_EQ(describe(sim::calls()[2]).substr(0, 14), "FT_Read(65536)");
    size_t lines = size_t(std::count(r.err.begin(), r.err.end(), '\n'));
    EXPECT_EQ(lines, 65536u);
    EXPECT_NE(r.err.find("\t\t65535: 0x5A\n"), std::string::npos);
    EXPECT_EQ(r.err.find("\t\t65536:"), std::string::npos);
}

TEST_F(Exchanges, SetLowByteFailsOnAFailedWriteOrQueueQuery)
{
    for (sim::Op op : {sim::Op::Write, sim::Op::GetQueueStatus}) {
        SCOPED_TRACE(sim::op_name(op));
        SetUp();
        open_synced_board();
        sim::inject(sim::fail(op, 1, FT_DEVICE_NOT_FOUND));
        int result = 0;
        console::Run r = console::capture([&] { result = set_low_byte(0x01); });
        EXPECT_EQ(result, -1);
        EXPECT_EQ(r.err, "FT_DEVICE_NOT_FOUND\n");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(sim::calls().size(), op == sim::Op::Write ? 1u : 2u);
    }
}

// --- read_high_byte ---------------------------------------------------------

TEST_F(Exchanges, ReadHighByteWaitsSendsTheReadCommandWaitsAndReturnsThePins)
{
    open_synced_board(chip::Wiring{}.stick(6, 1));
    console::capture([] { set_low_byte(0x05); });
    sim::forget_calls();
    vclock::reset();
    int value = -1;
    console::Run r = console::capture([&] { value = read_high_byte(); });
    EXPECT_EQ(value, 0x45);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(describe_calls(), (Calls{"FT_Write[83]", "FT_GetQueueStatus()=1", "FT_Read(1)=[45]"}));
    ASSERT_EQ(vclock::waits().size(), 2u);
    EXPECT_EQ(vclock::waits()[0].ms, 1000u);
    EXPECT_EQ(vclock::waits()[0].after_calls, 0u);
    EXPECT_EQ(vclock::waits()[1].ms, 1000u);
    EXPECT_EQ(vclock::waits()[1].after_calls, 1u);
}

TEST_F(Exchanges, ReadHighByteWithShortDelayWaitsTenMillisecondsTwice)
{
    open_synced_board();
    short_delay = 1;
    console::capture([] { read_high_byte(); });
    EXPECT_EQ(vclock::wait_lengths(), (Waits{10, 10}));
}

TEST_F(Exchanges, ReadHighByteSkipsStaleBytesAndReturnsTheLast)
{
    open_synced_board();
    console::capture([] { set_low_byte(0x3C); });
    sim::forget_calls();
    sim::inject(sim::stale_before(sim::Op::Write, 1, {0xFA, 0xAB, 0x99}));
    int value = -1;
    console::capture([&] { value = read_high_byte(); });
    EXPECT_EQ(value, 0x3C);
    EXPECT_EQ(describe(sim::calls().back()), "FT_Read(4)=[FA AB 99 3C]");
}

TEST_F(Exchanges, ReadHighByteFindsTheAnswerBehindMoreThanABufferOfStaleBytes)
{
    open_synced_board();
    console::capture([] { set_low_byte(0x81); });
    sim::forget_calls();
    sim::inject(sim::stale_before(sim::Op::Write, 1, std::vector<uint8_t>(70000, 0xEE)));
    int value = -1;
    console::capture([&] { value = read_high_byte(); });
    EXPECT_EQ(value, 0x81);
    const std::vector<sim::Call> &calls = sim::calls();
    ASSERT_EQ(calls.size(), 4u);
    EXPECT_EQ(calls[2].args[0], 65536u);
    EXPECT_EQ(calls[3].args[0], 70001u - 65536u);
}

// A reset clears only what reads may have written: all of it must be zero
// again, after a read of a whole buffer and after a short one.
TEST_F(Exchanges, ResetClearsEveryByteAReadWrote)
{
    for (size_t stale : {size_t(70000), size_t(3)}) {
        SCOPED_TRACE(stale);
        SetUp();
        open_synced_board();
        console::capture([] { set_low_byte(0x81); });
        sim::forget_calls();
        sim::inject(sim::stale_before(sim::Op::Write, 1, std::vector<uint8_t>(stale, 0xEE)));
        console::capture([] { read_high_byte(); });
        long written = RECEIVE_BUFFER_SIZE - std::count(receive_buffer, receive_buffer + RECEIVE_BUFFER_SIZE, 0);
        ASSERT_GE(written, long(std::min(stale, size_t(RECEIVE_BUFFER_SIZE))));
        reset_device_state();
        EXPECT_EQ(std::count(receive_buffer, receive_buffer + RECEIVE_BUFFER_SIZE, 0), RECEIVE_BUFFER_SIZE);
        EXPECT_EQ(bytes_read, 0u);
    }
}

TEST_F(Exchanges, ReadHighByteStopsAtAReadThatFindsTheQueueEnded)
{
    // The driver reports far more queued than ever arrives, and the chip
    // trickles one byte into each read. A read that delivers less than it
    // asked for found the queue ended; reading on (up to 65537 reads, each
    // waiting out the read timeout on a real chip) would stall the test.
    open_synced_board();
    console::capture([] { set_low_byte(0x5A); });
    sim::forget_calls();
    sim::inject(sim::misreport(sim::Op::GetQueueStatus, 1, 0xFFFFFFFFu));
    sim::Fault trickle = sim::stale_before(sim::Op::Read, 1, {0x77});
    trickle.and_later = true;
    trickle.count = 1;
    sim::inject(trickle);
    int value = -1;
    console::Run r = console::capture([&] { value = read_high_byte(); });
    EXPECT_EQ(value, 0x5A);
    EXPECT_EQ(describe_calls(), (Calls{"FT_Write[83]", "FT_GetQueueStatus()=4294967295",
                                       "FT_Read(65536)=[5A]"}));
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Exchanges, ReadHighByteWithAnEmptyQueueSaysNoDataOnStandardOutput)
{
    chip::Wiring wiring;
    open_synced_board(wiring);
    sim::channel(0).faults.drop_every_high_read = true;
    int value = 0;
    console::Run r = console::capture([&] { value = read_high_byte(); });
    EXPECT_EQ(value, -1);
    EXPECT_EQ(r.out, "no data ?!\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(call_names(), (Calls{"FT_Write", "FT_GetQueueStatus"}));
}

TEST_F(Exchanges, ReadHighByteGivesMinusOneWhenASuccessfulReadDeliversNothing)
{
    open_synced_board();
    sim::inject(sim::misreport(sim::Op::Read, 1, 0));
    int value = 0;
    console::Run r = console::capture([&] { value = read_high_byte(); });
    EXPECT_EQ(value, -1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

TEST_F(Exchanges, ReadHighByteFailsOnAnyFailedDeviceCallWithTheStatusNameOnly)
{
    for (sim::Op op : {sim::Op::Write, sim::Op::GetQueueStatus, sim::Op::Read}) {
        SCOPED_TRACE(sim::op_name(op));
        SetUp();
        open_synced_board();
        sim::inject(sim::fail(op, 1, FT_IO_ERROR, 5));
        int value = 0;
        console::Run r = console::capture([&] { value = read_high_byte(); });
        EXPECT_EQ(value, -1);
        EXPECT_EQ(r.err, "FT_IO_ERROR\n");
        EXPECT_EQ(r.out, "");
    }
}

} // namespace
