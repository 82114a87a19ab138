// build/wiretest, linked to the system's libftdi1, run as a shell runs it on
// the virtual USB bus (tests/vusb): the report scenarios, the listing of
// chips and channels, opening a channel by its letter, each libftdi1 and USB
// failure with the lines the user sees, unplugging, and the receive queue.
#include "expected_output.h"
#include "process.h"
#include "scenarios.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using Strings = std::vector<std::string>;
using scenarios::row;
using scenarios::rows;
using scenarios::short_patterns;

const std::string tool = WIRETEST;

// A run on the virtual bus, and the bus's record of every USB transfer.
struct UsbRun {
    process::Result result;
    Strings log;
};

UsbRun run_on_bus(const std::string &settings, const Strings &args,
                  const std::optional<std::string> &input = std::nullopt)
{
    char path[] = "/tmp/wiretest-vusb-XXXXXX";
    int fd = mkstemp(path);
    close(fd);
    UsbRun run;
    run.result = process::run(tool, args, input,
                              {"LD_LIBRARY_PATH=" VUSB_DIR,
                               "WIRETEST_VUSB=" + settings + ";log=" + path},
                              10000);
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);)
        run.log.push_back(line);
    unlink(path);
    return run;
}

Strings with_lines(const Strings &log, const std::string &prefix)
{
    Strings found;
    for (const std::string &line : log)
        if (line.compare(0, prefix.size(), prefix) == 0)
            found.push_back(line);
    return found;
}

// The log without the reads that found nothing: those come when the
// reader's thread gets its turn, and on a loaded machine one may fall
// between two commands. Every other transfer comes in the order of the
// commands.
Strings without_empty_reads(Strings log)
{
    log.erase(std::remove_if(log.begin(), log.end(),
                             [](const std::string &line) {
                                 return line.compare(0, 3, "in ") == 0 && line.find(" 0 bytes") != std::string::npos;
                             }),
              log.end());
    return log;
}

bool closed_in_order(const Strings &log)
{
    return log.size() >= 2 && log[log.size() - 2].compare(0, 8, "release ") == 0 &&
           log.back().compare(0, 6, "close ") == 0;
}

// --- the scenario table -----------------------------------------------------

// The virtual chip's way of making a scenario's device call fail: the vendor
// request behind it stalls, or the bulk transfer fails. Opening the chip
// sends one reset request of its own before FT_ResetDevice sends the second.
std::string failure_of(const scenarios::Scenario &s)
{
    using scenarios::Failure;
    switch (s.failure) {
    case Failure::reset: return "fail_ctrl=0:2";
    case Failure::event_chars: return "fail_ctrl=6:1";
    case Failure::latency: return "fail_ctrl=9:1";
    case Failure::flow_control: return "fail_ctrl=2:1";
    case Failure::bit_mode_reset: return "fail_ctrl=B:1";
    case Failure::mpsse_on: return "fail_ctrl=B:2";
    case Failure::write: return "fail_out=" + std::to_string(s.nth);
    case Failure::none: break;
    }
    return "";
}

class ReportScenarios : public ::testing::TestWithParam<scenarios::Scenario> {};

TEST_P(ReportScenarios, GiveTheirReportOnTheVirtualUsbChip)
{
    const scenarios::Scenario &s = GetParam();
    std::string settings = "chips=6010:" + scenarios::chip_serial + ";board=" + s.board;
    if (!s.dropped_reads.empty())
        settings += ";drop_read=" + s.dropped_reads;
    if (s.failure != scenarios::Failure::none)
        settings += ";" + failure_of(s);
    // The output is the same with the short waits; they keep the run short.
    Strings args = s.args;
    if (std::find(args.begin(), args.end(), "-delay") == args.end())
        args.push_back("-delay");

    UsbRun run = run_on_bus(settings, args);
    EXPECT_FALSE(run.result.timed_out);
    EXPECT_EQ(run.result.out, s.out);
    EXPECT_EQ(run.result.err, s.err);
    EXPECT_EQ(run.result.exit_status, s.exit_status);
    EXPECT_EQ(scenarios::failed_rows(run.result.out), s.failed);
    // Only a completed test closes the chip: libftdi1 releases its interface.
    EXPECT_EQ(closed_in_order(run.log), s.exit_status == 0);
}

INSTANTIATE_TEST_SUITE_P(Table, ReportScenarios, ::testing::ValuesIn(scenarios::report_scenarios()),
                         [](const auto &info) { return info.param.name; });

