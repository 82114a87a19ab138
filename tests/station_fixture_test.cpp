// build/wiretest-station-sim with a fixture file, as a shell runs it: the
// slots' names on every board's line, in its record, its JUnit suite and its
// database row; the line's lot and operator; every fixture file refused and
// why; an ERROR tested again; the slots' insertions on the line, the screen,
// the record and the report, through a kill -9; --scan's slots and labels,
// and retest SLOT on standard input.
#include "process.h"
#include "temp_dir.h"
#include "terminal.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#ifdef WIRETEST_DATABASES
#include <sqlite3.h>
#endif

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string program = WIRETEST_STATION_SIM;

// Three of the demo chips' locations: a pass, a fail, and a blank EEPROM.
const std::string three_slots = R"(id = "FX-07"
station_id = "line2-st3"
lot = "L-2024-17"
operator = "ana"

[[slot]]
name = "1"
location = "1-1"
rated_cycles = 50000

[[slot]]
name = "2"
location = "1-2"
channel = "A"

[[slot]]
name = "three"
location = "1-3.1"
scan = "SLOT-3"
)";

using process::sorted;

std::vector<json> records_in(const fs::path &dir)
{
    std::vector<json> records;
    for (const auto &entry : fs::directory_iterator(dir))
        records.push_back(json::parse(read_file(entry.path())));
    std::sort(records.begin(), records.end(), [](const json &a, const json &b) {
        return std::make_pair(a["location"], a.value("attempt", 0)) < std::make_pair(b["location"], b.value("attempt", 0));
    });
    return records;
}

class StationFixture : public ::testing::Test {
protected:
    fs::path scratch() { return dir_.path; }
    std::string fixture(const std::string &text, const std::string &name = "fixture.toml")
    {
        fs::path path = scratch() / name;
        std::ofstream(path) << text;
        return path.string();
    }
private:
    TempDir dir_{"wiretest-fixture"};
};

TEST_F(StationFixture, EverySlotTestedAndNamedInItsLineRecordAndSuite)
{
    const std::string file = fixture(three_slots);
    const fs::path records = scratch() / "records", junit = scratch() / "run.xml";
    process::Result r =
        process::run(program, {"--fixture", file, "--delay", "--records", records.string(), "--junit", junit.string()});
    EXPECT_EQ(r.exit_status, 1) << r.err; // slot 2's board fails
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(sorted(process::lines_of(r.out)),
              sorted({"PASS 1-1 A WTST0001 slot: 1 errors: 0",
                      "FAIL 1-2 A WTST0002 slot: 2 errors: 3: pin 3: stuck-0 (reads 0 whatever is driven: open with a "
                      "pull-down, or shorted to ground) "
                      "[one of 2: stuck-0 on net 3 | open, input floating on net 3]",
                      "PASS 1-3.1 A - slot: three errors: 0", "boards: 3, passed: 2, failed: 1, errors: 0"}));

    std::vector<json> written = records_in(records);
    ASSERT_EQ(written.size(), 3u);
    const std::pair<const char *, const char *> slots[] = {{"1-1", "1"}, {"1-2", "2"}, {"1-3.1", "three"}};
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(written[i]["location"], slots[i].first);
        EXPECT_EQ(written[i]["slot"], slots[i].second);
        EXPECT_EQ(written[i]["fixture_id"], "FX-07");
        EXPECT_EQ(written[i]["station_id"], "line2-st3"); // the file's
        EXPECT_EQ(written[i]["lot"], "L-2024-17");
        EXPECT_EQ(written[i]["operator"], "ana");
        EXPECT_FALSE(written[i].contains("attempt")); // no --retest
    }

    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_file(junit.c_str()));
    std::map<std::string, std::map<std::string, std::string>> properties; // by location
    for (pugi::xml_node suite : doc.child("testsuites").children("testsuite")) {
        std::map<std::string, std::string> p;
        for (pugi::xml_node property : suite.child("properties").children("property"))
            p[property.attribute("name").value()] = property.attribute("value").value();
        properties[p["location"]] = p;
    }
    ASSERT_EQ(properties.size(), 3u);
    for (const auto &slot : slots) {
        std::map<std::string, std::string> &p = properties[slot.first];
        EXPECT_EQ(p["slot"], slot.second);
        EXPECT_EQ(p["fixture_id"], "FX-07");
        EXPECT_EQ(p["lot"], "L-2024-17");
        EXPECT_EQ(p["operator"], "ana");
    }
}

