// The Windows build (build-windows/) under Wine, run by `make test-windows`:
// wiretest-sim.exe, and wiretest.exe with the simulated ftd2xx.dll beside it,
// print the Linux build's bytes but for CR LF line ends and return the same
// exit statuses, also on a library with the thirteen operations only;
// wiretest.exe's loader takes the library only from its own folder or the
// system folder, and says why one cannot be loaded; the station's listing and
// opening by location work through the loader; the Windows sleep never ends early;
// wiretest-diagnose.exe judges CR LF reports as the Linux build does.
//
// The Makefile passes WINE, WINEPREFIX (an existing prefix), WINEDEBUG,
// WIRETEST_WINDOWS_DIR and WIRETEST_LINUX_SIM in the environment.
#include "process.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <regex>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

namespace {

std::string from_environment(const char *name)
{
    const char *value = std::getenv(name);
    if (!value || !*value) {
        std::cerr << name << " is not set: run these tests with `make test-windows`\n";
        std::exit(2);
    }
    return value;
}

const std::string wine = from_environment("WINE");
const fs::path windows_dir = from_environment("WIRETEST_WINDOWS_DIR");
const std::string linux_sim = from_environment("WIRETEST_LINUX_SIM");
// Folders of the loader's cases, made anew by each run of the suite.
const fs::path work_dir = windows_dir / "wine-tests";

const int WINE_LIMIT_MS = 60000;

// A Unix path as the Windows program sees it through Wine's drive Z:.
std::string windows_path(const fs::path &path)
{
    std::string text = "Z:" + fs::absolute(path).lexically_normal().string();
    for (char &c : text)
        if (c == '/')
            c = '\\';
    return text;
}

// Run a Windows program under Wine with folder as its current folder.
process::Result run_windows(const fs::path &exe, const std::vector<std::string> &args,
                            const std::optional<std::string> &input = std::nullopt,
                            const fs::path &folder = windows_dir,
                            const std::vector<std::string> &extra_env = {})
{
    std::vector<std::string> command{"-C", folder.string(), wine, exe.string()};
    command.insert(command.end(), args.begin(), args.end());
    return process::run("/usr/bin/env", command, input, extra_env, WINE_LIMIT_MS);
}

// Text-mode output: every line ends in CR LF. Returns it with LF line ends;
// a bare LF or a stray CR fails the test.
std::string from_crlf(const std::string &text, const std::string &what)
{
    std::string lf;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')
            continue;
        if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r'))
            ADD_FAILURE() << what << ": a line ends without CR at byte " << i;
        if (text[i] == '\r')
            ADD_FAILURE() << what << ": a CR without LF at byte " << i;
        lf += text[i];
    }
    return lf;
}

