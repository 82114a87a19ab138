// wiretest-station-sim --wait as a shell runs it, with chips that the test
// plugs and unplugs as the station's output comes (--sim-control), or that
// stay all along (--sim-plug LOC=DEMO@FROM-): each board tested once while
// it stays, again after a replug, one unplugged mid-test, --count, --scan,
// interrupts, the processor time of a station that waits, and its size over
// many boards.
#include "process.h"
#include "sanitized.h"
#include "sim_station.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

namespace fs = std::filesystem;

const std::string program = WIRETEST_STATION_SIM;

std::vector<std::string> with(std::vector<std::string> args, const std::vector<std::string> &more)
{
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

// Both ways of seeing boards arrive: the driver's events, and the listing.
class StationWait : public ::testing::TestWithParam<bool> {
protected:
    std::vector<std::string> args(const std::vector<std::string> &more)
    {
        std::vector<std::string> a = {"--wait"};
        if (!GetParam())
            a.emplace_back("--sim-no-hotplug");
        return with(a, more);
    }
};

TEST_P(StationWait, ABoardSwappedForAnotherBetweenTwoListingsIsTestedAsANewBoard)
{
    // Out and in at one moment, both with serial number WTST0005: every
    // listing sees a chip at 1-1, and only its USB address tells the second
    // from the first.
    SimStation station(program, args({"--fast", "--count", "2"}), "plug 1-1=1-4\n");
    ASSERT_TRUE(station.printed("PASS 1-1 A WTST0005"));
    station.command("unplug 1-1\nplug 1-1=1-5\n");
    process::Result r = station.finish();
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(process::lines_of(r.out),
              (std::vector<std::string>{"PASS 1-1 A WTST0005 errors: 0", "PASS 1-1 A WTST0005 errors: 0",
                                        "boards: 2, passed: 2, failed: 0, errors: 0"}));
    EXPECT_EQ(r.exit_status, 0);
}

TEST_P(StationWait, EachBoardOnceWhileItStaysInTheOrderTheyCome)
{
    // 1-1 gets three boards one after another; 1-2 one that stays. Each
    // comes after the station has printed the board before it: a board
    // tested twice would be printed in its place.
    SimStation station(program, args({"--fast", "--count", "4"}), "plug 1-1=1-1\n");
    ASSERT_TRUE(station.printed("PASS 1-1 A WTST0001"));
    station.command("plug 1-2=1-4\n");
    ASSERT_TRUE(station.printed("PASS 1-2 A WTST0005"));
    station.command("unplug 1-1\n");
    station.command("plug 1-1=1-2\n");
    ASSERT_TRUE(station.printed("FAIL 1-1 A WTST0002"));
    station.command("unplug 1-1\n");
    station.command("plug 1-1=1-3.1\n");
    process::Result r = station.finish();
    EXPECT_EQ(r.exit_status, 1); // 1-2's board fails
    const std::string fail_1_2 = "FAIL 1-1 A WTST0002 errors: 3: pin 3: stuck-0 (reads 0 whatever is driven: "
                                 "open with a pull-down, or shorted to ground) "
                                 "[one of 2: stuck-0 on net 3 | open, input floating on net 3]";
    EXPECT_EQ(process::lines_of(r.out), (std::vector<std::string>{"PASS 1-1 A WTST0001 errors: 0", "PASS 1-2 A WTST0005 errors: 0",
                                                         fail_1_2, "PASS 1-1 A - errors: 0",
                                                         "boards: 4, passed: 3, failed: 1, errors: 0"}));
}

TEST_P(StationWait, AReplugIsTestedAgain)
{
    SimStation station(program, args({"--fast", "--count", "2", "--port", "1-1"}), "plug 1-1=1-1\nplug 1-2=1-2\n");
    ASSERT_TRUE(station.printed("PASS 1-1 A WTST0001"));
    station.command("unplug 1-1\n");
    station.command("plug 1-1=1-1\n");
    process::Result r = station.finish();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(process::lines_of(r.out),
              (std::vector<std::string>{"PASS 1-1 A WTST0001 errors: 0", "PASS 1-1 A WTST0001 errors: 0",
                                        "boards: 2, passed: 2, failed: 0, errors: 0"}));
}

TEST_P(StationWait, ABoardUnpluggedDuringItsTestIsAnErrorAndTheStationGoesOn)
{
    // Held at its 20th write, among the rows of the test, until it is pulled
    // out there. The next board is tested as usual.
    SimStation station(program, args({"--count", "2", "--delay"}), "plug 1-1=1-1\nhold 1-1 20\n");
    ASSERT_TRUE(station.noted("held 1-1"));
    station.command("unplug 1-1\n");
    ASSERT_TRUE(station.printed("ERROR 1-1 A WTST0001"));
    station.command("plug 1-1=1-4\n");
    process::Result r = station.finish();
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    // (in the setup, or among the rows: "errors: N" then)
    EXPECT_EQ(lines[0].rfind("ERROR 1-1 A WTST0001", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(": unplugged during the test (FT_DEVICE_NOT_FOUND)"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "PASS 1-1 A WTST0005 errors: 0");
    EXPECT_EQ(r.exit_status, 3);
}

TEST_P(StationWait, ScanTakesEachLabelAsTheBoardsDutIdAndEndsWithItsInput)
{
    process::Result r = process::run(program, args({"--fast", "--json", "--scan", "--port", "1-1", "--sim-plug",
                                                    "1-1=1-3.1@0-"}),
                                     std::string("\nBOARD-0042\n"), {}, 10000);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "wiretest-station: an empty label: scan the board's label again\n");
    nlohmann::json record = nlohmann::json::parse(r.out);
    EXPECT_EQ(record["dut_id"], "BOARD-0042");
    EXPECT_EQ(record["serial"], "");
}

TEST_P(StationWait, AQuadChipAtAnyPortIsPassedOverAndAtANamedPortIsAnError)
{
    process::Result any = process::run(program, args({"--fast", "--count", "1", "--sim-plug", "1-7=1-1@0-:FT4232H",
                                                      "--sim-plug", "1-1=1-4@600-"}),
                                       std::nullopt, {}, 15000);
    EXPECT_EQ(process::lines_of(any.out),
              (std::vector<std::string>{"PASS 1-1 A WTST0005 errors: 0", "boards: 1, passed: 1, failed: 0, errors: 0"}));
    EXPECT_EQ(any.err, "wiretest-station: passed over the FT4232H at 1-7 A: it has no high GPIO byte, its wiring "
                       "cannot be tested\n");
    EXPECT_EQ(any.exit_status, 0);

    process::Result named = process::run(
        program, args({"--fast", "--count", "1", "--port", "1-7", "--sim-plug", "1-7=1-1@0-:FT4232H"}), std::nullopt,
        {}, 15000);
    EXPECT_EQ(process::lines_of(named.out),
              (std::vector<std::string>{
                  "ERROR 1-7 A WTST0001: the FT4232H at 1-7 has no high GPIO byte: its wiring cannot be tested",
                  "boards: 1, passed: 0, failed: 0, errors: 1"}));
    EXPECT_EQ(named.exit_status, 3);
}

TEST_P(StationWait, WaitingUsesNoProcessorTime)
{
    // Measured from the station's first board on, when it is surely past its
    // start-up (a sanitizer's above all) and waiting: 2 s in which nothing
    // arrives.
    SimStation station(program, args({"--fast"}), "plug 1-1=1-1\n");
    ASSERT_TRUE(station.printed("PASS 1-1 A WTST0001"));
    double before = process::cpu_seconds_of(station.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the span measured
    double used = process::cpu_seconds_of(station.pid()) - before;
    kill(station.pid(), SIGTERM);
    process::Result r = station.finish();
    EXPECT_EQ(r.exit_status, 0); // one board, passed
    EXPECT_LT(used, 0.1) << used << " s of processor time in 2 s of waiting";
}

TEST_P(StationWait, ABoardWhoseEepromItsTestWroteComesBackAsTheSameBoard)
{
    // Programmed after its PASS, the chip at 1-1 enumerates again under its
    // new serial and a new USB address while the station watches; the
    // board plugged at 1-2 afterwards is the second of --count 2.
    TempDir dir{"wiretest-wait-product"};
    std::ofstream(dir / "product.toml") << "[product]\nmanufacturer = \"Wiretest\"\nproduct = \"Bench\"\n";
    SimStation station(program,
                       args({"--fast", "--count", "2", "--db", "sqlite:" + dir / "line.db", "--product",
                             dir / "product.toml", "--sim-plug", "1-1=1-3.1@0-", "--sim-eeprom", "1-1=93C46"}),
                       "\n");
    ASSERT_TRUE(station.printed("PASS 1-1 A WT")) << station.finish().err;
    station.command("plug 1-2=1-2\n");
    process::Result r = station.finish();
    EXPECT_FALSE(r.timed_out);
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("PASS 1-1 A WT", 0), 0u) << r.out;
    EXPECT_EQ(lines[1].rfind("FAIL 1-2 A ", 0), 0u) << r.out;
    EXPECT_EQ(lines[2], "boards: 2, passed: 1, failed: 1, errors: 0");
}

INSTANTIATE_TEST_SUITE_P(Ways, StationWait, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Hotplug" : "Polling"; });

// How labels are read is the same whichever way boards are seen to arrive.
TEST(StationWaitScan, CrLfAndCrLfEachEndALabelAndABlankOneIsScannedAgain)
{
    // Two boards one after another at 1-1, each with the label scanned
    // before it; a board's line names its label. The second label and board
    // come once the first is printed.
    const std::pair<const char *, const char *> inputs[] = {
        {"B-1\r", "B-2\r"}, {"B-1\r\n", "B-2\r\n"}, {"B-1\n", "B-2\r\n"}, {"   \rB-1\n", "\t\r\nB-2\n"}};
    for (const auto &[first, second] : inputs) {
        const std::string input = std::string(first) + second;
        SimStation station(program, {"--wait", "--fast", "--scan", "--port", "1-1", "--count", "2"},
                           "plug 1-1=1-1\n", std::string(first));
        EXPECT_TRUE(station.printed("PASS 1-1 A WTST0001")) << input;
        station.type(second);
        station.command("unplug 1-1\nplug 1-1=1-4\n");
        process::Result r = station.finish();
        EXPECT_EQ(process::lines_of(r.out),
                  (std::vector<std::string>{"PASS 1-1 A WTST0001 label: B-1 errors: 0",
                                            "PASS 1-1 A WTST0005 label: B-2 errors: 0",
                                            "boards: 2, passed: 2, failed: 0, errors: 0"}))
            << input;
        bool blanks = input[0] == ' ';
        EXPECT_EQ(r.err, blanks ? "wiretest-station: an empty label: scan the board's label again\n"
                                  "wiretest-station: an empty label: scan the board's label again\n"
                                : "")
            << input;
        EXPECT_EQ(r.exit_status, 0);
    }
}

// A label scanned twice before its board arrives: the second replaces the
// first, which no later board takes. A board that then waits for a label
// at Ctrl-C is named in the summary, untested.
TEST(StationWaitScan, ASecondScanReplacesTheWaitingLabelAndNoLaterBoardTakesTheFirst)
{
    SimStation station(program, {"--wait", "--fast", "--scan", "--port", "1-1"}, "", std::string("B-1\nB-2\n"));
    ASSERT_TRUE(station.said("wiretest-station: slot 1-1: label B-2 replaces B-1\n"));
    station.command("plug 1-1=1-1\n");
    ASSERT_TRUE(station.printed("PASS 1-1 A WTST0001"));
    station.command("unplug 1-1\nplug 1-1=1-4\n");
    // Its answer comes after a listing that saw the new board.
    station.type("retest 1-1\n");
    ASSERT_TRUE(station.said("wiretest-station: retest 1-1: no board tested there\n"));
    kill(station.pid(), SIGINT);
    process::Result r = station.finish();
    EXPECT_EQ(process::lines_of(r.out),
              (std::vector<std::string>{"PASS 1-1 A WTST0001 label: B-2 errors: 0",
                                        "boards: 1, passed: 1, failed: 0, errors: 0, not tested, no label scanned: "
                                        "1-1 A WTST0005"}));
    EXPECT_EQ(r.exit_status, 0);
}

// An ERROR because the board was pulled out is not tested again, whatever
// --retest allows: the next board plugged there is no attempt of it. A
// retest asked for after it left says so.
TEST(StationWaitRetest, AnUnpluggedBoardIsNeverTestedAgain)
{
    SimStation station(program, {"--wait", "--delay", "--retest", "2", "--port", "1-1", "--count", "2"},
                       "plug 1-1=1-1\nhold 1-1 20\n", std::string());
    ASSERT_TRUE(station.noted("held 1-1"));
    station.command("unplug 1-1\n");
    ASSERT_TRUE(station.said("wiretest-station: 1-1 A WTST0001: not tested again: the board was unplugged\n"));
    station.type("retest 1-1\n");
    ASSERT_TRUE(station.said("wiretest-station: retest 1-1: its board 1-1 A WTST0001 was unplugged; plugged in "
                             "again, it is tested\n"));
    station.command("plug 1-1=1-4\n");
    process::Result r = station.finish();
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out << r.err;
    EXPECT_EQ(lines[0].rfind("ERROR 1-1 A WTST0001", 0), 0u) << lines[0];
    // The board's one line, its last attempt: no other attempt follows.
    EXPECT_NE(lines[0].find(": unplugged during the test (FT_DEVICE_NOT_FOUND)"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[0].find("attempt"), std::string::npos) << lines[0];
    EXPECT_EQ(lines[1], "PASS 1-1 A WTST0005 errors: 0");
    EXPECT_EQ(r.exit_status, 3);
}

// A line far longer than any label or command is refused and said, and the
// lines after it are read as ever.
TEST(StationWaitScan, ALineOver4KiBIsRefusedAndTheNextIsRead)
{
    SimStation station(program, {"--wait", "--fast", "--scan", "--port", "1-1", "--count", "1"}, "plug 1-1=1-1\n",
                       std::string(4097, 'x') + "\nB-1\n");
    EXPECT_TRUE(station.printed("PASS 1-1 A WTST0001"));
    process::Result r = station.finish();
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(process::lines_of(r.out), (std::vector<std::string>{"PASS 1-1 A WTST0001 label: B-1 errors: 0",
                                                                  "boards: 1, passed: 1, failed: 0, errors: 0"}));
    EXPECT_EQ(r.err, "wiretest-station: 1 line of standard input refused: longer than 4 KiB, where a label or a "
                     "command is one short line\n");
}

// Resident memory of a process, in KiB.
long resident_kib(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// Standard input without line ends, as a stuck scanner or a file sends it:
// the station reads it all and stays its size.
TEST(StationWaitInput, InputWithoutLineEndsKeepsTheStationItsSize)
{
    process::Live live = process::start(program, {"--wait", "--delay", "--port", "1-1"});
    const std::string chunk(1 << 20, 'x');
    auto send_mib = [&](int mib) {
        for (int i = 0; i < mib; i++)
            for (size_t sent = 0; sent < chunk.size();) {
                ssize_t n = write(live.input, chunk.data() + sent, chunk.size() - sent);
                ASSERT_GT(n, 0);
                sent += size_t(n);
            }
    };
    send_mib(1); // taken only once the station reads its input
    long before = resident_kib(live.pid);
    send_mib(64);
    long after = resident_kib(live.pid);
    kill(live.pid, SIGINT);
    process::Result r = process::finish(live, 10000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_GT(before, 0);
    EXPECT_LT(after - before, 8 * 1024) << before << " KiB before 64 MiB of input, " << after << " KiB after";
}

TEST(StationWaitInterrupt, CtrlCFinishesTheBoardUnderTestWithItsRecordAndJunit)
{
    TempDir temp("wiretest-wait");
    fs::path dir = temp.path;
    process::Live live = process::start(program, {"--wait", "--delay", "--records", (dir / "records").string(),
                                                  "--junit", (dir / "run.xml").string(), "--sim-plug",
                                                  "1-1=1-1@0-"});
    // Settled, and under test: its process runs (or, on a machine too busy
    // to see it, it has already printed its line).
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (!testing_a_board(live.pid) && live.out.find("PASS") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        process::read_until(live, "PASS", 2); // what came in 2 ms
    kill(live.pid, SIGINT);
    process::Result r = process::finish(live, 5000);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(process::lines_of(r.out),
              (std::vector<std::string>{"PASS 1-1 A WTST0001 errors: 0", "boards: 1, passed: 1, failed: 0, errors: 0"}));
    EXPECT_TRUE(fs::exists(dir / "run.xml"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "records"), fs::directory_iterator()), 1);
}

// The lines of /proc/PID/maps: a thread never joined keeps its stack and
// guard page, two mappings.
struct Mappings {
    size_t all = 0;
    // Threads' stacks: a region of a megabyte or more, written to, just
    // above a page that guards it.
    size_t stacks = 0;
};

Mappings mappings_of(pid_t pid)
{
    std::ifstream maps("/proc/" + std::to_string(pid) + "/maps");
    Mappings found;
    unsigned long guard_end = 0;
    for (std::string line; std::getline(maps, line);) {
        found.all++;
        std::istringstream fields(line);
        unsigned long from = 0, to = 0;
        char dash = 0;
        std::string p;
        if (!(fields >> std::hex >> from >> dash >> to >> p) || dash != '-')
            continue;
        if (p == "rw-p" && from == guard_end && to - from >= (1ul << 20))
            found.stacks++;
        guard_end = p == "---p" && to - from == 4096 ? to : 0;
    }
    return found;
}

TEST(StationWaitLongRun, TheStationStaysTheSameSizeBoardAfterBoard)
{
    // Five ports, a board plugged at each in rounds: each round's boards
    // are unplugged once all five are printed, and the next plugged.
    const size_t ports = 5, rounds = 8;
    SimStation station(program, {"--wait", "--fast"});
    auto round_of = [&](const char *verb, const char *board) {
        std::string lines;
        for (size_t port = 0; port < ports; port++)
            lines += std::string(verb) + " 1-" + std::to_string(port + 1) + board + "\n";
        return lines;
    };
    auto lines = [&] { return size_t(std::count(station.out().begin(), station.out().end(), '\n')); };
    size_t early_lines = 0;
    Mappings early;
    for (size_t round = 0; round < rounds; round++) {
        station.command(round_of("plug", "=1-1"));
        if (!station.printed_lines(ports * (round + 1)))
            break;
        station.command(round_of("unplug", ""));
        if (round == 1) {
            early_lines = lines();
            early = mappings_of(station.pid());
        }
    }
    size_t late_lines = lines();
    Mappings late = mappings_of(station.pid());
    kill(station.pid(), SIGINT);
    process::Result r = station.finish(5000);
    EXPECT_FALSE(r.timed_out);
    ASSERT_EQ(early_lines, 10u) << r.out;
    ASSERT_EQ(late_lines, ports * rounds) << r.out;
    // 30 boards in between: a stack each if their threads were kept.
    EXPECT_GT(early.stacks, 0u);
    EXPECT_LE(late.stacks, early.stacks + ports)
        << early.stacks << " stacks after 10 boards, " << late.stacks << " after " << ports * rounds;
    // A sanitizer's allocator maps more as it meets more threads, for a while.
    if (!sanitized) {
        EXPECT_LT(late.all, early.all + 15)
            << early.all << " mappings after 10 boards, " << late.all << " after " << ports * rounds;
    }
}

// The simulated station's control file itself: the chips its lines leave,
// and a word for each line it cannot follow, the station going on.
TEST(StationWaitControl, TheChipsAreThoseItsLinesLeaveAndEachLineItCannotFollowIsNamed)
{
    struct Case {
        const char *what, *lines;
        std::string listed, err;
    };
    const std::string quad = "1-7 A WTST0001 FT4232H (no high GPIO byte: not a wiring result)\n"
                             "1-7 B WTST0001 FT4232H (no high GPIO byte: not a wiring result)\n";
    const Case cases[] = {
        {"nothing plugged: not the demo chips", "", "", "wiretest-station: no chip with an MPSSE is plugged in\n"},
        {"a kind named, a blank chip", "plug 1-7=1-1:FT4232H\nplug 1-1=1-3.1\n",
         quad + "1-1 A - FT2232H\n1-1 B - FT2232H\n", ""},
        {"unplugged, and plugged again", "plug 1-1=1-4\nunplug 1-1\nplug 1-1=1-5\n",
         "1-1 A WTST0005 FT2232H\n1-1 B WTST0005 FT2232H\n", ""},
        {"a second chip at one place", "plug 1-1=1-4\nplug 1-1=1-1\n",
         "1-1 A WTST0005 FT2232H\n1-1 B WTST0005 FT2232H\n",
         "simulated driver: 1-1: a chip is plugged there already\n"},
        {"nothing there to unplug or hold", "unplug 1-9\nhold 1-9 3\n", "",
         "simulated driver: 1-9: no chip is plugged there\nsimulated driver: 1-9: no chip is plugged there\n"
         "wiretest-station: no chip with an MPSSE is plugged in\n"},
        {"lines of no known shape", "bogus 1-1\nplug 1-2=9-9\nplug 1-2=1-1:FT9999\nhold 1-1 0\nunplug 1-1 now\n", "",
         "wiretest-station-sim: not a control line: bogus 1-1\n"
         "wiretest-station-sim: not a control line: plug 1-2=9-9\n"
         "wiretest-station-sim: not a control line: plug 1-2=1-1:FT9999\n"
         "wiretest-station-sim: not a control line: hold 1-1 0\n"
         "wiretest-station-sim: not a control line: unplug 1-1 now\n"
         "wiretest-station: no chip with an MPSSE is plugged in\n"},
        {"a line not yet ended waits", "plug 1-1=1-4", "", "wiretest-station: no chip with an MPSSE is plugged in\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir("wiretest-wait-control");
        std::ofstream(dir / "control") << c.lines;
        process::Result r = process::run(program, {"--sim-control", dir / "control", "--list"});
        EXPECT_EQ(r.out, c.listed);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_status, 0);
    }
    process::Result missing = process::run(program, {"--sim-control", "/nonexistent/control", "--list"});
    EXPECT_EQ(missing.out, "");
    EXPECT_EQ(missing.err, "wiretest-station-sim: cannot watch the control file /nonexistent/control: No such file "
                           "or directory\n");
    EXPECT_EQ(missing.exit_status, 2);
}

TEST(StationWaitUsage, ScanNeedsAPortAndWaitTakesNoOtherTargets)
{
    for (const std::vector<std::string> &a : std::vector<std::vector<std::string>>{
             {"--wait", "--scan"},
             {"--wait", "--all"},
             {"--wait", "--serial", "WTST0001"},
             {"--count", "2", "--all"}}) {
        process::Result r = process::run(program, a);
        EXPECT_EQ(r.exit_status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("wiretest-station: usage error: ", 0), 0u) << r.err;
    }
}

} // namespace
