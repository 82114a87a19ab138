#include "planted_single_faults.h"

#include <gtest/gtest.h>

#include <string>

int check_every_single_fault(diagnose::PatternSet set, const DiagnoseBoard &diagnose_board)
{
    std::vector<diagnose::Step> steps = diagnose::pattern_steps(set);
    diagnose::Coverage coverage = diagnose::coverage(steps);
    int planted = 0;
    for (size_t g = 0; g < coverage.groups.size(); g++)
        for (size_t i = 0; i < coverage.groups[g].cases.size(); i++) {
            const diagnose::FaultCase &planted_case = coverage.groups[g].cases[i];
            diagnose::FaultClass kind = planted_case.faults[0].kind;
            if (planted_case.faults.size() != 1 || kind == diagnose::FaultClass::bridge3_and ||
                kind == diagnose::FaultClass::bridge3_or)
                continue;
            SCOPED_TRACE(std::string(diagnose::pattern_set_name(set)) + ": " + diagnose::case_text(planted_case));
            const diagnose::CaseSignature &promised = coverage.signatures[g][i];
            std::vector<diagnose::FaultCase> found = diagnose_board(planted_case, steps);
            planted++;
            if (!promised.detected) {
                EXPECT_TRUE(found.empty());
                continue;
            }
            // The planted fault among them, and as many as read alike in the dictionary.
            EXPECT_EQ(found.size(), promised.alike.size() + 1);
            bool named = false;
            for (const diagnose::FaultCase &c : found)
                named = named || diagnose::case_text(c) == diagnose::case_text(planted_case);
            EXPECT_TRUE(named);
        }
    return planted;
}