TEST(VirtualUsbRun, AFullRunSendsTheseRequestsAndMpsseBytesOverUsb)
{
    UsbRun run = run_on_bus("chips=6010:WT01", {"-n0", "-delay"});
    ASSERT_EQ(run.result.exit_status, 0);
    // Opening: a reset and 9600 baud; then the setup's requests on channel A
    // (wIndex 1): reset, event and error characters off, latency 2 ms, no
    // flow control, bit mode reset, MPSSE on.
    EXPECT_EQ(with_lines(run.log, "ctrl"),
              (Strings{"ctrl 40 00 0000 0001 -> 0", "ctrl 40 03 04E2 0201 -> 0",
                       "ctrl 40 00 0000 0001 -> 0", "ctrl 40 06 0000 0001 -> 0",
                       "ctrl 40 07 0000 0001 -> 0", "ctrl 40 09 0002 0001 -> 0",
                       "ctrl 40 02 0000 0001 -> 0", "ctrl 40 0B 0000 0001 -> 0",
                       "ctrl 40 0B 0200 0001 -> 0"}));
    Strings expected = {"out 02 84", "out 02 AB", "out 02 85", "out 02 80 00 FF",
                        "out 02 82 00 00", "out 02 80 00 FF"};
    for (uint8_t p : scenarios::full_patterns) {
        char set[32];
        snprintf(set, sizeof set, "out 02 80 %02X FF", p);
        expected.insert(expected.end(), {set, "out 02 83"});
    }
    EXPECT_EQ(with_lines(run.log, "out"), expected);
}

// The board's serial port comes back after the run: the interface goes from
// Linux's serial driver to the tool at the claim and back at the release,
// after the last transfer.
TEST(VirtualUsbRun, TheSerialDriverIsDetachedAtTheClaimAndAttachedAgainAtTheRelease)
{
    UsbRun plain = run_on_bus("chips=6010:WT01", {"-n0", "-short", "-delay"});
    UsbRun run = run_on_bus("chips=6010:WT01;sio=1", {"-n0", "-short", "-delay"});
    EXPECT_EQ(run.result.out, plain.result.out);
    EXPECT_EQ(run.result.exit_status, 0);
    Strings without;
    for (const std::string &line : run.log)
        if (line != "detach 0" && line != "attach 0")
            without.push_back(line);
    EXPECT_EQ(without_empty_reads(without), without_empty_reads(plain.log)); // the same transfers in the same order
    auto at = [&](const std::string &line) {
        return std::find(run.log.begin(), run.log.end(), line) - run.log.begin();
    };
    EXPECT_EQ(at("detach 0") + 1, at("claim 0"));
    ASSERT_GE(run.log.size(), 3u);
    EXPECT_EQ(Strings(run.log.end() - 3, run.log.end()), (Strings{"release 0", "attach 0", "close WT01"}));
}

// --- listing ------------------------------------------------------------

struct ListingCase {
    const char *what;
    std::string chips;
    Strings listed;
};

void PrintTo(const ListingCase &c, std::ostream *os) { *os << c.what; }

class Listing : public ::testing::TestWithParam<ListingCase> {};

TEST_P(Listing, NamesEveryMpsseChannelAndWaitsForTheDigit)
{
    const ListingCase &c = GetParam();
    UsbRun run = run_on_bus(c.chips, {});
    EXPECT_EQ(run.result.out, expected::listing(c.listed));
    EXPECT_EQ(run.result.err, "ERROR: No device selected\n");
    EXPECT_EQ(run.result.exit_status, 255);
}

Strings dual_names(int chips, int shown)
{
    Strings names;
    for (int i = 1; i <= chips; i++)
        for (const char *letter : {"A", "B"})
            if (int(names.size()) < shown)
                names.push_back((i < 10 ? "VU0" : "VU") + std::to_string(i) + letter);
    return names;
}

const std::string long_serial(64, 'S');

