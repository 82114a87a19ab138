// The entry function as a user meets it: options, the usage text, the
// listing, the choice of device and its opening, with the exit status a
// shell would see.
#include "expected_output.h"
#include "fixture.h"

#include "device_link/device_state.h"
#include "mpsse/settle_delay.h"

namespace {

using Args = std::vector<std::string>;

class Entry : public SimTest {
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        serials.clear();
    }
    void attach_boards(int count)
    {
        for (int i = 0; i < count; i++) {
            serials.push_back("FT" + std::to_string(100 + i) + "A");
            sim::attach(serials.back());
        }
    }
    // The serial number of the device the run opened, or "" when none.
    static std::string opened()
    {
        for (const sim::Call &c : sim::calls())
            if (c.op == sim::Op::OpenEx)
                return c.text;
        return "";
    }
    std::vector<std::string> serials;
};

TEST_F(Entry, UsageErrorsPrintTheUsageAndExit254BeforeAnyDeviceCall)
{
    attach_boards(1);
    const Args cases[] = {
        {"-x"}, {"--"}, {"-"}, {""}, {"foo"}, {"n0"},
        {"-D"}, {"-N0"}, {"-S"}, {"-Short"}, {"-Delay"},
        {"-n0", "-x"}, {"-delay", "-short", "foo"}, {"-n0", "-d", "-s", "-"},
    };
    for (const Args &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        sim::forget_calls();
        console::Run r = console::run(args, "0");
        EXPECT_EQ(r.exit_status, 254);
        EXPECT_EQ(r.returned, -2);
        EXPECT_EQ(r.out, expected::usage);
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(sim::calls().empty());
    }
}

TEST_F(Entry, OptionsAreKnownByTheirSecondCharacterAlone)
{
    attach_boards(1);
    struct Case {
        Args args;
        bool short_test, short_waits;
    };
    const Case cases[] = {
        {{"-n0"}, false, false},
        {{"-n0", "-d"}, false, true},
        {{"-n0", "-dx"}, false, true},
        {{"-n0", "-delay"}, false, true},
        {{"-n0", "-s"}, true, false},
        {{"-n0", "-short"}, true, false},
        {{"-nonsense0"}, false, false}, // -n takes the o: stdin gives the digit
        {{"-short", "-delay", "-n0"}, true, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        SetUp();
        attach_boards(1);
        console::Run r = console::run(c.args, "0");
        EXPECT_EQ(r.exit_status, 0);
        size_t rows = size_t(std::count(r.out.begin(), r.out.end(), '\t')) / 2;
        EXPECT_EQ(rows, c.short_test ? 4u : 13u);
        std::vector<uint32_t> lengths = vclock::wait_lengths();
        EXPECT_EQ(std::count(lengths.begin(), lengths.end(), 10u) == long(lengths.size()),
                  c.short_waits);
    }
}

TEST_F(Entry, AValidDeviceNumberSelectsWithoutReadingStandardInput)
{
    attach_boards(3);
    console::Run r = console::run({"-n2", "-short", "-delay"}, std::nullopt);
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(opened(), serials[2]);
    EXPECT_EQ(r.err, "");
    // The listing is printed all the same, then the banner.
    EXPECT_EQ(r.out.substr(0, expected::before_rows(serials, 2).size()),
              expected::before_rows(serials, 2));
}

TEST_F(Entry, AMissingOrOutOfRangeNumberFallsBackToStandardInput)
{
    const Args cases[] = {{}, {"-n"}, {"-n7"}, {"-n3"}, {"-n/"}, {"-nx"}, {"-n7", "-n"}};
    for (const Args &args : cases) {
        SCOPED_TRACE(::testing::PrintToString(args));
        SetUp();
        attach_boards(3);
        Args with_delay = args;
        with_delay.push_back("-delay");
        console::Run r = console::run(with_delay, "x9\n1\n");
        EXPECT_EQ(r.exit_status, 0);
        EXPECT_EQ(opened(), serials[1]);
        EXPECT_EQ(r.out.substr(0, expected::before_rows(serials, 1).size()),
                  expected::before_rows(serials, 1));
    }
}

TEST_F(Entry, ALaterNumberOverridesAnEarlierOne)
{
    attach_boards(3);
    console::run({"-n0", "-n2", "-d", "-s"}, std::nullopt);
    EXPECT_EQ(opened(), serials[2]);
}

TEST_F(Entry, WithOneDeviceTheDigitIsStillAwaited)
{
    attach_boards(1);
    console::Run r = console::run({"-delay"}, "\n\n0");
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(opened(), serials[0]);
}

TEST_F(Entry, EndOfInputWhileADigitIsAwaitedEndsTheRun)
{
    for (const std::optional<std::string> &input :
         {std::optional<std::string>{}, std::optional<std::string>{"x9\n7"}}) {
        SCOPED_TRACE(input.value_or("<closed>"));
        SetUp();
        attach_boards(3);
        console::Run r = console::run({}, input);
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.out, expected::listing(serials));
        EXPECT_EQ(r.err, "ERROR: No device selected\n");
        EXPECT_EQ(call_names(), std::vector<std::string>{"FT_ListDevices"});
    }
}

