// build/wiretest-station-sim as a shell runs it, on its six demo chips: the
// line of each board, the summary, the exit status, the records and the
// JUnit file read back, and what a kill or an unwritable folder leaves.
#include "process.h"
#include "sim_station.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

const std::string program = WIRETEST_STATION_SIM;

// The line of each demo chip's board on channel A, written out here as a
// user reads them rather than built from the station's own code.
const std::string pass_1_1 = "PASS 1-1 A WTST0001 errors: 0";
const std::string fail_1_2 =
    "FAIL 1-2 A WTST0002 errors: 3: pin 3: stuck-0 (reads 0 whatever is driven: open with a pull-down, or "
    "shorted to ground) "
    "[one of 2: stuck-0 on net 3 | open, input floating on net 3]";
const std::string pass_1_3_1 = "PASS 1-3.1 A - errors: 0";
const std::string fail_1_3_2 =
    "FAIL 1-3.2 A WTST0004 errors: 4: pin 5: reads-other with pin 6 (reads low pin 6 instead of low pin 5: "
    "crossed wires, or its net driven by another pin) [located: crossed pair on nets 5 and 6]; pin 6: reads-other "
    "with pin 5 (reads low pin 5 instead of low pin 6: crossed wires, or its net driven by another pin) "
    "[located: crossed pair on nets 5 and 6]";
const std::string pass_1_4 = "PASS 1-4 A WTST0005 errors: 0";
const std::string pass_1_5 = "PASS 1-5 A WTST0005 errors: 0";
// Its pin 4 comes and goes: a single test happens to pass it.
const std::string pass_1_6 = "PASS 1-6 A WTST0006 errors: 0";


using process::sorted;

class StationCli : public ::testing::Test {
protected:
    fs::path scratch() { return temp_.path; }

private:
    TempDir temp_{"wiretest-station"};
};

TEST_F(StationCli, AllTestsEveryDemoChipOnceEachBoardOnItsLine)
{
    process::Result r = process::run(program, {"--all", "--delay"});
    EXPECT_EQ(r.exit_status, 1); // failures, no error
    EXPECT_EQ(r.err, "");        // no terminal: no live lines
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 8u) << r.out;
    EXPECT_EQ(lines.back(), "boards: 7, passed: 5, failed: 2, errors: 0");
    lines.pop_back();
    EXPECT_EQ(sorted(lines), sorted({pass_1_1, fail_1_2, pass_1_3_1, fail_1_3_2, pass_1_4, pass_1_5, pass_1_6}));
}

TEST_F(StationCli, EachPortAlone)
{
    struct Case {
        const char *port;
        std::string line;
        int status;
    };
    for (const Case &c : {Case{"1-1", pass_1_1, 0}, Case{"1-2", fail_1_2, 1}, Case{"1-3.1", pass_1_3_1, 0},
                          Case{"1-3.2", fail_1_3_2, 1}, Case{"1-4", pass_1_4, 0}, Case{"1-5", pass_1_5, 0},
                          Case{"1-6", pass_1_6, 0}}) {
        process::Result r = process::run(program, {"--port", c.port, "--delay"});
        EXPECT_EQ(process::lines_of(r.out), (std::vector<std::string>{c.line, std::string("boards: 1, passed: ") +
                                                                         (c.status ? "0, failed: 1" : "1, failed: 0") +
                                                                         ", errors: 0"}));
        EXPECT_EQ(r.exit_status, c.status) << c.port;
    }
}

TEST_F(StationCli, TargetsThatNameNoSingleBoardAreErrorsOfTheirOwn)
{
    process::Result r = process::run(program, {"--port", "9-9", "--serial", "WTST0005", "--serial", "WTST0001",
                                               "--port", "1-1", "--channel", "A", "--short", "--delay"});
    EXPECT_EQ(r.exit_status, 3); // test again
    EXPECT_EQ(sorted(process::lines_of(r.out)),
              sorted({"ERROR 9-9 A -: nothing is plugged at 9-9",
                      "ERROR - A WTST0005: the serial number WTST0005 is on more than one chip: 1-4, 1-5",
                      "PASS 1-1 A WTST0001 errors: 0", // asked for twice, tested once
                      "boards: 3, passed: 1, failed: 0, errors: 2"}));
}

