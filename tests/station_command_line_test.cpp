// The station's command line read and checked in-process: which mode each
// valid line chooses, which usage error each invalid one gets, and what a
// fixture's file adds.
#include "command_line.h"

#include "temp_dir.h"

#include <gtest/gtest.h>

#include <fstream>
#include <vector>

namespace {

// Parses and validates args; "" and the mode, or the usage error's text.
std::string check(std::vector<std::string> args, station::CommandLine &line, station::Mode &mode)
{
    args.insert(args.begin(), "wiretest-station");
    std::vector<char *> argv;
    argv.reserve(args.size());
    for (std::string &arg : args)
        argv.push_back(arg.data());
    int status = -1;
    if (!station::parse_command_line(int(argv.size()), argv.data(), line, status))
        return "parse ended with " + std::to_string(status);
    std::string why;
    return station::validate(line, mode, why) ? "" : why;
}

TEST(StationCommandLine, EachValidLineChoosesItsMode)
{
    const struct {
        std::vector<std::string> args;
        station::Mode mode;
    } cases[] = {
        {{"--all"}, station::Mode::run},
        {{"--port", "1-1", "--fast", "--patterns", "deep"}, station::Mode::run},
        {{"--list", "--json"}, station::Mode::list},
        {{"--wait", "--port", "1-2", "--scan", "--count", "3"}, station::Mode::wait},
        {{"--wait", "--fixture", "f.toml", "--scan"}, station::Mode::wait},
        {{"--board", "1-3.2", "--channel", "B"}, station::Mode::board},
        {{"--fixture", "f.toml", "--reset-cycles", "1"}, station::Mode::reset_cycles},
    };
    for (const auto &c : cases) {
        station::CommandLine line;
        station::Mode mode = station::Mode::run;
        EXPECT_EQ(check(c.args, line, mode), "") << c.args[0];
        EXPECT_EQ(int(mode), int(c.mode)) << c.args[0];
    }
}

TEST(StationCommandLine, EachInvalidLineSaysWhy)
{
    const struct {
        std::vector<std::string> args;
        const char *why;
    } cases[] = {
        {{}, "name the boards to test"},
        {{"--all", "--port", "1-1"}, "--all tests every chip"},
        {{"--port", "1:1"}, "--port '1:1': not a location"},
        {{"--list", "--all"}, "--list takes no targets"},
        {{"--list", "--junit", "j.xml"}, "--list tests no board"},
        {{"--all", "--records", ""}, "--records '': an empty path"},
        {{"--all", "--lot", " \t"}, "--lot ' \t': a blank value"},
        {{"--serial", " "}, "--serial ' ': a blank value"},
        {{"--all", "--patterns", "locate"}, "--patterns locate runs in one USB round trip"},
        {{"--all", "--fast", "--delay"}, "--fast makes no settle waits"},
        {{"--all", "--repeat", "5"}, "--repeat, --duration and --settle-us run the fast test"},
        {{"--all", "--count", "2"}, "--count and --scan belong to --wait"},
        {{"--wait", "--scan"}, "--scan reads the labels of the boards in slots"},
        {{"--fixture", "f.toml", "--port", "1-1"}, "--fixture names the boards to test"},
        {{"--all", "--reset-cycles", "1"}, "--reset-cycles names a slot of a --fixture"},
        {{"--all", "--retry-refused"}, "--retry-refused belongs to --forward"},
        {{"--all", "--outbox", "o"}, "--outbox belongs to a postgresql:// --db"},
        {{"--board", "nowhere"}, "--board 'nowhere': not a location"},
    };
    for (const auto &c : cases) {
        station::CommandLine line;
        station::Mode mode = station::Mode::run;
        std::string why = check(c.args, line, mode);
        EXPECT_EQ(why.rfind(c.why, 0), 0u) << "got: " << why;
    }
}

TEST(StationCommandLine, TheFixtureFillsWhatTheCommandLineLeavesUnsaid)
{
    TempDir dir;
    std::ofstream(dir / "f.toml") << "id = \"FX-1\"\nstation_id = \"st-file\"\nlot = \"L-file\"\n"
                                     "operator = \"ana\"\n[[slot]]\nname = \"1\"\nlocation = \"1-1\"\n"
                                     "[[slot]]\nname = \"2\"\nlocation = \"1-2\"\nchannel = \"B\"\n";
    station::CommandLine line;
    station::Mode mode = station::Mode::run;
    ASSERT_EQ(check({"--fixture", dir / "f.toml", "--lot", "L-cli"}, line, mode), "");
    std::string why;
    ASSERT_TRUE(station::merge_fixture(line, why)) << why;
    const station::RunOptions &options = line.options;
    EXPECT_EQ(options.selection.ports, (std::vector<std::string>{"1-1", "1-2"}));
    ASSERT_EQ(options.selection.port_channels.size(), 2u);
    EXPECT_EQ(options.selection.port_channels[1], 'B');
    EXPECT_EQ(options.context.station_id, "st-file");
    EXPECT_EQ(options.context.lot, "L-cli"); // the command line's
    EXPECT_EQ(options.context.operator_name, "ana");
    EXPECT_EQ(options.context.fixture_id, "FX-1");

    station::CommandLine reset;
    ASSERT_EQ(check({"--fixture", dir / "f.toml", "--reset-cycles", "9"}, reset, mode), "");
    EXPECT_FALSE(station::merge_fixture(reset, why));
    EXPECT_NE(why.find("--reset-cycles '9': no slot of"), std::string::npos) << why;
}

} // namespace