TEST_F(StationFixture, TheCommandLineOverridesTheFile)
{
    process::Result r = process::run(program, {"--fixture", fixture(three_slots), "--fast", "--json", "--lot", "L-9",
                                               "--operator", "bo", "--station-id", "st-1"});
    std::vector<std::string> lines = process::lines_of(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out << r.err;
    for (const std::string &line : lines) {
        json record = json::parse(line);
        EXPECT_EQ(record["lot"], "L-9");
        EXPECT_EQ(record["operator"], "bo");
        EXPECT_EQ(record["station_id"], "st-1");
        EXPECT_EQ(record["fixture_id"], "FX-07");
    }
}

TEST_F(StationFixture, LotAndOperatorWithoutAFixtureAndNeitherWithoutThem)
{
    process::Result given = process::run(program, {"--port", "1-1", "--fast", "--json", "--lot", "L 1", "--operator", "Ana B"});
    EXPECT_EQ(given.exit_status, 0) << given.err;
    json record = json::parse(given.out);
    EXPECT_EQ(record["lot"], "L 1");
    EXPECT_EQ(record["operator"], "Ana B");
    EXPECT_FALSE(record.contains("slot") || record.contains("fixture_id"));

    process::Result plain = process::run(program, {"--port", "1-1", "--fast", "--json"});
    record = json::parse(plain.out);
    for (const char *key : {"lot", "operator", "slot", "fixture_id", "attempt"})
        EXPECT_FALSE(record.contains(key)) << key;
    // The line of a run without a fixture is as it always was.
    process::Result line = process::run(program, {"--port", "1-1", "--fast", "--lot", "L1"});
    EXPECT_EQ(process::lines_of(line.out)[0], "PASS 1-1 A WTST0001 errors: 0");
}

TEST_F(StationFixture, UsageErrorsTestNothing)
{
    const std::string file = fixture(three_slots);
    struct Case {
        std::vector<std::string> args;
        std::string said;
    };
    for (const Case &c : std::vector<Case>{
             {{"--port", "1-1", "--lot", ""}, "--lot '': a blank value"},
             {{"--port", "1-1", "--lot", " \t"}, "--lot ' \t': a blank value"},
             {{"--port", "1-1", "--operator", ""}, "--operator '': a blank name"},
             {{"--fixture", file, "--operator", " "}, "--operator ' ': a blank name"},
             {{"--fixture", file, "--port", "1-1"}, "--fixture names the boards to test"},
             {{"--fixture", file, "--serial", "WTST0001"}, "--fixture names the boards to test"},
             {{"--fixture", file, "--all"}, "--fixture names the boards to test"},
             {{"--fixture", file, "--retest", "11"}, "--retest"},
             {{"--fixture", file, "--retest", "-1"}, "--retest"},
             {{"--fixture", (scratch() / "absent.toml").string()}, "absent.toml"},
             {{"--fixture", file, "--reprogram"}, "--reprogram belongs to --product or a fixture's [product]"},
             {{"--fixture", fixture(three_slots + "[product]\nmanufacturer = \"W\"\nproduct = \"B\"\n", "p.toml")},
              "p.toml: [product] takes its serials from --db"},
         }) {
        process::Result r = process::run(program, c.args);
        EXPECT_EQ(r.exit_status, 2) << c.said;
        EXPECT_EQ(r.out, "") << c.said;
        EXPECT_NE(r.err.find("wiretest-station: usage error: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.said), std::string::npos) << r.err;
    }
}

TEST_F(StationFixture, EveryBadFixtureFileIsRefusedWithItsLineAndKey)
{
    const std::string slot = "[[slot]]\nname = \"1\"\nlocation = \"1-1\"\n";
    struct Case {
        std::string text;
        std::string said; // after "FILE:"
    };
    for (const Case &c : std::vector<Case>{
             {"id = \"FX\"\n[[slot]\nname = \"1\"\n", "2: "}, // not TOML
             {"id = \"FX\"\nid = \"FY\"\n" + slot, "2: "},    // a key twice is no TOML either
             {slot, "1: key 'id': missing"},
             {"id = 7\n" + slot, "1: key 'id': not a string"},
             {"id = \"  \"\n" + slot, "1: key 'id': a blank value"},
             {"id = \"FX\"\nlot = \"\"\n" + slot, "2: key 'lot': a blank value"},
             {"id = \"FX\"\noperator = 3\n" + slot, "2: key 'operator': not a string"},
             {"id = \"FX\"\nstation_id = []\n" + slot, "2: key 'station_id': not a string"},
             {"id = \"FX\"\ncolour = \"red\"\n" + slot, "2: key 'colour': not a key of a fixture"},
             {"id = \"FX\"\n", "1: key 'slot': no [[slot]]"},
             {"id = \"FX\"\nproduct = \"Bench\"\n" + slot, "2: key 'product': not a table"},
             {"id = \"FX\"\nslot = \"1-1\"\n", "2: key 'slot': not an array of tables"},
             {"id = \"FX\"\n[[slot]]\nname = \"1\"\n", "2: key 'slot[1].location': missing"},
             {"id = \"FX\"\n[[slot]]\nlocation = \"1-1\"\n", "2: key 'slot[1].name': missing"},
             {"id = \"FX\"\n" + slot + "[[slot]]\nname = \"2\"\nlocation = \"usb1\"\n",
              "7: key 'slot[2].location': 'usb1' is not a location"},
             {"id = \"FX\"\n" + slot + "channel = \"C\"\n", "5: key 'slot[1].channel': A or B"},
             {"id = \"FX\"\n" + slot + "rated_cycles = 0\n", "5: key 'slot[1].rated_cycles': not a positive integer"},
             {"id = \"FX\"\n" + slot + "rated_cycles = \"5\"\n", "5: key 'slot[1].rated_cycles': not a positive"},
             {"id = \"FX\"\n" + slot + "scan = 12\n", "5: key 'slot[1].scan': not a string"},
             {"id = \"FX\"\n" + slot + "locaton = \"1-2\"\n", "5: key 'slot[1].locaton': not a key of a slot"},
             {"id = \"FX\"\n" + slot + "[[slot]]\nname = \"1\"\nlocation = \"1-2\"\n",
              "6: key 'slot[2].name': '1' names another slot too"},
             {"id = \"FX\"\n" + slot + "[[slot]]\nname = \"2\"\nlocation = \"1-1\"\n",
              "7: key 'slot[2].location': '1-1' is slot '1''s too"},
             // A scanned code that would choose two slots, or another than it is printed on.
             {"id = \"FX\"\n" + slot + "scan = \"S\"\n[[slot]]\nname = \"2\"\nlocation = \"1-2\"\nscan = \"S\"\n",
              "9: key 'slot[2].scan': 'S' is slot '1''s scan code too"},
             {"id = \"FX\"\n" + slot + "[[slot]]\nname = \"2\"\nlocation = \"1-2\"\nscan = \"1\"\n",
              "8: key 'slot[2].scan': '1' is slot '1''s name"},
             {"id = \"FX\"\n" + slot + "scan = \"2\"\n[[slot]]\nname = \"2\"\nlocation = \"1-2\"\n",
              "7: key 'slot[2].name': '2' is slot '1''s scan code"},
         }) {
        const std::string file = fixture(c.text);
        process::Result r = process::run(program, {"--fixture", file, "--fast"});
        EXPECT_EQ(r.exit_status, 2) << c.text;
        EXPECT_EQ(r.out, "") << c.text;
        EXPECT_NE(r.err.find("wiretest-station: usage error: " + file + ":" + c.said), std::string::npos)
            << c.text << "\n" << r.err;
    }
}

#ifdef WIRETEST_DATABASES
// A fixture's [product] programs its boards as --product would, and a
// --product given on the command line is programmed in its place.
TEST_F(StationFixture, TheFixturesProductProgramsItsBoardsUnlessProductIsGiven)
{
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"1\"\nlocation = \"1-3.1\"\n"
                                      "[product]\nmanufacturer = \"Wiretest\"\nproduct = \"Bench\"\n"
                                      "serial = \"FX{seq:04}\"\n");
    const std::string other = fixture("[product]\nmanufacturer = \"Other\"\nproduct = \"Bench\"\n"
                                      "serial = \"CL{seq:04}\"\n",
                                      "product.toml");
    struct Case {
        std::vector<std::string> args;
        const char *serial;
    };
    for (const Case &c : std::vector<Case>{{{}, "FX0001"}, {{"--product", other}, "CL0001"}}) {
        std::vector<std::string> args = {"--fixture", file, "--fast", "--json", "--sim-eeprom", "1-3.1=93C46",
                                         "--db", "sqlite:" + (scratch() / "line.db").string()};
        args.insert(args.end(), c.args.begin(), c.args.end());
        process::Result r = process::run(program, args);
        ASSERT_EQ(r.exit_status, 0) << r.err;
        json record = json::parse(r.out);
        EXPECT_EQ(record["identity"]["allocated"], c.serial) << r.out;
        EXPECT_EQ(record["identity"]["serial_after"], c.serial) << r.out;
        EXPECT_EQ(record["serial"], c.serial) << r.out;
    }
}
#endif

TEST_F(StationFixture, RetestAnErrorUntilItPassesNeverAFail)
{
    // Slot 1's first opening fails; slot 2's board fails its wiring.
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"1\"\nlocation = \"1-1\"\n"
                                     "[[slot]]\nname = \"2\"\nlocation = \"1-2\"\n");
    const std::string error_1 = "ERROR 1-1 A WTST0001 slot: 1: can not open channel A at 1-1 (FT_DEVICE_NOT_OPENED)";
    // Not the board's outcome: marked as the attempt it was.
    const std::string error_1_again = error_1 + " (attempt 1 of 3, testing again)";
    const std::string pass_1 = "PASS 1-1 A WTST0001 slot: 1 errors: 0";
    const std::string fail_2 = "FAIL 1-2 A WTST0002 slot: 2 errors: 3: pin 3: stuck-0 (reads 0 whatever is driven: "
                               "open with a pull-down, or shorted to ground) "
                               "[one of 2: stuck-0 on net 3 | open, input floating on net 3]";
    struct Case {
        std::vector<std::string> retest;
        int status;
        std::vector<std::string> lines;
        std::vector<std::pair<std::string, int>> records; // outcome and attempt (0: no key), by location
    };
    for (const Case &c : std::vector<Case>{
             {{"--retest", "2"}, 1, {error_1_again, pass_1, fail_2, "boards: 2, passed: 1, failed: 1, errors: 0"},
              {{"ERROR", 1}, {"PASS", 2}, {"FAIL", 1}}},
             {{"--retest", "0"}, 3, {error_1, fail_2, "boards: 2, passed: 0, failed: 1, errors: 1"},
              {{"ERROR", 1}, {"FAIL", 1}}},
             {{}, 3, {error_1, fail_2, "boards: 2, passed: 0, failed: 1, errors: 1"}, {{"ERROR", 0}, {"FAIL", 0}}},
         }) {
        const fs::path records = scratch() / "records", junit = scratch() / "run.xml", mark = scratch() / "opened";
        fs::remove_all(records);
        fs::remove(mark);
        std::vector<std::string> args = {"--fixture", file, "--delay", "--records", records.string(), "--junit",
                                         junit.string(), "--sim-fail-open-once", "1-1=" + mark.string()};
        args.insert(args.end(), c.retest.begin(), c.retest.end());
        process::Result r = process::run(program, args);
        const std::string which = c.retest.empty() ? "no --retest" : c.retest[1];
        EXPECT_EQ(r.exit_status, c.status) << which << r.err;
        std::vector<std::string> lines = process::lines_of(r.out);
        EXPECT_EQ(lines.back(), c.lines.back()) << which;
        EXPECT_EQ(sorted(lines), sorted(c.lines)) << which;
        // The attempts of one board on their lines in the order tested.
        auto at = [&](const std::string &line) { return std::find(lines.begin(), lines.end(), line) - lines.begin(); };
        if (c.status == 1) {
            EXPECT_LT(at(error_1_again), at(pass_1));
        }
        std::vector<json> written = records_in(records);
        ASSERT_EQ(written.size(), c.records.size()) << which;
        for (size_t i = 0; i < written.size(); i++) {
            EXPECT_EQ(written[i]["outcome"], c.records[i].first) << which << " " << i;
            EXPECT_EQ(written[i].value("attempt", 0), c.records[i].second) << which << " " << i;
        }
        // The JUnit file has each board once, as its last attempt came out.
        pugi::xml_document doc;
        ASSERT_TRUE(doc.load_file(junit.c_str()));
        EXPECT_EQ(doc.child("testsuites").attribute("errors").as_int(), c.status == 3 ? 1 : 0) << which;
        EXPECT_EQ(std::distance(doc.child("testsuites").children("testsuite").begin(),
                                doc.child("testsuites").children("testsuite").end()),
                  2) << which;
    }
}

// Each board tested at a rated slot is one insertion, kept beside the
// fixture file from run to run: a warning past 90% of the rating, the
// contacts due past it, and counted from 0 again after a change.
TEST_F(StationFixture, InsertionsAreCountedAcrossRunsWarnedOfAndCountedAnew)
{
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"3\"\nlocation = \"1-1\"\n"
                                     "rated_cycles = 10\n[[slot]]\nname = \"4\"\nlocation = \"1-4\"\n");
    const fs::path cycles = file + ".cycles";
    struct Step {
        std::vector<std::string> args;
        std::string out, counts;
    };
    const Step steps[] = {
        {{"--fast"}, "PASS 1-1 A WTST0001 slot: 3 errors: 0\n", "{\n  \"3\": 1\n}\n"},
        {{"--reset-cycles", "3"}, "slot 3: insertions counted from 0\n", "{\n  \"3\": 0\n}\n"},
        // Slot 4 has no rating: its count is neither kept nor reset.
        {{"--reset-cycles", "4"},
         "slot 4: no rated_cycles in " + file + ": its insertions are not counted, there is nothing to reset\n",
         "{\n  \"3\": 0\n}\n"},
    };
    for (const Step &step : steps) {
        std::vector<std::string> args = {"--fixture", file};
        args.insert(args.end(), step.args.begin(), step.args.end());
        process::Result r = process::run(program, args);
        EXPECT_EQ(r.exit_status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_NE(r.out.find(step.out), std::string::npos) << r.out;
        EXPECT_EQ(read_file(cycles), step.counts);
    }
    // From eight: the ninth is 90% and no more, the tenth past it, the eleventh past the rating.
    std::ofstream(cycles) << "{\"3\": 8}";
    for (const char *warning : {"", "wiretest-station: slot 3: 10 of 10 rated insertions\n",
                                "wiretest-station: slot 3: 11 of 10 rated insertions: the contacts are due\n"})
        EXPECT_EQ(process::run(program, {"--fixture", file, "--fast"}).err, warning);
    EXPECT_EQ(read_file(cycles), "{\n  \"3\": 11\n}\n");

    // A slot the fixture lacks, and a file of counts that is none, stop the station before it tests.
    process::Result unknown = process::run(program, {"--fixture", file, "--reset-cycles", "9"});
    EXPECT_EQ(unknown.exit_status, 2);
    EXPECT_EQ(unknown.err, "wiretest-station: usage error: --reset-cycles '9': no slot of " + file +
                               " has that name (see --help)\n");
    std::ofstream(cycles) << "garbage";
    process::Result broken = process::run(program, {"--fixture", file, "--fast"});
    EXPECT_EQ(broken.exit_status, 2);
    EXPECT_EQ(broken.out, "");
    EXPECT_EQ(broken.err, "wiretest-station: " + cycles.string() + ": not a file of insertion counts\n");
}

// The count a rated slot has reached is in its board's record; the
// warning near and past the rating ends the board's line, whatever its
// outcome, and the operator reads it under the large result.
TEST_F(StationFixture, ACycleNoteEndsTheBoardsLineAndTheRecordCarriesTheCount)
{
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"3\"\nlocation = \"1-1\"\nrated_cycles = 10\n"
                                     "[[slot]]\nname = \"4\"\nlocation = \"1-2\"\nrated_cycles = 4\n"
                                     "[[slot]]\nname = \"5\"\nlocation = \"1-4\"\n");
    const std::string fail_4 = "FAIL 1-2 A WTST0002 slot: 4 errors: 3: pin 3: stuck-0 (reads 0 whatever is driven: "
                               "open with a pull-down, or shorted to ground) "
                               "[one of 2: stuck-0 on net 3 | open, input floating on net 3]";
    const std::string unrated = "PASS 1-4 A WTST0005 slot: 5 errors: 0";
    struct Case {
        std::string counts;             // before the run
        std::string line_3, line_4;     // the rated slots' lines
        int64_t insertions_3, insertions_4;
    };
    for (const Case &c : std::vector<Case>{
             {"{}", "PASS 1-1 A WTST0001 slot: 3 errors: 0", fail_4, 1, 1}, // well below: no note
             {"{\"3\": 8, \"4\": 3}", "PASS 1-1 A WTST0001 slot: 3 errors: 0", fail_4 + "; slot 4: 4 of 4 rated insertions", 9, 4},
             {"{\"3\": 9, \"4\": 4}", "PASS 1-1 A WTST0001 slot: 3 errors: 0; slot 3: 10 of 10 rated insertions",
              fail_4 + "; slot 4: 5 of 4 rated insertions: the contacts are due", 10, 5},
         }) {
        SCOPED_TRACE(c.counts);
        std::ofstream(file + ".cycles") << c.counts;
        const fs::path records = scratch() / "records";
        fs::remove_all(records);
        process::Result r = process::run(program, {"--fixture", file, "--fast", "--records", records.string()});
        EXPECT_EQ(r.exit_status, 1) << r.err;
        EXPECT_EQ(sorted(process::lines_of(r.out)),
                  sorted({c.line_3, c.line_4, unrated, "boards: 3, passed: 2, failed: 1, errors: 0"}));
        std::vector<json> written = records_in(records);
        ASSERT_EQ(written.size(), 3u);
        EXPECT_EQ(written[0]["insertions"], c.insertions_3);
        EXPECT_EQ(written[0]["rated_cycles"], 10);
        EXPECT_EQ(written[1]["insertions"], c.insertions_4);
        EXPECT_EQ(written[1]["rated_cycles"], 4);
        EXPECT_FALSE(written[2].contains("insertions") || written[2].contains("rated_cycles")) << written[2];
        // Standard error warns as the board arrives, as before.
        for (const std::string *line : {&c.line_3, &c.line_4}) {
            size_t note = line->find("; slot ");
            if (note != std::string::npos) {
                EXPECT_NE(r.err.find("wiretest-station: " + line->substr(note + 2) + "\n"), std::string::npos) << r.err;
            }
        }
    }
}