TEST_F(StationCli, UsageErrorsTestNothing)
{
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{},
                                               {"--short"},
                                               {"--all", "--port", "1-1"},
                                               {"--all", "--channel", "E"},
                                               {"--all", "--jobs", "0"},
                                               {"--list", "--all"},
                                               {"--all", "--frobnicate"},
                                               {"--port"}}) {
        process::Result r = process::run(program, args);
        std::string shown;
        for (const std::string &a : args)
            shown += a + " ";
        EXPECT_EQ(r.exit_status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("wiretest-station: usage error: ", 0), 0u) << shown << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << r.err;
    }
}

TEST_F(StationCli, BadValuesAreUsageErrorsThatNameThem)
{
    struct Case {
        std::vector<std::string> args;
        std::string says; // after "usage error: "
    };
    for (const Case &c : std::vector<Case>{
             {{"--all", "--records", ""}, "--records '': an empty path"},
             {{"--all", "--junit", ""}, "--junit '': an empty path"},
             {{"--all", "--fast", "--duration", "nan"}, "--duration: not a number of seconds from 0.001 to 31536000: nan"},
             {{"--all", "--board-timeout", "nan"}, "--board-timeout: not a number of seconds"},
             {{"--all", "--board-timeout", "0"}, "--board-timeout: not a number of seconds"},
             {{"--all", "--fast", "--duration", "inf"}, "--duration"},
             {{"--serial", ""}, "--serial '': a blank value"},
             {{"--serial", "  "}, "--serial '  ': a blank value"},
             {{"--all", "--station-id", ""}, "--station-id '': a blank name"},
             {{"--port", "bogus port"}, "--port 'bogus port': not a location"},
             {{"--port", "1-1", "--port", "1-1.x"}, "--port '1-1.x': not a location"},
             {{"--port", "1-1", "extra"}, "not expected: extra"},
             {{"--serial", "WTST0001", "extra"}, "not expected: extra"},
             {{"--list", "--records", "r"}, "--list tests no board"},
             {{"--list", "--junit", "r.xml"}, "--list tests no board"},
             {{"--list", "--metrics", "9101"}, "--list tests no board"},
             {{"--all", "--metrics", "0.0.0.0:port"}, "--metrics takes [ADDR:]PORT"},
             {{"--board", "x"}, "--board 'x': not a location"},
             {{"--board", ""}, "--board '': not a location"},
             {{"--all", "--channel", "C"}, "--channel"},
             {{"--all", "--patterns", "walk"}, "--patterns"},
             {{"--all", "--patterns", "locate"}, "--patterns locate runs in one USB round trip: add --fast"},
             {{"--all", "--fast", "--short", "--patterns", "deep"}, "--short is a part of the thirteen patterns"}}) {
        process::Result r = process::run(program, c.args);
        std::string shown;
        for (const std::string &a : c.args)
            shown += "'" + a + "' ";
        EXPECT_EQ(r.exit_status, 2) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(r.err.rfind("wiretest-station: usage error: ", 0), 0u) << shown << r.err;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << shown << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << shown << r.err;
    }
    // The simulated chips' schedule: a time that would overflow is refused.
    process::Result r = process::run(program, {"--all", "--sim-plug", "1-1=1-1@9223372036854775807-"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err.rfind("wiretest-station-sim: --sim-plug takes ", 0), 0u) << r.err;
}

// Each set in the record, with the faults it names and how sure: the open
// wire at 1-2 reads like a pin stuck at 0 to the thirteen patterns; the
// driven byte read back tells them apart.
TEST_F(StationCli, TheRecordNamesThePatternSetAndHowSureItsFaultsAre)
{
    struct Case {
        std::vector<std::string> args;
        std::string patterns, confidence;
        size_t rows;
    };
    for (const Case &c : std::vector<Case>{{{"--delay"}, "standard", "one of 2", 13},
                                           {{"--fast"}, "standard", "one of 2", 13},
                                           {{"--fast", "--patterns", "locate"}, "locate", "located", 14},
                                           {{"--fast", "--patterns", "deep", "--repeat", "3"}, "deep", "located", 22}}) {
        std::vector<std::string> args = {"--port", "1-2", "--json"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        SCOPED_TRACE(c.patterns + " " + std::to_string(c.args.size()));
        process::Result r = process::run(program, args);
        EXPECT_EQ(r.exit_status, 1) << r.err;
        nlohmann::json record = nlohmann::json::parse(r.out);
        EXPECT_EQ(record["patterns"], c.patterns);
        EXPECT_EQ(record["rows"].size(), c.rows);
        EXPECT_EQ(record["faults"]["confidence"], c.confidence);
        EXPECT_EQ(record["faults"]["candidates"][0][0], c.confidence == "located" ? "open, input floating on net 3"
                                                                                   : "stuck-0 on net 3");
    }
}

TEST_F(StationCli, AQuadChipIsNeverAPassNamedItIsAnErrorAndAllPassesItOver)
{
    const std::vector<std::string> chips = {"--fast", "--sim-plug", "1-7=1-1@0-:FT4232H", "--sim-plug",
                                            "1-1=1-1@0-"};
    const std::string why = "the FT4232H at 1-7 has no high GPIO byte: its wiring cannot be tested";
    struct Case {
        std::vector<std::string> targets;
        std::vector<std::string> lines;
        std::string err;
        int status;
    };
    for (const Case &c : std::vector<Case>{
             {{"--all"},
              {"PASS 1-1 A WTST0001 errors: 0", "boards: 1, passed: 1, failed: 0, errors: 0"},
              "wiretest-station: passed over the FT4232H at 1-7 A: it has no high GPIO byte, its wiring cannot be "
              "tested\n",
              0},
             {{"--all", "--channel", "B"},
              {"PASS 1-1 B WTST0001 errors: 0", "boards: 1, passed: 1, failed: 0, errors: 0"},
              "wiretest-station: passed over the FT4232H at 1-7 B: it has no high GPIO byte, its wiring cannot be "
              "tested\n",
              0},
             {{"--port", "1-7"}, {"ERROR 1-7 A WTST0001: " + why, "boards: 1, passed: 0, failed: 0, errors: 1"}, "", 3},
             {{"--port", "1-7", "--port", "1-1"},
              {"ERROR 1-7 A WTST0001: " + why, "PASS 1-1 A WTST0001 errors: 0",
               "boards: 2, passed: 1, failed: 0, errors: 1"},
              "",
              3}}) {
        std::vector<std::string> args = chips;
        args.insert(args.end(), c.targets.begin(), c.targets.end());
        process::Result r = process::run(program, args);
        EXPECT_EQ(process::lines_of(r.out), c.lines) << c.targets[0];
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.exit_status, c.status) << c.targets[0];
    }
    process::Result json = process::run(program, {"--sim-plug", "1-7=1-1@0-:FT4232H", "--port", "1-7", "--json"});
    nlohmann::json record = nlohmann::json::parse(json.out);
    EXPECT_EQ(record["outcome"], "ERROR");
    EXPECT_EQ(record["chip"], "FT4232H");
    EXPECT_EQ(record["reason"], why);
}

TEST_F(StationCli, ListingNamesEveryChannelWithItsLocation)
{
    process::Result r = process::run(program, {"--list"});
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 14u);
    EXPECT_EQ(lines[0], "1-1 A WTST0001 FT2232H");
    EXPECT_EQ(lines[5], "1-3.1 B - FT2232H");
    process::Result json = process::run(program, {"--list", "--json"});
    nlohmann::json list = nlohmann::json::parse(json.out);
    ASSERT_EQ(list.size(), 14u);
    EXPECT_EQ(list[4], nlohmann::json({{"location", "1-3.1"}, {"channel", "A"}, {"serial", ""}, {"chip", "FT2232H"}}));
}