TEST_F(Entry, TheListingAsksForAllSerialNumbersAndTheOpeningBySerialNumber)
{
    attach_boards(2);
    console::run({"-n1", "-s", "-d"});
    ASSERT_GE(sim::calls().size(), 2u);
    EXPECT_EQ(describe(sim::calls()[0]), "FT_ListDevices(0x20000001)");
    EXPECT_EQ(describe(sim::calls()[1]), "FT_OpenEx(\"FT101A\", 1)");
}

TEST_F(Entry, AFailedListingHasNoStatusName)
{
    attach_boards(2);
    sim::inject(sim::fail(sim::Op::ListDevices, 1, FT_IO_ERROR));
    console::Run r = console::run({"-n0"});
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "ERROR: FT_ListDevices\n");
    EXPECT_EQ(last_status, FT_IO_ERROR);
}

TEST_F(Entry, NoDeviceAttachedIsItsOwnError)
{
    for (std::optional<uint32_t> count : {std::optional<uint32_t>{}, std::optional<uint32_t>{0xFFFFFFFFu}}) {
        SetUp();
        if (count) { // a driver reporting a negative count
            attach_boards(1);
            sim::inject(sim::misreport(sim::Op::ListDevices, 1, *count));
        }
        console::Run r = console::run({"-n0"}, "0");
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "ERROR: No FTDI devices found\n");
        EXPECT_EQ(call_names(), std::vector<std::string>{"FT_ListDevices"});
    }
}

TEST_F(Entry, AFailedOpeningPrintsTheStatusNameThenItsErrorLine)
{
    struct Case {
        FT_STATUS status;
        const char *name;
    };
    for (const Case &c : {Case{FT_DEVICE_NOT_FOUND, "FT_DEVICE_NOT_FOUND\n"},
                          Case{FT_DEVICE_NOT_OPENED, "FT_DEVICE_NOT_OPENED\n"},
                          Case{19, ""}, Case{0xFFFFFFFFu, ""}}) {
        SCOPED_TRACE(c.status);
        SetUp();
        attach_boards(3);
        sim::inject(sim::fail(sim::Op::OpenEx, 1, c.status));
        console::Run r = console::run({"-n1"});
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(r.out, expected::listing(serials));
        EXPECT_EQ(r.err, std::string(c.name) + "ERROR: FT_OpenEx (FT101A)\n");
        EXPECT_EQ(last_status, c.status);
        EXPECT_EQ(sim::calls().size(), 2u);
    }
}

TEST_F(Entry, MoreThanTenDevicesListsAndOffersOnlyTheFirstTen)
{
    attach_boards(12);
    // ':' and ';' follow '9': they would name devices 10 and 11, which have
    // no buffer, and are skipped like any other character.
    console::Run r = console::run({"-n:", "-delay", "-short"}, ":;9");
    EXPECT_EQ(r.exit_status, 0);
    std::vector<std::string> first_ten(serials.begin(), serials.begin() + 10);
    EXPECT_EQ(r.out.substr(0, expected::listing(first_ten).size() + 2),
              expected::listing(first_ten) + "\n=");
    EXPECT_EQ(opened(), serials[9]);

    SetUp();
    attach_boards(12);
    r = console::run({}, ":;");
    EXPECT_EQ(r.exit_status, 255);
    EXPECT_EQ(r.err, "ERROR: No device selected\n");
}