TEST_F(StationFixture, TheOperatorReadsTheCycleNoteUnderTheResult)
{
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"3\"\nlocation = \"1-1\"\nrated_cycles = 10\n");
    std::ofstream(file + ".cycles") << "{\"3\": 10}";
    terminal::Result r = terminal::run(program, {"--wait", "--count", "1", "--fast", "--fixture", file, "--sim-plug",
                                                 "1-1=1-1@0-"},
                                       terminal::Output::same_terminal);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    size_t result = r.terminal.find("  WTST0001 at 1-1, channel A\r\n");
    ASSERT_NE(result, std::string::npos) << r.terminal;
    EXPECT_EQ(r.terminal.find("  slot 3: 11 of 10 rated insertions: the contacts are due\r\n"),
              r.terminal.find("\r\n", result) + 2)
        << r.terminal;
}

// How many times text occurs in within.
size_t occurrences(const std::string &within, const std::string &text)
{
    size_t n = 0;
    for (size_t at = within.find(text); at != std::string::npos; at = within.find(text, at + 1))
        n++;
    return n;
}

// Reads the live run's output until text is in it count times, or limit_ms pass.
bool read_until_count(process::Live &live, const std::string &text, size_t count, int limit_ms = 15000)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    while (occurrences(live.out, text) < count && std::chrono::steady_clock::now() < deadline)
        process::read_until(live, "\x01", 100); // what came in 100 ms: no output holds it
    return occurrences(live.out, text) >= count;
}

