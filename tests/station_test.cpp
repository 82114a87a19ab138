// wiretest-station's board test and model in this process, on the simulated
// driver and the virtual clock: a board opened by its location gets the same
// device calls, bytes and waits as wiretest makes on it; a board's report
// comes to the right outcome and reason; and the records say so.
#include "board_reading.h"
#include "board_test.h"
#include "demo_chips.h"
#include "fast_test.h"
#include "fault_wiring.h"
#include "fixture.h"
#include "output_session.h"
#include "single_faults.h"
#include "station.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Observed {
    std::vector<std::string> calls;       // after the open
    std::vector<uint32_t> waits;
    std::vector<size_t> calls_before_wait; // counted from the open
    std::string report;                   // standard output from the first setup line on
    int returned = 0;
};

// What a run did once its device was open: the calls after the open call,
// the waits, and standard output from "SUCCESS (reset)" on.
Observed observe(const console::Run &run, sim::Op open_op)
{
    Observed seen;
    const auto &calls = sim::calls();
    size_t open = 0;
    while (open < calls.size() && calls[open].op != open_op)
        open++;
    EXPECT_LT(open, calls.size());
    seen.calls = describe_calls(open + 1, calls.size());
    for (const vclock::Wait &w : vclock::waits()) {
        seen.waits.push_back(w.ms);
        seen.calls_before_wait.push_back(w.after_calls - open - 1);
    }
    size_t from = run.out.find("SUCCESS (reset)");
    seen.report = from == std::string::npos ? run.out : run.out.substr(from);
    seen.returned = run.returned;
    return seen;
}

class StationBoard : public SimTest {};

TEST_F(StationBoard, EveryDemoChipGetsTheCallsBytesAndWaitsWiretestMakesOnIt)
{
    station::attach_demo_chips();
    std::vector<station::Channel> channels;
    std::string error;
    ASSERT_TRUE(station::list_channels(channels, error)) << error;
    ASSERT_EQ(channels.size(), 14u);
    int boards = 0;
    for (size_t i = 0; i < channels.size(); i++) {
        const station::Channel board = channels[i];
        if (board.channel != 'A')
            continue;
        boards++;
        sim::reset();
        station::attach_demo_chips();
        const chip::Wiring wiring = sim::channel(int(i)).wiring;
        for (bool short_test : {false, true}) {
            for (bool delay : {false, true}) {
                SCOPED_TRACE(board.location + (short_test ? " short" : " full") + (delay ? " delay" : ""));
                sim::reset();
                station::attach_demo_chips();
                vclock::reset();
                console::Run by_location = console::capture([&] {
                    EXPECT_EQ(station::test_board(board.location.c_str(), 'A', short_test, delay), 0);
                });
                Observed station = observe(by_location, sim::Op::OpenByLocation);

                // The same board alone, reached by wiretest through a serial number.
                sim::reset();
                sim::attach_chip(board.location, "ALONE", sim::ChipKind::FT2232H, wiring);
                vclock::reset();
                std::vector<std::string> args = {"-n0"};
                if (short_test)
                    args.emplace_back("-short");
                if (delay)
                    args.emplace_back("-delay");
                Observed wiretest = observe(console::run(args), sim::Op::OpenEx);

                EXPECT_EQ(station.calls, wiretest.calls);
                EXPECT_EQ(station.waits, wiretest.waits);
                EXPECT_EQ(station.calls_before_wait, wiretest.calls_before_wait);
                EXPECT_EQ(station.report, wiretest.report);
                EXPECT_EQ(station.returned, 0);
            }
        }
    }
    EXPECT_EQ(boards, 7);
}

// The outcome and reason of a board whose run met a driver fault, from its
// report as the station reads it (standard error mixed in).
struct FaultCase {
    const char *name;         // cppcheck-suppress unusedStructMember ; read by the test-name generator
    sim::Fault fault;
    station::Outcome outcome; // cppcheck-suppress unusedStructMember ; read through GetParam()
    const char *reason;       // cppcheck-suppress unusedStructMember ; read through GetParam()
};

class StationOutcome : public SimTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(StationOutcome, ComesFromTheReport)
{
    sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
    sim::inject(GetParam().fault);
    int returned = 0;
    console::Run run = console::capture([&] { returned = station::test_board("1-1", 'A', false, true); });
    station::BoardResult result = conclude(run, false, returned == 0 ? 0 : 255);
    EXPECT_EQ(result.outcome, GetParam().outcome);
    EXPECT_EQ(result.reason, GetParam().reason);
}

INSTANTIATE_TEST_SUITE_P(
    Faults, StationOutcome,
    ::testing::Values(
        FaultCase{"None", sim::fail(sim::Op::Close, 1, FT_IO_ERROR), station::Outcome::pass, ""},
        FaultCase{"OpenRefused", sim::fail(sim::Op::OpenByLocation, 1, FT_DEVICE_NOT_OPENED),
                  station::Outcome::error, "can not open channel A at 1-1 (FT_DEVICE_NOT_OPENED)"},
        FaultCase{"ResetRefused", sim::fail(sim::Op::ResetDevice, 1, FT_IO_ERROR), station::Outcome::error,
                  "can not reset (FT_IO_ERROR)"},
        // Unplugged after the fourth pattern's write: the rows after it have no answer.
        FaultCase{"UnpluggedDuringTheRows", sim::unplug(60), station::Outcome::error,
                  "unplugged during the test (FT_DEVICE_NOT_FOUND)"},
        FaultCase{"OneReadUnanswered", sim::misreport(sim::Op::GetQueueStatus, 8, 0), station::Outcome::error,
                  "1 row without an answer and no wiring fault among the answered rows: test again"}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(StationBoard, ReadsAReportWithCrLfLineEndsAsWindowsChildrenWriteThem)
{
    sim::attach_chip("1-2", "WTST0002", sim::ChipKind::FT2232H, chip::Wiring{}.open_wire(3, 0));
    console::Run run = console::capture([] { station::test_board("1-2", 'A', true, true); });
    station::BoardReport report;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);)
        report.add_line(line + "\r");
    station::BoardResult result;
    report.conclude(result, 0);
    EXPECT_EQ(result.outcome, station::Outcome::fail);
    EXPECT_EQ(station::pin_lines(result),
              std::vector<std::string>{
                  "pin 3: stuck-0 (reads 0 whatever is driven: open with a pull-down, or shorted to ground) "
                  "[one of 2: stuck-0 on net 3 | open, input floating on net 3]"});
}