INSTANTIATE_TEST_SUITE_P(Chips, Listing, ::testing::Values(
    ListingCase{"one dual chip", "chips=1", dual_names(1, 10)},
    ListingCase{"three dual chips", "chips=3", dual_names(3, 10)},
    // 24 channels: the first ten are listed, nothing is written past them.
    ListingCase{"twelve dual chips", "chips=12", dual_names(12, 10)},
    ListingCase{"dual, quad and single chips", "chips=6010:D1,6011:Q1,6014:S1",
                {"D1A", "D1B", "Q1A", "Q1B", "S1"}},
    ListingCase{"a UART-only chip and one without serial are passed over",
                "chips=6001:U1,6010:,6014:S1", {"S1"}},
    ListingCase{"a chip we may not open is passed over", "chips=6010:D1,6010:D2;deny=D1",
                {"D2A", "D2B"}},
    // A name that fills the 64-byte buffer comes without its terminator.
    ListingCase{"a serial number of 64 characters", "chips=6014:" + long_serial,
                {long_serial.substr(0, 63)}}));

TEST(VirtualUsbListing, NoChipAttachedSaysSoAndExits255)
{
    UsbRun run = run_on_bus("chips=", {"-n0"});
    EXPECT_EQ(run.result.out, "");
    EXPECT_EQ(run.result.err, "ERROR: No FTDI devices found\n");
    EXPECT_EQ(run.result.exit_status, 255);
}

// --- opening a channel --------------------------------------------------

TEST(VirtualUsbOpening, EachChannelLetterOpensItsOwnChannel)
{
    // Channel B's board has low pin 3 open; A's is wired pin for pin.
    struct Case {
        std::string chips, arg, name;
        int errors;
    };
    for (const Case &c : {Case{"6010:D1", "-n0", "D1A", 0}, Case{"6010:D1", "-n1", "D1B", 2},
                          Case{"6011:Q1", "-n1", "Q1B", 2}, Case{"6011:Q1,6014:S1", "-n2", "S1", 0}}) {
        SCOPED_TRACE(c.name);
        UsbRun run = run_on_bus("chips=" + c.chips + ";board_B=open3:0", {c.arg, "-short", "-delay"});
        EXPECT_NE(run.result.out.find("SUCCESS (Connected to the FTDI." + c.name + ")\n"),
                  std::string::npos);
        EXPECT_NE(run.result.out.find("Testing complete, errors: " + std::to_string(c.errors) + "\n"),
                  std::string::npos);
        EXPECT_EQ(run.result.exit_status, 0);
        // Channel B is USB interface 1, with endpoints 0x04 out and 0x83 in.
        bool on_b = c.name.back() == 'B';
        EXPECT_EQ(with_lines(run.log, "claim"), Strings{on_b ? "claim 1" : "claim 0"});
        EXPECT_EQ(with_lines(run.log, on_b ? "out 04" : "out 02").size(), 2u * 4 + 6);
    }
}

TEST(VirtualUsbOpening, AChipWhoseNameFilledTheBufferStillOpens)
{
    UsbRun run = run_on_bus("chips=6014:" + long_serial, {"-n0", "-short", "-delay"});
    EXPECT_EQ(run.result.out, expected::before_rows({long_serial.substr(0, 63)}, 0) +
                                  rows(short_patterns) + "Testing complete, errors: 0\n");
    EXPECT_EQ(run.result.exit_status, 0);
}

// Boards whose EEPROMs were copied share a serial number, and a dual chip
// whose serial number fills 63 characters loses its channel letters to the cut.
TEST(VirtualUsbOpening, ANameListedTwiceIsRefusedBeforeAnythingIsOpened)
{
    const std::string cut = long_serial.substr(0, 63);
    struct Case {
        const char *what;
        std::string chips, arg;
        Strings listed;
        std::string name;
    };
    const Case cases[] = {
        {"two dual chips with one serial number", "6010:DUP,6010:DUP", "-n2",
         {"DUPA", "DUPB", "DUPA", "DUPB"}, "DUPA"},
        {"a dual chip named by 63 characters", "6010:" + cut, "-n1", {cut, cut}, cut},
        {"names alike once cut", "6014:" + cut + "X,6014:" + cut + "Y", "-n1", {cut, cut}, cut},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        UsbRun run = run_on_bus("chips=" + c.chips, {c.arg, "-short", "-delay"});
        EXPECT_EQ(run.result.out, expected::listing(c.listed));
        EXPECT_EQ(run.result.err, "ERROR: more than one device has the serial number " + c.name + "\n");
        EXPECT_EQ(run.result.exit_status, 255);
        EXPECT_EQ(with_lines(run.log, "claim"), Strings{});
    }
}

// --- failures as the user sees them -----------------------------------------

struct FailureCase {
    const char *what;
    std::string settings;
    std::string out_tail;  // how standard output ends
    std::string err;
    int exit_status;
};