TEST_F(Entry, SerialNumbersThatFillTheirBufferAreCutAt63Characters)
{
    const std::string s63(63, 'S'), s64 = std::string(63, 'T') + "U", s100(100, 'V');
    sim::attach(s63);
    sim::attach(s64);
    sim::attach(s100);
    console::Run r = console::run({"-n1"});
    EXPECT_EQ(r.out, expected::listing({s63, std::string(63, 'T'), std::string(63, 'V')}));
    // The cut name is not the chip's: the driver does not know it.
    EXPECT_EQ(r.err, "FT_DEVICE_NOT_FOUND\nERROR: FT_OpenEx (" + std::string(63, 'T') + ")\n");
    EXPECT_EQ(r.exit_status, 255);

    // A serial number of 63 characters fits whole and opens.
    sim::forget_calls();
    r = console::run({"-n0", "-short", "-delay"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(opened(), s63);
}

// Boards whose EEPROMs were copied share a serial number; a dual chip lists
// as NAMEA and NAMEB, so two such chips list each name twice.
TEST_F(Entry, ASelectedNameListedTwiceOpensNothing)
{
    const std::string cut(63, 'C');
    struct Case {
        const char *what;
        std::vector<std::string> attached, listed;
        Args args;
        std::optional<std::string> input;
        std::string name;
    };
    const Case cases[] = {
        {"the second of two", {"DUPA", "DUPB", "DUPA", "DUPB"}, {}, {"-n2"}, {}, "DUPA"},
        {"the first of two", {"DUPA", "DUPB", "DUPA", "DUPB"}, {}, {"-n1"}, {}, "DUPB"},
        {"chosen on standard input", {"X", "DUP", "DUP"}, {}, {}, "7\n2", "DUP"},
        {"alike once cut", {cut + "X", cut + "Y"}, {cut, cut}, {"-n0"}, {}, cut},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        for (const std::string &serial : c.attached)
            sim::attach(serial);
        console::Run r = console::run(c.args, c.input);
        EXPECT_EQ(r.out, expected::listing(c.listed.empty() ? c.attached : c.listed));
        EXPECT_EQ(r.err, "ERROR: more than one device has the serial number " + c.name + "\n");
        EXPECT_EQ(r.exit_status, 255);
        EXPECT_EQ(call_names(), std::vector<std::string>{"FT_ListDevices"});
    }
}

TEST_F(Entry, AUniqueNameOpensAsBeforeWhenOtherNamesRepeat)
{
    const std::vector<std::string> serials{"DUP", "ONE", "DUP"};
    for (const std::string &serial : serials)
        sim::attach(serial);
    console::Run r = console::run({"-n1", "-short", "-delay"});
    EXPECT_EQ(r.exit_status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(opened(), "ONE");
    EXPECT_EQ(r.out.substr(0, expected::before_rows(serials, 1).size()),
              expected::before_rows(serials, 1));
}

// Control characters from the EEPROM print as '?' in every line that names
// the chip: C0, DEL and the C1 bytes 0x80-0x9F, alone or as the second byte
// of UTF-8's form of a C1 control; the bytes around them print as they are.
// The driver is still asked for the name as it is.
TEST_F(Entry, ControlCharactersOfASerialNumberPrintAsQuestionMarks)
{
    struct Case {
        const char *what;
        std::string raw, shown;
    };
    const Case cases[] = {
        {"C0 and DEL", "\x1b[2J\x01\tFT\x7f\x1f\xc3\xa9", "?[2J??FT??\xc3\xa9"},
        {"C1", "\x9b" "2J\x80\x9f\x7e\xa0\xff", "?2J??\x7e\xa0\xff"},
        {"C1 in UTF-8", "FT\xc2\x9b" "2J\xc2\x85", "FT\xc2?2J\xc2?"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        SetUp();
        sim::attach(c.raw);
        sim::inject(sim::fail(sim::Op::ResetDevice, 1, FT_IO_ERROR)); // stop after the banner
        console::Run r = console::run({"-n0"});
        EXPECT_EQ(r.out, expected::listing({c.shown}) + expected::connected(c.shown));
        EXPECT_EQ(opened(), c.raw);

        SetUp();
        sim::attach(c.raw);
        sim::inject(sim::fail(sim::Op::OpenEx, 1, FT_DEVICE_NOT_OPENED));
        r = console::run({"-n0"});
        EXPECT_EQ(r.err, "FT_DEVICE_NOT_OPENED\nERROR: FT_OpenEx (" + c.shown + ")\n");

        SetUp();
        sim::attach(c.raw);
        sim::attach(c.raw);
        r = console::run({"-n1"});
        EXPECT_EQ(r.out, expected::listing({c.shown, c.shown}));
        EXPECT_EQ(r.err, "ERROR: more than one device has the serial number " + c.shown + "\n");
    }
}

TEST_F(Entry, OpeningPrintsTheConnectionBannerAfterTheListing)
{
    attach_boards(1);
    sim::inject(sim::fail(sim::Op::ResetDevice, 1, FT_IO_ERROR)); // stop right after it
    console::Run r = console::run({"-n0"});
    EXPECT_EQ(r.out, expected::listing(serials) + expected::connected(serials[0]));
    EXPECT_EQ(r.err, "FT_IO_ERROR\nERROR: can not reset\n");
    EXPECT_EQ(r.exit_status, 255);
}

} // namespace