TEST(StationRecords, JunitCountsAgreeWithItsContent)
{
    station::RunContext context{"bench-1", false, true};
    std::vector<station::BoardResult> results(3);
    results[0].board = {"1-1", 'A', "WTST0001", "FT2232H", true, ""};
    results[0].outcome = station::Outcome::pass;
    results[1].board = {"1-2", 'A', "", "FT2232H", true, ""};
    results[1].outcome = station::Outcome::fail;
    results[1].rows_ran = true;
    results[1].diagnosis.verdict = diagnose::Verdict::fail;
    results[1].diagnosis.pins[3].status = diagnose::PinStatus::stuck_0;
    results[1].diagnosis.pins[6].status = diagnose::PinStatus::untested;
    results[2].board = {"9-9", 'A', "", "", true, ""};
    results[2].reason = "nothing is plugged at 9-9";
    for (int pin : {0, 1, 2, 4, 5, 7}) {
        results[0].diagnosis.pins[size_t(pin)].status = diagnose::PinStatus::ok;
        results[1].diagnosis.pins[size_t(pin)].status = diagnose::PinStatus::ok;
    }
    for (int pin : {3, 6})
        results[0].diagnosis.pins[size_t(pin)].status = diagnose::PinStatus::ok;
    results[0].rows_ran = true;
    for (station::BoardResult &result : results)
        station::decide_pins(result);

    pugi::xml_document doc;
    std::string xml = station::junit_xml(results, context);
    ASSERT_TRUE(doc.load_string(xml.c_str())) << xml;
    pugi::xml_node suites = doc.child("testsuites");
    int tests = 0, failures = 0, errors = 0, skipped = 0;
    for (pugi::xml_node suite : suites.children("testsuite")) {
        int t = 0, f = 0, e = 0, s = 0;
        for (pugi::xml_node testcase : suite.children("testcase")) {
            t++;
            f += bool(testcase.child("failure"));
            e += bool(testcase.child("error"));
            s += bool(testcase.child("skipped"));
            EXPECT_STREQ(testcase.attribute("classname").value(), suite.attribute("name").value());
        }
        EXPECT_EQ(suite.attribute("tests").as_int(), t);
        EXPECT_EQ(suite.attribute("failures").as_int(), f);
        EXPECT_EQ(suite.attribute("errors").as_int(), e);
        EXPECT_EQ(suite.attribute("skipped").as_int(), s);
        EXPECT_STREQ(suite.attribute("hostname").value(), "bench-1");
        tests += t, failures += f, errors += e, skipped += s;
    }
    EXPECT_EQ(tests, 17);
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(errors, 1);
    EXPECT_EQ(skipped, 1);
    EXPECT_EQ(suites.attribute("tests").as_int(), tests);
    EXPECT_EQ(suites.attribute("failures").as_int(), failures);
    EXPECT_EQ(suites.attribute("errors").as_int(), errors);
    EXPECT_EQ(suites.attribute("skipped").as_int(), skipped);

    // The blank chip is named by its location, its failure in the diagnosis's words.
    pugi::xml_node blank = suites.find_child_by_attribute("testsuite", "name", "1-2");
    ASSERT_TRUE(blank);
    EXPECT_STREQ(blank.find_child_by_attribute("testcase", "name", "pin 3").child("failure").attribute("message").value(),
                 "stuck-0 (reads 0 whatever is driven: open with a pull-down, or shorted to ground)");
    EXPECT_STREQ(suites.find_child_by_attribute("testsuite", "name", "9-9")
                     .child("testcase").child("error").attribute("message").value(),
                 "nothing is plugged at 9-9");
}

TEST(StationRecords, TextFromTheChipIsMadeSafeForTerminalsJsonAndXml)
{
    struct Case {
        std::string in, out;
    };
    for (const Case &c : std::vector<Case>{{"WT\x1b[2J", "WT?[2J"},
                                           {"a\tb\x7f", "a\tb?"},
                                           {"\xc2\x9b" "1m", "?1m"},   // C1 CSI as UTF-8
                                           {"\x9b" "1m", "?1m"},       // C1 CSI as a raw byte
                                           {"\xff\xfe", "??"},
                                           {"\xc3\xa9t\xc3", "\xc3\xa9t?"}, // é, then a cut sequence
                                           {"\xe0\x80\xaf", "???"},   // overlong
                                           {"\xed\xa0\x80", "???"},  // a surrogate
                                           // noncharacters, which XML forbids
                                           {"a\xef\xbf\xbe" "b", "a?b"},         // U+FFFE
                                           {"\xef\xbf\xbf", "?"},                // U+FFFF
                                           {"\xef\xb7\x90\xef\xb7\xaf", "??"},  // U+FDD0, U+FDEF
                                           {"\xf0\x9f\xbf\xbe", "?"},            // U+1FFFE
                                           {"\xf4\x8f\xbf\xbf", "?"},            // U+10FFFF
                                           // their neighbours are characters
                                           {"\xef\xb7\x8f\xef\xb7\xb0\xef\xbf\xbd", "\xef\xb7\x8f\xef\xb7\xb0\xef\xbf\xbd"},
                                           {"\xf0\x9f\xbf\xbd", "\xf0\x9f\xbf\xbd"}})
        EXPECT_EQ(station::printable(c.in), c.out) << c.in;

    station::BoardResult result;
    result.board = {"1-1", 'A', "\xff\x1b", "FT2232H", true, ""};
    result.reason = "nothing";
    nlohmann::json record = nlohmann::json::parse(station::record_json(result, {"st\x01", false, false}));
    EXPECT_EQ(record["serial"], "??");
    EXPECT_EQ(record["station_id"], "st?");
}

} // namespace