TEST_F(StationCli, RecordsAndJunitHoldWhatTheJsonLinesSay)
{
    fs::path records = scratch() / "records" / "today";
    fs::path junit = scratch() / "run.xml";
    process::Result r = process::run(program, {"--all", "--short", "--delay", "--json", "--records", records.string(),
                                               "--junit", junit.string(), "--station-id", "line-3"});
    EXPECT_EQ(r.exit_status, 1);
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 7u) << r.out; // the records and nothing else
    std::vector<std::string> files;
    for (const auto &entry : fs::directory_iterator(records))
        files.push_back(read_file(entry.path()));
    ASSERT_EQ(files.size(), 7u);
    for (std::string &f : files) {
        ASSERT_FALSE(f.empty());
        f.pop_back(); // the file's line end
    }
    EXPECT_EQ(sorted(files), sorted(lines));
    for (const std::string &line : lines) {
        nlohmann::json record = nlohmann::json::parse(line);
        EXPECT_EQ(record["station_id"], "line-3");
        EXPECT_EQ(record["test"], "short");
        EXPECT_EQ(record["rows"].size(), 4u);
        EXPECT_EQ(record["pins"].size(), 8u);
        EXPECT_LE(record["start_time_millis"].get<int64_t>(), record["end_time_millis"].get<int64_t>());
        EXPECT_EQ(record["dut_id"], record["serial"].get<std::string>().empty() ? record["location"] : record["serial"]);
        bool faulty = record["location"] == "1-2" || record["location"] == "1-3.2";
        EXPECT_EQ(record["outcome"], faulty ? "FAIL" : "PASS") << line;
    }
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(junit.c_str()));
    pugi::xml_node suites = doc.child("testsuites");
    EXPECT_EQ(suites.attribute("tests").as_int(), 56);
    EXPECT_EQ(suites.attribute("failures").as_int(), 3); // pin 3 at 1-2, pins 5 and 6 at 1-3.2
    EXPECT_EQ(std::distance(suites.children("testsuite").begin(), suites.children("testsuite").end()), 7);
}