void replace_all(std::string &text, const std::string &from, const std::string &to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

// The Windows program's run equals the Linux build's, CR LF aside. The usage
// text names the program as each was started: both names become PROGRAM.
void expect_same_as_linux(const fs::path &exe, const fs::path &folder,
                          const std::vector<std::string> &args,
                          const std::optional<std::string> &input)
{
    process::Result linux_run = process::run(linux_sim, args, input);
    process::Result windows_run = run_windows(exe, args, input, folder);
    ASSERT_FALSE(windows_run.timed_out);
    std::string out = from_crlf(windows_run.out, "standard output");
    std::string err = from_crlf(windows_run.err, "standard error");
    std::string linux_out = linux_run.out;
    replace_all(out, windows_path(exe), "PROGRAM");
    replace_all(linux_out, linux_sim, "PROGRAM");
    EXPECT_EQ(windows_run.exit_status, linux_run.exit_status);
    EXPECT_EQ(out, linux_out);
    EXPECT_EQ(err, linux_run.err);
}

struct Case {
    const char *name; // cppcheck-suppress unusedStructMember ; read by the test-name generator
    std::vector<std::string> args;
    std::optional<std::string> input; // none: standard input at its end
    int exit_status;                  // as the Linux build returns it
};

const Case cases[] = {
    {"GoodBoard", {"-n0", "-delay"}, std::nullopt, 0},
    {"OpenPinBoard", {"-n1", "-delay"}, std::nullopt, 0},
    {"ShortTest", {"-n1", "-short", "-d"}, std::nullopt, 0},
    {"UnknownOption", {"-x"}, std::nullopt, 254},
    {"ArgumentWithoutDash", {"-n0", "n1"}, std::nullopt, 254},
    {"EndOfInput", {"-delay"}, std::nullopt, 255},
    {"UnlistedDeviceThenEndOfInput", {"-n7", "-delay"}, std::string("9\n"), 255},
    {"DeviceFromStandardInput", {"-short", "-delay"}, std::string("x9\n1\n"), 0},
    {"CrLfInputIsSkipped", {"-s", "-d"}, std::string("\r\n\r\n0\r\n"), 0},
};

class SameAsLinux : public ::testing::TestWithParam<Case> {
protected:
    static void SetUpTestSuite()
    {
        // wiretest.exe with the simulated driver beside it.
        fs::path folder = work_dir / "with-sim-driver";
        fs::create_directories(folder);
        fs::copy_file(windows_dir / "wiretest.exe", folder / "wiretest.exe",
                      fs::copy_options::overwrite_existing);
        fs::copy_file(windows_dir / "sim-driver" / "ftd2xx.dll", folder / "ftd2xx.dll",
                      fs::copy_options::overwrite_existing);
        // And beside a library that offers the thirteen operations only.
        folder = work_dir / "with-thirteen-only";
        fs::create_directories(folder);
        fs::copy_file(windows_dir / "wiretest.exe", folder / "wiretest.exe",
                      fs::copy_options::overwrite_existing);
        fs::copy_file(windows_dir / "test-driver-thirteen-only" / "ftd2xx.dll", folder / "ftd2xx.dll",
                      fs::copy_options::overwrite_existing);
    }
};

TEST_P(SameAsLinux, WiretestSimExe)
{
    const Case &c = GetParam();
    ASSERT_EQ(process::run(linux_sim, c.args, c.input).exit_status, c.exit_status);
    expect_same_as_linux(windows_dir / "wiretest-sim.exe", windows_dir, c.args, c.input);
}

TEST_P(SameAsLinux, WiretestExeOnTheSimulatedDll)
{
    const Case &c = GetParam();
    expect_same_as_linux(work_dir / "with-sim-driver" / "wiretest.exe", windows_dir, c.args, c.input);
}

TEST_P(SameAsLinux, WiretestExeOnADllWithTheThirteenOnly)
{
    const Case &c = GetParam();
    expect_same_as_linux(work_dir / "with-thirteen-only" / "wiretest.exe", windows_dir, c.args, c.input);
}

INSTANTIATE_TEST_SUITE_P(Runs, SameAsLinux, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case> &info) { return info.param.name; });

// The loader's failures: its own line, then the tool's, and exit -1.
const std::string install_hint = "install the FTDI D2XX driver package, which provides ftd2xx.dll";

class Loader : public ::testing::Test {
protected:
    // A folder holding a copy of wiretest.exe, and a driver library when one is named.
    static fs::path folder_with_wiretest(const std::string &name, const fs::path &library = {})
    {
        fs::path folder = work_dir / name;
        fs::remove_all(folder);
        fs::create_directories(folder);
        fs::copy_file(windows_dir / "wiretest.exe", folder / "wiretest.exe");
        if (!library.empty())
            fs::copy_file(library, folder / "ftd2xx.dll");
        return folder;
    }
    static void expect_failed_listing(const process::Result &r, const std::string &loader_line)
    {
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(from_crlf(r.out, "standard output"), "");
        EXPECT_EQ(from_crlf(r.err, "standard error"), loader_line + "ERROR: FT_ListDevices\n");
    }
    // The line of a library that could not be loaded, with the system's
    // error code and its words for it, which are Wine's own here.
    static std::string cannot_load_line(unsigned error, const std::string &words)
    {
        return "ftd2xx.dll could not be loaded from beside this program or from the Windows system "
               "folder: Windows error " +
               std::to_string(error) + " (" + words + "): " + install_hint + "\n";
    }
};