// --- the fast test ------------------------------------------------------------

namespace {

console::Run run_fast(const station::FastOptions &options, int *returned = nullptr)
{
    int status = 0;
    console::Run run = console::capture([&] { status = station::test_board_fast("1-1", 'A', options); });
    if (returned)
        *returned = status;
    return run;
}

std::vector<std::string> writes()
{
    std::vector<std::string> found;
    for (const sim::Call &call : sim::calls())
        if (call.op == sim::Op::Write)
            found.push_back(hex_bytes(call.data));
    return found;
}

class FastTest : public SimTest {};

// The writes of a normal run after its synchronisation (the first write
// after loopback off), joined: what the fast stream must send, but for its
// send-immediate.
std::string normal_writes_after_sync()
{
    std::vector<std::string> w = writes();
    auto after = std::find(w.begin(), w.end(), "85");
    std::string joined;
    for (auto i = after == w.end() ? after : after + 1; i != w.end(); ++i)
        joined += (joined.empty() ? "" : " ") + *i;
    return joined;
}

TEST_F(FastTest, SendsTheWholeTestAsOneStreamAfterTheSetupOfANormalRunWithoutItsWaits)
{
    struct Case {
        bool short_test;
        std::string stream;
    };
    const std::string prepare = "80 00 FF 82 00 00 80 00 FF ";
    for (const Case &c :
         {Case{false, prepare + "80 01 FF 83 80 02 FF 83 80 04 FF 83 80 08 FF 83 80 10 FF 83 80 20 FF 83 "
                                "80 40 FF 83 80 80 FF 83 80 00 FF 83 80 AA FF 83 80 55 FF 83 80 00 FF 83 "
                                "80 FF FF 83 87"},
          Case{true, prepare + "80 AA FF 83 80 55 FF 83 80 00 FF 83 80 FF FF 83 87"}}) {
        SCOPED_TRACE(c.short_test ? "short" : "full");
        // The normal run's setup and the bytes of its test, for comparison.
        SetUp();
        sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
        console::capture([&] { station::test_board("1-1", 'A', c.short_test, true); });
        std::vector<std::string> normal = describe_calls();
        size_t setup_end = 0;
        while (setup_end < normal.size() && normal[setup_end] != "FT_Write[84]")
            setup_end++;
        std::string normal_test = normal_writes_after_sync();

        SetUp();
        sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
        station::FastOptions options;
        options.short_test = c.short_test;
        console::Run run = run_fast(options);
        std::vector<std::string> fast = describe_calls();
        ASSERT_GT(fast.size(), setup_end + 3);
        EXPECT_EQ(std::vector<std::string>(fast.begin(), fast.begin() + long(setup_end)),
                  std::vector<std::string>(normal.begin(), normal.begin() + long(setup_end)));
        // The synchronisation in one write ending in send-immediate, its
        // answer read as soon as it is queued, then the test in one write.
        EXPECT_EQ(std::vector<std::string>(fast.begin() + long(setup_end), fast.begin() + long(setup_end) + 3),
                  (std::vector<std::string>{"FT_Write[84 AB 85 87]", "FT_GetQueueStatus()=2", "FT_Read(2)=[FA AB]"}));
        EXPECT_EQ(fast[setup_end + 3], "FT_Write[" + c.stream + "]");
        EXPECT_EQ(c.stream, normal_test + " 87");
        EXPECT_EQ(fast.back(), "FT_Close()");
        EXPECT_EQ(vclock::waits().size(), 0u);
        EXPECT_EQ(conclude(run, false).outcome, station::Outcome::pass);
    }
}

TEST_F(FastTest, GivesTheRowsAndDiagnosisOfANormalRunOnEverySingleFault)
{
    std::vector<SingleFault> faults = single_faults();
    ASSERT_EQ(faults.size(), 164u);
    for (const SingleFault &f : faults) {
        for (bool short_test : {false, true}) {
            SCOPED_TRACE(f.name + (short_test ? " short" : " full"));
            SetUp();
            sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H, f.wiring);
            station::BoardResult normal =
                conclude(console::capture([&] { station::test_board("1-1", 'A', short_test, true); }), false);
            SetUp();
            sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H, f.wiring);
            station::FastOptions options;
            options.short_test = short_test;
            station::BoardResult fast = conclude(run_fast(options), false);
            EXPECT_EQ(station::record_json(fast, {"s", short_test, false, false}),
                      station::record_json(normal, {"s", short_test, false, false}));
            EXPECT_EQ(station::result_line(fast), station::result_line(normal));
        }
    }
}