// --scan on a fixture of three slots: each slot chosen by its name, its
// printed barcode or its location, then its board's label. Slot 2's board
// never comes: its label is replaced, and a line naming no slot is refused.
TEST_F(StationFixture, ScanChoosesASlotThenTakesItsLabel)
{
    const std::string file = fixture(three_slots);
    process::Result r = process::run(
        program,
        {"--wait", "--fast", "--scan", "--fixture", file, "--count", "2", "--sim-plug", "1-1=1-1@0-", "--sim-plug",
         "1-3.1=1-3.1@0-", "--sim-plug", "1-2=1-2@600000-"},
        std::string("L-0\n2\nL-X\n2\nL-Y\nSLOT-3\nretest three\nL-3\n1-1\nL-1\n"), {}, 15000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(sorted(process::lines_of(r.out)),
              sorted({"PASS 1-1 A WTST0001 slot: 1 label: L-1 errors: 0",
                      "PASS 1-3.1 A - slot: three label: L-3 errors: 0", "boards: 2, passed: 2, failed: 0, errors: 0"}));
    EXPECT_EQ(r.err, "wiretest-station: 'L-0' names no slot: scan the slot first, then the board's label\n"
                     "wiretest-station: slot 2: label L-Y replaces L-X\n"
                     // a command, not the label of slot three, chosen before it
                     "wiretest-station: retest three: no board tested there\n");

    // A board waits for its slot's label: slot 2's is never tested, and the
    // station ends with its input once every label was taken, naming it.
    process::Result ended = process::run(
        program,
        {"--wait", "--fast", "--scan", "--fixture", file, "--sim-plug", "1-1=1-1@0-", "--sim-plug",
         "1-2=1-2@0-", "--sim-plug", "1-3.1=1-3.1@0-"},
        std::string("three\r\nL-3\r\n1\r\nL-1\r\n"), {}, 15000);
    EXPECT_FALSE(ended.timed_out);
    EXPECT_EQ(ended.exit_status, 0) << ended.err;
    EXPECT_EQ(ended.err, "");
    EXPECT_EQ(sorted(process::lines_of(ended.out)),
              sorted({"PASS 1-1 A WTST0001 slot: 1 label: L-1 errors: 0",
                      "PASS 1-3.1 A - slot: three label: L-3 errors: 0",
                      "boards: 2, passed: 2, failed: 0, errors: 0, not tested, no label scanned: slot 2 (1-2 A "
                      "WTST0002)"}));
}

TEST_F(StationFixture, TheOperatorSeesWhichSlotsHaveALabelWaiting)
{
    terminal::Result r = terminal::run(program,
                                       {"--wait", "--fast", "--scan", "--count", "1", "--fixture", fixture(three_slots),
                                        "--sim-plug", "1-1=1-1@0-"},
                                       terminal::Output::same_terminal, {}, 15000, std::string("2\nL-2\n1\nL-1\n"));
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    const std::string waiting = "waiting for a board after its label is scanned, at 1-1, 1-2, 1-3.1";
    // Slot 1's label taken by its board, slot 2's left waiting.
    EXPECT_NE(r.terminal.find(waiting + "; a label waits for slot 2\r\n"), std::string::npos) << r.terminal;
    EXPECT_NE(r.terminal.find("  L-1 at 1-1, channel A\r\n"), std::string::npos) << r.terminal;
}

// Several --port without a fixture: a slot is its location.
TEST_F(StationFixture, ScanWithSeveralPortsNamesEachSlotByItsLocation)
{
    process::Result r = process::run(program,
                                     {"--wait", "--fast", "--scan", "--json", "--port", "1-1", "--port", "1-4",
                                      "--sim-plug", "1-1=1-1@0-", "--sim-plug", "1-4=1-4@0-"},
                                     std::string("1-4\nB-4\n1-1\nB-1\n"), {}, 15000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    std::map<std::string, std::string> labels; // by location
    for (const std::string &line : process::lines_of(r.out)) {
        json record = json::parse(line);
        labels[record["location"]] = record["dut_id"];
        EXPECT_FALSE(record.contains("slot"));
    }
    EXPECT_EQ(labels, (std::map<std::string, std::string>{{"1-1", "B-1"}, {"1-4", "B-4"}}));
}

// One label scanned for the boards of two slots: the board that took it
// second is flagged, naming the first one's record, whether that was still
// under test or done.
TEST_F(StationFixture, ALabelScannedForTwoBoardsIsFlaggedOnTheSecond)
{
    const fs::path records = scratch() / "records";
    process::Result r = process::run(program,
                                     {"--wait", "--fast", "--scan", "--fixture", fixture(three_slots), "--records",
                                      records.string(), "--count", "2", "--sim-plug", "1-1=1-1@0-", "--sim-plug",
                                      "1-3.1=1-3.1@0-"},
                                     std::string("1\nL-5\nthree\nL-5\n"), {}, 15000);
    EXPECT_EQ(r.exit_status, 0) << r.err;
    std::vector<json> written = records_in(records);
    ASSERT_EQ(written.size(), 2u);
    const size_t second = written[0].contains("label_reused") ? 0 : 1;
    const json &first = written[1 - second], &reused = written[second]["label_reused"];
    EXPECT_FALSE(first.contains("label_reused")) << first;
    EXPECT_EQ(reused["record_id"], first["record_id"]);
    EXPECT_EQ(reused["location"], first["location"]);
    EXPECT_EQ(reused["slot"], first["slot"]);
    EXPECT_LE(reused["start_time_millis"], first["end_time_millis"]);
    const std::string note = "label L-5 already used: ";
    EXPECT_EQ(occurrences(r.out, "; " + note), 1u) << r.out;
    EXPECT_NE(r.out.find(std::string(" at slot ") + (first["slot"] == "1" ? "1 (1-1 A), " : "three (1-3.1 A), ")),
              std::string::npos)
        << r.out;
    EXPECT_EQ(occurrences(r.err, "wiretest-station: " + note), 1u) << r.err;
}

// A station killed with -9 leaves a whole file of counts, and the next one
// counts on from it.
TEST_F(StationFixture, TheCycleFileStaysWholeThroughAKillNineAndARestart)
{
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"1\"\nlocation = \"1-1\"\nrated_cycles = 100\n"
                                     "[[slot]]\nname = \"2\"\nlocation = \"1-4\"\nrated_cycles = 100\n");
    process::Live live = process::start(
        program, {"--wait", "--fast", "--fixture", file, "--sim-plug", "1-1=1-1@0-", "--sim-plug", "1-4=1-4@0-"});
    EXPECT_TRUE(read_until_count(live, " errors: 0\n", 2)) << live.out;
    kill(live.pid, SIGKILL);
    process::Result killed = process::finish(live, 5000);
    EXPECT_EQ(killed.signal, SIGKILL);
    EXPECT_EQ(read_file(file + ".cycles"), "{\n  \"1\": 1,\n  \"2\": 1\n}\n");

    process::Result again = process::run(program, {"--fixture", file, "--fast", "--json"});
    EXPECT_EQ(again.exit_status, 0) << again.err;
    for (const std::string &line : process::lines_of(again.out))
        EXPECT_EQ(json::parse(line)["insertions"], 2) << line;
    EXPECT_EQ(read_file(file + ".cycles"), "{\n  \"1\": 2,\n  \"2\": 2\n}\n");
    // Nothing but the fixture and its counts: no file half written under another name.
    EXPECT_EQ(std::distance(fs::directory_iterator(scratch()), fs::directory_iterator()), 2);
}

// retest SLOT on standard input: the board where it sits tested again, its
// attempts counted on; an unknown slot, an empty one and a board under test
// refused. Standard input ending ends no station that does not --scan.
TEST_F(StationFixture, RetestOnStandardInputTestsTheBoardInTheSlotAgain)
{
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"1\"\nlocation = \"1-1\"\nrated_cycles = 100\n"
                                     "[[slot]]\nname = \"2\"\nlocation = \"1-2\"\n");
    const fs::path records = scratch() / "records";
    process::Live live = process::start(
        program, {"--wait", "--delay", "--fixture", file, "--records", records.string(), "--sim-plug", "1-1=1-1@0-"},
        {}, true);
    const std::string pass = "PASS 1-1 A WTST0001 slot: 1 errors: 0\n";
    auto say = [&](const std::string &text) { ASSERT_EQ(write(live.input, text.data(), text.size()), ssize_t(text.size())); };
    say("retest 9\nretest 2\n");
    EXPECT_TRUE(read_until_count(live, "wiretest-station: retest 2: no board tested there\n", 1)) << live.out;
    EXPECT_TRUE(read_until_count(live, pass, 1)) << live.out;
    // Two at once: the second finds the board under the first's test.
    say("retest 1\nretest 1\n");
    EXPECT_TRUE(read_until_count(live, pass, 2)) << live.out;
    say(" retest\t1 \n");
    EXPECT_TRUE(read_until_count(live, pass, 3)) << live.out;
    say("hello\n");
    EXPECT_TRUE(read_until_count(live, "not a command", 1)) << live.out;
    kill(live.pid, SIGINT);
    process::Result r = process::finish(live, 10000);
    EXPECT_FALSE(r.timed_out);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(process::lines_of(r.out),
              (std::vector<std::string>{
                  "wiretest-station: retest 9: no slot has that name", "wiretest-station: retest 2: no board tested there",
                  pass.substr(0, pass.size() - 1), "wiretest-station: retest 1: its board is under test",
                  pass.substr(0, pass.size() - 1), pass.substr(0, pass.size() - 1),
                  "wiretest-station: 'hello': not a command; retest SLOT tests the board in a slot again",
                  "boards: 1, passed: 1, failed: 0, errors: 0"}));
    std::vector<json> written = records_in(records);
    ASSERT_EQ(written.size(), 3u);
    // The first had no retest to count; the board was put in once.
    for (size_t i = 0; i < 3; i++) {
        EXPECT_EQ(written[i].value("attempt", 0), i == 0 ? 0 : int(i) + 1) << written[i];
        EXPECT_EQ(written[i]["insertions"], 1) << written[i];
    }
    EXPECT_EQ(read_file(file + ".cycles"), "{\n  \"1\": 1\n}\n");
}

