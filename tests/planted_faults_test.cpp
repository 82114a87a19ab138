// Faults planted on the simulated chip's board, each pattern set driven on it
// as MPSSE commands (0x80 sets the low byte's value and direction, 0x83 reads
// the receivers, 0x81 the driven byte), and what the fault dictionary makes of
// the answers: each set must locate, confound or miss exactly what its
// coverage table says. The chip's board model and the dictionary's are
// written apart, so each checks the other.
#include "fault_model.h"
#include "fault_wiring.h"
#include "mpsse_chip.h"
#include "planted_single_faults.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

namespace {

using diagnose::PatternSet;

// Each step as the station sends it; the answers as it reads them.
std::vector<diagnose::Observation> drive(const chip::Wiring &wiring, const std::vector<diagnose::Step> &steps)
{
    chip::MpsseChannel c;
    c.wiring = wiring;
    c.set_bit_mode(0, 2);
    std::vector<diagnose::Observation> seen;
    for (const diagnose::Step &step : steps) {
        std::vector<uint8_t> stream = {0x80, step.value, step.direction, 0x82, 0x00, 0x00, 0x83};
        if (step.read_back)
            stream.push_back(0x81);
        std::deque<uint8_t> answers;
        c.write(stream.data(), stream.size(), answers);
        EXPECT_EQ(answers.size(), step.read_back ? 2u : 1u);
        seen.push_back({answers[0], step.read_back ? answers[1] : uint8_t(0)});
    }
    return seen;
}

const PatternSet all_sets[] = {PatternSet::standard, PatternSet::locate, PatternSet::deep};

TEST(PlantedFaults, EverySingleFaultReadsAsItsSetsDictionarySays)
{
    for (PatternSet set : all_sets) {
        int planted = check_every_single_fault(set, [](const diagnose::FaultCase &c, const std::vector<diagnose::Step> &steps) {
            return diagnose::candidates(steps, drive(wiring_of(c.faults), steps));
        });
        EXPECT_EQ(planted, single_faults_planted);
    }
}

TEST(PlantedFaults, TwoAndBridgesAreOneOfTwoWithTheThirteenAndLocatedWithLocate)
{
    for (PatternSet set : {PatternSet::standard, PatternSet::locate}) {
        std::vector<diagnose::Step> steps = diagnose::pattern_steps(set);
        std::map<size_t, int> by_count; // candidates found: boards
        for (const diagnose::FaultGroup &group : diagnose::modelled_faults()) {
            if (group.name != "two separate wired-AND bridges")
                continue;
            for (const diagnose::FaultCase &c : group.cases)
                by_count[diagnose::candidates(steps, drive(wiring_of(c.faults), steps)).size()]++;
        }
        SCOPED_TRACE(diagnose::pattern_set_name(set));
        // The thirteen: 78 confounded, six of them three ways (pins of one parity only).
        // Locate: nets 1 and 5 hold complementary codes in the constant-weight
        // patterns, so their AND bridge reads as both stuck at 0, which a
        // pair that holds a bridge of three nets matches as well.
        if (set == PatternSet::standard)
            EXPECT_EQ(by_count, (std::map<size_t, int>{{1, 132}, {2, 72}, {3, 6}}));
        else
            EXPECT_EQ(by_count, (std::map<size_t, int>{{1, 209}, {5, 1}}));
    }
}

TEST(PlantedFaults, AResistiveBridgeIsMissedByAllDrivenSetsAndFoundByDeep)
{
    chip::Wiring board = chip::Wiring{}.bridge(2, 5, chip::Wiring::Bridge::resistive);
    for (PatternSet set : all_sets) {
        SCOPED_TRACE(diagnose::pattern_set_name(set));
        std::vector<diagnose::Step> steps = diagnose::pattern_steps(set);
        std::vector<diagnose::FaultCase> found = diagnose::candidates(steps, drive(board, steps));
        if (set != PatternSet::deep) {
            EXPECT_TRUE(found.empty());
            continue;
        }
        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(diagnose::case_text(found[0]), "resistive bridge on nets 2 and 5");
    }
}

} // namespace
