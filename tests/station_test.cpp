// wiretest-station's board test and model in this process, on the simulated
// driver and the virtual clock: a board opened by its location gets the same
// device calls, bytes and waits as wiretest makes on it; a board's report
// comes to the right outcome and reason; and the records say so.
#include "board_test.h"
#include "fast_test.h"
#include "fixture.h"
#include "single_faults.h"
#include "station.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <chrono>
#include <functional>
#include <sstream>

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
    sim::attach_station_demo_chips();
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
        sim::attach_station_demo_chips();
        const chip::Wiring wiring = sim::channel(int(i)).wiring;
        for (bool short_test : {false, true}) {
            for (bool delay : {false, true}) {
                SCOPED_TRACE(board.location + (short_test ? " short" : " full") + (delay ? " delay" : ""));
                sim::reset();
                sim::attach_station_demo_chips();
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

// The board's result as the station reads it from the run's report, both
// streams in the order they were written.
station::BoardResult conclude(const console::Run &run, bool soak, int exit_status = 0)
{
    station::BoardReport report;
    std::string all;
    for (const auto &piece : run.sequence)
        all += piece.second;
    std::istringstream lines(all);
    for (std::string line; std::getline(lines, line);)
        report.add_line(line);
    station::BoardResult result;
    report.conclude(result, exit_status, soak);
    return result;
}

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
    EXPECT_EQ(station::pin_lines(result.diagnosis),
              std::vector<std::string>{
                  "pin 3: stuck-0 (reads 0 whatever is driven: open with a pull-down, or shorted to ground)"});
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
                                           {"\xed\xa0\x80", "???"}})  // a surrogate
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
        // The normal run's setup and synchronisation, for comparison.
        SetUp();
        sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
        console::capture([] { station::test_board("1-1", 'A', false, true); });
        std::vector<std::string> normal = describe_calls();
        size_t setup_end = 0;
        while (setup_end < normal.size() && normal[setup_end] != "FT_Write[80 00 FF]")
            setup_end++;

        SetUp();
        sim::attach_chip("1-1", "WTST0001", sim::ChipKind::FT2232H);
        station::FastOptions options;
        options.short_test = c.short_test;
        console::Run run = run_fast(options);
        std::vector<std::string> fast = describe_calls();
        ASSERT_GT(fast.size(), setup_end);
        EXPECT_EQ(std::vector<std::string>(fast.begin(), fast.begin() + long(setup_end)),
                  std::vector<std::string>(normal.begin(), normal.begin() + long(setup_end)));
        EXPECT_EQ(fast[setup_end], "FT_Write[" + c.stream + "]");
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
        {"extra bytes", [] { sim::inject(sim::stale_before(sim::Op::Write, 4, {0x5A, 0x01})); },
         "\t00000000\t00000000\n\t11111111\t11111111\nTesting complete, errors: 0\n", "\t\t0: 0x5A\n\t\t1: 0x1\n",
         station::Outcome::pass},
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
    ASSERT_EQ(w.size(), 8u); // after the synchronisation's three
    w.erase(w.begin(), w.begin() + 3);
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
    std::vector<std::string> lines_out = station::soak_pin_lines(result);
    ASSERT_EQ(lines_out.size(), 2u);
    EXPECT_EQ(lines_out[1], "pin 4: intermittent: " + pin4.failed_class + " in " +
                                std::to_string(pin4.failures) + " of 300 runs");
}

} // namespace
