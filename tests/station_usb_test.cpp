// build/wiretest-station, linked to the system's libftdi1 and the libftdi1
// layer, run as a shell runs it on the virtual USB bus (tests/vusb): chips
// at nested port paths, blank and shared serial numbers, a chip another
// program holds, one unplugged while another is tested, --fast against a
// normal run on the instant and the latency-faithful bus, and --wait with
// chips that the test plugs and unplugs as the station's output comes, seen
// through libusb's hotplug events and by listing where the bus has none.
#include "process.h"
#include "sanitized.h"
#include "temp_dir.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <numeric>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;

const std::string station = WIRETEST_STATION;

using process::lines_of;

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

using process::sorted;

// A station run on a bus the test plugs and unplugs by command (the bus's
// control file), its standard output read as it comes: each step waits for
// what the station printed, or for the bus's log, never for a time. The
// limits are for a station that never gets there, a failure.
class LiveBus {
public:
    // control: lines for the bus before the station starts.
    LiveBus(const std::string &settings, const Strings &args, const std::string &control = "")
    {
        std::ofstream(dir_ / "control") << control;
        std::ofstream(dir_ / "log").close();
        err_ = open((dir_ / "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        live_ = process::start_with_errors_to(station, args,
                                              {"LD_LIBRARY_PATH=" VUSB_DIR, "WIRETEST_VUSB=" + settings +
                                                                                ";control=" + dir_ / "control" +
                                                                                ";log=" + dir_ / "log"},
                                              err_);
    }
    LiveBus(const LiveBus &) = delete;
    LiveBus &operator=(const LiveBus &) = delete;
    ~LiveBus()
    {
        if (!finished_)
            finish();
    }

    // Lines for the bus, applied at one moment.
    void command(const std::string &lines)
    {
        std::ofstream(dir_ / "control", std::ios::app) << lines << std::flush;
    }

    // Whether the station's standard output came to hold text.
    bool printed(const std::string &text)
    {
        return process::read_until(live_, text, limit_ms).find(text) != std::string::npos;
    }

    // Whether the bus's log (every process's) came to hold this line.
    bool logged(const std::string &line)
    {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
        do {
            Strings lines = log_lines("");
            if (std::find(lines.begin(), lines.end(), line) != lines.end())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a look at the file, not a guess
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }

    pid_t pid() const { return live_.pid; }

    // The station's end, and the hotplug events its bus delivered.
    BusRun finish()
    {
        finished_ = true;
        BusRun run;
        run.result = process::finish(live_, limit_ms);
        close(err_);
        std::ifstream err(dir_ / "err");
        run.result.err.assign(std::istreambuf_iterator<char>(err), {});
        run.logged = log_lines("hotplug ");
        return run;
    }

private:
    static constexpr int limit_ms = 30000;

    Strings log_lines(const std::string &prefix) const
    {
        Strings lines;
        std::ifstream in(dir_ / "log");
        for (std::string line; std::getline(in, line);)
            if (line.compare(0, prefix.size(), prefix) == 0)
                lines.push_back(line);
        return lines;
    }

    TempDir dir_{"wiretest-station-vusb"};
    int err_ = -1;
    process::Live live_;
    bool finished_ = false;
};

// --- boards found by their places --------------------------------------------

const std::string line_bus = "chips=6010:WT01@3-1.3.2,6014:@1-4.2,6010:DUP@1-5,6010:DUP@1-6,6010:WT03@2-1,"
                             "6010:WT04@1-2;busy=WT03";

TEST(StationUsb, ListsEveryChannelByPlaceWithWhyOneMayNotBeOpened)
{
    BusRun run = run_on_bus("chips=6010:WT01@3-1.3.2,6014:@1-4.2,6010:WT03@2-1;busy=WT03", {"--list"});
    EXPECT_EQ(run.result.out, "1-4.2 A - FT232H\n"
                              "2-1 A WT03 FT2232H (in use by another program)\n"
                              "2-1 B WT03 FT2232H (in use by another program)\n"
                              "3-1.3.2 A WT01 FT2232H\n"
                              "3-1.3.2 B WT01 FT2232H\n");
    EXPECT_EQ(run.result.exit_status, 0);
}

TEST(StationUsb, AllBoardsAtOnceWhileOneIsHeldAndOneIsUnpluggedDuringItsTest)
{
    // WT04 is held at its 20th write, among its rows, and pulled out there;
    // the others are tested beside it.
    LiveBus live(line_bus, {"--all", "--delay"}, "hold 1-2 20\n");
    ASSERT_TRUE(live.logged("held 1-2"));
    live.command("unplug 1-2\n");
    BusRun run = live.finish();
    Strings lines = lines_of(run.result.out);
    ASSERT_EQ(lines.size(), 7u) << run.result.out;
    EXPECT_EQ(lines.back(), "boards: 6, passed: 4, failed: 0, errors: 2");
    lines.pop_back();
    // Gone among its rows: "errors: N" then.
    auto unplugged = std::find_if(lines.begin(), lines.end(),
                                  [](const std::string &l) { return l.rfind("ERROR 1-2 A WT04", 0) == 0; });
    ASSERT_NE(unplugged, lines.end()) << run.result.out;
    EXPECT_NE(unplugged->find(": unplugged during the test"), std::string::npos) << *unplugged;
    *unplugged = "ERROR 1-2 A WT04";
    EXPECT_EQ(sorted(lines), sorted({"ERROR 2-1 A WT03: can not open channel A at 2-1 (FT_DEVICE_NOT_OPENED)",
                                     "ERROR 1-2 A WT04", "PASS 1-5 A DUP errors: 0", "PASS 1-6 A DUP errors: 0",
                                     "PASS 3-1.3.2 A WT01 errors: 0", "PASS 1-4.2 A - errors: 0"}));
    EXPECT_EQ(run.result.exit_status, 3);
}

// A board whose chip fails a transfer is an ERROR that names libusb's or
// libftdi1's cause beside the status.
TEST(StationUsb, AFailedTransferNamesItsLibrarysCause)
{
    for (const auto &[failure, reason] :
         {std::pair<std::string, std::string>{"fail_in=2", "a device call failed (FT_IO_ERROR (libusb: LIBUSB_ERROR_IO))"},
          {"fail_ctrl=0B:1", "can not reset MPSSE (FT_IO_ERROR (libftdi1: unable to configure bitbang mode. "
                             "Perhaps not a BM/2232C type chip? (libusb: LIBUSB_ERROR_PIPE)))"}}) {
        SCOPED_TRACE(failure);
        BusRun run = run_on_bus("chips=6010:WT01@1-1;" + failure, {"--port", "1-1"});
        EXPECT_EQ(run.result.out, "ERROR 1-1 A WT01: " + reason + "\nboards: 1, passed: 0, failed: 0, errors: 1\n");
        EXPECT_EQ(run.result.exit_status, 3);
    }
}

TEST(StationUsb, ASharedSerialNumberNamesBothPlacesAndABlankOneIsReachedByPlace)
{
    BusRun shared = run_on_bus(line_bus, {"--serial", "DUP"});
    EXPECT_EQ(shared.result.out, "ERROR - A DUP: the serial number DUP is on more than one chip: 1-5, 1-6\n"
                                 "boards: 1, passed: 0, failed: 0, errors: 1\n");
    EXPECT_EQ(shared.result.exit_status, 3);

    BusRun blank = run_on_bus(line_bus, {"--port", "1-4.2", "--fast", "--json"});
    nlohmann::json record = nlohmann::json::parse(blank.result.out);
    EXPECT_EQ(record["dut_id"], "1-4.2");
    EXPECT_EQ(record["serial"], "");
    EXPECT_EQ(record["chip"], "FT232H");
    EXPECT_EQ(record["outcome"], "PASS");
    EXPECT_EQ(blank.result.exit_status, 0);
}

// A fixture's slots at the nested port paths libftdi1 reports, a shared and a
// blank serial number among them, and a chip another program holds.
TEST(StationUsb, AFixturesSlotsAreTestedByTheirPortPathsAndNamedInEveryLine)
{
    TempDir folder("wiretest-station-vusb-fixture");
    const std::string file = folder / "fixture.toml";
    std::ofstream(file) << "id = \"FX-07\"\n"
                           "[[slot]]\nname = \"1\"\nlocation = \"3-1.3.2\"\n"
                           "[[slot]]\nname = \"2\"\nlocation = \"1-4.2\"\n"
                           "[[slot]]\nname = \"3\"\nlocation = \"1-6\"\n"
                           "[[slot]]\nname = \"4\"\nlocation = \"2-1\"\n";
    BusRun run = run_on_bus(line_bus, {"--fixture", file, "--fast", "--records", folder.path});
    EXPECT_EQ(sorted(lines_of(run.result.out)),
              sorted({"PASS 3-1.3.2 A WT01 slot: 1 errors: 0", "PASS 1-4.2 A - slot: 2 errors: 0",
                      "PASS 1-6 A DUP slot: 3 errors: 0",
                      "ERROR 2-1 A WT03 slot: 4: can not open channel A at 2-1 (FT_DEVICE_NOT_OPENED)",
                      "boards: 4, passed: 3, failed: 0, errors: 1"}))
        << run.result.err;
    EXPECT_EQ(run.result.exit_status, 3);
    Strings slots;
    for (const auto &entry : std::filesystem::directory_iterator(folder.path))
        if (entry.path().extension() == ".json") {
            nlohmann::json record = nlohmann::json::parse(std::ifstream(entry.path()));
            EXPECT_EQ(record["fixture_id"], "FX-07");
            slots.push_back(record["slot"]);
        }
    EXPECT_EQ(sorted(slots), (Strings{"1", "2", "3", "4"}));
}

// --- --fast against a normal run ---------------------------------------------

// The parts of a record that a board's wiring decides.
nlohmann::json verdict(const std::string &json_line)
{
    nlohmann::json r = nlohmann::json::parse(json_line);
    return {{"outcome", r["outcome"]}, {"errors", r["errors"]}, {"rows", r["rows"]}, {"pins", r["pins"]}};
}

// The data bytes of each bulk IN transfer after each write that ends in
// send-immediate: the synchronisation's, then the stream's.
std::vector<std::vector<size_t>> bytes_in_after_each_flush(const Strings &log)
{
    std::vector<std::vector<size_t>> flushes;
    for (const std::string &line : log) {
        if (line.rfind("out ", 0) == 0 && line.size() >= 2 && line.compare(line.size() - 2, 2, "87") == 0)
            flushes.emplace_back();
        size_t bytes = line.find(" packets, ");
        if (line.rfind("in ", 0) == 0 && bytes != std::string::npos && !flushes.empty())
            flushes.back().push_back(std::stoul(line.substr(bytes + 10)));
    }
    return flushes;
}

TEST(StationUsb, FastGivesTheRowsOfANormalRunOnTheInstantAndTheLatencyFaithfulBus)
{
    for (const std::string board : {"", "stick0:1+swap4-5", "open3:0"})
        for (const std::string test : {"full", "short"}) {
            SCOPED_TRACE(::testing::Message() << "board " << board << ", test " << test);
            Strings shape = {"--port", "1-1", "--json"};
            if (test == "short")
                shape.push_back("--short");
            auto with = [&](Strings more) {
                more.insert(more.begin(), shape.begin(), shape.end());
                return more;
            };
            BusRun normal = run_on_bus("board=" + board, with({"--delay"}));
            ASSERT_EQ(normal.result.exit_status, board.empty() ? 0 : 1) << normal.result.err;
            nlohmann::json expected = verdict(normal.result.out);
            EXPECT_EQ(expected["rows"].size(), test == "full" ? 13u : 4u);
            // delay=20: the chip answers 20 ms late, so that the answer of
            // the synchronisation comes only with the stream's answers.
            for (const std::string bus : {"", "latency=1;", "latency=1;delay=20;"}) {
                SCOPED_TRACE(bus);
                std::string settings = bus;
                settings += "board=";
                settings += board;
                BusRun fast = run_on_bus(settings, with({"--fast"}), "");
                EXPECT_EQ(fast.result.exit_status, normal.result.exit_status) << fast.result.err;
                EXPECT_EQ(verdict(fast.result.out), expected);
                EXPECT_EQ(nlohmann::json::parse(fast.result.out)["mode"], "fast");
                // The synchronisation's answer is read before the stream is
                // sent, even when the chip is late with it; on the
                // latency-faithful bus each answer comes in the first
                // transfer after its send-immediate, none waits for the
                // chip's timer with an empty one. A chip late by 20 ms is
                // polled for until it answers.
                std::vector<std::vector<size_t>> flushes = bytes_in_after_each_flush(fast.logged);
                ASSERT_EQ(flushes.size(), 2u);
                size_t rows = expected["rows"].size();
                if (bus.find("delay") == std::string::npos) {
                    EXPECT_EQ(flushes, (std::vector<std::vector<size_t>>{{2}, {rows}}));
                } else {
                    EXPECT_EQ(std::accumulate(flushes[0].begin(), flushes[0].end(), size_t(0)), 2u);
                    EXPECT_EQ(std::accumulate(flushes[1].begin(), flushes[1].end(), size_t(0)), rows);
                }
            }
        }
}

// Each set on the latency-faithful bus, the chip answering 0x81 as 0x83: what
// it names of a board, and how sure. A resistive bridge only deep sees; two
// AND bridges the thirteen patterns confound, locate does not.
TEST(StationUsb, EachPatternSetNamesWhatItsDictionaryPromises)
{
    struct Case {
        std::string board, patterns, confidence;
        Strings first; // the first candidate's faults
        size_t bytes;  // answered in the stream's one transfer
    };
    const Case cases[] = {
        {"short2-5:res", "standard", "", {}, 13},
        {"short2-5:res", "locate", "", {}, 28},
        {"short2-5:res", "deep", "located", {"resistive bridge on nets 2 and 5"}, 44},
        {"short0-1:and+short2-3:and", "standard", "one of 2",
         {"bridge, wired-AND on nets 0 and 1", "bridge, wired-AND on nets 2 and 3"}, 13},
        {"short0-1:and+short2-3:and", "locate", "located",
         {"bridge, wired-AND on nets 0 and 1", "bridge, wired-AND on nets 2 and 3"}, 28},
        {"stick6:1", "standard", "one of 2", {"stuck-1 on net 6"}, 13},
        {"stick6:1", "locate", "located", {"stuck-1 on net 6"}, 28},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.board + " " + c.patterns);
        BusRun run = run_on_bus("latency=1;board=" + c.board,
                                {"--port", "1-1", "--json", "--fast", "--patterns", c.patterns}, "");
        EXPECT_EQ(run.result.exit_status, c.confidence.empty() ? 0 : 1) << run.result.err;
        nlohmann::json record = nlohmann::json::parse(run.result.out);
        EXPECT_EQ(record["patterns"], c.patterns);
        if (c.confidence.empty()) {
            EXPECT_FALSE(record.contains("faults"));
        } else {
            EXPECT_EQ(record["faults"]["confidence"], c.confidence);
            EXPECT_EQ(record["faults"]["candidates"][0], nlohmann::json(c.first));
        }
        std::vector<std::vector<size_t>> flushes = bytes_in_after_each_flush(run.logged);
        if (c.patterns != "deep") { // deep writes its steps with inputs after host waits
            EXPECT_EQ(flushes, (std::vector<std::vector<size_t>>{{2}, {c.bytes}}));
        }
    }
}

// --- a board's identity programmed into its chip's EEPROM ------------------

// Fresh boards with a blank EEPROM of each part: the station programs the
// serial after the test, the chip is found again at its port path with it,
// another program reads the image back, and a retest keeps the serial. The
// bus keeps each port's EEPROM in a file, as the board keeps it between
// two programs.
TEST(StationUsb, ABlankChipIsProgrammedFoundAgainWithItsSerialAndKeepsItWhenRetested)
{
    const struct Case {
        std::string chip, part, kind;
    } cases[] = {{"6014:@1-2", "46", "FT232H"}, {"6010:@1-2", "56", "FT2232H"}, {"6010:@1-2", "66", "FT2232H"}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.kind + " with a 93C" + c.part);
        TempDir dir{"wiretest-station-vusb-identity"};
        std::ofstream(dir / "product.toml") << "[product]\nmanufacturer = \"Wiretest\"\nproduct = \"Bench\"\n"
                                               "serial = \"VB-{seq:04}\"\n";
        const std::string bus = "chips=" + c.chip + ";eeprom=" + c.part + ";eeprom_dir=" + dir.path;
        // A station run on the board, with its line and the record it wrote.
        auto test = [&](const std::string &name, const std::string &logged) {
            std::filesystem::create_directory(dir / name);
            BusRun run = run_on_bus(bus,
                                    {"--port", "1-2", "--fast", "--product", dir / "product.toml", "--db",
                                     "sqlite:" + dir / "line.db", "--records", dir / name},
                                    logged);
            nlohmann::json record;
            for (const auto &entry : std::filesystem::directory_iterator(dir / name))
                record = nlohmann::json::parse(std::ifstream(entry.path()));
            return std::make_pair(run, record);
        };

        auto [first, record] = test("first", "reset ");
        EXPECT_EQ(first.result.out, "PASS 1-2 A VB-0001 errors: 0\nboards: 1, passed: 1, failed: 0, errors: 0\n")
            << first.result.err;
        EXPECT_EQ(first.result.exit_status, 0);
        EXPECT_EQ(first.logged, (Strings{"reset 1-2 -> VB-0001"})); // one re-enumeration, at its port
        const nlohmann::json identity = record["identity"];
        EXPECT_EQ(record["serial"], "VB-0001");
        EXPECT_EQ(identity["serial_before"], "");
        EXPECT_EQ(identity["serial_after"], "VB-0001");
        EXPECT_EQ(identity["allocated"], "VB-0001");
        EXPECT_EQ(identity["eeprom"], "93C" + c.part);
        EXPECT_EQ(identity["state"], "blank");
        EXPECT_EQ(identity["written"], true);
        EXPECT_EQ(identity["verified"], true);

        // What the chip holds now, read by another program.
        BusRun read = run_on_bus(bus, {"eeprom", "--port", "1-2", "--json"});
        ASSERT_EQ(read.result.exit_status, 0) << read.result.err;
        nlohmann::json image = nlohmann::json::parse(read.result.out);
        EXPECT_EQ(image["serial"], "VB-0001");
        EXPECT_EQ(image["manufacturer"], "Wiretest");
        EXPECT_EQ(image["product"], "Bench");
        EXPECT_EQ(image["part"], "93C" + c.part);
        EXPECT_EQ(image["checksum_valid"], true);
        EXPECT_EQ(image["checksum"], identity["checksum"]);
        EXPECT_EQ(run_on_bus(bus, {"--list"}).result.out.rfind("1-2 A VB-0001 " + c.kind + "\n", 0), 0u);

        // The same board again: its serial is kept, no number is taken, no word is written.
        auto [again, retested] = test("again", "ctrl 40 91 ");
        EXPECT_EQ(again.result.out, first.result.out) << again.result.err;
        EXPECT_EQ(again.logged, Strings{});
        EXPECT_EQ(retested["identity"]["kept"], true);
        EXPECT_EQ(retested["identity"]["serial_before"], "VB-0001");
        EXPECT_EQ(retested["identity"]["written"], false);
        EXPECT_FALSE(retested["identity"].contains("allocated"));
    }
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

TEST_P(StationUsbWait, AChipSwappedForOneOfTheSameSerialBetweenTwoListingsIsANewBoard)
{
    LiveBus live(bus("6010:WT01@1-1"), {"--wait", "--fast", "--count", "2", "--port", "1-1"});
    ASSERT_TRUE(live.printed("PASS 1-1 A WT01"));
    // Out and in at one moment: only the USB address, new with each
    // enumeration, tells them apart.
    live.command("unplug 1-1\nplug 6010:WT01@1-1\n");
    BusRun run = live.finish();
    EXPECT_EQ(lines_of(run.result.out), (Strings{"PASS 1-1 A WT01 errors: 0", "PASS 1-1 A WT01 errors: 0",
                                                 "boards: 2, passed: 2, failed: 0, errors: 0"}))
        << run.result.err;
    EXPECT_EQ(run.result.exit_status, 0);
}

TEST_P(StationUsbWait, EachBoardOnceWhileItStaysInTheOrderTheyCome)
{
    // 1-1 gets two chips one after another, 1-2 one that stays, and a
    // blank chip comes at 1-3.1 last. Each comes after the station has
    // printed the board before it: a board tested twice would be printed
    // in its place.
    LiveBus live(bus("6010:WT01@1-1"), {"--wait", "--fast", "--count", "4"});
    ASSERT_TRUE(live.printed("PASS 1-1 A WT01"));
    live.command("plug 6010:WT05@1-2\n");
    ASSERT_TRUE(live.printed("PASS 1-2 A WT05"));
    live.command("unplug 1-1\n");
    live.command("plug 6010:WT02@1-1\n");
    ASSERT_TRUE(live.printed("PASS 1-1 A WT02"));
    live.command("unplug 1-1\n");
    live.command("plug 6010:@1-3.1\n");
    BusRun run = live.finish();
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
    LiveBus live(bus("6010:WT01@1-1,6010:WT02@1-2"), {"--wait", "--delay", "--count", "3", "--port", "1-1"});
    ASSERT_TRUE(live.printed("PASS 1-1 A WT01"));
    // Replugged, and held at its 20th write, among the rows of the test
    // (or, on another build of the test, before: gone during the test all
    // the same), until it is pulled out there.
    live.command("unplug 1-1\n");
    live.command("plug 6010:WT01@1-1\nhold 1-1 20\n");
    ASSERT_TRUE(live.logged("held 1-1"));
    live.command("unplug 1-1\n");
    ASSERT_TRUE(live.printed("ERROR 1-1 A WT01"));
    live.command("plug 6010:WT01@1-1\n");
    BusRun run = live.finish();
    Strings lines = lines_of(run.result.out);
    ASSERT_EQ(lines.size(), 4u) << run.result.out << run.result.err;
    EXPECT_EQ(lines[0], "PASS 1-1 A WT01 errors: 0");
    EXPECT_EQ(lines[1].rfind("ERROR 1-1 A WT01", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(": unplugged during the test"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2], "PASS 1-1 A WT01 errors: 0");
    EXPECT_EQ(lines[3], "boards: 3, passed: 2, failed: 0, errors: 1");
    EXPECT_EQ(run.result.exit_status, 3);
}

// A board whose EEPROM the station programmed comes back at once under its
// new serial: the same board, not tested again. Replugged as soon as its
// line is out, before the station looked again, it is another enumeration
// under the same serial: tested again, keeping its serial. The next blank
// board gets the next number.
TEST_P(StationUsbWait, AProgrammedBoardIsTestedOnceAndKeepsItsSerialWhenReplugged)
{
    TempDir dir{"wiretest-station-vusb-identity"};
    std::ofstream(dir / "product.toml") << "[product]\nmanufacturer = \"Wiretest\"\nproduct = \"Bench\"\n"
                                           "serial = \"VB-{seq:04}\"\n";
    LiveBus live(bus("6010:@1-2") + ";eeprom_dir=" + dir.path,
                 {"--wait", "--fast", "--count", "3", "--product", dir / "product.toml", "--db",
                  "sqlite:" + dir / "line.db"});
    ASSERT_TRUE(live.printed("PASS 1-2 A VB-0001"));
    live.command("unplug 1-2\nplug 6010:@1-2\n"); // the same board: the port's EEPROM is its own
    ASSERT_TRUE(live.printed("PASS 1-2 A VB-0001 errors: 0\nPASS 1-2 A VB-0001"));
    live.command("plug 6010:@1-3\n");
    BusRun run = live.finish();
    EXPECT_EQ(lines_of(run.result.out), (Strings{"PASS 1-2 A VB-0001 errors: 0", "PASS 1-2 A VB-0001 errors: 0",
                                                 "PASS 1-3 A VB-0002 errors: 0",
                                                 "boards: 3, passed: 3, failed: 0, errors: 0"}))
        << run.result.err;
    EXPECT_EQ(run.result.exit_status, 0);
}

TEST_P(StationUsbWait, WaitingUsesNoProcessorTime)
{
    // Measured from the station's first board on, when it is surely past its
    // start-up and waiting: 2 s in which nothing arrives.
    LiveBus live(bus("6010:WT01@1-1"), {"--wait", "--fast"});
    ASSERT_TRUE(live.printed("PASS 1-1 A WT01"));
    double before = process::cpu_seconds_of(live.pid());
    std::this_thread::sleep_for(std::chrono::seconds(2)); // the span measured
    double used = process::cpu_seconds_of(live.pid()) - before;
    kill(live.pid(), SIGTERM);
    BusRun run = live.finish();
    EXPECT_EQ(run.result.exit_status, 0); // one board, passed
    // Each listing on the virtual bus runs the emulation too; a sanitizer
    // multiplies its cost. A busy loop would take the whole 2 s.
    EXPECT_LT(used, sanitized ? 0.3 : 0.1) << used << " s of processor time in 2 s of waiting";
}

INSTANTIATE_TEST_SUITE_P(Ways, StationUsbWait, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Hotplug" : "Polling"; });

} // namespace
