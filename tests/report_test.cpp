// The wiring test end to end: the rows a board gives, the count, the waits,
// the calls and bytes sent, and the failure paths before the patterns.
#include "expected_output.h"
#include "fixture.h"

#include <cstdio>
#include <map>

namespace {

using Strings = std::vector<std::string>;

const std::vector<uint8_t> full_patterns = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40,
                                            0x80, 0x00, 0xAA, 0x55, 0x00, 0xFF};

using expected::bits;

std::string row(int driven, int read) { return "\t" + bits(driven) + "\t" + bits(read) + "\n"; }

// The rows of a run whose every pattern came back as the board maps it.
std::string rows(const std::vector<uint8_t> &patterns, const std::map<int, int> &misread = {})
{
    std::string text;
    for (uint8_t p : patterns) {
        auto it = misread.find(p);
        text += row(p, it == misread.end() ? p : it->second);
    }
    return text;
}

// Every row of the output whose two halves differ.
Strings failed_rows(const std::string &out)
{
    Strings failed;
    size_t at = 0;
    while ((at = out.find('\t', at)) != std::string::npos) {
        size_t end = out.find('\n', at);
        std::string line = out.substr(at, end - at + 1);
        if (line.size() == 19 && line.substr(1, 8) != line.substr(10, 8))
            failed.push_back(line);
        at = end;
    }
    return failed;
}

class WiringReport : public SimTest {
protected:
    console::Run run_board(const chip::Wiring &wiring, const Strings &args)
    {
        sim::attach("WTBOARD1", wiring);
        return console::run(args);
    }
    static int closes()
    {
        Strings names = call_names();
        return int(std::count(names.begin(), names.end(), "FT_Close"));
    }
};

