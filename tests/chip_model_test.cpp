// The simulated chip's MPSSE engine and the board wiring behind it: the
// answers the system's checks depend on must really come, or not come.
#include "mpsse_chip.h"

#include <gtest/gtest.h>

#include <deque>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

Bytes send(chip::MpsseChannel &c, const Bytes &bytes)
{
    std::deque<uint8_t> answers;
    c.write(bytes.data(), bytes.size(), answers);
    return Bytes(answers.begin(), answers.end());
}

chip::MpsseChannel mpsse_channel(const chip::Wiring &wiring = {})
{
    chip::MpsseChannel c;
    c.wiring = wiring;
    c.set_bit_mode(0, 0);
    c.set_bit_mode(0, 2);
    return c;
}

// Drive the low byte as outputs, make the high byte inputs, read it back.
uint8_t read_back(const chip::Wiring &wiring, uint8_t driven)
{
    chip::MpsseChannel c = mpsse_channel(wiring);
    Bytes answer = send(c, {0x80, driven, 0xFF, 0x82, 0x00, 0x00, 0x83});
    EXPECT_EQ(answer.size(), 1u);
    return answer.empty() ? 0 : answer[0];
}

struct WiringCase {
    const char *board;
    chip::Wiring wiring;
    uint8_t driven, expected;
};

void PrintTo(const WiringCase &c, std::ostream *os)
{
    *os << c.board << ", driving " << int(c.driven);
}

class BoardWiring : public ::testing::TestWithParam<WiringCase> {};

TEST_P(BoardWiring, HighByteReadsWhatTheWiringGivesIt)
{
    const WiringCase &c = GetParam();
    EXPECT_EQ(read_back(c.wiring, c.driven), c.expected) << c.board;
}

INSTANTIATE_TEST_SUITE_P(Faults, BoardWiring, ::testing::Values(
    WiringCase{"pin for pin", {}, 0x5A, 0x5A},
    WiringCase{"pin for pin", {}, 0x00, 0x00},
    WiringCase{"open 3, pulled down", chip::Wiring{}.open_wire(3, 0), 0xFF, 0xF7},
    WiringCase{"open 3, pulled down", chip::Wiring{}.open_wire(3, 0), 0x08, 0x00},
    WiringCase{"open 3, pulled up", chip::Wiring{}.open_wire(3, 1), 0x00, 0x08},
    WiringCase{"stuck 0 at 1", chip::Wiring{}.stick(0, 1), 0x00, 0x01},
    WiringCase{"stuck 7 at 0", chip::Wiring{}.stick(7, 0), 0xFF, 0x7F},
    WiringCase{"1 and 2 wired-AND", chip::Wiring{}.short_nets(1, 2, false), 0x02, 0x00},
    WiringCase{"1 and 2 wired-AND", chip::Wiring{}.short_nets(1, 2, false), 0x06, 0x06},
    WiringCase{"1 and 2 wired-OR", chip::Wiring{}.short_nets(1, 2, true), 0x02, 0x06},
    WiringCase{"1 and 2 wired-OR", chip::Wiring{}.short_nets(1, 2, true), 0x00, 0x00},
    WiringCase{"1 over 2 dominant", chip::Wiring{}.bridge(1, 2, chip::Wiring::Bridge::dominant), 0x02, 0x06},
    WiringCase{"1 over 2 dominant", chip::Wiring{}.bridge(1, 2, chip::Wiring::Bridge::dominant), 0x04, 0x00},
    WiringCase{"1 and 2 resistive", chip::Wiring{}.bridge(1, 2, chip::Wiring::Bridge::resistive), 0x02, 0x02},
    WiringCase{"4 and 5 swapped", chip::Wiring{}.swap(4, 5), 0x10, 0x20},
    WiringCase{"4 and 5 swapped", chip::Wiring{}.swap(4, 5), 0x30, 0x30},
    WiringCase{"0 inverted", chip::Wiring{}.invert(0), 0x00, 0x01},
    WiringCase{"0 inverted", chip::Wiring{}.invert(0), 0xFF, 0xFE},
    WiringCase{"6 wired to low 2", chip::Wiring{}.wire(6, 2), 0x04, 0x44},
    WiringCase{"6 wired to low 2", chip::Wiring{}.wire(6, 2), 0x40, 0x00},
    WiringCase{"6 wired to low 2", chip::Wiring{}.wire(6, 2), 0xFB, 0xBB}));

TEST(MpsseEngine, UndrivenLowPinsLeaveTheHighInputsAtTheirIdleLevel)
{
    chip::MpsseChannel c = mpsse_channel(chip::Wiring{}.open_wire(2, 0));
    EXPECT_EQ(send(c, {0x80, 0x00, 0x0F, 0x82, 0x00, 0x00, 0x83}), Bytes{0xF0});
}

TEST(MpsseEngine, AHighPinThatIsAnOutputReadsItsOwnLevel)
{
    chip::MpsseChannel c = mpsse_channel();
    EXPECT_EQ(send(c, {0x80, 0x00, 0xFF, 0x82, 0x81, 0x81, 0x83}), Bytes{0x81});
}