void PrintTo(const FailureCase &c, std::ostream *os) { *os << c.what; }

class Failures : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failures, MapToTheirStatusWithTheSystemsLines)
{
    const FailureCase &c = GetParam();
    UsbRun run = run_on_bus("chips=6010:WT01;" + c.settings, {"-n0", "-short", "-delay"});
    EXPECT_FALSE(run.result.timed_out);
    const std::string &out = run.result.out;
    ASSERT_GE(out.size(), c.out_tail.size()) << out;
    EXPECT_EQ(out.substr(out.size() - c.out_tail.size()), c.out_tail);
    EXPECT_EQ(run.result.err, c.err);
    EXPECT_EQ(run.result.exit_status, c.exit_status);
}

const std::string listed = expected::listing({"WT01A", "WT01B"});
const std::string connected = listed + expected::connected("WT01A");
const std::string started = expected::before_rows({"WT01A", "WT01B"}, 0);

std::string unplugged_rows()
{
    // 0xAA went through; every later call finds the chip gone.
    return row(0xAA, 0xAA) + row(0x55, 0xFF) + row(0x00, 0xFF) + row(0xFF, 0xFF) +
           "Testing complete, errors: 3\n";
}

std::string repeat(const std::string &text, int times)
{
    std::string all;
    while (times-- > 0)
        all += text;
    return all;
}

// Transfers of a -short run, counting from 1: opening 2 control requests,
// setup 7, then the bulk transfers of the synchronisation (10-16), the
// preparation (17-22) and each pattern (drive, poll, 0x83, answer, poll).
// Past the synchronisation a reader's poll that finds nothing may come or
// not as its thread gets its turn: places there are counted in writes or
// answers, which it does not move.
INSTANTIATE_TEST_SUITE_P(VirtualUsb, Failures, ::testing::Values(
    FailureCase{"libusb_init fails: no USB stack", "init_fail=1", "", "ERROR: FT_ListDevices\n", 255},
    FailureCase{"the USB device list cannot be read", "list_fail=1", "", "ERROR: FT_ListDevices\n", 255},
    FailureCase{"libusb_open refused (permissions)", "open_fail=2", listed,
                "FT_DEVICE_NOT_OPENED\nERROR: FT_OpenEx (WT01A)\n", 255},
    FailureCase{"interface claimed by another driver", "busy=WT01", listed,
                "FT_DEVICE_NOT_OPENED\nERROR: FT_OpenEx (WT01A)\n", 255},
    FailureCase{"unplugged between listing and opening", "unplug_at_open=2", listed,
                "FT_DEVICE_NOT_FOUND\nERROR: FT_OpenEx (WT01A)\n", 255},
    FailureCase{"reset request stalls while opening", "fail_ctrl=0:1", listed,
                "FT_IO_ERROR\nERROR: FT_OpenEx (WT01A)\n", 255},
    FailureCase{"error character request stalls", "fail_ctrl=7:1", connected +
                "SUCCESS (reset)\nSUCCESS (usb parameters set)\n",
                "FT_IO_ERROR\nERROR: can not disable event chars\n", 255},
    FailureCase{"unplugged before the reset", "unplug_after=2", connected,
                "FT_DEVICE_NOT_FOUND\nERROR: can not reset\n", 255},
    FailureCase{"unplugged before the latency timer", "unplug_after=5",
                connected + "SUCCESS (reset)\nSUCCESS (usb parameters set)\n"
                            "SUCCESS (event chars disabled)\nSUCCESS (timeouts set)\n",
                "FT_DEVICE_NOT_FOUND\nERROR: can not set latency\n", 255},
    FailureCase{"unplugged during the synchronisation", "unplug_after=12", started,
                "FT_DEVICE_NOT_FOUND\n", 255},
    FailureCase{"unplugged during the pattern steps", "unplug_at_out=9", unplugged_rows(),
                repeat("FT_DEVICE_NOT_FOUND\n", 6), 0},
    FailureCase{"a bulk read fails in the synchronisation", "fail_in=1", started, "FT_IO_ERROR\n", 255},
    // The answer stays queued in the chip and turns up at the next drive.
    FailureCase{"a bulk read fails on a read-back", "fail_answer=2", // after the bad command's
                row(0xAA, 0xFF) + rows({0x55, 0x00, 0xFF}) + "Testing complete, errors: 1\n",
                "FT_IO_ERROR\n\t\t0: 0xAA\n", 0},
    FailureCase{"a silent chip: every bulk read times out", "silent=1",
                "\t11111111\tno data ?!\n11111111\nTesting complete, errors: 4\n", "", 0}));

