// build/wiretest-station, linked to the system's libftdi1 and the libftdi1
// layer, run as a shell runs it on the virtual USB bus (tests/vusb): --wait
// with chips that arrive and leave during the run, seen through libusb's
// hotplug events and by listing where the bus has none.
#include "process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

const std::string station = WIRETEST_STATION;

Strings lines_of(const std::string &text)
{
    Strings lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// A run on the virtual bus, and the lines of the bus's log (every process's)
// that start with prefix.
struct BusRun {
    process::Result result;
    Strings logged;
};

BusRun run_on_bus(const std::string &settings, const Strings &args, const std::string &prefix = "hotplug ",
                  int limit_ms = 20000)
{
    char path[] = "/tmp/wiretest-station-vusb-XXXXXX";
    close(mkstemp(path));
    BusRun run;
    run.result = process::run(station, args, std::nullopt,
                              {"LD_LIBRARY_PATH=" VUSB_DIR, "WIRETEST_VUSB=" + settings + ";log=" + path}, limit_ms);
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0)
            run.logged.push_back(line);
    unlink(path);
    return run;
}

double cpu_seconds_of_children()
{
    rusage usage{};
    getrusage(RUSAGE_CHILDREN, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// --- --wait: hotplug events, and the listing where the bus has none ---------

class StationUsbWait : public ::testing::TestWithParam<bool> {
protected:
    bool hotplug() const { return GetParam(); }
    std::string bus(const std::string &chips) const
    {
        return std::string(hotplug() ? "" : "hotplug=0;") + "chips=" + chips;
    }
    // The station learnt of the chips through events exactly when the bus has them.
    void expect_events(const BusRun &run, const Strings &events) const
    {
        EXPECT_EQ(run.logged, hotplug() ? events : Strings{});
    }
};

TEST_P(StationUsbWait, EachBoardOnceWhileItStaysInTheOrderTheyCome)
{
    // 1-1 gets two chips one after another, 1-2 one that stays, and a
    // blank chip comes at 1-3.1 last.
    BusRun run = run_on_bus(bus("6010:WT01@1-1~0-1200,6010:WT02@1-1~1600-2600,6010:WT05@1-2~800-,"
                                "6010:@1-3.1~3000-"),
                            {"--wait", "--fast", "--count", "4"});
    EXPECT_EQ(lines_of(run.result.out),
              (Strings{"PASS 1-1 A WT01 errors: 0", "PASS 1-2 A WT05 errors: 0", "PASS 1-1 A WT02 errors: 0",
                       "PASS 1-3.1 A - errors: 0", "boards: 4, passed: 4, failed: 0, errors: 0"}));
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.exit_status, 0);
    // The station ends after the fourth board: the blank chip's arrival is
    // the last event it waited for.
    expect_events(run, {"hotplug arrived 1-2", "hotplug left 1-1", "hotplug arrived 1-1", "hotplug left 1-1",
                        "hotplug arrived 1-3.1"});
}

TEST_P(StationUsbWait, AReplugIsTestedAgainAndAnUnplugDuringTheTestIsAnError)
{
    // A -delay test lasts 0.6 s: the second visit ends 0.1 s into it.
    BusRun run = run_on_bus(bus("6010:WT01@1-1~0-1200,6010:WT01@1-1~1500-1900,6010:WT01@1-1~2300-,"
                                "6010:WT02@1-2"),
                            {"--wait", "--delay", "--count", "3", "--port", "1-1"});
    Strings lines = lines_of(run.result.out);
    ASSERT_EQ(lines.size(), 4u) << run.result.out << run.result.err;
    EXPECT_EQ(lines[0], "PASS 1-1 A WT01 errors: 0");
    EXPECT_EQ(lines[1].rfind("ERROR 1-1 A WT01", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(": unplugged during the test"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "PASS 1-1 A WT01 errors: 0");
    EXPECT_EQ(lines[3], "boards: 3, passed: 2, failed: 0, errors: 1");
    EXPECT_EQ(run.result.exit_status, 2);
}

TEST_P(StationUsbWait, WaitingUsesNoProcessorTime)
{
    double before = cpu_seconds_of_children();
    process::Live live = process::start(station, {"--wait"},
                                        {"LD_LIBRARY_PATH=" VUSB_DIR, "WIRETEST_VUSB=" + bus("6010:WT01~600000-")});
    std::this_thread::sleep_for(std::chrono::seconds(2));
    kill(live.pid, SIGTERM);
    process::Result r = process::finish(live, 5000);
    double used = cpu_seconds_of_children() - before;
    EXPECT_EQ(r.exit_status, 2); // no board tested
    EXPECT_LT(used, 0.1) << used << " s of processor time in 2 s of waiting";
}

INSTANTIATE_TEST_SUITE_P(Ways, StationUsbWait, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Hotplug" : "Polling"; });

} // namespace
