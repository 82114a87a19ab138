#include "scenarios.h"

#include "diagnosis.h"
#include "expected_output.h"

// The expected output is spelled out here, apart from the tool's own texts
// and pattern table, on purpose: a change to either shows as a difference.
namespace scenarios {

const std::vector<unsigned char> full_patterns = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40,
                                                  0x80, 0x00, 0xAA, 0x55, 0x00, 0xFF};
const std::vector<unsigned char> short_patterns = {0xAA, 0x55, 0x00, 0xFF};

using expected::bits;

std::string row(int driven, int read) { return "\t" + bits(driven) + "\t" + bits(read) + "\n"; }

std::string rows(const std::vector<unsigned char> &patterns, const std::map<int, int> &misread)
{
    std::string text;
    for (unsigned char p : patterns) {
        auto it = misread.find(p);
        text += row(p, it == misread.end() ? p : it->second);
    }
    return text;
}

std::vector<std::string> failed_rows(const std::string &out)
{
    std::vector<std::string> failed;
    for (const diagnose::Row &r : diagnose::read_report(out).rows)
        if (!r.no_data && r.driven != r.read)
            failed.push_back(row(r.driven, r.read));
    return failed;
}

namespace {

const std::string before_rows = expected::before_rows(channels, 0);

std::string report(const std::string &rows_text, int errors)
{
    return before_rows + rows_text + "Testing complete, errors: " + std::to_string(errors) + "\n";
}

// A full run in which exactly these rows failed, in this order.
std::string full_run_failing(const std::vector<std::string> &failed)
{
    std::string text;
    size_t next = 0;
    for (unsigned char p : full_patterns) {
        if (next < failed.size() && failed[next].substr(1, 8) == bits(p))
            text += failed[next++];
        else
            text += row(p, p);
    }
    return report(text, int(failed.size()));
}

Scenario board_fault(const std::string &name, const std::string &board,
                     const std::vector<std::string> &failed)
{
    return {name, {"-n0", "-delay"}, board, "", Failure::none, 0, full_run_failing(failed), "", 0, failed};
}

Scenario setup_failure(const std::string &name, Failure failure, size_t step, const std::string &line)
{
    std::string out = expected::listing(channels) + expected::connected(channels[0]) +
                      expected::setup_lines(step);
    return {name, {"-n0", "-delay"}, "", "", failure, 0, out, "FT_IO_ERROR\n" + line, 255};
}

// A write of the synchronisation or the preparation fails: the run ends
// after the start banner, with the status name alone.
Scenario early_write_failure(const std::string &name, int nth)
{
    return {name, {"-n0", "-delay"}, "", "", Failure::write, nth, before_rows, "FT_IO_ERROR\n", 255};
}

std::vector<Scenario> make_scenarios()
{
    std::vector<Scenario> s;
    s.push_back({"GoodBoardPassesEveryPattern", {"-n0"}, "", "", Failure::none, 0,
                 report(rows(full_patterns), 0), "", 0});
    // Low pin 3 not connected, its high partner pulled down.
    s.push_back({"OpenLowPinFailsThreePatterns", {"-n0", "-delay"}, "open3:0", "", Failure::none, 0,
                 report(rows(full_patterns, {{0x08, 0x00}, {0xAA, 0xA2}, {0xFF, 0xF7}}), 3), "", 0,
                 {row(0x08, 0x00), row(0xAA, 0xA2), row(0xFF, 0xF7)}});
    s.push_back({"ShortTestDrivesTheFourFixedPatterns", {"-n0", "-short"}, "", "", Failure::none, 0,
                 report(rows(short_patterns), 0), "", 0});
    // The third 0x83 of the run answers the walking step for 0x04. The notice
    // splits its row, so no row reads as failed.
    s.push_back({"MissingAnswerPrintsNoDataInsideTheRow", {"-n0", "-delay"}, "", "3", Failure::none, 0,
                 report(rows({0x01, 0x02}) + "\t00000100\tno data ?!\n11111111\n" +
                            rows({0x08, 0x10, 0x20, 0x40, 0x80, 0x00, 0xAA, 0x55, 0x00, 0xFF}),
                        1),
                 "", 0});
    std::string no_answers;
    for (unsigned char p : short_patterns)
        no_answers += "\t" + bits(p) + "\tno data ?!\n11111111\n";
    s.push_back({"AnswerThatNeverComesFailsEveryPattern", {"-n0", "-short", "-delay"}, "", "all",
                 Failure::none, 0, report(no_answers, 4), "", 0});

    s.push_back(board_fault("High0StuckAt1", "stick0:1",
                            {row(0x02, 0x03), row(0x04, 0x05), row(0x08, 0x09), row(0x10, 0x11),
                             row(0x20, 0x21), row(0x40, 0x41), row(0x80, 0x81), row(0x00, 0x01),
                             row(0xAA, 0xAB), row(0x00, 0x01)}));
    s.push_back(board_fault("High7StuckAt0", "stick7:0",
                            {row(0x80, 0x00), row(0xAA, 0x2A), row(0xFF, 0x7F)}));
    s.push_back(board_fault("Pins1And2ShortedWiredAnd", "short1-2:and",
                            {row(0x02, 0x00), row(0x04, 0x00), row(0xAA, 0xA8), row(0x55, 0x51)}));
    s.push_back(board_fault("Pins1And2ShortedWiredOr", "short1-2:or",
                            {row(0x02, 0x06), row(0x04, 0x06), row(0xAA, 0xAE), row(0x55, 0x57)}));
    s.push_back(board_fault("Pins4And5Swapped", "swap4-5",
                            {row(0x10, 0x20), row(0x20, 0x10), row(0xAA, 0x9A), row(0x55, 0x65)}));
    s.push_back(board_fault("Pin0Inverted", "invert0",
                            {row(0x01, 0x00), row(0x02, 0x03), row(0x04, 0x05), row(0x08, 0x09),
                             row(0x10, 0x11), row(0x20, 0x21), row(0x40, 0x41), row(0x80, 0x81),
                             row(0x00, 0x01), row(0xAA, 0xAB), row(0x55, 0x54), row(0x00, 0x01),
                             row(0xFF, 0xFE)}));

    s.push_back(setup_failure("ResetFails", Failure::reset, 0, "ERROR: can not reset\n"));
    s.push_back(setup_failure("EventCharsFail", Failure::event_chars, 2,
                              "ERROR: can not disable event chars\n"));
    s.push_back(setup_failure("LatencyFails", Failure::latency, 4, "ERROR: can not set latency\n"));
    s.push_back(setup_failure("FlowControlFails", Failure::flow_control, 5,
                              "ERROR: can not set flow controll\n"));
    s.push_back(setup_failure("BitModeResetFails", Failure::bit_mode_reset, 6,
                              "ERROR: can not reset MPSSE\n"));
    s.push_back(setup_failure("MpsseOnFails", Failure::mpsse_on, 7, "ERROR: can not turn on MPSSE\n"));

    // Writes: 1 loopback on, 2 the bad command, 3 loopback off, 4 clear the
    // low byte, 5 the high byte made inputs, 6 the low byte cleared again,
    // then two a pattern: drive it, ask for the high byte.
    s.push_back(early_write_failure("BadCommandWriteFails", 2));
    s.push_back(early_write_failure("FirstLowByteWriteFails", 4));
    s.push_back(early_write_failure("HighByteSetupWriteFails", 5));
    s.push_back({"SecondClearingOfTheLowByteIsNotLookedAt", {"-n0", "-short", "-delay"}, "", "",
                 Failure::write, 6, report(rows(short_patterns), 0), "FT_IO_ERROR\n", 0});
    // 0xAA is never driven: the pins still hold 0x00 from the preparation.
    s.push_back({"PatternWriteFailureCountsAndTheRunGoesOn", {"-n0", "-short", "-delay"}, "", "",
                 Failure::write, 7, report(rows(short_patterns, {{0xAA, 0x00}}), 1), "FT_IO_ERROR\n", 0,
                 {row(0xAA, 0x00)}});
    return s;
}

} // namespace

void PrintTo(const Scenario &s, std::ostream *os) { *os << s.name; }

const std::vector<Scenario> &report_scenarios()
{
    static const std::vector<Scenario> table = make_scenarios();
    return table;
}

} // namespace scenarios