TEST(MpsseEngine, AnswersOnlyInMpsseMode)
{
    chip::MpsseChannel c;
    EXPECT_EQ(send(c, {0x83, 0xAB}), Bytes{});
    c.set_bit_mode(0, 2);
    EXPECT_EQ(send(c, {0xAB}), (Bytes{0xFA, 0xAB}));
    c.set_bit_mode(0, 0);
    EXPECT_EQ(send(c, {0x83}), Bytes{});
}

TEST(MpsseEngine, ABadOpcodeIsAnsweredWithFAAndItself)
{
    for (uint8_t opcode : {0xAB, 0xFF, 0x90, 0xA0}) {
        chip::MpsseChannel c = mpsse_channel();
        EXPECT_EQ(send(c, {opcode}), (Bytes{0xFA, opcode})) << int(opcode);
    }
}

TEST(MpsseEngine, CommandsSplitAcrossWritesAreJoined)
{
    chip::MpsseChannel c = mpsse_channel();
    EXPECT_EQ(send(c, {0x80}), Bytes{});
    EXPECT_EQ(send(c, {0x12}), Bytes{});
    EXPECT_EQ(send(c, {0xFF, 0x81}), Bytes{0x12});
    EXPECT_EQ(c.low_value(), 0x12);
}

TEST(MpsseEngine, BitModeZeroDropsAHalfReceivedCommand)
{
    chip::MpsseChannel c = mpsse_channel();
    send(c, {0x80, 0x12});
    c.set_bit_mode(0, 0);
    c.set_bit_mode(0, 2);
    EXPECT_EQ(send(c, {0xAB}), (Bytes{0xFA, 0xAB})); // 0xAB is a command again, not a payload
}

TEST(MpsseEngine, LoopbackCommandsSwitchTheLoopbackWithoutAnswer)
{
    chip::MpsseChannel c = mpsse_channel();
    EXPECT_EQ(send(c, {0x84}), Bytes{});
    EXPECT_TRUE(c.loopback());
    EXPECT_EQ(send(c, {0x85}), Bytes{});
    EXPECT_FALSE(c.loopback());
}

TEST(MpsseEngine, LowByteReadGivesTheLowPins)
{
    chip::MpsseChannel c = mpsse_channel();
    EXPECT_EQ(send(c, {0x80, 0xA5, 0xFF, 0x81}), Bytes{0xA5});
}

// 0x81 after each setting: a driven low pin reads its net, which a short to
// a rail or a bridge overpowers; an undriven one follows a driven net bridged
// to it, or its pull-up.
TEST(MpsseEngine, TheLowByteReadShowsOverpoweredDriversAndPulledInputs)
{
    using Bridge = chip::Wiring::Bridge;
    struct Case {
        const char *board;
        chip::Wiring wiring;
        uint8_t value, direction, low, high;
    };
    const Case cases[] = {
        {"stuck 3 at 0", chip::Wiring{}.stick(3, 0), 0xFF, 0xFF, 0xF7, 0xF7},
        {"stuck 3 at 1", chip::Wiring{}.stick(3, 1), 0x00, 0xFF, 0x08, 0x08},
        // Cut between the pins: the driver reads its own level, the receiver its pull-up.
        {"open 3, pulled up", chip::Wiring{}.open_wire(3, 1), 0x00, 0xFF, 0x00, 0x08},
        {"1 and 2 wired-AND", chip::Wiring{}.short_nets(1, 2, false), 0x02, 0xFF, 0x00, 0x00},
        {"1 and 2 wired-OR", chip::Wiring{}.short_nets(1, 2, true), 0x02, 0xFF, 0x06, 0x06},
        // A weak pull-up loses to a driver: net 2 undriven follows net 1 through any bridge.
        {"1 and 2 wired-OR, 2 an input", chip::Wiring{}.short_nets(1, 2, true), 0x00, 0xFB, 0x00, 0x00},
        {"1 and 2 resistive, 2 an input", chip::Wiring{}.bridge(1, 2, Bridge::resistive), 0x00, 0x02, 0xF9, 0xF9},
        {"1 and 2 resistive, both driven", chip::Wiring{}.bridge(1, 2, Bridge::resistive), 0x02, 0xFF, 0x02, 0x02},
        {"1 over 2 dominant", chip::Wiring{}.bridge(1, 2, Bridge::dominant), 0x04, 0xFF, 0x00, 0x00},
        // A receiver fed by another net: both drivers keep their own levels.
        {"6 wired to low 2", chip::Wiring{}.wire(6, 2), 0x40, 0xFF, 0x40, 0x00},
        {"nothing driven", {}, 0x00, 0x00, 0xFF, 0xFF},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board);
        chip::MpsseChannel channel = mpsse_channel(c.wiring);
        EXPECT_EQ(send(channel, {0x80, c.value, c.direction, 0x82, 0x00, 0x00, 0x83, 0x81}),
                  (Bytes{c.high, c.low}));
    }
}

TEST(MpsseEngine, DroppedHighReadsNeverAnswer)
{
    chip::MpsseChannel c = mpsse_channel();
    c.faults.dropped_high_reads = {2};
    EXPECT_EQ(send(c, {0x83, 0x83, 0x83}).size(), 2u);
    EXPECT_EQ(c.high_reads(), 3);
    c.faults.drop_every_high_read = true;
    EXPECT_EQ(send(c, {0x83}), Bytes{});
}

} // namespace
