// The model of wiretest-diagnose on reports that the system itself printed
// on the simulated driver: every single fault of each class on every pin or
// pair of pins, a table of boards in the full and the short test, rows
// without an answer, standard error mixed in, and reports that cannot be
// judged. The words and the JSON document are checked on the same runs.
#include "board_text.h"
#include "diagnosis.h"
#include "fixture.h"
#include "single_faults.h"
#include "render.h"

#include <nlohmann/json.hpp>

#include <set>
#include <string>
#include <vector>

namespace {

using diagnose::PinStatus;
using diagnose::Verdict;
using Strings = std::vector<std::string>;

// What a shell captures of a run: standard output alone, or both streams
// with 2>&1. Standard output is line-buffered, so a status name written
// while a row's first half waits lands before that row; unbuffered, it
// splits the row.
enum class Capture { out, both, both_unbuffered };

std::string captured(const console::Run &run, Capture capture)
{
    if (capture == Capture::out)
        return run.out;
    std::string text, pending;
    for (const auto &[stream, chunk] : run.sequence) {
        if (stream == console::Stream::err || capture == Capture::both_unbuffered) {
            text += chunk;
            continue;
        }
        pending += chunk;
        size_t end = pending.rfind('\n');
        if (end != std::string::npos) {
            text += pending.substr(0, end + 1);
            pending.erase(0, end + 1);
        }
    }
    return text + pending;
}

// The pins that are not ok, as "3:stuck-0 4:reads-other(5)".
std::string faulty_pins(const diagnose::Diagnosis &d)
{
    std::string text;
    for (int j = 0; j < 8; j++) {
        const diagnose::PinDiagnosis &pin = d.pins[j];
        if (pin.status == PinStatus::ok)
            continue;
        text += (text.empty() ? "" : " ") + std::to_string(j) + ":" + diagnose::status_name(pin.status);
        for (size_t i = 0; i < pin.with.size(); i++)
            text += (i == 0 ? "(" : ",") + std::to_string(pin.with[i]) + (i + 1 == pin.with.size() ? ")" : "");
    }
    return text;
}

diagnose::Diagnosis diagnose_text(const std::string &text)
{
    return diagnose::judge(diagnose::read_report(text));
}

class Diagnose : public SimTest {
protected:
    // One run of wiretest on a board, as a user starts it.
    console::Run run_board(const chip::Wiring &wiring, bool short_test,
                           const std::vector<sim::Fault> &faults = {})
    {
        SetUp();
        sim::attach("WTBOARD1", wiring);
        for (const sim::Fault &f : faults)
            sim::inject(f);
        Strings args = {"-n0", "-delay"};
        if (short_test)
            args.push_back("-s");
        return console::run(args);
    }
};

// --- every single fault, in the full and the short test ----------------------

TEST_F(Diagnose, EverySingleFaultIsNamedExactlyByTheFullTestAndAsTheShortTestSeesIt)
{
    std::vector<SingleFault> faults = single_faults();
    ASSERT_EQ(faults.size(), 164u);
    for (const SingleFault &f : faults) {
        SCOPED_TRACE(f.name);
        diagnose::Diagnosis full = diagnose_text(run_board(f.wiring, false).out);
        EXPECT_EQ(full.verdict, Verdict::fail);
        EXPECT_EQ(full.test, diagnose::Test::full);
        EXPECT_EQ(faulty_pins(full), f.full);

        diagnose::Diagnosis brief = diagnose_text(run_board(f.wiring, true).out);
        EXPECT_EQ(brief.verdict, f.brief.empty() ? Verdict::pass : Verdict::fail);
        EXPECT_EQ(brief.test, diagnose::Test::short_test);
        EXPECT_EQ(faulty_pins(brief), f.brief);
    }
}

// --- a table of boards --------------------------------------------------------

struct BoardCase {
    const char *what;
    std::string board; // as board_text reads it
    std::string full, brief;
};

const std::string all_stuck_high = "stick0:1+stick1:1+stick2:1+stick3:1+stick4:1+stick5:1+stick6:1+stick7:1";

const BoardCase board_cases[] = {
    {"good board", "", "", ""},
    {"open wires, pulled down and up", "open3:0+open5:1", "3:stuck-0 5:stuck-1", "3:stuck-0 5:stuck-1"},
    {"stuck pins", "stick0:1+stick6:0", "0:stuck-1 6:stuck-0", "0:stuck-1 6:stuck-0"},
    {"inverted pins", "invert2+invert7", "2:inverted 7:inverted", "2:inverted 7:inverted"},
    {"crossed across the groups", "swap1-6", "1:reads-other(6) 6:reads-other(1)",
     "1:reads-other(0,2,4,6) 6:reads-other(1,3,5,7)"},
    {"crossed within a group", "swap0-2", "0:reads-other(2) 2:reads-other(0)", ""},
    {"wired-AND shorts within each group", "short0-2:and+short1-3:and",
     "0:short-and(2) 1:short-and(3) 2:short-and(0) 3:short-and(1)", ""},
    // A wired-AND reads 0 in every walking step, so every pin of the
    // partner's group could be the partner: two faulty ones are both named.
    {"wired-AND shorts across the groups", "short0-5:and+short3-6:and",
     "0:short-and(3,5) 3:short-and(0,6) 5:short-and(0,6) 6:short-and(3,5)",
     "0:short-and(3,5) 3:short-and(0,6) 5:short-and(0,6) 6:short-and(3,5)"},
    {"wired-OR short", "short2-7:or", "2:short-or(7) 7:short-or(2)", "2:short-or(7) 7:short-or(2)"},
    {"two faults at once", "open3:0+swap4-5", "3:stuck-0 4:reads-other(5) 5:reads-other(4)",
     "3:stuck-0 4:reads-other(1,3,5,7) 5:reads-other(0,2,4,6)"},
    {"a short beside an inverted pin", "short1-2:or+invert3", "1:short-or(2) 2:short-or(1) 3:inverted",
     "1:short-or(2) 2:short-or(1,3) 3:inverted"},
    {"a dominant driver: low 4 drives the net of 5 too", "wire5-4", "5:reads-other(4)",
     "5:reads-other(0,2,4,6)"},
    {"an inverted pin on a short", "short3-4:or+invert3", "3:unexplained 4:short-or(3)",
     "3:unexplained 4:short-or(3)"},
    {"all pins stuck", all_stuck_high,
     "0:stuck-1 1:stuck-1 2:stuck-1 3:stuck-1 4:stuck-1 5:stuck-1 6:stuck-1 7:stuck-1",
     "0:stuck-1 1:stuck-1 2:stuck-1 3:stuck-1 4:stuck-1 5:stuck-1 6:stuck-1 7:stuck-1"},
    {"bytes reversed", "swap0-7+swap1-6+swap2-5+swap3-4",
     "0:reads-other(7) 1:reads-other(6) 2:reads-other(5) 3:reads-other(4) 4:reads-other(3) "
     "5:reads-other(2) 6:reads-other(1) 7:reads-other(0)",
     "0:reads-other(1,3,5,7) 1:reads-other(0,2,4,6) 2:reads-other(1,3,5,7) 3:reads-other(0,2,4,6) "
     "4:reads-other(1,3,5,7) 5:reads-other(0,2,4,6) 6:reads-other(1,3,5,7) 7:reads-other(0,2,4,6)"},
};

TEST_F(Diagnose, BoardsInTheFullAndTheShortTest)
{
    for (const BoardCase &c : board_cases) {
        for (bool short_test : {false, true}) {
            SCOPED_TRACE(std::string(c.what) + (short_test ? ", short test" : ", full test"));
            const std::string &expected = short_test ? c.brief : c.full;
            console::Run run = run_board(board_text::parse(c.board), short_test);
            for (Capture capture : {Capture::out, Capture::both}) {
                diagnose::Diagnosis d = diagnose_text(captured(run, capture));
                EXPECT_EQ(faulty_pins(d), expected);
                EXPECT_EQ(d.verdict, expected.empty() ? Verdict::pass : Verdict::fail);
                EXPECT_EQ(d.rows.size(), short_test ? 4u : 13u);
                // The count is the tool's own: the report was consistent.
                EXPECT_NE(run.out.find("errors: " + std::to_string(*d.errors) + "\n"), std::string::npos);
            }
        }
    }
}

// --- rows without an answer -------------------------------------------------

struct UnansweredCase {
    const char *what;
    std::string board;
    bool short_test;
    std::vector<sim::Fault> faults;
    std::set<int> dropped_reads; // the chip does not answer these 0x83 commands
    Capture capture;
    std::vector<bool> answered;
    std::string pins;
    int errors;
    Verdict verdict; // a fail needs a wiring fault among the answered rows
};

// Reads of the pattern steps, counting from 1; the synchronisation's read comes first.
sim::Fault fail_read_of_step(int step, FT_STATUS status = FT_IO_ERROR)
{
    return sim::fail(sim::Op::Read, step + 1, status);
}

std::vector<bool> all_answered_but(size_t rows, const std::set<size_t> &unanswered)
{
    std::vector<bool> answered(rows, true);
    for (size_t i : unanswered)
        answered[i] = false;
    return answered;
}

std::vector<UnansweredCase> unanswered_cases()
{
    return {
        {"no data in the third row", "", false, {}, {3}, Capture::out, all_answered_but(13, {2}), "", 1,
         Verdict::incomplete},
        // The open pin still shows in the rows that were answered.
        {"no data in the open pin's own row", "open3:0", false, {}, {4}, Capture::out,
         all_answered_but(13, {3}), "3:stuck-0", 3, Verdict::fail},
        {"no data in every row", "", true, {}, {1, 2, 3, 4}, Capture::out, all_answered_but(4, {0, 1, 2, 3}),
         "0:untested 1:untested 2:untested 3:untested 4:untested 5:untested 6:untested 7:untested", 4,
         Verdict::incomplete},
        // A failed read prints 11111111; only the status name tells.
        {"failed read, status name before the row", "swap4-5", false, {fail_read_of_step(2)}, {},
         Capture::both, all_answered_but(13, {1}), "4:reads-other(5) 5:reads-other(4)", 5, Verdict::fail},
        {"failed read, status name inside the row", "swap4-5", false, {fail_read_of_step(2)}, {},
         Capture::both_unbuffered, all_answered_but(13, {1}), "4:reads-other(5) 5:reads-other(4)", 5,
         Verdict::fail},
        // Without standard error the row reads as if every pin were high
        // while pin 1 was driven: the odd pins look shorted to it.
        {"failed read, standard output alone", "", false, {fail_read_of_step(2)}, {}, Capture::out,
         all_answered_but(13, {}), "0:unexplained 2:unexplained 3:short-or(1) 4:unexplained 5:short-or(1) "
         "6:unexplained 7:short-or(1)", 1, Verdict::fail},
        {"failed read of the last row, standard output alone", "", true, {fail_read_of_step(4)}, {},
         Capture::out, all_answered_but(4, {3}), "", 1, Verdict::incomplete},
        {"failed read of the last row, status name", "", true, {fail_read_of_step(4)}, {}, Capture::both,
         all_answered_but(4, {3}), "", 1, Verdict::incomplete},
        // The drive of 0xAA fails: the pins still hold 0x00, and the row shows it.
        {"failed drive, status name before the row", "", true, {sim::fail(sim::Op::Write, 7, FT_IO_ERROR)}, {},
         Capture::both, all_answered_but(4, {0}), "", 1, Verdict::incomplete},
        // The drive's queue query fails after 0xFF went out: an answered
        // read with equal halves, which the count leaves out.
        {"failed queue query of the last drive", "", true,
         {sim::fail(sim::Op::GetQueueStatus, 13, FT_IO_ERROR)}, {}, Capture::both, all_answered_but(4, {3}), "",
         0, Verdict::pass},
    };
}

TEST_F(Diagnose, RowsWithoutAnAnswerAreLeftOutOfTheDiagnosis)
{
    for (const UnansweredCase &c : unanswered_cases()) {
        SCOPED_TRACE(c.what);
        SetUp();
        sim::attach("WTBOARD1", board_text::parse(c.board));
        sim::channel(0).faults.dropped_high_reads = c.dropped_reads;
        for (const sim::Fault &f : c.faults)
            sim::inject(f);
        console::Run run = console::run(c.short_test ? Strings{"-n0", "-d", "-s"} : Strings{"-n0", "-d"});
        diagnose::Diagnosis d = diagnose_text(captured(run, c.capture));
        ASSERT_EQ(d.errors, c.errors) << run.out;
        EXPECT_EQ(d.verdict, c.verdict);
        EXPECT_EQ(d.problem, c.verdict == Verdict::incomplete ? diagnose::Problem::unanswered
                                                              : diagnose::Problem::none);
        std::vector<bool> answered;
        for (const diagnose::Row &row : d.rows)
            answered.push_back(row.answered);
        EXPECT_EQ(answered, c.answered);
        EXPECT_EQ(faulty_pins(d), c.pins);
        for (const diagnose::Row &row : d.rows) {
            if (row.no_data) {
                EXPECT_EQ(row.read, 255);
            }
        }
    }
}

// --- standard error mixed in ------------------------------------------------

TEST_F(Diagnose, StrayBytesAndADrainFailureBeforeTheRowsChangeNothing)
{
    // Something waits after the high-byte setup, reading it fails, and the
    // next drive lists the byte: "FT_IO_ERROR", "ERROR: can't read queue",
    // then "\t\t0: 0x42" before the first row.
    console::Run run = run_board(board_text::parse("open3:0"), false,
                                 {sim::stale_before(sim::Op::GetQueueStatus, 5, {0x42}),
                                  sim::fail(sim::Op::Read, 2, FT_IO_ERROR)});
    ASSERT_EQ(run.err, "FT_IO_ERROR\nERROR: can't read queue\n\t\t0: 0x42\n");
    diagnose::Diagnosis d = diagnose_text(captured(run, Capture::both));
    EXPECT_EQ(d.verdict, Verdict::fail);
    EXPECT_EQ(faulty_pins(d), "3:stuck-0");
    for (const diagnose::Row &row : d.rows)
        EXPECT_TRUE(row.answered);
}

TEST_F(Diagnose, StrayBytesListedBetweenRowsAreNotRows)
{
    // An answer left unread by a failed queue query is listed by the next drive.
    console::Run run = run_board({}, true, {sim::fail(sim::Op::GetQueueStatus, 8, FT_IO_ERROR)});
    ASSERT_NE(run.err.find("\t\t0: 0xAA\n"), std::string::npos);
    diagnose::Diagnosis d = diagnose_text(captured(run, Capture::both));
    EXPECT_EQ(d.rows.size(), 4u);
    EXPECT_EQ(d.verdict, Verdict::incomplete);
    EXPECT_EQ(faulty_pins(d), "");
    EXPECT_FALSE(d.rows[0].answered);
}

// --- reports that cannot be judged --------------------------------------------

struct UnjudgedCase {
    const char *what;
    std::string text;
    diagnose::Problem problem;
    std::string reason;
};

std::string replaced(const std::string &text, const std::string &from, const std::string &to)
{
    std::string result = text;
    result.replace(result.find(from), from.size(), to);
    return result;
}

TEST_F(Diagnose, IncompleteInconsistentAndForeignReportsAreNotJudged)
{
    using diagnose::Problem;
    std::string good = run_board({}, false).out;
    std::string open3 = run_board(board_text::parse("open3:0"), false).out;
    console::Run setup_failed = run_board({}, false, {sim::fail(sim::Op::SetChars, 1, FT_IO_ERROR)});
    console::Run no_devices = run_board({}, false, {sim::fail(sim::Op::ListDevices, 1, FT_IO_ERROR)});
    std::string no_data = "\t00000100\tno data ?!\n";
    std::string binary;
    for (int i = 0; i < 512; i++)
        binary += char(i * 37 % 256);

    std::string swapped_rows = replaced(good, "\t00000010\t00000010\n\t00000100\t00000100\n",
                                        "\t00000100\t00000100\n\t00000010\t00000010\n");

    const UnjudgedCase cases[] = {
        {"nothing", "", Problem::incomplete, "no rows: the test did not run"},
        {"a setup failure, with standard error", captured(setup_failed, Capture::both), Problem::incomplete,
         "no rows: the test did not run; last error: ERROR: can not disable event chars"},
        {"a setup failure, standard output alone", setup_failed.out, Problem::incomplete,
         "no rows: the test did not run"},
        {"no listing", no_devices.err, Problem::incomplete,
         "no rows: the test did not run; last error: ERROR: FT_ListDevices"},
        {"stopped before its first row", first_lines(good, 16), Problem::incomplete,
         "the test stopped after 0 rows"},
        {"stopped after eight rows", first_lines(good, 24), Problem::incomplete, "the test stopped after 8 rows"},
        {"stopped inside a row without an answer", first_lines(good, 18) + no_data, Problem::incomplete,
         "the test stopped after 2 rows"},
        {"rows alone, cut after eight", first_lines(good, 24).substr(first_lines(good, 16).size()),
         Problem::incomplete, "rows missing: the report ends after 8 of 13 rows"},
        {"no count line", replaced(good, "Testing complete, errors: 0\n", ""), Problem::incomplete,
         "rows missing: no count line after the rows"},
        {"a count too high", replaced(good, "errors: 0", "errors: 2"), Problem::inconsistent,
         "the count does not match the rows"},
        {"a count too low", replaced(open3, "errors: 3", "errors: 2"), Problem::inconsistent,
         "the count does not match the rows"},
        {"rows out of order", swapped_rows, Problem::unreadable,
         "not a wiretest report: row 2 drives 00000100, not 00000010"},
        {"a row without its read bits", first_lines(good, 18) + no_data + "garbage\n", Problem::unreadable,
         "not a wiretest report: a row without its read bits"},
        {"text", "hello\nworld\n", Problem::unreadable, "not a wiretest report: no line in it is one wiretest prints"},
        {"binary", binary, Problem::unreadable, "not a wiretest report: no line in it is one wiretest prints"},
        {"rows of another tool", "\t00000011\t00000011\nTesting complete, errors: 0\n", Problem::unreadable,
         "not a wiretest report: its first row drives 00000011"},
    };
    for (const UnjudgedCase &c : cases) {
        SCOPED_TRACE(c.what);
        diagnose::Diagnosis d = diagnose_text(c.text);
        EXPECT_EQ(d.verdict, Verdict::incomplete);
        EXPECT_EQ(d.problem, c.problem);
        EXPECT_EQ(d.reason, c.reason);
        EXPECT_TRUE(d.rows.empty());
    }
}

// A log appended to run after run: the last report that reached its count
// line is judged, whichever comes after it.
TEST_F(Diagnose, OfReportsOneAfterAnotherTheLastCompleteOneIsJudged)
{
    std::string good = run_board({}, false).out;
    std::string open3 = run_board(board_text::parse("open3:0"), false).out;
    std::string setup_failed = run_board({}, false, {sim::fail(sim::Op::SetChars, 1, FT_IO_ERROR)}).out;
    std::string stopped = first_lines(good, 24);
    struct Case {
        const char *what;
        std::string text;
        int reports, judged;
        std::string pins;
        Verdict verdict;
    };
    const Case cases[] = {
        {"a pass, then a fail", good + open3, 2, 2, "3:stuck-0", Verdict::fail},
        {"a fail, then a stopped run", open3 + stopped, 2, 1, "3:stuck-0", Verdict::fail},
        {"a stopped run, a setup failure, then a pass", stopped + setup_failed + good, 3, 3, "", Verdict::pass},
        {"a fail, then a setup failure", open3 + setup_failed, 2, 1, "3:stuck-0", Verdict::fail},
        {"rows alone after a count line", good + first_lines(open3, 29).substr(first_lines(open3, 16).size()) +
                                              "Testing complete, errors: 3\n",
         2, 2, "3:stuck-0", Verdict::fail},
        {"a stopped run after a stopped run", stopped + first_lines(open3, 20), 2, 2, "", Verdict::incomplete},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        diagnose::Diagnosis d = diagnose_text(c.text);
        EXPECT_EQ(d.reports, c.reports);
        EXPECT_EQ(d.judged, c.judged);
        EXPECT_EQ(d.verdict, c.verdict);
        if (c.verdict != Verdict::incomplete) {
            EXPECT_EQ(faulty_pins(d), c.pins);
        }
    }
    EXPECT_EQ(diagnose_text(stopped + first_lines(open3, 20)).reason, "the test stopped after 4 rows");
    EXPECT_EQ(diagnose::words(diagnose_text(open3 + stopped)),
              "note: the input holds 2 reports; the last complete one, report 1, is judged\n"
              "pin 3: stuck-0 (reads 0 whatever is driven: open with a pull-down, or shorted to ground)\n"
              "one of 2: stuck-0 on net 3 | open, input floating on net 3\n"
              "verdict: FAIL (full test, errors: 3; 1 pin not ok)\n");
}

TEST_F(Diagnose, ACrLfReportReadsTheSame)
{
    std::string report = run_board(board_text::parse("swap4-5"), false).out, crlf;
    for (char c : report)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(diagnose::json(diagnose_text(crlf)), diagnose::json(diagnose_text(report)));
    EXPECT_EQ(faulty_pins(diagnose_text(crlf)), "4:reads-other(5) 5:reads-other(4)");
}

// --- words and JSON -----------------------------------------------------------

TEST_F(Diagnose, WordsNameEachFaultyPinAndEndWithTheVerdict)
{
    struct Case {
        std::string board;
        bool short_test;
        std::string words;
    };
    const std::string short_note = "note: the short test cannot tell pins 0, 2, 4 and 6 apart, nor pins 1, 3, 5 "
                                   "and 7: pins crossed within one of these groups pass it\n";
    const Case cases[] = {
        {"", false, "verdict: PASS (full test, errors: 0; every pin ok)\n"},
        {"swap0-2", true, short_note + "verdict: PASS (short test, errors: 0; every pin ok)\n"},
        {"open6:0+short1-3:and", false,
         "pin 1: short-and with pin 3 (reads low pin 1 AND low pin 3: the nets touch and 0 wins)\n"
         "pin 3: short-and with pin 1 (reads low pin 3 AND low pin 1: the nets touch and 0 wins)\n"
         "pin 6: stuck-0 (reads 0 whatever is driven: open with a pull-down, or shorted to ground)\n"
         "one of 2: stuck-0 on net 6 + bridge, wired-AND on nets 1 and 3 | open, input floating on net 6 + "
         "bridge, wired-AND on nets 1 and 3\n"
         "verdict: FAIL (full test, errors: 5; 3 pins not ok)\n"},
        {"swap4-5+invert7+stick0:1", true,
         "pin 0: stuck-1 (reads 1 whatever is driven: open with a pull-up, or shorted to the supply)\n"
         "pin 4: reads-other with pins 1, 3, 5 and 7 (reads any of low pins 1, 3, 5 and 7 instead of low pin "
         "4: crossed wires, or its net driven by another pin)\n"
         "pin 5: reads-other with pins 0, 2, 4 and 6 (reads any of low pins 0, 2, 4 and 6 instead of low pin "
         "5: crossed wires, or its net driven by another pin)\n"
         "pin 7: inverted (reads the opposite of low pin 7)\n"
         "detected only: no modelled fault, alone or with another on separate nets, reads like this\n" +
             short_note + "verdict: FAIL (short test, errors: 4; 4 pins not ok)\n"},
        // Pin 0 reads its own level AND another pin's, which the rows cannot name.
        {"short0-1:and+stick3:0", true,
         "pin 0: short-and with pins 1 and 3 (reads low pin 0 AND one of low pins 1 and 3: the nets touch and 0 "
         "wins)\n"
         "pin 1: short-and with pin 0 (reads low pin 1 AND low pin 0: the nets touch and 0 wins)\n"
         "pin 3: stuck-0 (reads 0 whatever is driven: open with a pull-down, or shorted to ground)\n"
         "one of 2: stuck-0 on net 3 + bridge, wired-AND on nets 0 and 1 | open, input floating on net 3 + "
         "bridge, wired-AND on nets 0 and 1\n" +
             short_note + "verdict: FAIL (short test, errors: 3; 3 pins not ok)\n"},
        {"short3-4:or+invert3", false,
         "pin 3: unexplained (read 1110011110010 where 0001000001001 was driven)\n"
         "pin 4: short-or with pin 3 (reads low pin 4 OR low pin 3: the nets touch and 1 wins)\n"
         "detected only: no modelled fault, alone or with another on separate nets, reads like this\n"
         "verdict: FAIL (full test, errors: 11; 2 pins not ok)\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board);
        EXPECT_EQ(diagnose::words(diagnose_text(run_board(board_text::parse(c.board), c.short_test).out)),
                  c.words);
    }
    SetUp();
    sim::attach("WTBOARD1");
    sim::channel(0).faults.dropped_high_reads = {5};
    EXPECT_EQ(diagnose::words(diagnose_text(console::run({"-n0", "-d"}).out)),
              "verdict: INCOMPLETE (1 row without an answer and no wiring fault among the answered rows: test "
              "again)\n");
}

TEST_F(Diagnose, TheJsonDocumentCarriesTheRowsAndThePins)
{
    // The last read fails: 11111111 against 11111111, counted.
    console::Run run = run_board(board_text::parse("short1-2:or"), true, {fail_read_of_step(4)});
    nlohmann::json doc = nlohmann::json::parse(diagnose::json(diagnose_text(run.out)));

    EXPECT_EQ(doc["verdict"], "fail");
    EXPECT_EQ(doc["test"], "short");
    EXPECT_EQ(doc["errors"], 3);
    EXPECT_FALSE(doc.contains("reason"));
    EXPECT_EQ(doc["rows"], nlohmann::json::parse(R"([
        {"driven": 170, "read": 174, "answered": true},
        {"driven": 85, "read": 87, "answered": true},
        {"driven": 0, "read": 0, "answered": true},
        {"driven": 255, "read": 255, "answered": false}])"));
    ASSERT_EQ(doc["pins"].size(), 8u);
    for (int j = 0; j < 8; j++) {
        SCOPED_TRACE(j);
        EXPECT_EQ(doc["pins"][j]["pin"], j);
        EXPECT_EQ(doc["pins"][j]["status"], j == 1 || j == 2 ? "short-or" : "ok");
    }
    EXPECT_EQ(doc["pins"][1]["with"], nlohmann::json::array({2}));
    EXPECT_EQ(doc["pins"][2]["with"], nlohmann::json::array({1}));
    EXPECT_EQ(doc["pins"][0]["with"], nlohmann::json::array());
}

TEST_F(Diagnose, EachFaultIsNamedWithHowSureTheRowsMakeIt)
{
    struct Case {
        const char *board;
        const char *confidence;
        Strings candidates; // each a fault or a pair of faults, as the JSON document lists them
    };
    const Case cases[] = {
        {"", "", {}},
        {"swap4-5", "located", {"crossed pair on nets 4 and 5"}},
        {"short2-6:or", "located", {"bridge, wired-OR on nets 2 and 6"}},
        // Stuck high and an open wire pulled up read alike when every pin is driven.
        {"stick5:1", "one of 2", {"stuck-1 on net 5", "open, input pulled up on net 5"}},
        {"open5:1", "one of 2", {"stuck-1 on net 5", "open, input pulled up on net 5"}},
        {"wire6-2", "one of 2", {"bridge, dominant: net 2 wins over net 6", "misroute: receiver 6 fed by net 2"}},
        // Two AND bridges the thirteen patterns confound, and two they tell apart.
        {"short0-1:and+short2-3:and", "one of 2",
         {"bridge, wired-AND on nets 0 and 1 + bridge, wired-AND on nets 2 and 3",
          "bridge, wired-AND on nets 0 and 3 + bridge, wired-AND on nets 1 and 2"}},
        {"short0-2:and+short1-3:and", "located",
         {"bridge, wired-AND on nets 0 and 2 + bridge, wired-AND on nets 1 and 3"}},
        {"invert0", "detected only", {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board);
        diagnose::Diagnosis d = diagnose_text(run_board(board_text::parse(c.board), false).out);
        EXPECT_EQ(diagnose::confidence_text(d), c.confidence);
        nlohmann::json doc = nlohmann::json::parse(diagnose::json(d));
        if (*c.confidence == '\0') {
            EXPECT_FALSE(doc.contains("faults"));
            continue;
        }
        EXPECT_EQ(doc["faults"]["confidence"], c.confidence);
        Strings listed;
        for (const nlohmann::json &candidate : doc["faults"]["candidates"]) {
            std::string text;
            for (const nlohmann::json &fault : candidate)
                text += (text.empty() ? "" : " + ") + fault.get<std::string>();
            listed.push_back(text);
        }
        EXPECT_EQ(listed, c.candidates);
    }
}

// A station's planned set, as its board process prints it: the set's name,
// then rows of driven (z for an input), read and driven byte read back.
TEST(DiagnosePlannedSet, ReportsAreReadAndJudgedByTheirSet)
{
    // A good board's report of a set, with the board's reads where given.
    auto report = [](diagnose::PatternSet set, const std::vector<diagnose::Fault> &faults,
                     const std::string &before_count = "") {
        std::string text = "START TESTING\npattern set: " + std::string(diagnose::pattern_set_name(set)) + "\n";
        int errors = 0;
        for (const diagnose::Step &step : diagnose::pattern_steps(set)) {
            diagnose::Observation seen = diagnose::observe(faults, step), good = diagnose::observe({}, step);
            text += diagnose::planned_row_text(step, seen.high, seen.low) + "\n";
            errors += !(seen == good);
        }
        return text + before_count + "Testing complete, errors: " + std::to_string(errors) + "\n";
    };
    using diagnose::Fault;
    using diagnose::FaultClass;
    struct Case {
        const char *name;
        std::string text;
        Verdict verdict;
        std::string test, confidence, reason;
    };
    const std::string deep_good = report(diagnose::PatternSet::deep, {});
    const Case cases[] = {
        {"locate, good", report(diagnose::PatternSet::locate, {}), Verdict::pass, "locate", "", ""},
        {"deep, resistive bridge", report(diagnose::PatternSet::deep, {Fault{FaultClass::bridge_resistive, {1, 6, 0}}}),
         Verdict::fail, "deep", "located", ""},
        {"locate, stuck high", report(diagnose::PatternSet::locate, {Fault{FaultClass::stuck_1, {4, 0, 0}}}),
         Verdict::fail, "locate", "located", ""},
        {"deep, unsettled", report(diagnose::PatternSet::deep, {}, "inputs did not settle\n"), Verdict::incomplete,
         "deep", "",
         "the undriven inputs did not settle in the wait before their read (pull-ups weak or missing): the wiring "
         "was not diagnosed"},
        // Without the set's name its rows are no rows of any test.
        {"no name", deep_good.substr(deep_good.find('\t')), Verdict::incomplete, "", "", "no rows"},
        {"locate's rows named deep", replaced(report(diagnose::PatternSet::locate, {}), "locate", "deep"),
         Verdict::incomplete, "deep", "", "rows missing: the report ends after 14 of 22 rows"},
        {"no answer",
         replaced(replaced(deep_good, "\tzzzzzzz0\t11111110\t11111110", "\tzzzzzzz0\tno data ?!"), "errors: 0",
                  "errors: 1"),
         Verdict::incomplete, "deep", "", "1 row without an answer"},
        {"no answer, miscounted",
         replaced(deep_good, "\tzzzzzzz0\t11111110\t11111110", "\tzzzzzzz0\tno data ?!"), Verdict::incomplete,
         "deep", "", "the count does not match the rows"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        diagnose::Diagnosis d = diagnose::judge(diagnose::read_report(c.text));
        EXPECT_EQ(d.verdict, c.verdict) << d.reason;
        EXPECT_EQ(d.test ? diagnose::test_name(*d.test) : "", c.test);
        EXPECT_EQ(diagnose::confidence_text(d), c.confidence);
        EXPECT_EQ(d.reason.substr(0, c.reason.size()), c.reason);
    }
}

TEST_F(Diagnose, AnIncompleteJsonDocumentHasRowsAndPinsOnlyWhenTheRowsWereJudged)
{
    std::string report = run_board({}, true).out;
    nlohmann::json doc = nlohmann::json::parse(
        diagnose::json(diagnose_text(replaced(report, "errors: 0", "errors: 2"))));
    EXPECT_EQ(doc, nlohmann::json::parse(
                       R"({"verdict": "incomplete", "reason": "the count does not match the rows",
                           "test": "short", "errors": 2})"));
    EXPECT_EQ(nlohmann::json::parse(diagnose::json(diagnose_text(""))),
              nlohmann::json::parse(R"({"verdict": "incomplete", "reason": "no rows: the test did not run"})"));

    // A row without an answer and no fault: which rows were answered is known.
    SetUp();
    sim::attach("WTBOARD1");
    sim::channel(0).faults.dropped_high_reads = {2};
    nlohmann::json unanswered = nlohmann::json::parse(diagnose::json(diagnose_text(console::run({"-n0", "-d", "-s"}).out)));
    EXPECT_EQ(unanswered["verdict"], "incomplete");
    EXPECT_EQ(unanswered["reason"], "1 row without an answer and no wiring fault among the answered rows: test again");
    EXPECT_EQ(unanswered["errors"], 1);
    ASSERT_EQ(unanswered["rows"].size(), 4u);
    EXPECT_EQ(unanswered["rows"][1], nlohmann::json::parse(R"({"driven": 85, "read": 255, "answered": false})"));
    EXPECT_EQ(unanswered["pins"][7], nlohmann::json::parse(R"({"pin": 7, "status": "ok", "with": []})"));
}

TEST(DiagnosePatterns, AreTheSequenceTheToolDrives)
{
    EXPECT_EQ(diagnose::patterns(diagnose::Test::full),
              (std::vector<uint8_t>{0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x00, 0xAA, 0x55, 0x00, 0xFF}));
    EXPECT_EQ(diagnose::patterns(diagnose::Test::short_test), (std::vector<uint8_t>{0xAA, 0x55, 0x00, 0xFF}));
}

} // namespace