TEST_F(Loader, NoLibraryAnywhere)
{
    fs::path folder = folder_with_wiretest("no-driver");
    expect_failed_listing(run_windows(folder / "wiretest.exe", {"-n0", "-delay"}, std::nullopt, folder),
                          cannot_load_line(126, "Module not found."));
}

// A library that is there but is no 64-bit Windows image fails with the
// system's reason, not as a missing one.
TEST_F(Loader, ALibraryThatIsNoUsableImage)
{
    const fs::path text_file = work_dir / "not-an-image.dll";
    fs::create_directories(work_dir);
    std::ofstream(text_file, std::ios::binary) << "This is not a DLL.\r\n";
    const struct {
        const char *name;
        fs::path library;
    } libraries[] = {
        {"text-file-driver", text_file},
        {"32-bit-driver", windows_dir / "test-driver-32bit" / "ftd2xx.dll"},
    };
    for (const auto &library : libraries) {
        SCOPED_TRACE(library.name);
        fs::path folder = folder_with_wiretest(library.name, library.library);
        expect_failed_listing(
            run_windows(folder / "wiretest.exe", {"-n0", "-delay"}, std::nullopt, folder),
            cannot_load_line(193, "Bad EXE format for ftd2xx.dll."));
    }
}

TEST_F(Loader, ALibraryThatLacksAnOperation)
{
    fs::path folder = folder_with_wiretest(
        "driver-without-setchars", windows_dir / "test-driver-without-setchars" / "ftd2xx.dll");
    expect_failed_listing(run_windows(folder / "wiretest.exe", {"-n0", "-delay"}, std::nullopt, folder),
                          windows_path(folder / "ftd2xx.dll") + " lacks FT_SetChars: " + install_hint +
                              "\n");
}

TEST_F(Loader, ALibraryInTheCurrentFolderOrOnPathIsNotLoaded)
{
    fs::path folder = folder_with_wiretest("driver-elsewhere");
    fs::path planted = work_dir / "planted";
    fs::remove_all(planted);
    fs::create_directories(planted);
    fs::copy_file(windows_dir / "sim-driver" / "ftd2xx.dll", planted / "ftd2xx.dll");
    // WINEPATH puts the folder on the Windows program's PATH.
    process::Result r = run_windows(folder / "wiretest.exe", {"-n0", "-delay"}, std::nullopt, planted,
                                    {"WINEPATH=" + windows_path(planted)});
    expect_failed_listing(r, cannot_load_line(126, "Module not found."));
}

// The station's listing and opening by location through wiretest.exe's
// loader (tests/windows/location_probe.cpp), on the simulated driver with the
// chips of tests/windows/located_chips.cpp.
class StationThroughLoader : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        for (const char *driver : {"test-driver-located", "test-driver-thirteen-only"}) {
            fs::path folder = work_dir / (std::string("probe-on-") + driver);
            fs::create_directories(folder);
            fs::copy_file(windows_dir / "location_probe.exe", folder / "location_probe.exe",
                          fs::copy_options::overwrite_existing);
            fs::copy_file(windows_dir / driver / "ftd2xx.dll", folder / "ftd2xx.dll",
                          fs::copy_options::overwrite_existing);
        }
    }
    // The probe's standard output, after checking that it ran cleanly.
    static std::string probe(const std::vector<std::string> &args,
                             const std::string &driver = "test-driver-located")
    {
        fs::path folder = work_dir / ("probe-on-" + driver);
        process::Result r = run_windows(folder / "location_probe.exe", args, std::nullopt, folder);
        EXPECT_FALSE(r.timed_out);
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(from_crlf(r.err, "standard error"), "");
        return from_crlf(r.out, "standard output");
    }
};