TEST_F(StationCli, RecordsThatCannotBeWrittenEndWithStatusTwoAndSaySo)
{
    std::ofstream(scratch() / "a-file") << "x";
    struct Case {
        std::vector<std::string> args;
        std::string says;
    };
    for (const Case &c : {Case{{"--records", (scratch() / "a-file" / "records").string()}, "cannot create "},
                          Case{{"--records", "/proc/wiretest-records"}, "cannot create /proc/wiretest-records"},
                          Case{{"--junit", (scratch() / "a-file" / "run.xml").string()}, "cannot write "}}) {
        std::vector<std::string> args = {"--port", "1-1", "--short", "--delay"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        process::Result r = process::run(program, args);
        EXPECT_EQ(r.exit_status, 2) << c.args[1];
        EXPECT_NE(r.err.find("wiretest-station: " + c.says), std::string::npos) << r.err;
    }
}

TEST_F(StationCli, EveryRecordGetsAFileOfItsOwnWhateverItsDutId)
{
    fs::path records = scratch() / "records";
    const std::string long_serial(226, 'S');
    // Four results of one dut_id and place, two dut_ids that clean to one
    // name, names that would begin with '-' or '.', one too long for a file.
    process::Result r =
        process::run(program, {"--port", "9-9", "--port", "9-9", "--port", "9-9", "--port", "9-9", "--serial", "a/b",
                               "--serial", "a_b", "--serial", "-rf", "--serial", ".x", "--serial", long_serial,
                               "--records", records.string(), "--json"});
    EXPECT_EQ(r.exit_status, 3) << r.err;
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 9u) << r.out;
    std::vector<std::string> files;
    for (const auto &entry : fs::directory_iterator(records)) {
        std::string name = entry.path().filename().string();
        EXPECT_NE(name[0], '-') << name;
        EXPECT_NE(name[0], '.') << name;
        EXPECT_LE(name.size(), 130u) << name;
        std::string text = read_file(entry.path());
        ASSERT_FALSE(text.empty());
        text.pop_back();
        files.push_back(text);
    }
    EXPECT_EQ(sorted(files), sorted(lines));
    bool long_one_whole = false;
    for (const std::string &line : lines)
        long_one_whole = long_one_whole || nlohmann::json::parse(line)["dut_id"] == long_serial;
    EXPECT_TRUE(long_one_whole);

    // Two stations writing one folder at once: each record kept.
    process::Live one = process::start(program, {"--all", "--fast", "--records", records.string()});
    process::Result two = process::run(program, {"--all", "--fast", "--records", records.string()});
    process::Result first = process::finish(one);
    EXPECT_EQ(first.exit_status, 1);
    EXPECT_EQ(two.exit_status, 1);
    EXPECT_EQ(std::distance(fs::directory_iterator(records), fs::directory_iterator()), 9 + 14);
}

