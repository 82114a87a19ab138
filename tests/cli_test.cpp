// wiretest-sim as a shell runs it: exit statuses, standard input, and the
// demo boards it presents.
#include "process.h"

#include <gtest/gtest.h>

namespace {

const std::string tool = WIRETEST_SIM;

TEST(Cli, AnUnknownOptionPrintsTheUsageAndExits254)
{
    process::Result r = process::run(tool, {"-x"});
    EXPECT_EQ(r.exit_status, 254);
    EXPECT_EQ(r.out, "USAGE:\n\t" + tool + " [-nX] [-short] [-delay]\n\n"
                     "\t\t\tX - id number of the device you want to test\n"
                     "\t\t\t-short - perform only a short test\n"
                     "\t\t\t-delay - use a short delay while performing test\n");
    EXPECT_EQ(r.err, "");
}

TEST(Cli, ClosedInputWhileADigitIsAwaitedExits255AtOnce)
{
    process::Result r = process::run(tool, {}, std::nullopt, {}, 5000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "Select device:\nDevice 0 (Serial Number: WTSIM001A\n"
                     "Device 1 (Serial Number: WTSIM002A\n");
    EXPECT_EQ(r.err, "ERROR: No device selected\n");
}

TEST(Cli, TheDeviceNumberIsReadFromStandardInput)
{
    process::Result r = process::run(tool, {"-short", "-delay"}, "x9\n1\n");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("SUCCESS (Connected to the FTDI.WTSIM002A)\n"), std::string::npos);
}

TEST(Cli, TheGoodDemoBoardPassesAndTheOpenPinBoardFailsThreePatterns)
{
    process::Result good = process::run(tool, {"-n0", "-delay"});
    EXPECT_EQ(good.exit_status, 0);
    EXPECT_EQ(good.err, "");
    EXPECT_NE(good.out.find("\t11111111\t11111111\nTesting complete, errors: 0\n"),
              std::string::npos);

    process::Result open_pin = process::run(tool, {"-n1", "-delay"});
    EXPECT_EQ(open_pin.exit_status, 0);
    EXPECT_NE(open_pin.out.find("\t00001000\t00000000\n"), std::string::npos);
    EXPECT_NE(open_pin.out.find("\t11111111\t11110111\nTesting complete, errors: 3\n"),
              std::string::npos);
}

} // namespace
