// The fault dictionary of each pattern set: the thirteen patterns against the
// counts of an independent exhaustive simulation of this harness (the table
// in the project's diagnosis notes), the sets that do more against what they
// promise, and wiretest-diagnose --coverage as a shell runs it.
#include "fault_model.h"
#include "process.h"
#include "render.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <map>

namespace {

using diagnose::Coverage;
using diagnose::CoverageRow;
using diagnose::PatternSet;

const CoverageRow &row_of(const Coverage &c, const std::string &group)
{
    for (const CoverageRow &row : c.rows)
        if (row.group == group)
            return row;
    ADD_FAILURE() << "no row " << group;
    static CoverageRow none;
    return none;
}

struct Expected {
    const char *group;
    int cases, detected, located;
    int apart_in_group;                    // the notes' "told apart" where they compare within the class
    std::vector<std::string> confounded;   // the groups its confounded faults come from
};

void expect_rows(const Coverage &c, const std::vector<Expected> &table)
{
    ASSERT_EQ(c.rows.size(), table.size());
    for (const Expected &e : table) {
        SCOPED_TRACE(e.group);
        const CoverageRow &row = row_of(c, e.group);
        EXPECT_EQ(row.cases, e.cases);
        EXPECT_EQ(row.detected, e.detected);
        EXPECT_EQ(row.located, e.located);
        EXPECT_EQ(row.apart_in_group, e.apart_in_group);
        EXPECT_EQ(row.confounded_with, e.confounded);
    }
}

TEST(Coverage, TheThirteenPatternsReadAsTheIndependentSimulationCounted)
{
    // The notes' table: stuck-1 and an open wire pulled up identical; a
    // resistive bridge unseen; 78 of 210 pairs of AND bridges confounded;
    // the rest told apart. Two pairs the notes did not model read alike here
    // too: stuck-0 and an open floating input read as 0, and a dominant
    // bridge and a misroute, whose receivers both follow the winning driver.
    expect_rows(diagnose::coverage(diagnose::pattern_steps(PatternSet::standard)),
                {{"stuck-0", 8, 8, 0, 8, {"open, input floating"}},
                 {"stuck-1", 8, 8, 0, 8, {"open, input pulled up"}},
                 {"open, input pulled up", 8, 8, 0, 8, {"stuck-1"}},
                 {"open, input floating", 8, 8, 0, 8, {"stuck-0"}},
                 {"bridge, wired-AND", 28, 28, 28, 28, {}},
                 {"bridge, wired-OR", 28, 28, 28, 28, {}},
                 {"bridge, dominant", 56, 56, 0, 56, {"misroute"}},
                 {"crossed pair", 28, 28, 28, 28, {}},
                 {"misroute", 56, 56, 0, 56, {"bridge, dominant"}},
                 {"resistive bridge", 28, 0, 0, 0, {}},
                 {"two separate wired-AND bridges", 210, 210, 132, 132, {"two separate wired-AND bridges"}},
                 {"two separate wired-OR bridges", 210, 210, 210, 210, {}},
                 {"bridge of three nets, wired-AND", 56, 56, 56, 56, {}},
                 {"bridge of three nets, wired-OR", 56, 56, 56, 56, {}}});
}

TEST(Coverage, EachSetDetectsAndLocatesWhatItPromises)
{
    struct Case {
        std::vector<diagnose::Step> steps;
        const char *name;
        int resistive_detected;
        int and_pairs_located;
        int others_located; // every other group: all its faults located, or none
    };
    const Case cases[] = {
        // Walking one, 0x00 and 0xFF alone: 0xAA and 0x55 are what tell pairs of AND bridges apart.
        {diagnose::pattern_steps_from_text("1,2,4,8,10,20,40,80,0,ff"), "ten", 0, 0, -1},
        {diagnose::pattern_steps(PatternSet::locate), "locate", 0, 210, 1},
        {diagnose::pattern_steps(PatternSet::deep), "deep", 28, 210, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Coverage coverage = diagnose::coverage(c.steps);
        EXPECT_EQ(row_of(coverage, "resistive bridge").detected, c.resistive_detected);
        EXPECT_EQ(row_of(coverage, "resistive bridge").located, c.resistive_detected);
        EXPECT_EQ(row_of(coverage, "two separate wired-AND bridges").located, c.and_pairs_located);
        if (c.others_located < 0)
            continue;
        for (const CoverageRow &row : coverage.rows)
            if (row.group != "resistive bridge") {
                SCOPED_TRACE(row.group);
                EXPECT_EQ(row.located, row.cases);
            }
    }
    EXPECT_EQ(diagnose::pattern_steps(PatternSet::locate).size(), 14u);
    EXPECT_EQ(diagnose::pattern_steps(PatternSet::deep).size(), 22u);
    EXPECT_TRUE(diagnose::pattern_steps_from_text("1,,2").empty());
    EXPECT_TRUE(diagnose::pattern_steps_from_text("100").empty());
}

TEST(CoverageCli, PrintsTheTableInWordsAndJson)
{
    process::Result words = process::run(WIRETEST_DIAGNOSE, {"--coverage"});
    EXPECT_EQ(words.exit_status, 0);
    EXPECT_EQ(words.err, "");
    EXPECT_EQ(words.out.substr(0, words.out.find('\n')),
              "pattern set standard: 13 steps, all pins driven; the receivers read");
    EXPECT_NE(words.out.find("\ntwo separate wired-AND bridges      210       210      132        78  "
                             "two separate wired-AND bridges\n"),
              std::string::npos)
        << words.out;
    EXPECT_NE(words.out.find("\none of 2: stuck-1 on net 3 | open, input pulled up on net 3\n"), std::string::npos);
    EXPECT_NE(words.out.find("\nnot detected: resistive bridge on nets 6 and 7\n"), std::string::npos);

    process::Result json = process::run(WIRETEST_DIAGNOSE, {"--coverage", "--patterns", "deep", "--json"});
    EXPECT_EQ(json.exit_status, 0);
    nlohmann::json doc = nlohmann::json::parse(json.out);
    EXPECT_EQ(doc["patterns"], "deep");
    EXPECT_EQ(doc["steps"].size(), 22u);
    EXPECT_EQ(doc["steps"][21], nlohmann::json({{"value", 0}, {"direction", 128}, {"read_back", true}}));
    EXPECT_EQ(doc["rows"][9]["fault"], "resistive bridge");
    EXPECT_EQ(doc["rows"][9]["located"], 28);
    EXPECT_TRUE(doc["confounded"].empty());
    EXPECT_TRUE(doc["not_detected"].empty());

    process::Result unknown = process::run(WIRETEST_DIAGNOSE, {"--coverage", "--patterns", "walk"});
    EXPECT_EQ(unknown.exit_status, 2);
    EXPECT_EQ(unknown.out, "");
    EXPECT_EQ(unknown.err, "wiretest-diagnose: usage error: unknown pattern set walk (standard, locate, deep, or "
                           "bytes in hexadecimal, comma-separated)\n");
    process::Result alone = process::run(WIRETEST_DIAGNOSE, {"--patterns", "locate"});
    EXPECT_EQ(alone.exit_status, 2);
}

} // namespace