TEST_F(FastTest, MissingAnswersAreRowsWithoutAnAnswerAndExtraBytesAreListed)
{
    struct Case {
        const char *name;
        std::function<void()> fault;
        std::string rows_end; // the report's last lines
        std::string err;
        station::Outcome outcome;
    };
    std::vector<Case> cases = {
        {"silent", [] { sim::channel(0).faults.drop_every_high_read = true; },
         "\t11111111\tno data ?!\n11111111\nTesting complete, errors: 4\n", "", station::Outcome::error},
        {"cut short", [] { sim::channel(0).faults.dropped_high_reads = {3, 4}; },
         "\t01010101\t01010101\n\t00000000\tno data ?!\n11111111\n\t11111111\tno data ?!\n11111111\n"
         "Testing complete, errors: 2\n",
         "", station::Outcome::error},
        {"extra bytes", [] { sim::inject(sim::stale_before(sim::Op::Write, 2, {0x5A, 0x01})); },
         "\t00000000\t00000000\n\t11111111\t11111111\nTesting complete, errors: 0\n", "\t\t0: 0x5A\n\t\t1: 0x1\n",
         station::Outcome::pass},
        // Left by another program before the synchronisation, which drops them.
        {"stale bytes", [] { sim::inject(sim::stale_before(sim::Op::Write, 1, {0xFA, 0x5A, 0x01})); },
         "\t00000000\t00000000\n\t11111111\t11111111\nTesting complete, errors: 0\n", "", station::Outcome::pass},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
        c.fault();
        station::FastOptions options;
        options.short_test = true;
        auto started = std::chrono::steady_clock::now();
        int returned = -1;
        console::Run run = run_fast(options, &returned);
        auto took = std::chrono::steady_clock::now() - started;
        EXPECT_EQ(returned, 0);
        ASSERT_GE(run.out.size(), c.rows_end.size());
        EXPECT_EQ(run.out.substr(run.out.size() - c.rows_end.size()), c.rows_end);
        EXPECT_EQ(run.err, c.err);
        EXPECT_EQ(conclude(run, false).outcome, c.outcome);
        // Answers that never come cost the deadline, and no more.
        EXPECT_LT(took, std::chrono::seconds(1));
    }
}

TEST_F(FastTest, SettleTimeLiesBetweenEachPatternAndItsRead)
{
    sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
    station::FastOptions options;
    options.short_test = true;
    options.settle_us = 2500;
    run_fast(options);
    // Each read in a write of its own, after a wait of at least 2.5 ms.
    std::vector<std::string> w = writes();
    ASSERT_EQ(w.size(), 6u); // after the synchronisation's one
    w.erase(w.begin());
    EXPECT_EQ(w, (std::vector<std::string>{"80 00 FF 82 00 00 80 00 FF 80 AA FF", "83 80 55 FF", "83 80 00 FF",
                                           "83 80 FF FF", "83 87"}));
    std::vector<uint32_t> waits = vclock::wait_lengths();
    EXPECT_EQ(waits, (std::vector<uint32_t>{3, 3, 3, 3}));
    const auto &calls = sim::calls();
    for (const vclock::Wait &wait : vclock::waits()) {
        ASSERT_GT(wait.after_calls, 0u);
        ASSERT_LT(wait.after_calls, calls.size());
        EXPECT_EQ(calls[wait.after_calls - 1].op, sim::Op::Write); // the pattern set
        EXPECT_EQ(calls[wait.after_calls].data.front(), 0x83);      // then its read
    }
}

// The planned sets: each step's low byte with its direction, the receivers'
// read and the driven byte's (0x81); deep's steps with inputs each after a
// settle wait on the host.
TEST_F(FastTest, PlannedSetsReadTheDrivenByteBackAndDeepWaitsForThePullUps)
{
    sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
    station::FastOptions options;
    options.patterns = diagnose::PatternSet::locate;
    console::Run run = run_fast(options);
    std::vector<std::string> w = writes();
    ASSERT_EQ(w.size(), 2u);
    EXPECT_EQ(w[1], "80 00 FF 82 00 00 80 00 FF 80 01 FF 83 81 80 02 FF 83 81 80 04 FF 83 81 80 08 FF 83 81 "
                    "80 10 FF 83 81 80 20 FF 83 81 80 40 FF 83 81 80 80 FF 83 81 80 86 FF 83 81 80 AD FF 83 81 "
                    "80 31 FF 83 81 80 5E FF 83 81 80 E8 FF 83 81 80 53 FF 83 81 87");
    EXPECT_EQ(vclock::waits().size(), 0u);
    EXPECT_NE(run.out.find("START TESTING\n\n======================================================\n"
                           "pattern set: locate\n\t00000001\t00000001\t00000001\n"),
              std::string::npos)
        << run.out;
    station::BoardResult result = conclude(run, false);
    EXPECT_EQ(result.outcome, station::Outcome::pass);
    EXPECT_EQ(result.diagnosis.test, diagnose::Test::locate);

    SetUp();
    sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
    options.patterns = diagnose::PatternSet::deep;
    run = run_fast(options);
    w = writes();
    // The synchronisation, the driven steps, then two writes per step with
    // inputs: its read after a settle wait, and again after another.
    ASSERT_EQ(w.size(), 18u);
    EXPECT_EQ(w[1].substr(w[1].size() - 23), "80 53 FF 83 81 80 00 01");
    EXPECT_EQ(w[2], "83 81");
    EXPECT_EQ(w[3], "83 81 80 00 02");
    EXPECT_EQ(w[17], "83 81 87");
    EXPECT_EQ(vclock::wait_lengths(), std::vector<uint32_t>(16, 1));
    EXPECT_NE(run.out.find("\n\tzzzzzzz0\t11111110\t11111110\n"), std::string::npos) << run.out;
    EXPECT_EQ(conclude(run, false).outcome, station::Outcome::pass);

    // Pull-ups too slow for the wait: the nets keep their last level at the
    // first read. Reported as such, not diagnosed.
    SetUp();
    chip::Wiring slow;
    slow.settle_reads = 1;
    sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H, slow);
    run = run_fast(options);
    EXPECT_NE(run.out.find("\ninputs did not settle\nTesting complete, errors: 8\n"), std::string::npos) << run.out;
    station::BoardResult unsettled = conclude(run, false);
    EXPECT_EQ(unsettled.outcome, station::Outcome::error);
    EXPECT_EQ(unsettled.reason, "the undriven inputs did not settle in the wait before their read (pull-ups weak "
                                "or missing): the wiring was not diagnosed");
    EXPECT_EQ(unsettled.diagnosis.confidence, diagnose::Confidence::none);

    // One answer missing: no row can say which, and the board is not measured.
    SetUp();
    sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H, chip::Wiring{}.stick(2, 0));
    sim::channel(0).faults.dropped_high_reads = {3};
    run = run_fast(options);
    EXPECT_NE(run.out.find("\n\t0zzzzzzz\tno data ?!\nTesting complete, errors: 22\n"), std::string::npos)
        << run.out;
    station::BoardResult unanswered = conclude(run, false);
    EXPECT_EQ(unanswered.outcome, station::Outcome::error);
    EXPECT_EQ(unanswered.reason,
              "22 rows without an answer and no wiring fault among the answered rows: test again");
}