// Whether process pid waits for a lock the system lists in /proc/locks.
bool waits_for_a_lock(pid_t pid)
{
    std::ifstream locks("/proc/locks");
    for (std::string line; std::getline(locks, line);)
        if (line.find("->") != std::string::npos && line.find(" " + std::to_string(pid) + " ") != std::string::npos)
            return true;
    return false;
}

// What cannot hold counts, or a fixture, stops the station before its first
// board: a file it cannot write, a FIFO (which would hold it for ever), a
// device; what it names is shown as text, never as escape sequences.
TEST_F(StationFixture, AFixtureOrCycleFileTheStationCannotUseStopsItAtOnce)
{
    const std::string rated = "id = \"FX\"\n[[slot]]\nname = \"1\"\nlocation = \"1-1\"\nrated_cycles = 100\n";
    const std::string file = fixture(rated);
    const fs::path cycles = file + ".cycles";
    struct Case {
        const char *what;
        std::function<std::string()> prepare; // the fixture file to run with
        std::string err;                      // the start of its one line on standard error
    };
    const Case cases[] = {
        {"a cycle file in a folder that cannot be written",
         [&] {
             fs::create_symlink("/proc/wiretest-counts/fixture.toml.cycles", cycles);
             return std::string(file);
         },
         "wiretest-station: cannot write " + cycles.string() + ": "},
        {"a FIFO as the cycle file",
         [&] {
             mkfifo(cycles.c_str(), 0600);
             return std::string(file);
         },
         "wiretest-station: " + cycles.string() + ": not a regular file"},
        {"a FIFO as the fixture",
         [&] {
             std::string fifo = (scratch() / "fifo.toml").string();
             mkfifo(fifo.c_str(), 0600);
             return fifo;
         },
         "wiretest-station: usage error: " + (scratch() / "fifo.toml").string() + ": not a regular file"},
        {"a device as the fixture", [] { return std::string("/dev/zero"); },
         "wiretest-station: usage error: /dev/zero: not a regular file"},
        {"an escape sequence in a key and the file's name",
         [&] { return fixture("id = \"FX\"\n\"\\u001b[31mred\" = 1\n", "\x1b]0;title\a.toml"); },
         "wiretest-station: usage error: " + (scratch() / "?]0;title?.toml").string() + ":2: key '?[31mred': not a key of a fixture"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(cycles);
        process::Result r = process::run(program, {"--fixture", c.prepare(), "--fast"}, "", {}, 15000);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 2);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find('\x1b'), std::string::npos) << r.err;
    }
}