// --- the receive queue ----------------------------------------------------

TEST(VirtualUsbQueue, AnAnswerBehindStaleBytesIsFoundAcrossSeveralPackets)
{
    // 1200 stale bytes reach the host ahead of the answer to 0xAA's read
    // (write 8), one 512-byte packet per transfer: three packets of data.
    UsbRun run = run_on_bus("chips=6010:WT01;max_packets=1;stale=8:5A*1200",
                            {"-n0", "-short", "-delay"});
    EXPECT_EQ(run.result.out, started + rows(short_patterns) + "Testing complete, errors: 0\n");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.exit_status, 0);
    Strings reads = with_lines(run.log, "in");
    std::string all = "";
    for (const std::string &r : reads)
        all += r + "\n";
    EXPECT_NE(all.find("in 81 -> 1 packets, 510 bytes\nin 81 -> 1 packets, 510 bytes\n"
                       "in 81 -> 1 packets, 181 bytes\nin 81 -> 1 packets, 0 bytes\n"),
              std::string::npos)
        << all;
}

TEST(VirtualUsbQueue, StaleBytesAheadOfAnAnswerAreSkipped)
{
    UsbRun run = run_on_bus("chips=6010:WT01;stale=8:5A00", {"-n0", "-short", "-delay"});
    EXPECT_EQ(run.result.out, started + rows(short_patterns) + "Testing complete, errors: 0\n");
    EXPECT_EQ(run.result.err, "");
    EXPECT_EQ(run.result.exit_status, 0);
}

TEST(VirtualUsbQueue, StaleBytesFoundAfterADriveAreListedInOrder)
{
    // They arrive with 0xAA's drive (write 7).
    UsbRun run = run_on_bus("chips=6010:WT01;stale=7:5A00C3", {"-n0", "-short", "-delay"});
    EXPECT_EQ(run.result.out, started + rows(short_patterns) + "Testing complete, errors: 0\n");
    EXPECT_EQ(run.result.err, "\t\t0: 0x5A\n\t\t1: 0x0\n\t\t2: 0xC3\n");
    EXPECT_EQ(run.result.exit_status, 0);
}

// With both streams in one capture, as in `wiretest ... >run.log 2>&1`, the
// lines of standard error stand between the rows they belong to: the failed
// read's status name before its row, and the answer it left behind, listed
// at the next drive, before the next row.
TEST(VirtualUsbQueue, StandardErrorLandsBetweenTheRowsInAMergedCapture)
{
    process::Result r = process::run("/bin/sh", {"-c", "exec \"$0\" -n0 -short -delay 2>&1", tool},
                                     std::nullopt,
                                     {"LD_LIBRARY_PATH=" VUSB_DIR, "WIRETEST_VUSB=chips=6010:WT01;fail_answer=2"});
    EXPECT_EQ(r.out, started + "FT_IO_ERROR\n" + row(0xAA, 0xFF) + "\t\t0: 0xAA\n" +
                         rows({0x55, 0x00, 0xFF}) + "Testing complete, errors: 1\n");
    EXPECT_EQ(r.exit_status, 0);
}

// --- the latency-faithful chip ----------------------------------------------

TEST(VirtualUsbLatency, ARunMakesTheSameTransfersInTheSameOrderAsOnTheInstantBus)
{
    // The reader takes the answers in during the settle waits, one round of
    // reads per command, just as the queries once polled for them.
    UsbRun instant = run_on_bus("chips=6010:WT01;stale=8:5A*600;latency=0", {"-n0", "-short", "-delay"});
    UsbRun faithful = run_on_bus("chips=6010:WT01;stale=8:5A*600;latency=1", {"-n0", "-short", "-delay"});
    EXPECT_EQ(faithful.result.out, instant.result.out);
    EXPECT_EQ(faithful.result.exit_status, 0);
    EXPECT_EQ(without_empty_reads(faithful.log), without_empty_reads(instant.log));
    // 14 commands, at most a round of reads each: one read, two where an
    // answer came; never a reader that polls on.
    EXPECT_LE(with_lines(instant.log, "in").size(), 9u + 2 * 5);
    EXPECT_LE(with_lines(faithful.log, "in").size(), 9u + 2 * 5);
}

} // namespace