// Every single fault planted on the simulated chip, each planned set run on
// it by the fast test: located where the set's dictionary says, passed where
// the set cannot see it.
TEST_F(FastTest, PlannedSetsLocateEverySingleFaultTheirDictionaryLocates)
{
    for (diagnose::PatternSet set : {diagnose::PatternSet::locate, diagnose::PatternSet::deep}) {
        diagnose::Coverage coverage = diagnose::coverage(diagnose::pattern_steps(set));
        int planted = 0;
        for (size_t g = 0; g < coverage.groups.size(); g++)
            for (size_t i = 0; i < coverage.groups[g].cases.size(); i++) {
                const diagnose::FaultCase &fault = coverage.groups[g].cases[i];
                diagnose::FaultClass kind = fault.faults[0].kind;
                if (fault.faults.size() != 1 || kind == diagnose::FaultClass::bridge3_and ||
                    kind == diagnose::FaultClass::bridge3_or)
                    continue;
                SCOPED_TRACE(std::string(diagnose::pattern_set_name(set)) + ": " + diagnose::case_text(fault));
                SetUp();
                sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H, wiring_of(fault.faults));
                station::FastOptions options;
                options.patterns = set;
                station::BoardResult result = conclude(run_fast(options), false);
                planted++;
                if (!coverage.signatures[g][i].detected) {
                    EXPECT_EQ(result.outcome, station::Outcome::pass);
                    continue;
                }
                EXPECT_EQ(result.outcome, station::Outcome::fail);
                nlohmann::json record = nlohmann::json::parse(station::record_json(result, {"s", false, false, true}));
                EXPECT_EQ(record["faults"]["confidence"], "located");
                EXPECT_EQ(record["faults"]["candidates"][0][0], diagnose::case_text(fault));
            }
        EXPECT_EQ(planted, 256);
    }
}

TEST_F(FastTest, SoakCountsFailuresAndFlipsPerPin)
{
    // Pin 4 comes and goes; pin 2 is stuck in every run.
    sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H,
                     chip::Wiring{}.flake(4, 20, 0x5EED).stick(2, 0));
    station::FastOptions options;
    options.repeat = 300;
    console::Run run = run_fast(options);
    station::BoardResult result = conclude(run, true);
    ASSERT_TRUE(result.soak);
    EXPECT_EQ(result.soak->runs, 300);
    EXPECT_EQ(result.outcome, station::Outcome::fail);

    // Pin 4's runs counted here from the rows themselves.
    std::vector<int> failed_runs;
    int run_number = 1, flips = 0;
    bool failed = false, last = false;
    std::istringstream lines(run.out);
    for (std::string line; std::getline(lines, line);) {
        if (line.size() == 18 && line[0] == '\t')
            failed = failed || line[1 + 7 - 4] != line[10 + 7 - 4];
        if (line.rfind("Testing complete", 0) == 0) {
            if (failed)
                failed_runs.push_back(run_number);
            if (run_number > 1 && failed != last)
                flips++;
            last = failed;
            failed = false;
            run_number++;
        }
    }
    const station::PinSoak &pin4 = result.soak->pins[4];
    EXPECT_GT(pin4.failures, 0);
    EXPECT_LT(pin4.failures, 300);
    EXPECT_EQ(pin4.failed_runs, failed_runs);
    EXPECT_EQ(pin4.failures, int(failed_runs.size()));
    EXPECT_EQ(pin4.flips, flips);
    EXPECT_EQ(result.soak->pins[2].failures, 300);
    EXPECT_EQ(result.soak->pins[2].flips, 0);
    for (int pin : {0, 1, 3, 5, 6, 7})
        EXPECT_EQ(result.soak->pins[size_t(pin)].failures, 0) << pin;

    nlohmann::json record = nlohmann::json::parse(station::record_json(result, {"s", false, false, true}));
    EXPECT_EQ(record["mode"], "fast");
    EXPECT_EQ(record["runs"], 300);
    EXPECT_EQ(record["pins"][4]["status"], "intermittent");
    EXPECT_EQ(record["pins"][4]["failed_runs"].size(), failed_runs.size());
    EXPECT_EQ(record["pins"][4]["failed_runs_cut"], false); // fewer than the list keeps
    EXPECT_EQ(record["pins"][2]["status"], "stuck-0");
    EXPECT_EQ(record["pins"][2]["failures"], 300);
    std::vector<std::string> lines_out = station::pin_lines(result);
    ASSERT_EQ(lines_out.size(), 2u);
    std::string intermittent = "pin 4: intermittent: " + pin4.failed_class + " in " + std::to_string(pin4.failures) +
                               " of 300 runs";
    EXPECT_EQ(lines_out[1].substr(0, intermittent.size()), intermittent);
}


