// wiretest-sim as a shell runs it: exit statuses, standard input, the demo
// boards it presents, and its standard output in pipes, files and on a full
// disk.
#include "expected_output.h"
#include "process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

const std::string tool = WIRETEST_SIM;

TEST(Cli, AnUnknownOptionPrintsTheUsageAndExits254)
{
    process::Result r = process::run(tool, {"-x"});
    EXPECT_EQ(r.exit_status, 254);
    EXPECT_EQ(r.out, expected::usage_of(tool));
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

// --- standard output in pipes and files ------------------------------------

const std::string listing = "Select device:\nDevice 0 (Serial Number: WTSIM001A\n"
                            "Device 1 (Serial Number: WTSIM002A\n";
const std::string lost = "ERROR: can not write to standard output\n";

// The tool started by a shell, for redirections only a shell makes; "$0" is
// the tool.
process::Result run_redirected(const std::string &command)
{
    return process::run("/bin/sh", {"-c", command, tool});
}

TEST(CliOutput, LostOutputIsReportedLastAndEndsTheRunWith255)
{
    struct Case {
        std::string command, err;
    };
    const Case cases[] = {
        {"exec \"$0\" -n0 -delay >/dev/full", lost},
        {"exec \"$0\" -n0 -delay >&-", lost},
        {"exec \"$0\" -x >/dev/full", lost},  // a usage error as well
        {"exec \"$0\" >/dev/full </dev/null", "ERROR: No device selected\n" + lost},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.command);
        process::Result r = run_redirected(c.command);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_status, 255);
    }
}

TEST(CliOutput, ABrokenPipeEndsTheRunOnSigpipe)
{
    process::Live live = process::start(tool, {"-n0", "-delay"});
    close(live.output); // the reader went away
    live.output = -1;
    process::Result r = process::finish(live);
    EXPECT_EQ(r.exit_status, -1);
    EXPECT_EQ(r.signal, SIGPIPE);
}

TEST(CliOutput, ThePromptReachesAPipeBeforeTheDigitIsRead)
{
    process::Live live = process::start(tool, {"-short", "-delay"});
    EXPECT_EQ(process::read_until(live, listing, 5000), listing);
    // The tool is waiting for its digit, with the listing already out.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(waitpid(live.pid, nullptr, WNOHANG), 0);
    EXPECT_EQ(write(live.input, "1", 1), 1);
    process::Result r = process::finish(live);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_NE(r.out.find("SUCCESS (Connected to the FTDI.WTSIM002A)\n"), std::string::npos);
}

// Ctrl-C or a kill during the 44 s of a normal run: the log keeps every line
// printed before it.
TEST(CliOutput, ARunEndedByASignalLeavesItsLinesInTheLog)
{
    const std::string up_to_mpsse_on =
        listing + "\n======================================================\n"
                  "SUCCESS (Connected to the FTDI.WTSIM001A)\nSUCCESS (reset)\n"
                  "SUCCESS (usb parameters set)\nSUCCESS (event chars disabled)\n"
                  "SUCCESS (timeouts set)\nSUCCESS (latency set)\n"
                  "SUCCESS (flow control disabled)\nSUCCESS (MSSPE reset)\nSUCCESS (MPSSE on)\n";
    for (int sig : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(strsignal(sig));
        char path[] = "/tmp/wiretest-log-XXXXXX";
        close(mkstemp(path));
        process::Live live = process::start("/bin/sh", {"-c", "exec \"$0\" -n0 >\"$1\"", tool, path});
        auto read_log = [&path] {
            std::ifstream in(path);
            std::stringstream text;
            text << in.rdbuf();
            return text.str();
        };
        // The setup takes no time; its settle wait lasts a second.
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (read_log().find("(MPSSE on)") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        kill(live.pid, sig);
        process::Result r = process::finish(live);
        EXPECT_EQ(r.signal, sig);
        std::string log = read_log();
        EXPECT_EQ(log.substr(0, up_to_mpsse_on.size()), up_to_mpsse_on);
        EXPECT_EQ(log.find("Testing complete"), std::string::npos);
        unlink(path);
    }
}

} // namespace