// The location ids as "0x" and upper-case hex digits, one per channel; the
// blank chip's letters from its description; the held chip marked; the FT4232H
// and FT2232D with their MPSSE channels only, though the library lists their
// others too; the board without a location left out.
const std::string located_listing = "0x1321 A \"WTLOC01\" FT2232H 0 \"\"\n"
                                    "0x1322 B \"WTLOC01\" FT2232H 0 \"\"\n"
                                    "0x141 A \"\" FT4232H 0 \"\"\n"
                                    "0x142 B \"\" FT4232H 0 \"\"\n"
                                    "0x2C1 A \"WTLOC03\" FT232H 3 \"in use by another program\"\n"
                                    "0x151 A \"WTLOC04\" FT2232D 0 \"\"\n";

TEST_F(StationThroughLoader, ListsEachMpsseChannelByItsLocationId)
{
    EXPECT_EQ(probe({"list"}), "ft_list_channels 0, count 6\n" + located_listing);
    // A list too short for all still gets the count of all.
    EXPECT_EQ(probe({"list", "2"}), "ft_list_channels 0, count 6\n" +
                                        located_listing.substr(0, located_listing.find("0x141")));
}

TEST_F(StationThroughLoader, OpensTheChannelAtALocationIdAndNoOther)
{
    // While open, the listing shows the channel held; FT_Close lets it go.
    auto opened = [](const std::string &held_line) {
        std::string listing = located_listing;
        std::string free_line = held_line.substr(0, held_line.rfind(" 3 ")) + " 0 \"\"\n";
        listing.replace(listing.find(free_line), free_line.size(), held_line);
        return "ft_open_by_location 0\nft_list_channels 0, count 6\n" + listing + "FT_Close 0\n";
    };
    const struct {
        const char *location;
        const char *channel;
        std::string output;
    } opens[] = {
        {"0x1322", "B", opened("0x1322 B \"WTLOC01\" FT2232H 3 \"in use by another program\"\n")},
        {"0x142", "B", opened("0x142 B \"\" FT4232H 3 \"in use by another program\"\n")},
        {"0x151", "A", opened("0x151 A \"WTLOC04\" FT2232D 3 \"in use by another program\"\n")},
        {"0x1322", "A", "ft_open_by_location 2\n"},  // another channel's location
        {"0x1323", "C", "ft_open_by_location 2\n"},  // nothing there
        {"0x143", "C", "ft_open_by_location 2\n"},   // a channel without MPSSE
        {"0x152", "B", "ft_open_by_location 2\n"},   // the same, on the FT2232D
        {"1-3.2", "A", "ft_open_by_location 2\n"},   // a location of Linux
        {"0x2C1", "A", "ft_open_by_location 3\n"},   // held by another program
        {"0x2c1", "A", "ft_open_by_location 3\n"},   // the same, in lower case
    };
    for (const auto &c : opens) {
        SCOPED_TRACE(std::string(c.location) + " " + c.channel);
        EXPECT_EQ(probe({"open", c.location, c.channel}), c.output);
    }
}

// wiretest.exe runs on such a library (SameAsLinux); the station's functions
// fail with FT_NOT_SUPPORTED.
TEST_F(StationThroughLoader, ALibraryWithTheThirteenOnlyCannotList)
{
    EXPECT_EQ(probe({"list"}, "test-driver-thirteen-only"), "ft_list_channels 17, count 0\n");
    EXPECT_EQ(probe({"open", "0x1321", "A"}, "test-driver-thirteen-only"), "ft_open_by_location 17\n");
}

// Each Windows program carries its runtimes: it imports system DLLs only.
TEST(StaticRuntimes, EveryProgramAndLibraryImportsSystemDllsOnly)
{
    const std::set<std::string> system_dlls{"KERNEL32.dll", "msvcrt.dll", "WINMM.dll"};
    for (const fs::path &file : {windows_dir / "wiretest.exe", windows_dir / "wiretest-sim.exe",
                                 windows_dir / "sim-driver" / "ftd2xx.dll",
                                 windows_dir / "test-driver-located" / "ftd2xx.dll",
                                 windows_dir / "location_probe.exe"}) {
        process::Result r = process::run("/usr/bin/x86_64-w64-mingw32-objdump", {"-p", file.string()});
        ASSERT_EQ(r.exit_status, 0) << r.err;
        std::smatch m;
        std::string rest = r.out;
        int imports = 0;
        static const std::regex dll_name(R"(DLL Name: (\S+))");
        while (std::regex_search(rest, m, dll_name)) {
            EXPECT_EQ(system_dlls.count(m[1]), 1u) << file << " imports " << m[1];
            imports++;
            rest = m.suffix();
        }
        EXPECT_GT(imports, 0) << file;
    }
}

