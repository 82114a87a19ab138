// Every single fault planted on the virtual USB bus's board and tested as the
// station's --fast test tests it, through the real libftdi1: each pattern set
// in one write, the answers read back in packets, the report printed, read
// back and judged as the station judges its boards. What each set makes of
// each fault must be what its coverage table promises, as on the chip's own
// engine (planted_faults_test.cpp).
#include "board_reading.h"
#include "console.h"
#include "fast_test.h"
#include "fault_wiring.h"
#include "planted_single_faults.h"
#include "vusb_control.h"

#include <gtest/gtest.h>

namespace {

using diagnose::PatternSet;

// The candidates the station names for the board at 1-1 holding planted.
std::vector<diagnose::FaultCase> station_candidates(const diagnose::FaultCase &planted, PatternSet set)
{
    vusb_configure(("board=" + board_text_of(planted.faults)).c_str());
    station::FastOptions options;
    options.patterns = set;
    int status = -2;
    console::Run run = console::capture([&] { status = station::test_board_fast("1-1", 'A', options); });
    EXPECT_EQ(status, 0) << run.err;
    station::BoardReport report = read_report(run);
    EXPECT_EQ(report.runs(), 1);
    station::BoardResult result;
    report.conclude(result, status == 0 ? 0 : 255);
    return result.diagnosis.candidates;
}

class PlantedOnTheBus : public ::testing::TestWithParam<PatternSet> {};

TEST_P(PlantedOnTheBus, EverySingleFaultReadsAsTheSetsDictionarySays)
{
    PatternSet set = GetParam();
    int planted = check_every_single_fault(set, [set](const diagnose::FaultCase &c, const std::vector<diagnose::Step> &) {
        return station_candidates(c, set);
    });
    EXPECT_EQ(planted, single_faults_planted);
}

INSTANTIATE_TEST_SUITE_P(Sets, PlantedOnTheBus,
                         ::testing::Values(PatternSet::standard, PatternSet::locate, PatternSet::deep),
                         [](const ::testing::TestParamInfo<PatternSet> &info) {
                             return std::string(diagnose::pattern_set_name(info.param));
                         });

} // namespace
