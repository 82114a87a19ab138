// build/wiretest-station-sim as the operator sees it: standard error on a
// pseudo-terminal, standard output on the same terminal, another one, or a
// pipe. Live lines only where they erase nothing else, at most about ten
// redraws a second; --wait's large results in their colours, an ERROR's
// advice, and --json's records on a terminal.
#include "sim_station.h"
#include "temp_dir.h"
#include "terminal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

const std::string program = WIRETEST_STATION_SIM;

const char *name_of(terminal::Output output)
{
    switch (output) {
    case terminal::Output::same_terminal: return "same terminal";
    case terminal::Output::other_terminal: return "another terminal";
    case terminal::Output::pipe: return "a pipe";
    }
    return "?";
}

TEST(StationScreen, LiveLinesOnlyWhenBothStreamsShareTheTerminalAtMostTenRedrawsASecond)
{
    // The board at 1-6 has a contact that comes and goes: a soak fails it.
    const std::string live = "testing 1-6 A WTST0006: ";
    const std::string result = "FAIL 1-6 A WTST0006 runs: ";
    const double seconds = 2;
    for (terminal::Output output :
         {terminal::Output::same_terminal, terminal::Output::other_terminal, terminal::Output::pipe}) {
        SCOPED_TRACE(name_of(output));
        terminal::Result r = terminal::run(program, {"--port", "1-6", "--fast", "--duration", "2"}, output);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 1);
        if (output == terminal::Output::same_terminal) {
            EXPECT_NE(r.terminal.find(live + "run "), std::string::npos) << r.terminal;
            EXPECT_NE(r.terminal.find(result), std::string::npos) << r.terminal;
            // Drawn when the board starts and then at most every 100 ms
            // (the line's end redraws once more).
            size_t redraws = terminal::count(r.terminal, live);
            EXPECT_LE(redraws, size_t(seconds * 10 * 1.5)) << r.terminal.size() << " bytes";
        } else {
            EXPECT_EQ(r.terminal.find("testing "), std::string::npos) << r.terminal;
            EXPECT_EQ(r.terminal.find('\x1b'), std::string::npos) << r.terminal;
            EXPECT_EQ(r.out.find("testing "), std::string::npos) << r.out;
            EXPECT_EQ(r.out.rfind(result, 0), 0u) << r.out;
        }
    }
}

// A row of the large letters, as the operator reads them.
std::string big_row(const std::string &word, int row)
{
    const std::vector<std::pair<char, std::vector<std::string>>> letters = {
        {'A', {" ### ", "#   #", "#####", "#   #", "#   #"}}, {'E', {"#####", "#    ", "#### ", "#    ", "#####"}},
        {'F', {"#####", "#    ", "#### ", "#    ", "#    "}}, {'I', {"#####", "  #  ", "  #  ", "  #  ", "#####"}},
        {'L', {"#    ", "#    ", "#    ", "#    ", "#####"}}, {'O', {" ### ", "#   #", "#   #", "#   #", " ### "}},
        {'P', {"#### ", "#   #", "#### ", "#    ", "#    "}}, {'R', {"#### ", "#   #", "#### ", "#  # ", "#   #"}},
        {'S', {" ####", "#    ", " ### ", "    #", "#### "}},
    };
    std::string text = "  ";
    for (char c : word)
        for (const auto &l : letters)
            if (l.first == c)
                text += l.second[size_t(row)] + "  ";
    return text;
}

TEST(StationScreen, WaitShowsEachOutcomeLargeInItsOwnColourAndAnErrorSaysWhatToDo)
{
    const std::string green = "\x1b[1;32m", red = "\x1b[1;31m", yellow = "\x1b[1;33m";
    struct Case {
        const char *what;
        std::vector<std::string> args;
        std::string word, colour, words; // words: a line under the letters
        std::string control;             // the chips' lines, for a board unplugged when it is held
    };
    const Case cases[] = {
        {"a good board", {"--fast", "--sim-plug", "1-1=1-1@0-"}, "PASS", green, "WTST0001 at 1-1, channel A", ""},
        {"an open pin", {"--fast", "--sim-plug", "1-1=1-2@0-"}, "FAIL", red, "pin 3: stuck-0", ""},
        // Held at its 20th write, among the rows of the test, and pulled out
        // there.
        {"a board unplugged under test",
         {"--delay"},
         "ERROR",
         yellow,
         "unplugged during the test (FT_DEVICE_NOT_FOUND): " + yellow + "plug it in again",
         "plug 1-1=1-1\nhold 1-1 20\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> args = {"--wait", "--count", "1"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        TempDir dir("wiretest-screen");
        std::thread unplugger;
        if (!c.control.empty()) {
            const std::string control = dir / "control";
            std::ofstream(control) << c.control;
            args.insert(args.end(), {"--sim-control", control});
            unplugger = std::thread([control] {
                if (wait_for_file_to_hold(control + ".log", "held 1-1\n"))
                    std::ofstream(control, std::ios::app) << "unplug 1-1\n" << std::flush;
            });
        }
        terminal::Result r = terminal::run(program, args, terminal::Output::same_terminal);
        if (unplugger.joinable())
            unplugger.join();
        EXPECT_FALSE(r.timed_out);
        for (int row = 0; row < 5; row++)
            EXPECT_NE(r.terminal.find(c.colour + big_row(c.word, row)), std::string::npos) << row << r.terminal;
        EXPECT_NE(r.terminal.find(c.words), std::string::npos) << r.terminal;
        for (const std::string &other : {green, red, yellow}) {
            if (other == c.colour)
                continue;
            EXPECT_EQ(r.terminal.find(other), std::string::npos) << r.terminal;
        }
    }
}

TEST(StationScreen, WaitWithJsonPrintsTheRecordsOnATerminal)
{
    terminal::Result r = terminal::run(program, {"--wait", "--count", "1", "--fast", "--json", "--sim-plug", "1-1=1-1@0-"},
                                       terminal::Output::same_terminal);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.terminal.find("###"), std::string::npos) << r.terminal;
    EXPECT_EQ(r.terminal.find("waiting for a board"), std::string::npos) << r.terminal;
    // The record is the line that begins with '{' (the terminal ends it with CR LF).
    size_t at = r.terminal.find('{');
    ASSERT_NE(at, std::string::npos) << r.terminal;
    std::string line = r.terminal.substr(at, r.terminal.find("\r\n", at) - at);
    nlohmann::json record = nlohmann::json::parse(line);
    EXPECT_EQ(record["dut_id"], "WTST0001");
    EXPECT_EQ(record["outcome"], "PASS");
}

} // namespace
