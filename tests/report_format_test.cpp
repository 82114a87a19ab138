// The report's format as readers take it apart: eight bits written and read
// back, the first half of a row with tabs or spaces, the count line; and the
// pattern table's promise that wiretest-diagnose's consistency rule rests on.
#include "test_driver/report_format.h"
#include "test_driver/wiring_patterns.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// A failed read prints as eight ones, so a failed row can show equal halves
// only where the pattern is 0xFF; the count may then be one more than the
// rows whose halves differ, and diagnose allows that for the last row alone.
TEST(ReportFormat, OnlyTheLastPatternReadsLikeAFailedRead)
{
    char failed_read[BIT_TEXT_SIZE];
    write_bits(-1, failed_read);
    EXPECT_STREQ(failed_read, "11111111");
    EXPECT_EQ(wiring_patterns[FULL_TEST_STEPS - 1], 0xFF);
    for (int i = 0; i < FULL_TEST_STEPS; i++) {
        SCOPED_TRACE("pattern " + std::to_string(i));
        EXPECT_EQ(std::string(format_bits(wiring_patterns[i])) == failed_read, i == FULL_TEST_STEPS - 1);
    }
}

TEST(ReportFormat, EveryByteReadsBackAsWritten)
{
    for (int x = 0; x < 256; x++) {
        EXPECT_EQ(parse_bits(format_bits(x), 8), x);
        EXPECT_EQ(parse_bits(format_bits(x + 0x300), 8), x); // only the low eight bits are printed
    }
    for (const char *text : {"", "0000000", "000000001", "0000000a", "1111111 ", "-1111111"})
        EXPECT_EQ(parse_bits(text, std::char_traits<char>::length(text)), -1) << '"' << text << '"';
}

TEST(ReportFormat, ARowBeginsWithBlanksTheDrivenBitsAndBlanks)
{
    struct Case {
        const char *line;
        int driven;
        std::string rest;
    };
    const Case cases[] = {
        {"\t00001000\t00000000", 0x08, "00000000"},
        {"        00001000        00000000", 0x08, "00000000"}, // through expand
        {" \t11111111 \t no data ?!", 0xFF, "no data ?!"},
        {"\t00000100\tFT_IO_ERROR", 0x04, "FT_IO_ERROR"},
        {"00001000\t00000000", -1, ""},  // no blank before
        {"\t0000100000000000", -1, ""},  // none between
        {"\t00001000\t", -1, ""},        // nothing after
        {"\t0000100\t00000000", -1, ""}, // seven bits
        {"\t\t0: 0x5A", -1, ""},         // a received byte listed
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.line);
        size_t rest_at = 0;
        std::string line = c.line;
        EXPECT_EQ(parse_row_start(line.data(), line.size(), &rest_at), c.driven);
        if (c.driven >= 0) {
            EXPECT_EQ(line.substr(rest_at), c.rest);
        }
    }
    std::string blanks_at_end = "\t00001000\t00000000 \t ";
    EXPECT_EQ(without_trailing_blanks(blanks_at_end.data(), blanks_at_end.size()), 18u);
}

TEST(ReportFormat, TheCountLineGivesItsCount)
{
    struct Case {
        const char *line;
        int count;
    };
    const Case cases[] = {
        {"Testing complete, errors: 0", 0},   {"Testing complete, errors: 13", 13},
        {"Testing complete, errors: 999999999", 999999999},
        {"Testing complete, errors: 1000000000", -1}, {"Testing complete, errors: ", -1},
        {"Testing complete, errors: 3x", -1}, {"Testing complete, errors: -1", -1},
        {"Testing complete, errors:3", -1},   {"Testing complete", -1},
    };
    for (const Case &c : cases) {
        std::string line = c.line;
        EXPECT_EQ(parse_count_line(line.data(), line.size()), c.count) << c.line;
    }
    char printed[64];
    snprintf(printed, sizeof printed, REPORT_COUNT_FORMAT, 42);
    EXPECT_STREQ(printed, "Testing complete, errors: 42\n");
}

} // namespace