// The probe prints one line per waiter and length; its lateness figures are
// shown here. Only an early end fails: lateness depends on the machine's
// load, so its bound only catches a runaway wait.
TEST(WindowsSleep, NoWaitEndsEarlyOnEitherWaiter)
{
    process::Result r = run_windows(windows_dir / "sleep_probe.exe", {});
    std::cout << from_crlf(r.out, "probe output") << r.err;
    EXPECT_EQ(r.exit_status, 0);
    static const std::regex line(
        R"((.+) \| (\d+) ms \| (\d+) waits \| (\d+) early \| late min (-?\d+) us, median (-?\d+) us, max (-?\d+) us)");
    std::istringstream lines(from_crlf(r.out, "probe output"));
    std::set<std::string> waiters;
    int measured = 0;
    for (std::string text; std::getline(lines, text);) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(text, m, line)) << text;
        waiters.insert(m[1]);
        EXPECT_EQ(m[4].str(), "0") << text;
        EXPECT_GE(std::stoll(m[5]), 0) << text;
        EXPECT_LT(std::stoll(m[7]), 1000000) << text;
        measured++;
    }
    EXPECT_EQ(measured, 10);
    EXPECT_EQ(waiters, (std::set<std::string>{"high-resolution waitable timer",
                                              "Sleep() at a 1 ms timer period"}));
}

// wiretest-diagnose.exe reads the Linux build's reports, saved with CR LF
// line ends, from a file and from standard input, and says what the Linux
// build's wiretest-diagnose says of the same report, with the same exit status.
TEST(DiagnoseExe, JudgesCrLfReportsAsTheLinuxBuildDoes)
{
    const std::string linux_diagnose = (fs::path(linux_sim).parent_path() / "wiretest-diagnose").string();
    const fs::path exe = windows_dir / "wiretest-diagnose.exe";
    const fs::path report_file = work_dir / "diagnose" / "run.log";
    fs::create_directories(report_file.parent_path());
    // A pass, a fail on the open-pin board in both tests, and no rows at all.
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"-n0", "-delay"}, {"-n1", "-delay"}, {"-n1", "-short", "-delay"}, {"-x"}}) {
        SCOPED_TRACE(args[0] + (args.size() > 2 ? " -short" : ""));
        std::string report = process::run(linux_sim, args).out, crlf = report;
        replace_all(crlf, "\n", "\r\n");
        std::ofstream(report_file, std::ios::binary) << crlf;

        process::Result linux_echo = process::run(linux_diagnose, {}, report);
        process::Result from_stdin = run_windows(exe, {}, crlf);
        EXPECT_EQ(from_crlf(from_stdin.out, "standard output"), linux_echo.out);
        EXPECT_EQ(from_crlf(from_stdin.err, "standard error"), linux_echo.err);
        EXPECT_EQ(from_stdin.exit_status, linux_echo.exit_status);

        process::Result linux_json = process::run(linux_diagnose, {"--json"}, report);
        process::Result from_file = run_windows(exe, {"--json", windows_path(report_file)});
        EXPECT_EQ(from_crlf(from_file.out, "standard output"), linux_json.out);
        EXPECT_EQ(from_file.exit_status, linux_json.exit_status);
    }
    // A byte that is not UTF-8 and an escape sequence in an ERROR: line: the
    // JSON library once aborted on the byte (exit 3 under Wine).
    process::Result linux_json = process::run(linux_diagnose, {"--json"}, "ERROR: FT_OpenEx (\xff\x1b[2J)\n");
    process::Result windows_json = run_windows(exe, {"--json"}, "ERROR: FT_OpenEx (\xff\x1b[2J)\r\n");
    EXPECT_EQ(from_crlf(windows_json.out, "standard output"), linux_json.out);
    EXPECT_EQ(from_crlf(windows_json.err, "standard error"), linux_json.err);
    EXPECT_EQ(windows_json.exit_status, 2);
    EXPECT_EQ(linux_json.exit_status, 2);
}

} // namespace

