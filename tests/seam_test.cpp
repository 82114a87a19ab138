// The seam: the system, unchanged, linked to the thirteen operations of a
// separate shared library, here the simulated driver with its demo boards.
#include "process.h"

#include <gtest/gtest.h>

namespace {

const std::string tool = WIRETEST_SIM_SHARED;

TEST(Seam, TheSystemRunsOnADriverInASharedLibrary)
{
    process::Result r = process::run(tool, {"-n1", "-delay"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("SUCCESS (Connected to the FTDI.WTSIM002A)\n"), std::string::npos);
    EXPECT_NE(r.out.find("\t11111111\t11110111\nTesting complete, errors: 3\n"), std::string::npos);
}

TEST(Seam, TheThirteenOperationsComeFromTheLibrary)
{
    // The executable leaves every driver operation to the dynamic loader.
    process::Result r = process::run("/usr/bin/nm", {"-D", "--undefined-only", tool});
    ASSERT_EQ(r.exit_status, 0) << r.err;
    for (const char *op : {"FT_ListDevices", "FT_OpenEx", "FT_ResetDevice", "FT_SetUSBParameters",
                           "FT_SetChars", "FT_SetTimeouts", "FT_SetLatencyTimer", "FT_SetFlowControl",
                           "FT_SetBitMode", "FT_Write", "FT_GetQueueStatus", "FT_Read", "FT_Close"})
        EXPECT_NE(r.out.find(std::string(" U ") + op + "\n"), std::string::npos) << op;
}

} // namespace