// Counts that stop being saved while boards are tested are a fault of the
// station: said on the screen and in its exit status, the board's result
// kept.
TEST_F(StationFixture, ACountThatCannotBeSavedIsAStationFault)
{
    const std::string file = fixture(three_slots);
    const fs::path cycles = file + ".cycles";
    process::Live live = process::start(
        program, {"--wait", "--fast", "--scan", "--fixture", file, "--sim-plug", "1-1=1-1@0-"}, {}, true);
    // Written at the start, before any board: the station knows it can.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (!fs::exists(cycles) && std::chrono::steady_clock::now() < deadline)
        process::read_until(live, "\x01", 50);
    ASSERT_TRUE(fs::exists(cycles));
    fs::remove(cycles);
    fs::create_directory(cycles); // a name the counts cannot be written under
    const std::string labels = "1\nL-1\n";
    ASSERT_EQ(write(live.input, labels.data(), labels.size()), ssize_t(labels.size()));
    close(live.input);
    live.input = -1;
    process::Result r = process::finish(live, 15000);
    EXPECT_EQ(r.exit_status, 2);
    EXPECT_EQ(process::lines_of(r.out),
              (std::vector<std::string>{"wiretest-station: " + cycles.string() +
                                            ": not a regular file: insertion counts are kept in one: the slot's "
                                            "insertions are not being saved",
                                        "PASS 1-1 A WTST0001 slot: 1 label: L-1 errors: 0",
                                        "boards: 1, passed: 1, failed: 0, errors: 0"}));
}