TEST_F(StationCli, FilesThatAreNoRegularFileAreWrittenInPlaceAndLinksStay)
{
    // A JUnit file into a pipe, as "--junit /dev/stdout | tool" gives.
    fs::path fifo = scratch() / "junit.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string xml;
    std::thread reader([&] { xml = read_file(fifo); });
    process::Result r = process::run(program, {"--port", "1-1", "--fast", "--junit", fifo.string()});
    reader.join();
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(fs::is_fifo(fifo));
    pugi::xml_document doc;
    EXPECT_TRUE(doc.load_string(xml.c_str())) << xml;
    EXPECT_EQ(doc.child("testsuites").attribute("tests").as_int(), 8);

    // A full device is a JUnit file not written, and stays the device.
    r = process::run(program, {"--port", "1-1", "--fast", "--junit", "/dev/full"});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_NE(r.err.find("wiretest-station: cannot write /dev/full: No space left on device"), std::string::npos)
        << r.err;
    EXPECT_TRUE(fs::is_character_file("/dev/full"));

    // A link to the JUnit file of the day stays a link.
    fs::create_directory(scratch() / "days");
    fs::create_symlink("days/today.xml", scratch() / "latest.xml");
    r = process::run(program, {"--port", "1-1", "--fast", "--junit", (scratch() / "latest.xml").string()});
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_TRUE(fs::is_symlink(fs::symlink_status(scratch() / "latest.xml")));
    EXPECT_TRUE(doc.load_file((scratch() / "days" / "today.xml").c_str()));
}

TEST_F(StationCli, AFolderThatCannotBeWrittenIsFoundBeforeTheFirstBoard)
{
    for (const std::vector<std::string> &where : std::vector<std::vector<std::string>>{
             {"--records", "/proc"}, {"--junit", "/proc/run.xml"}, {"--junit", (scratch() / "none" / "run.xml").string()}}) {
        std::vector<std::string> args = {"--all", "--delay"};
        args.insert(args.end(), where.begin(), where.end());
        process::Result r = process::run(program, args);
        EXPECT_EQ(r.exit_status, 2) << where[1];
        EXPECT_EQ(r.out, "") << where[1]; // no board tested
        EXPECT_EQ(r.err.rfind("wiretest-station: cannot write ", 0), 0u) << r.err;
    }
}

TEST_F(StationCli, LostStandardOutputIsAnError)
{
    process::Result r = process::run("/bin/sh", {"-c", "\"$0\" --port 1-1 --short --delay >/dev/full", program});
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(r.err, "ERROR: can not write to standard output\n");
}

TEST_F(StationCli, KilledMidRunLeavesOnlyWholeRecords)
{
    fs::path records = scratch() / "records";
    process::Live live = process::start(program, {"--all", "--delay", "--jobs", "1", "--records", records.string(),
                                                  "--junit", (scratch() / "run.xml").string()});
    // Killed while the board after the first is under test.
    process::read_until(live, "PASS 1-1", 5000);
    EXPECT_NE(wait_for_board(live.pid), 0);
    kill(live.pid, SIGKILL);
    process::finish(live);
    int whole = 0;
    for (const auto &entry : fs::directory_iterator(records)) {
        std::string text = read_file(entry.path());
        EXPECT_EQ(entry.path().extension(), ".json") << entry.path();
        nlohmann::json record;
        EXPECT_NO_THROW(record = nlohmann::json::parse(text)) << entry.path();
        whole++;
    }
    EXPECT_GE(whole, 1);
    EXPECT_LT(whole, 7);
    EXPECT_FALSE(fs::exists(scratch() / "run.xml")); // written at the end only
}

TEST_F(StationCli, SoakNamesTheIntermittentPinAndNoOther)
{
    fs::path junit = scratch() / "soak.xml";
    process::Result r = process::run(program, {"--port", "1-6", "--fast", "--repeat", "1000", "--json", "--junit",
                                               junit.string()});
    EXPECT_EQ(r.exit_status, 1);
    nlohmann::json record = nlohmann::json::parse(r.out);
    EXPECT_EQ(record["outcome"], "FAIL");
    EXPECT_EQ(record["mode"], "fast");
    EXPECT_EQ(record["runs"], 1000);
    for (const nlohmann::json &pin : record["pins"]) {
        if (pin["pin"] == 4) {
            EXPECT_EQ(pin["status"], "intermittent");
            EXPECT_GT(pin["failures"].get<int>(), 0);
            EXPECT_LT(pin["failures"].get<int>(), 1000);
            // About one run in seven fails: more than the list keeps.
            EXPECT_EQ(pin["failed_runs"].size(), std::min<size_t>(pin["failures"].get<size_t>(), 100));
            EXPECT_EQ(pin["failed_runs_cut"], pin["failures"].get<int>() > 100);
        } else {
            EXPECT_EQ(pin["status"], "ok") << pin;
            EXPECT_EQ(pin["failures"], 0) << pin;
        }
    }
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(junit.c_str()));
    std::string message = doc.child("testsuites").child("testsuite").find_child_by_attribute("testcase", "name", "pin 4")
                              .child("failure").attribute("message").value();
    EXPECT_EQ(message.rfind("intermittent: ", 0), 0u) << message;
    EXPECT_NE(message.find(" of 1000 runs"), std::string::npos) << message;
}