// What a user reads of a planted fault in each output: the pin's words and
// how sure the station is, on its line, in the JUnit file and in the record.
struct PinShown {
    const char *name;
    std::vector<diagnose::Fault> faults; // none: the wiring is flipped at pin 4, which no modelled fault reads as
    diagnose::PatternSet set;
    size_t pin;
    std::string status, fault_class, confidence;
    std::vector<std::string> candidates;
    std::vector<int> partner;
};

TEST_F(FastTest, EveryOutputShowsEachPinsVerdictAndHowSureItIs)
{
    using diagnose::FaultClass;
    using diagnose::PatternSet;
    const diagnose::Fault open3{FaultClass::open_floating, {3, 0, 0}};
    const std::vector<diagnose::Fault> two_bridges{{FaultClass::bridge_and, {0, 1, 0}}, {FaultClass::bridge_and, {2, 3, 0}}};
    const PinShown cases[] = {
        {"open, the thirteen", {open3}, PatternSet::standard, 3, "stuck-0", "stuck-0", "one of 2",
         {"stuck-0 on net 3", "open, input floating on net 3"}, {}},
        {"open, locate", {open3}, PatternSet::locate, 3, "stuck-0", "open, input floating", "located",
         {"open, input floating on net 3"}, {}},
        {"bridge, the thirteen", {{FaultClass::bridge_or, {2, 5, 0}}}, PatternSet::standard, 5, "short-or",
         "bridge, wired-OR", "located", {"bridge, wired-OR on nets 2 and 5"}, {2}},
        {"two bridges, the thirteen", two_bridges, PatternSet::standard, 0, "short-and", "bridge, wired-AND",
         "one of 2", {"bridge, wired-AND on nets 0 and 1", "bridge, wired-AND on nets 0 and 3"}, {1, 3}},
        {"two bridges, locate", two_bridges, PatternSet::locate, 0, "short-and", "bridge, wired-AND", "located",
         {"bridge, wired-AND on nets 0 and 1"}, {1}},
        {"inverted", {}, PatternSet::standard, 4, "inverted", "inverted", "detected only", {}, {}},
    };
    for (const PinShown &c : cases) {
        SCOPED_TRACE(c.name);
        SetUp();
        chip::Wiring wiring = c.faults.empty() ? chip::Wiring{}.invert(4) : wiring_of(c.faults);
        sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H, wiring);
        station::FastOptions fast;
        fast.patterns = c.set;
        TempDir dir;
        station::RunOptions options;
        options.context = {"bench-1", false, false, true};
        options.junit_file = dir / "junit.xml";
        station::BoardResult result = conclude(run_fast(fast), false);
        result.board = {"1-1", 'A', "WTST0001", "FT2232H", true, ""};
        OutputSession session = run_outputs(options, {result});
        ASSERT_EQ(session.why, "");

        nlohmann::json pins = nlohmann::json::parse(session.records.at(0))["pins"];
        ASSERT_EQ(pins.size(), 8u);
        const nlohmann::json &pin = pins[c.pin];
        EXPECT_EQ(pin["status"], c.status);
        EXPECT_EQ(pin["class"], c.fault_class);
        EXPECT_EQ(pin["confidence"], c.confidence);
        EXPECT_EQ(pin["candidates"], c.candidates);
        EXPECT_EQ(pin["partner"], c.partner);
        for (const nlohmann::json &other : pins)
            EXPECT_EQ(other["status"] != "ok", other.contains("class") && other.contains("words")) << other;

        std::string note = " [" + c.confidence;
        for (size_t i = 0; i < c.candidates.size(); i++)
            note += (i == 0 ? ": " : " | ") + c.candidates[i];
        std::string shown = pin["words"].get<std::string>() + note + "]";
        std::string where = "pin " + std::to_string(c.pin) + ": ";
        EXPECT_EQ(session.run.out.rfind("FAIL 1-1 A WTST0001 ", 0), 0u) << session.run.out;
        EXPECT_NE(session.run.out.find(where + shown), std::string::npos) << session.run.out;

        pugi::xml_document junit;
        ASSERT_TRUE(junit.load_file(options.junit_file.c_str()));
        pugi::xml_node failure = junit.child("testsuites").child("testsuite")
                                     .find_child_by_attribute("testcase", "name", ("pin " + std::to_string(c.pin)).c_str())
                                     .child("failure");
        EXPECT_EQ(failure.attribute("message").value(), shown);
        EXPECT_EQ(failure.attribute("type").value(), c.fault_class);
    }
}
} // namespace

// --- the files the station writes, and what it makes of odd text ------------