TEST_F(WiringReport, ABoardWiredPinForPinPassesEveryPattern)
{
    console::Run r = run_board({}, {"-n0"});
    EXPECT_EQ(r.out, expected::before_rows({"WTBOARD1"}, 0) + rows(full_patterns) +
                         "Testing complete, errors: 0\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(closes(), 1);
    EXPECT_EQ(sim::calls().back().op, sim::Op::Close);
}

TEST_F(WiringReport, AnOpenLowPinFailsThreePatternsAndStillExitsZero)
{
    console::Run r = run_board(chip::Wiring{}.open_wire(3, 0), {"-n0", "-delay"});
    EXPECT_EQ(r.out, expected::before_rows({"WTBOARD1"}, 0) +
                         rows(full_patterns, {{0x08, 0x00}, {0xAA, 0xA2}, {0xFF, 0xF7}}) +
                         "Testing complete, errors: 3\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
}

TEST_F(WiringReport, AShortTestDrivesOnlyTheFourFixedPatterns)
{
    console::Run r = run_board({}, {"-n0", "-short"});
    EXPECT_EQ(r.out, expected::before_rows({"WTBOARD1"}, 0) + rows({0xAA, 0x55, 0x00, 0xFF}) +
                         "Testing complete, errors: 0\n");
    EXPECT_EQ(r.exit_status, 0);
}

TEST_F(WiringReport, AMissingAnswerPrintsNoDataInsideTheRowAndCountsAsFailed)
{
    sim::attach("WTBOARD1");
    // The third 0x83 of the run answers the walking step for 0x04.
    sim::channel(0).faults.dropped_high_reads = {3};
    console::Run r = console::run({"-n0", "-delay"});
    EXPECT_NE(r.out.find("\t00000010\t00000010\n\t00000100\tno data ?!\n11111111\n"
                         "\t00001000\t00001000\n"),
              std::string::npos);
    EXPECT_EQ(failed_rows(r.out), Strings{});                // the row is split by the notice
    EXPECT_NE(r.out.find("Testing complete, errors: 1\n"), std::string::npos);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
}

TEST_F(WiringReport, AnAnswerThatNeverComesFailsEveryPattern)
{
    sim::attach("WTBOARD1");
    sim::channel(0).faults.drop_every_high_read = true;
    console::Run r = console::run({"-n0", "-short", "-delay"});
    EXPECT_NE(r.out.find("\t00000000\tno data ?!\n11111111\n\t11111111\tno data ?!\n11111111\n"),
              std::string::npos);
    EXPECT_NE(r.out.find("Testing complete, errors: 4\n"), std::string::npos);
    EXPECT_EQ(r.exit_status, 0);
}

struct FaultCase {
    const char *board;
    chip::Wiring wiring;
    Strings failed;
    int errors;
};

void PrintTo(const FaultCase &c, std::ostream *os) { *os << c.board; }

class BoardFaults : public WiringReport, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(BoardFaults, FailTheRowsTheWiringImplies)
{
    const FaultCase &c = GetParam();
    console::Run r = run_board(c.wiring, {"-n0", "-delay"});
    EXPECT_EQ(failed_rows(r.out), c.failed) << c.board;
    EXPECT_NE(r.out.find("Testing complete, errors: " + std::to_string(c.errors) + "\n"),
              std::string::npos)
        << c.board;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.exit_status, 0);
}

INSTANTIATE_TEST_SUITE_P(Boards, BoardFaults, ::testing::Values(
    FaultCase{"high 0 stuck at 1", chip::Wiring{}.stick(0, 1),
              {row(0x02, 0x03), row(0x04, 0x05), row(0x08, 0x09), row(0x10, 0x11),
               row(0x20, 0x21), row(0x40, 0x41), row(0x80, 0x81), row(0x00, 0x01),
               row(0xAA, 0xAB), row(0x00, 0x01)},
              10},
    FaultCase{"high 7 stuck at 0", chip::Wiring{}.stick(7, 0),
              {row(0x80, 0x00), row(0xAA, 0x2A), row(0xFF, 0x7F)}, 3},
    FaultCase{"1 and 2 shorted, wired-AND", chip::Wiring{}.short_nets(1, 2, false),
              {row(0x02, 0x00), row(0x04, 0x00), row(0xAA, 0xA8), row(0x55, 0x51)}, 4},
    FaultCase{"1 and 2 shorted, wired-OR", chip::Wiring{}.short_nets(1, 2, true),
              {row(0x02, 0x06), row(0x04, 0x06), row(0xAA, 0xAE), row(0x55, 0x57)}, 4},
    FaultCase{"4 and 5 swapped", chip::Wiring{}.swap(4, 5),
              {row(0x10, 0x20), row(0x20, 0x10), row(0xAA, 0x9A), row(0x55, 0x65)}, 4},
    FaultCase{"0 inverted", chip::Wiring{}.invert(0),
              {row(0x01, 0x00), row(0x02, 0x03), row(0x04, 0x05), row(0x08, 0x09),
               row(0x10, 0x11), row(0x20, 0x21), row(0x40, 0x41), row(0x80, 0x81),
               row(0x00, 0x01), row(0xAA, 0xAB), row(0x55, 0x54), row(0x00, 0x01),
               row(0xFF, 0xFE)},
              13}));

TEST_F(WiringReport, ShortDelayMakesSixtyWaitsOfTenMilliseconds)
{
    run_board({}, {"-n0", "-delay"});
    EXPECT_EQ(vclock::wait_lengths(), std::vector<uint32_t>(60, 10));
}

TEST_F(WiringReport, NormalWaitsFollowTheSettleScheduleWithNoneAfterTheLastRow)
{
    struct Case {
        Strings args;
        size_t steps;
        uint64_t total;
    };
    for (const Case &c : {Case{{"-n0"}, 13, 44023}, Case{{"-n0", "-short"}, 4, 17014}}) {
        SCOPED_TRACE(c.total);
        SetUp();
        run_board({}, c.args);
        // setup; sync; the preparation; then per pattern the drive, the two
        // waits around the read command and 1 ms before the next pattern.
        std::vector<uint32_t> schedule = {1000, 0, 0, 2000, 0, 1000, 10, 1, 1000};
        for (size_t i = 0; i < c.steps; i++) {
            schedule.insert(schedule.end(), {1000, 1000, 1000});
            if (i + 1 < c.steps)
                schedule.push_back(1);
        }
        EXPECT_EQ(vclock::wait_lengths(), schedule);
        EXPECT_EQ(vclock::total_ms(), c.total);
        // The last wait comes before the last queue query, read and close.
        EXPECT_EQ(vclock::waits().back().after_calls, sim::calls().size() - 3);
    }
}

TEST_F(WiringReport, AFullRunSendsExactlyTheseCallsAndBytes)
{
    run_board({}, {"-n0"});
    Strings expected = {
        "FT_ListDevices(0x20000001)", "FT_OpenEx(\"WTBOARD1\", 1)",
        "FT_ResetDevice()", "FT_SetUSBParameters(4096, 0)", "FT_SetChars(0, 0, 0, 0)",
        "FT_SetTimeouts(10, 10)", "FT_SetLatencyTimer(2)", "FT_SetFlowControl(0, 17, 19)",
        "FT_SetBitMode(0, 0)", "FT_SetBitMode(0, 2)",
        "FT_Write[84]", "FT_GetQueueStatus()=0",
        "FT_Write[AB]", "FT_GetQueueStatus()=2", "FT_Read(2)=[FA AB]",
        "FT_Write[85]", "FT_GetQueueStatus()=0",
        "FT_Write[80 00 FF]", "FT_GetQueueStatus()=0",
        "FT_Write[82 00 00]", "FT_GetQueueStatus()=0",
        "FT_Write[80 00 FF]", "FT_GetQueueStatus()=0",
    };
    for (uint8_t p : full_patterns) {
        char set[32], answer[32];
        snprintf(set, sizeof set, "FT_Write[80 %02X FF]", p);
        snprintf(answer, sizeof answer, "FT_Read(1)=[%02X]", p);
        expected.insert(expected.end(), {set, "FT_GetQueueStatus()=0", "FT_Write[83]",
                                         "FT_GetQueueStatus()=1", answer});
    }
    expected.push_back("FT_Close()");
    EXPECT_EQ(describe_calls(), expected);
}

// --- failures before the patterns -------------------------------------------

TEST_F(WiringReport, ASetupFailureEndsTheRunWithoutClosing)
{
    sim::attach("WTBOARD1");
    sim::inject(sim::fail(sim::Op::SetLatencyTimer, 1, FT_IO_ERROR));
    console::Run r = console::run({"-n0"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "FT_IO_ERROR\nERROR: can not set latency\n");
    EXPECT_EQ(r.out.find("START TESTING"), std::string::npos);
    EXPECT_EQ(closes(), 0);
}

TEST_F(WiringReport, ASyncFailureEndsTheRunAfterTheStartBanner)
{
    sim::attach("WTBOARD1");
    sim::inject(sim::fail(sim::Op::Write, 2, FT_IO_ERROR)); // the bad command
    console::Run r = console::run({"-n0"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, expected::before_rows({"WTBOARD1"}, 0));
    EXPECT_EQ(r.err, "FT_IO_ERROR\n");
    EXPECT_EQ(closes(), 0);
}

TEST_F(WiringReport, PreparationFailuresEndTheRunWithoutClosing)
{
    // Device calls of the run, counting from 1: the preparation's first
    // set_low_byte is write 4, the high-byte setup write 5, its queue query 6.
    struct Case {
        const char *what;
        sim::Op op;
        int nth;
    };
    for (const Case &c : {Case{"first set_low_byte write", sim::Op::Write, 4},
                          Case{"first set_low_byte queue", sim::Op::GetQueueStatus, 4},
                          Case{"high byte setup write", sim::Op::Write, 5},
                          Case{"drain queue query", sim::Op::GetQueueStatus, 5}}) {
        SCOPED_TRACE(c.what);
        SetUp();
        sim::attach("WTBOARD1");
        sim::inject(sim::fail(c.op, c.nth, FT_INSUFFICIENT_RESOURCES));
        console::Run r = console::run({"-n0", "-delay"});
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.out, expected::before_rows({"WTBOARD1"}, 0));
        EXPECT_EQ(r.err, "FT_INSUFFICIENT_RESOURCES\n");
        EXPECT_EQ(closes(), 0);
        EXPECT_EQ(sim::calls().back().result, FT_INSUFFICIENT_RESOURCES); // nothing after it
    }
}

TEST_F(WiringReport, AFailedDrainReadIsReportedAndTheRunGoesOn)
{
    sim::attach("WTBOARD1");
    // Something waits after the high-byte setup command, and reading it fails.
    sim::inject(sim::stale_before(sim::Op::GetQueueStatus, 5, {0x42}));
    sim::inject(sim::fail(sim::Op::Read, 2, FT_IO_ERROR));
    console::Run r = console::run({"-n0", "-short", "-delay"});
    // The byte the failed read left queued is listed by the next set_low_byte.
    EXPECT_EQ(r.err, "FT_IO_ERROR\nERROR: can't read queue\n\t\t0: 0x42\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(closes(), 1);
    EXPECT_NE(r.out.find("Testing complete, errors: 0\n"), std::string::npos);
}

TEST_F(WiringReport, TheSecondClearingOfTheLowByteIsNotLookedAt)
{
    sim::attach("WTBOARD1");
    sim::inject(sim::fail(sim::Op::Write, 6, FT_IO_ERROR));
    console::Run r = console::run({"-n0", "-short", "-delay"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "FT_IO_ERROR\n");
    EXPECT_EQ(r.out, expected::before_rows({"WTBOARD1"}, 0) + rows({0xAA, 0x55, 0x00, 0xFF}) +
                         "Testing complete, errors: 0\n");
    EXPECT_EQ(closes(), 1);
}

TEST_F(WiringReport, FailuresWithinThePatternsNeverStopTheRun)
{
    sim::attach("WTBOARD1");
    sim::inject(sim::fail(sim::Op::Write, 7, FT_IO_ERROR));          // drive 0xAA
    // The failed drive skipped its queue query: the ninth is the read-back of 0x55.
    sim::inject(sim::fail(sim::Op::GetQueueStatus, 9, FT_IO_ERROR));
    console::Run r = console::run({"-n0", "-short", "-delay"});
    // The answer left unread by the failed query is listed by the next drive.
    EXPECT_EQ(r.err, "FT_IO_ERROR\nFT_IO_ERROR\n\t\t0: 0x55\n");
    // 0xAA was never driven: the pins still hold 0x00 from the preparation.
    EXPECT_EQ(failed_rows(r.out), (Strings{row(0xAA, 0x00), row(0x55, 0xFF)}));
    EXPECT_NE(r.out.find("Testing complete, errors: 2\n"), std::string::npos);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(closes(), 1);
}

TEST_F(WiringReport, StatusNamesAndRowsInterleaveInTheOrderTheyWereWritten)
{
    sim::attach("WTBOARD1");
    sim::inject(sim::fail(sim::Op::Read, 2, FT_IO_ERROR)); // read-back of 0xAA
    console::Run r = console::run({"-n0", "-short", "-delay"});
    using console::Stream;
    ASSERT_EQ(r.sequence.size(), 5u);
    EXPECT_EQ(r.sequence[0].second.substr(r.sequence[0].second.size() - 10), "\t10101010\t");
    EXPECT_EQ(r.sequence[1], std::make_pair(Stream::err, std::string("FT_IO_ERROR\n")));
    EXPECT_EQ(r.sequence[2], std::make_pair(Stream::out, std::string("11111111\n")));
    // The unread answer turns up when 0x55 is driven, before its row.
    EXPECT_EQ(r.sequence[3], std::make_pair(Stream::err, std::string("\t\t0: 0xAA\n")));
    EXPECT_EQ(r.sequence[4].second.substr(0, 19), "\t01010101\t01010101\n");
}

} // namespace