// Stations sharing a fixture file wait for each other's lock and count on
// from what the file has then, --reset-cycles too: no count is written over.
TEST_F(StationFixture, StationsSharingACycleFileMergeTheirCountsUnderALock)
{
    const std::string file = fixture("id = \"FX\"\n[[slot]]\nname = \"1\"\nlocation = \"1-1\"\nrated_cycles = 100\n"
                                     "[[slot]]\nname = \"2\"\nlocation = \"1-4\"\nrated_cycles = 100\n");
    const fs::path cycles = file + ".cycles";
    struct Case {
        std::vector<std::string> args;
        std::string before, meanwhile, after; // the file before the run, written while it waits, after it
    };
    const Case cases[] = {
        {{"--fast"}, "{\"1\": 5}", "{\"1\": 7, \"2\": 3}", "{\n  \"1\": 8,\n  \"2\": 4\n}\n"},
        {{"--reset-cycles", "1"}, "{\"1\": 5}", "{\"1\": 7, \"2\": 3}", "{\n  \"1\": 0,\n  \"2\": 3\n}\n"},
        // At the largest count a slot stays there, from the file or counted.
        {{"--fast"}, "{}", "{\"1\": 18446744073709551615, \"2\": 9223372036854775806}",
         "{\n  \"1\": 9223372036854775807,\n  \"2\": 9223372036854775807\n}\n"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.meanwhile);
        std::ofstream(cycles) << c.before;
        int held = open(file.c_str(), O_RDONLY | O_CLOEXEC); // the station must not inherit the lock
        ASSERT_GE(held, 0);
        ASSERT_EQ(flock(held, LOCK_EX), 0); // another station, counting
        std::vector<std::string> args = {"--fixture", file};
        args.insert(args.end(), c.args.begin(), c.args.end());
        process::Live live = process::start(program, args, {}, true);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
        while (!waits_for_a_lock(live.pid) && std::chrono::steady_clock::now() < deadline)
            process::read_until(live, "\x01", 20);
        EXPECT_TRUE(waits_for_a_lock(live.pid)) << live.out;
        std::ofstream(cycles) << c.meanwhile;
        close(held);
        process::Result r = process::finish(live, 15000);
        EXPECT_EQ(r.exit_status, 0) << r.out;
        EXPECT_EQ(read_file(cycles), c.after);
    }
    // The largest count reads as it is, past its rating.
    process::Result r = process::run(program, {"--fixture", file, "--fast", "--json"});
    for (const std::string &line : process::lines_of(r.out))
        EXPECT_EQ(json::parse(line)["insertions"], INT64_MAX) << line;
    EXPECT_NE(r.err.find("wiretest-station: slot 1: 9,223,372,036,854,775,807 of 100 rated insertions: the contacts "
                         "are due\n"),
              std::string::npos)
        << r.err;
}