namespace {

namespace fs = std::filesystem;

class StationFiles : public ::testing::Test {
protected:
    TempDir temp{"wiretest-station-files"};
    fs::path dir{temp.path};
};

TEST(StationRecords, JunitStaysWellFormedAndNamesEverySuiteOnceWhateverTheLabels)
{
    // Two boards share a label, a third carries it too at another place, and
    // the labels hold what XML forbids.
    const std::string odd = "L\xef\xbf\xbe<&>\"\x01";
    std::vector<station::BoardResult> results(4);
    results[0].board = {"1-1", 'A', "WT\xef\xbf\xbf", "FT2232H", true, ""};
    results[1].board = {"1-2", 'A', "WTST0002", "FT2232H", true, ""};
    results[2].board = {"9-9", 'A', "", "", true, ""};
    results[3].board = {"9-9", 'A', "", "", true, ""};
    results[0].label = results[1].label = odd;
    for (size_t i = 0; i < 2; i++) {
        results[i].outcome = station::Outcome::fail;
        results[i].rows_ran = true;
        results[i].diagnosis.verdict = diagnose::Verdict::fail;
        for (auto &pin : results[i].diagnosis.pins)
            pin.status = diagnose::PinStatus::ok;
        results[i].diagnosis.pins[2].status = diagnose::PinStatus::stuck_1;
        station::decide_pins(results[i]);
    }
    results[2].reason = results[3].reason = "nothing is plugged at 9-9 \xef\xbf\xbe";

    std::string xml = station::junit_xml(results, {"st\xef\xb7\x90", false, true});
    pugi::xml_document doc;
    pugi::xml_parse_result parsed = doc.load_string(xml.c_str());
    ASSERT_TRUE(parsed) << parsed.description() << "\n" << xml;
    // pugixml lets noncharacters through: look for them in the text itself.
    for (const char *forbidden : {"\xef\xbf\xbe", "\xef\xbf\xbf", "\xef\xb7\x90", "\x01"})
        EXPECT_EQ(xml.find(forbidden), std::string::npos) << xml;

    std::set<std::string> names;
    for (pugi::xml_node suite : doc.child("testsuites").children("testsuite"))
        EXPECT_TRUE(names.insert(suite.attribute("name").value()).second) << suite.attribute("name").value();
    EXPECT_EQ(names.size(), 4u);
    EXPECT_EQ(names.count("L?<&>\"? (1-1 A)"), 1u) << xml;
    EXPECT_EQ(names.count("L?<&>\"? (1-2 A)"), 1u) << xml;

    // Readers that show only the element's text see what message says.
    for (pugi::xpath_node node : doc.select_nodes("//failure | //error")) {
        EXPECT_STRNE(node.node().attribute("message").value(), "");
        EXPECT_STREQ(node.node().text().get(), node.node().attribute("message").value());
    }
    EXPECT_EQ(doc.select_nodes("//error").size(), 2u);
    EXPECT_EQ(doc.select_nodes("//failure").size(), 2u);
}

TEST(StationRecords, RecordFileNamesAreSafeBoundedAndKeepDifferentDutIdsApart)
{
    auto name_of = [](const std::string &label, const std::string &location = "1-1") {
        station::BoardResult result;
        result.board = {location, 'B', "WTST0001", "FT2232H", true, ""};
        result.label = label;
        result.start_millis = 1700000000123; // 2023-11-14T22:13:20.123Z
        return station::record_file_name(result);
    };
    struct Case {
        std::string label, name; // "" name: only the common rules
    };
    const std::string long_label(226, 'L');
    for (const Case &c : std::vector<Case>{{"BOARD-42", "BOARD-42_1-1_B_20231114T221320.123Z.json"},
                                           {"a/b", ""},
                                           {"a_b", "a_b_1-1_B_20231114T221320.123Z.json"},
                                           {"-rf", ""},
                                           {".hidden", ""},
                                           {"../../etc/passwd", ""},
                                           {long_label, ""},
                                           {long_label + "x", ""},
                                           {"\xc3\xa9t\xc3\xa9", ""}}) {
        std::string name = name_of(c.label);
        SCOPED_TRACE(c.label);
        if (!c.name.empty()) {
            EXPECT_EQ(name, c.name);
        }
        EXPECT_LE(name.size(), 130u);
        EXPECT_NE(name[0], '-');
        EXPECT_NE(name[0], '.');
        EXPECT_EQ(name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_."),
                  std::string::npos);
        EXPECT_EQ(name.substr(name.size() - 5), ".json");
    }
    // Labels that clean to one name keep names of their own.
    EXPECT_NE(name_of("a/b"), name_of("a_b"));
    EXPECT_NE(name_of("a/b"), name_of("a\\b"));
    EXPECT_NE(name_of(long_label), name_of(long_label + "x"));
    EXPECT_NE(name_of("BOARD-42", "1-1"), name_of("BOARD-42", "1-2"));
}

TEST_F(StationFiles, ANewFileNeverReplacesOneThereAndIsNumberedInstead)
{
    std::ofstream(dir / "r.json") << "someone else's";
    std::vector<std::string> paths;
    for (const char *text : {"first\n", "second\n", "third\n"}) {
        std::string path, error;
        ASSERT_TRUE(station::write_new_file(dir.string(), "r.json", text, path, error)) << error;
        EXPECT_EQ(read_file(path), text);
        paths.push_back(fs::path(path).filename().string());
    }
    EXPECT_EQ(paths, (std::vector<std::string>{"r-2.json", "r-3.json", "r-4.json"}));
    EXPECT_EQ(read_file(dir / "r.json"), "someone else's");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4); // no temporaries left

    std::string path, error;
    EXPECT_FALSE(station::write_new_file((dir / "missing").string(), "r.json", "x", path, error));
    EXPECT_EQ(error.rfind("cannot write " + (dir / "missing" / "r.json").string() + ": ", 0), 0u) << error;
}