// wiretest-station.exe over the simulated library with the station's demo
// chips (station-sim-driver/ftd2xx.dll) beside it: the listing by location
// id, and boards tested each in a process of its own, whose CR LF reports
// the station reads as the Linux build reads its children's.
class StationExe : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        fs::create_directories(folder());
        fs::copy_file(windows_dir / "wiretest-station.exe", folder() / "wiretest-station.exe",
                      fs::copy_options::overwrite_existing);
        fs::copy_file(windows_dir / "station-sim-driver" / "ftd2xx.dll", folder() / "ftd2xx.dll",
                      fs::copy_options::overwrite_existing);
    }
    static fs::path folder() { return work_dir / "station"; }
};

TEST_F(StationExe, ListsTheDemoChipsByLocationId)
{
    process::Result r = run_windows(folder() / "wiretest-station.exe", {"--list"}, std::nullopt, folder());
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> lines = process::lines_of(from_crlf(r.out, "standard output"));
    ASSERT_EQ(lines.size(), 14u) << r.out;
    EXPECT_EQ(lines[0], "0x111 A WTST0001 FT2232H");
    EXPECT_EQ(lines[1], "0x112 B WTST0001 FT2232H");
}

TEST_F(StationExe, TestsBoardsAtOnceAsOnLinux)
{
    process::Result r = run_windows(folder() / "wiretest-station.exe",
                                    {"--port", "0x111", "--port", "0x121", "--delay"}, std::nullopt, folder());
    EXPECT_EQ(r.exit_status, 1);
    std::vector<std::string> lines = process::lines_of(from_crlf(r.out, "standard output"));
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "FAIL 0x121 A WTST0002 errors: 3: pin 3: stuck-0 (reads 0 whatever is driven: open with a "
                         "pull-down, or shorted to ground) "
                         "[one of 2: stuck-0 on net 3 | open, input floating on net 3]",
                         "PASS 0x111 A WTST0001 errors: 0", "boards: 2, passed: 1, failed: 1, errors: 0"}));
    process::Result fast = run_windows(folder() / "wiretest-station.exe", {"--port", "0x111", "--fast", "--json"},
                                       std::nullopt, folder());
    EXPECT_EQ(fast.exit_status, 0);
    EXPECT_NE(fast.out.find("\"outcome\":\"PASS\""), std::string::npos) << fast.out;
}

// The station's EEPROM command through the loader's word functions: the demo
// chip's image read and decoded, and an erase read back blank, as on Linux.
TEST_F(StationExe, ReadsAChipsEepromAndErasesItThroughTheLibrary)
{
    process::Result read = run_windows(folder() / "wiretest-station.exe", {"eeprom", "--port", "0x111", "--json"},
                                       std::nullopt, folder());
    EXPECT_EQ(read.exit_status, 0) << read.err;
    std::string json = from_crlf(read.out, "standard output");
    for (const char *field : {"\"serial\":\"WTST0001\"", "\"state\":\"programmed\"", "\"checksum_valid\":true",
                              "\"part\":\"93C56\"", "\"location\":\"0x111\""})
        EXPECT_NE(json.find(field), std::string::npos) << field << " in " << json;
    process::Result erase = run_windows(folder() / "wiretest-station.exe",
                                        {"eeprom", "--port", "0x111", "--erase", "--yes"}, std::nullopt, folder());
    EXPECT_EQ(erase.exit_status, 0) << erase.err;
    EXPECT_EQ(process::lines_of(from_crlf(erase.out, "standard output")),
              (std::vector<std::string>{"0x111 A FT2232H: EEPROM erased",
                                        "0x111 A FT2232H: EEPROM blank: every word reads 0xFFFF; its size cannot be "
                                        "told without writing"}));
}