#ifdef WIRETEST_DATABASES
TEST_F(StationFixture, TheDatabaseRowsCarryTheSlotFixtureLotAndOperator)
{
    const std::string db = (scratch() / "line.db").string();
    process::Result r = process::run(program, {"--fixture", fixture(three_slots), "--fast", "--db", "sqlite:" + db});
    EXPECT_EQ(r.exit_status, 1) << r.err;
    sqlite3 *handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *query = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle,
                                 "SELECT location, slot, fixture_id, lot, operator FROM boards ORDER BY location", -1,
                                 &query, nullptr),
              SQLITE_OK);
    std::vector<std::string> rows;
    while (sqlite3_step(query) == SQLITE_ROW) {
        std::string row;
        for (int column = 0; column < 5; column++) {
            const unsigned char *text = sqlite3_column_text(query, column);
            row += (column ? " " : "") + std::string(text ? reinterpret_cast<const char *>(text) : "NULL");
        }
        rows.push_back(row);
    }
    sqlite3_finalize(query);
    sqlite3_close(handle);
    EXPECT_EQ(rows, (std::vector<std::string>{"1-1 1 FX-07 L-2024-17 ana", "1-2 2 FX-07 L-2024-17 ana",
                                              "1-3.1 three FX-07 L-2024-17 ana"}));
}

// Earlier sessions, from the database: the label at another slot, or after
// a PASS, is flagged with the record before it; at the same slot after a
// FAIL it is the board tested again, and is not.
TEST_F(StationFixture, ALabelOfAnEarlierSessionIsFlaggedFromTheDatabase)
{
    const std::string db = "sqlite:" + (scratch() / "line.db").string();
    struct Step {
        std::string port;
        int names; // the step whose record the flag names; -1: no flag
    };
    const Step steps[] = {{"1-2", -1}, {"1-2", -1}, {"1-1", 1}, {"1-1", 2}};
    std::vector<json> records;
    for (const Step &step : steps) {
        SCOPED_TRACE(records.size());
        process::Result r = process::run(program,
                                         {"--wait", "--fast", "--scan", "--json", "--port", step.port, "--db", db,
                                          "--sim-plug", step.port + "=" + step.port + "@0-"},
                                         std::string("L-9\n"), {}, 15000);
        ASSERT_FALSE(r.timed_out);
        records.push_back(json::parse(r.out));
        const json &record = records.back();
        if (step.names < 0) {
            EXPECT_FALSE(record.contains("label_reused")) << record;
            continue;
        }
        const json &earlier = records[size_t(step.names)];
        ASSERT_TRUE(record.contains("label_reused")) << record;
        for (const char *key : {"record_id", "start_time_millis", "location", "outcome", "station_id"})
            EXPECT_EQ(record["label_reused"][key], earlier[key]) << key;
        EXPECT_NE(r.err.find("label L-9 already used: " + earlier["outcome"].get<std::string>() + " at " +
                             earlier["location"].get<std::string>() + " A, "),
                  std::string::npos)
            << r.err;
    }
    // Each row names the record its label was used in before.
    sqlite3 *handle = nullptr;
    ASSERT_EQ(sqlite3_open_v2(db.substr(7).c_str(), &handle, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt *query = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(handle, "SELECT label_reused FROM boards ORDER BY start_time_millis", -1, &query,
                                 nullptr),
              SQLITE_OK);
    std::vector<std::string> reused;
    while (sqlite3_step(query) == SQLITE_ROW) {
        const unsigned char *text = sqlite3_column_text(query, 0);
        reused.push_back(text ? reinterpret_cast<const char *>(text) : "NULL");
    }
    sqlite3_finalize(query);
    sqlite3_close(handle);
    EXPECT_EQ(reused, (std::vector<std::string>{"NULL", "NULL", records[1]["record_id"].get<std::string>(),
                                                records[2]["record_id"].get<std::string>()}));
}

// The report shows each rated slot's latest count and its rating, in each
// of its forms; a slot without a rating has none.
TEST_F(StationFixture, TheReportShowsEachRatedSlotsLatestCount)
{
    const std::string db = "sqlite:" + (scratch() / "line.db").string(), file = fixture(three_slots);
    std::ofstream(file + ".cycles") << "{\"1\": 45208}";
    for (int run = 0; run < 2; run++)
        EXPECT_EQ(process::run(program, {"--fixture", file, "--fast", "--db", db}).exit_status, 1);
    process::Result text = process::run(program, {"report", "--db", db});
    EXPECT_EQ(text.exit_status, 0) << text.err;
    for (const char *line : {"  station line2-st3, fixture FX-07, slot 1 at 1-1: 1 board (2 records), FAIL 0.0%, ERROR "
                             "0.0%, 45,210 of 50,000 rated insertions\n",
                             "  station line2-st3, fixture FX-07, slot 2 at 1-2: 1 board (2 records), FAIL 100.0%, "
                             "ERROR 0.0%\n"})
        EXPECT_NE(text.out.find(line), std::string::npos) << line << text.out;

    json report = json::parse(process::run(program, {"report", "--db", db, "--json"}).out);
    std::map<std::string, json> slots;
    for (const json &slot : report["slots"])
        slots[slot["location"]] = slot;
    EXPECT_EQ(slots["1-1"]["slot"], "1");
    EXPECT_EQ(slots["1-1"]["insertions"], 45210);
    EXPECT_EQ(slots["1-1"]["rated_cycles"], 50000);
    EXPECT_EQ(slots["1-3.1"]["slot"], "three");
    EXPECT_FALSE(slots["1-3.1"].contains("insertions") || slots["1-3.1"].contains("rated_cycles"));

    std::string csv = process::run(program, {"report", "--db", db, "--csv"}).out;
    for (const char *line : {"slot,1-1,line2-st3,FX-07,1,insertions,45210\n",
                             "slot,1-1,line2-st3,FX-07,1,rated_cycles,50000\n"})
        EXPECT_NE(csv.find(line), std::string::npos) << line << csv;
    EXPECT_EQ(csv.find("slot,1-2,line2-st3,FX-07,2,insertions"), std::string::npos) << csv;
}
#endif

} // namespace