TEST_F(StationFiles, ASymlinkStaysALinkAndWhatIsNoRegularFileIsWrittenInPlace)
{
    std::string error;
    // A link, relative, through a second link: the file at its end is replaced.
    fs::create_directory(dir / "real");
    std::ofstream(dir / "real" / "run.xml") << "old";
    fs::create_symlink("real/run.xml", dir / "inner");
    fs::create_symlink("inner", dir / "run.xml");
    ASSERT_TRUE(station::write_atomically((dir / "run.xml").string(), "new", error)) << error;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "run.xml")));
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "inner")));
    EXPECT_EQ(read_file(dir / "real" / "run.xml"), "new");
    // A dangling link: the file it names is made.
    fs::create_symlink("real/made.xml", dir / "dangling");
    ASSERT_TRUE(station::write_atomically((dir / "dangling").string(), "made", error)) << error;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir / "dangling")));
    EXPECT_EQ(read_file(dir / "real" / "made.xml"), "made");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "real"), fs::directory_iterator()), 2);

    // A FIFO gets the text as a reader of it sees it, and stays a FIFO.
    fs::path fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string seen;
    std::thread reader([&] { seen = read_file(fifo); });
    EXPECT_TRUE(station::write_atomically(fifo.string(), "through the pipe", error)) << error;
    reader.join();
    EXPECT_EQ(seen, "through the pipe");
    EXPECT_TRUE(fs::is_fifo(fifo));
    EXPECT_TRUE(station::file_writable(fifo.string(), error)); // without waiting for a reader

    // A device: a full one says so and stays the device.
    EXPECT_FALSE(station::write_atomically("/dev/full", "x", error));
    EXPECT_EQ(error, "cannot write /dev/full: No space left on device");
    EXPECT_TRUE(fs::is_character_file("/dev/full"));
    EXPECT_TRUE(station::write_atomically("/dev/null", "x", error)) << error;
    EXPECT_TRUE(fs::is_character_file("/dev/null"));
}

TEST_F(StationFiles, WritableFoldersAreFoundByTryingThem)
{
    std::string error;
    EXPECT_TRUE(station::folder_writable(dir.string(), error)) << error;
    EXPECT_TRUE(fs::is_empty(dir)); // the trial file is gone
    EXPECT_TRUE(station::file_writable((dir / "run.xml").string(), error)) << error;
    EXPECT_FALSE(fs::exists(dir / "run.xml"));
    EXPECT_FALSE(station::folder_writable("/proc", error));
    EXPECT_EQ(error.rfind("cannot write into /proc: ", 0), 0u) << error;
    EXPECT_FALSE(station::file_writable((dir / "none" / "run.xml").string(), error));
    EXPECT_EQ(error, "cannot write " + (dir / "none" / "run.xml").string() + ": No such file or directory");
}

TEST(StationTargets, AChipWithoutAHighByteIsNamedAnErrorAndPassedOverByAll)
{
    const std::vector<station::Channel> channels = {{"1-1", 'A', "WTST0001", "FT2232H", true, ""},
                                                    {"1-7", 'A', "QUAD0001", "FT4232H", true, ""},
                                                    {"1-7", 'B', "QUAD0001", "FT4232H", true, ""},
                                                    {"1-8", 'A', "SINGLE01", "FT232H", true, ""}};
    const std::string why = "the FT4232H at 1-7 has no high GPIO byte: its wiring cannot be tested";
    struct Case {
        station::Selection selection;
        std::vector<std::string> targets; // "location channel" or "error"
        size_t passed_over;
    };
    for (const Case &c : std::vector<Case>{
             {{true, {}, {}, 'A'}, {"1-1 A", "1-8 A"}, 1},
             {{true, {}, {}, 'B'}, {"no chip that can be tested has a channel B"}, 1},
             {{false, {"1-7", "1-1"}, {}, 'A'}, {why, "1-1 A"}, 0},
             {{false, {}, {"QUAD0001"}, 'B'}, {"the FT4232H at 1-7 has no high GPIO byte: its wiring cannot be tested"}, 0},
             {{false, {"1-8"}, {}, 'B'}, {"the chip at 1-8 has no channel B"}, 0}}) {
        std::vector<std::string> passed_over;
        std::vector<std::string> got;
        for (const station::Target &t : station::select_targets(channels, c.selection, &passed_over))
            got.push_back(t.error.empty() ? t.board.location + " " + t.board.channel : t.error);
        EXPECT_EQ(got, c.targets);
        EXPECT_EQ(passed_over.size(), c.passed_over);
        for (const std::string &note : passed_over)
            EXPECT_EQ(note.rfind("passed over the FT4232H at 1-7 " + std::string(1, c.selection.channel) + ": ", 0),
                      0u)
                << note;
    }
}

TEST(StationTargets, LocationsHaveTheShapeTheDriversList)
{
    for (const char *good : {"1-1", "3-1.3.2.4.1.7.7", "12-4.10", "0x1234", "0XABCDEF01", "0x0a"})
        EXPECT_TRUE(station::is_location(good)) << good;
    for (const char *bad : {"", "bogus port", "1", "1-", "-1", "1-1.", "1-.1", "1--1", "1-1 ", " 1-1", "1-a", "0x",
                            "0xg1", "x12", "1-1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1.1"})
        EXPECT_FALSE(station::is_location(bad)) << bad;
}

TEST(StationTargets, ALabelledBoardsLineShowsItsLabelAndAnUnlabelledOneIsUnchanged)
{
    station::BoardResult result;
    result.board = {"1-1", 'A', "WTST0001", "FT2232H", true, ""};
    result.outcome = station::Outcome::error;
    result.reason = "unplugged during the test (FT_DEVICE_NOT_FOUND)";
    EXPECT_EQ(station::result_line(result), "ERROR 1-1 A WTST0001: unplugged during the test (FT_DEVICE_NOT_FOUND)");
    result.label = "BOARD\x1b-42";
    EXPECT_EQ(station::result_line(result),
              "ERROR 1-1 A WTST0001 label: BOARD?-42: unplugged during the test (FT_DEVICE_NOT_FOUND)");
}

TEST_F(StationBoard, AFailedListingNamesTheStatus)
{
    station::attach_demo_chips();
    sim::inject(sim::fail(sim::Op::ListChannels, 1, FT_IO_ERROR));
    std::vector<station::Channel> channels;
    std::string error;
    EXPECT_FALSE(station::list_channels(channels, error));
    EXPECT_EQ(error, "the driver could not list the chips (FT_IO_ERROR)");
}

} // namespace
