// The wiring test end to end on the simulated driver: the scenario table
// shared with the virtual USB chip (support/scenarios.h), then the waits, the
// calls and bytes sent, and the failures only this driver can inject.
#include "board_text.h"
#include "expected_output.h"
#include "fixture.h"
#include "scenarios.h"

#include <cstdio>
#include <map>

namespace {

using Strings = std::vector<std::string>;
using scenarios::full_patterns;
using scenarios::row;

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

// --- the scenario table, on the simulated driver ----------------------------

// The simulated driver's way of making a scenario's device call fail.
sim::Fault failure_of(const scenarios::Scenario &s)
{
    using scenarios::Failure;
    switch (s.failure) {
    case Failure::reset: return sim::fail(sim::Op::ResetDevice, 1, FT_IO_ERROR);
    case Failure::event_chars: return sim::fail(sim::Op::SetChars, 1, FT_IO_ERROR);
    case Failure::latency: return sim::fail(sim::Op::SetLatencyTimer, 1, FT_IO_ERROR);
    case Failure::flow_control: return sim::fail(sim::Op::SetFlowControl, 1, FT_IO_ERROR);
    case Failure::bit_mode_reset: return sim::fail(sim::Op::SetBitMode, 1, FT_IO_ERROR);
    case Failure::mpsse_on: return sim::fail(sim::Op::SetBitMode, 2, FT_IO_ERROR);
    case Failure::write: return sim::fail(sim::Op::Write, s.nth, FT_IO_ERROR);
    case Failure::none: break;
    }
    return {};
}

class ReportScenarios : public WiringReport,
                        public ::testing::WithParamInterface<scenarios::Scenario> {};

TEST_P(ReportScenarios, GiveTheirReportOnTheSimulatedDriver)
{
    const scenarios::Scenario &s = GetParam();
    for (const std::string &name : scenarios::channels)
        sim::attach(name, board_text::parse(s.board));
    chip::AnswerFaults &faults = sim::channel(0).faults;
    if (s.dropped_reads == "all")
        faults.drop_every_high_read = true;
    else if (!s.dropped_reads.empty())
        faults.dropped_high_reads = {std::stoi(s.dropped_reads)};
    if (s.failure != scenarios::Failure::none)
        sim::inject(failure_of(s));

    console::Run r = console::run(s.args);
    EXPECT_EQ(r.out, s.out);
    EXPECT_EQ(r.err, s.err);
    EXPECT_EQ(r.exit_status, s.exit_status);
    EXPECT_EQ(scenarios::failed_rows(r.out), s.failed);
    // A completed test closes the device, and that is its last call; a
    // failure ends the run at the failing call, with the device left open.
    ASSERT_FALSE(sim::calls().empty());
    if (s.exit_status == 0) {
        EXPECT_EQ(closes(), 1);
        EXPECT_EQ(sim::calls().back().op, sim::Op::Close);
    } else {
        EXPECT_EQ(closes(), 0);
        EXPECT_NE(sim::calls().back().result, FT_OK);
    }
}

INSTANTIATE_TEST_SUITE_P(Table, ReportScenarios, ::testing::ValuesIn(scenarios::report_scenarios()),
                         [](const auto &info) { return info.param.name; });

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
    EXPECT_EQ(scenarios::failed_rows(r.out), (Strings{row(0xAA, 0x00), row(0x55, 0xFF)}));
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