TEST_F(StationCli, ALongSoakKeepsTheFirstHundredFailedRunsOfAPinAndSaysTheListIsCut)
{
    fs::path records = scratch() / "records";
    process::Result r = process::run(program, {"--port", "1-6", "--fast", "--repeat", "5000", "--records",
                                               records.string()});
    EXPECT_EQ(r.exit_status, 1);
    ASSERT_EQ(std::distance(fs::directory_iterator(records), fs::directory_iterator()), 1);
    nlohmann::json record = nlohmann::json::parse(read_file(fs::directory_iterator(records)->path()));
    EXPECT_EQ(record["runs"], 5000);
    const nlohmann::json &pin = record["pins"][4];
    EXPECT_EQ(pin["status"], "intermittent");
    EXPECT_GT(pin["failures"].get<int>(), 100);
    EXPECT_EQ(pin["failed_runs_cut"], true);
    // The first hundred, in order: where the contact first went.
    std::vector<int> runs = pin["failed_runs"].get<std::vector<int>>();
    ASSERT_EQ(runs.size(), 100u);
    EXPECT_GE(runs.front(), 1);
    EXPECT_TRUE(std::is_sorted(runs.begin(), runs.end()) && std::adjacent_find(runs.begin(), runs.end()) == runs.end());
    EXPECT_LT(runs.back(), 5000 * 100 / pin["failures"].get<int>() * 2); // far from the soak's end
    EXPECT_NE(r.out.find(" intermittent: "), std::string::npos) << r.out;
}

// The bytes a board's process prints for a soak of runs runs: what it says
// first, then each run's rows.
long long soak_output_bytes(int runs)
{
    return (long long)process::run(program, {"--board", "1-1", "--channel", "A", "--fast", "--repeat",
                                             std::to_string(runs)})
        .out.size();
}

TEST_F(StationCli, InterruptEndsASoakWithARecordOfTheRunsDone)
{
    fs::path records = scratch() / "records";
    // Signalled once its board has printed eleven runs: their lines are in
    // the station's pipe, and the runs it had finished are the record's.
    long long two = soak_output_bytes(2), one_run = two - soak_output_bytes(1);
    ASSERT_GT(one_run, 0);
    for (int signal : {SIGINT, SIGTERM}) {
        process::Live live = process::start(program, {"--port", "1-1", "--fast", "--duration", "60", "--records",
                                                      records.string(), "--json"});
        pid_t board = wait_for_board(live.pid);
        ASSERT_NE(board, 0);
        EXPECT_TRUE(wait_for_written(board, two + 9 * one_run));
        kill(live.pid, signal);
        auto sent = std::chrono::steady_clock::now();
        process::Result r = process::finish(live, 5000);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(2));
        EXPECT_EQ(r.exit_status, 0) << signal;
        nlohmann::json record = nlohmann::json::parse(r.out);
        EXPECT_EQ(record["outcome"], "PASS");
        EXPECT_GT(record["runs"].get<int>(), 10);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(records), fs::directory_iterator()), 2);
}

TEST_F(StationCli, SecondInterruptStopsAtOnceLeavingNoFile)
{
    fs::path junit = scratch() / "run.xml";
    // The normal waits: each board takes 44 s. Several boards run in
    // programs started anew, a single one in a copy of the station.
    for (const char *target : {"--all", "--port=1-1"}) {
        SCOPED_TRACE(target);
        // Standard error with the output: the station says when it took
        // the first interrupt, while a board is under test.
        process::Live live = process::start(program, {target, "--records", (scratch() / "records").string(),
                                                      "--junit", junit.string()},
                                            {}, true);
        EXPECT_NE(wait_for_board(live.pid), 0);
        kill(live.pid, SIGINT);
        EXPECT_NE(process::read_until(live, "Ctrl-C again stops at once", 10000).find("Ctrl-C again stops at once"),
                  std::string::npos);
        kill(live.pid, SIGINT);
        process::Result r = process::finish(live, 3000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 130);
        EXPECT_FALSE(fs::exists(junit));
        EXPECT_FALSE(fs::exists(scratch() / "records") && !fs::is_empty(scratch() / "records"));
    }
}

} // namespace
