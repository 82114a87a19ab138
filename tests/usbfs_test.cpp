// The libftdi1 layer on the real libftdi1 and the real libusb, whose Linux
// code finds, opens and talks to chips emulated behind usbfs
// (support/usbfs_bus.h): what the virtual bus, which stands in for libusb
// itself, cannot show.
#include "device_link/ft_driver.h"
#include "device_link/ft_locations.h"
#include "process.h"
#include "temp_dir.h"
#include "usbfs_bus.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fstream>
#include <sstream>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class Usbfs : public ::testing::Test {
protected:
    void SetUp() override { bus_ = std::make_unique<usbfs::Bus>(); }
    void TearDown() override
    {
        for (FT_HANDLE h : handles_)
            FT_Close(h);
        ft_release_listings();
        bus_.reset();
    }
    std::vector<ft_channel_info> listing()
    {
        std::vector<ft_channel_info> list(16);
        uint32_t count = 0;
        EXPECT_EQ(ft_list_channels(list.data(), uint32_t(list.size()), &count), FT_OK) << ft_last_cause();
        list.resize(std::min<size_t>(count, list.size()));
        return list;
    }
    FT_HANDLE open(const std::string &location, char channel)
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(ft_open_by_location(location.c_str(), channel, &h), FT_OK) << location << channel << ": " << ft_last_cause();
        if (h)
            handles_.push_back(h);
        return h;
    }
    // Commands out, and every answer byte they make back, as the tool reads them.
    std::vector<uint8_t> exchange(FT_HANDLE h, std::vector<uint8_t> commands, size_t answers)
    {
        uint32_t written = 0;
        EXPECT_EQ(FT_Write(h, commands.data(), uint32_t(commands.size()), &written), FT_OK) << ft_last_cause();
        std::vector<uint8_t> got(answers);
        uint32_t read = 0;
        EXPECT_EQ(FT_Read(h, got.data(), uint32_t(answers), &read), FT_OK) << ft_last_cause();
        got.resize(read);
        return got;
    }
    void mpsse_on(FT_HANDLE h)
    {
        ASSERT_EQ(FT_SetBitMode(h, 0, 0), FT_OK);
        ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK) << ft_last_cause();
    }

    std::unique_ptr<usbfs::Bus> bus_;
    std::vector<FT_HANDLE> handles_;
};

TEST_F(Usbfs, ListsEveryMpsseChannelAtThePortPathLibusbReadsFromSysfs)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT2232H, "WT01"));
    bus_->plug(usbfs::chip_at("1-4.2", ChipKind::FT4232H, ""));
    bus_->plug(usbfs::chip_at("1-4.3.1", ChipKind::FT232H, "WT03"));
    std::vector<std::string> seen;
    for (const ft_channel_info &c : listing())
        seen.push_back(std::string(c.location) + ":" + c.channel + " " + c.chip + " '" + c.serial + "' " +
                       (c.access == FT_OK ? "ok" : c.access_note));
    EXPECT_EQ(seen, (std::vector<std::string>{"1-1:A FT2232H 'WT01' ok", "1-1:B FT2232H 'WT01' ok",
                                              "1-4.2:A FT4232H '' ok", "1-4.2:B FT4232H '' ok",
                                              "1-4.3.1:A FT232H 'WT03' ok"}));
}


// The high byte drives out, the low byte reads back through the board: each
// channel is the simulated chip's model, wired as the test says.
TEST_F(Usbfs, EachChannelAnswersThroughTheBoardOnItsOwnEndpoints)
{
    usbfs::ChipPlug plug = usbfs::chip_at("1-4.2", ChipKind::FT2232H, "WT01");
    plug.wiring.stick(3, 0).open_wire(5, 1);
    bus_->plug(plug);
    for (char channel : {'A', 'B'}) {
        FT_HANDLE h = open("1-4.2", channel);
        ASSERT_NE(h, nullptr);
        mpsse_on(h);
        // Low byte out as 0xFF, high byte in, read it, and flush.
        std::vector<uint8_t> answer = exchange(h, {0x80, 0xFF, 0xFF, 0x82, 0x00, 0x00, 0x83, 0x87}, 1);
        ASSERT_EQ(answer.size(), 1u) << channel;
        EXPECT_EQ(answer[0], 0xF7) << channel; // pin 3 stuck low
        answer = exchange(h, {0x80, 0x00, 0xFF, 0x83, 0x87}, 1);
        ASSERT_EQ(answer.size(), 1u) << channel;
        EXPECT_EQ(answer[0], 0x20) << channel; // pin 5 open, pulled up
        // A bad command is answered 0xFA and the command, as a chip does.
        EXPECT_EQ(exchange(h, {0xAB, 0x87}, 2), (std::vector<uint8_t>{0xFA, 0xAB})) << channel;
    }
}

// libusb asks usbfs which driver holds the interface, detaches the serial
// driver as it claims and attaches it again at the release: the board's
// /dev/ttyUSB port comes back after the station lets go. The virtual bus
// only mirrored libusb's calls; here the kernel side sees them.
TEST_F(Usbfs, TheSerialDriverIsDetachedAtTheClaimAndGivenBackAtClose)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT2232H, "WT01"));
    ASSERT_TRUE(bus_->serial_driver_bound("1-1", 1));
    FT_HANDLE h = open("1-1", 'B');
    ASSERT_NE(h, nullptr);
    EXPECT_FALSE(bus_->serial_driver_bound("1-1", 1));
    EXPECT_TRUE(bus_->claimed("1-1", 1));
    EXPECT_TRUE(bus_->serial_driver_bound("1-1", 0)); // the other channel keeps its port
    EXPECT_GE(bus_->calls("1-1", "DISCONNECT_CLAIM") + bus_->calls("1-1", "DISCONNECT"), 1);
    ASSERT_EQ(FT_Close(h), FT_OK);
    handles_.clear();
    EXPECT_FALSE(bus_->claimed("1-1", 1));
    EXPECT_TRUE(bus_->serial_driver_bound("1-1", 1));
    EXPECT_EQ(bus_->calls("1-1", "CONNECT"), 1);
}

// A failed request names libusb's cause, as the kernel gave it.
TEST_F(Usbfs, ARefusedLatencyRequestNamesLibusbsCause)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT232H, "WT01"));
    FT_HANDLE h = open("1-1", 'A');
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    EXPECT_EQ(bus_->latency_ms("1-1", 0), 2);
    usbfs::UsbFaults stall;
    stall.stall_request = 0x09;
    bus_->set_faults("1-1", stall);
    EXPECT_EQ(FT_SetLatencyTimer(h, 4), FT_IO_ERROR);
    EXPECT_NE(std::string(ft_last_cause()).find("LIBUSB_ERROR_PIPE"), std::string::npos) << ft_last_cause();
    EXPECT_EQ(bus_->latency_ms("1-1", 0), 2);
}

// The chip leaves as a command reaches it: the write fails as no device,
// with libusb's cause, and so does every later call.
TEST_F(Usbfs, AChipGoneMidTransferFailsAsNotFoundWithLibusbsCause)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT2232H, "WT01"));
    FT_HANDLE h = open("1-1", 'A');
    ASSERT_NE(h, nullptr);
    mpsse_on(h);
    usbfs::UsbFaults gone;
    gone.gone_at_out = 1;
    bus_->set_faults("1-1", gone);
    uint8_t command[] = {0x83, 0x87};
    uint32_t written = 0;
    EXPECT_EQ(FT_Write(h, command, sizeof command, &written), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(written, 0u);
    EXPECT_NE(std::string(ft_last_cause()).find("LIBUSB_ERROR_NO_DEVICE"), std::string::npos) << ft_last_cause();
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_DEVICE_NOT_FOUND);
}

// A chip that answers short: what came is delivered, and the rest is read
// by a later transfer, never lost.
TEST_F(Usbfs, ShortAnswersAreGatheredAcrossTransfers)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT232H, "WT01"));
    FT_HANDLE h = open("1-1", 'A');
    ASSERT_NE(h, nullptr);
    mpsse_on(h);
    usbfs::UsbFaults short_in;
    short_in.short_in = 1;
    bus_->set_faults("1-1", short_in);
    std::vector<uint8_t> commands;
    for (int i = 0; i < 5; i++)
        commands.insert(commands.end(), {0x80, uint8_t(1 << i), 0xFF, 0x83});
    commands.push_back(0x87);
    EXPECT_EQ(exchange(h, commands, 5), (std::vector<uint8_t>{0x01, 0x02, 0x04, 0x08, 0x10}));
}


// Arrivals and departures reach the layer through libusb's udev hotplug,
// from the testbed's uevents, as a plugged board's do from the kernel's.
TEST_F(Usbfs, WaitingSeesChipsPluggedAndUnpluggedThroughUdevHotplug)
{
    int changed = -1;
    ASSERT_EQ(ft_wait_for_change(0, &changed), FT_OK); // watching from here on
    bus_->plug(usbfs::chip_at("1-2", ChipKind::FT232H, "HP01"));
    ASSERT_EQ(ft_wait_for_change(30000, &changed), FT_OK);
    EXPECT_EQ(changed, 1);
    std::vector<ft_channel_info> now = listing();
    ASSERT_EQ(now.size(), 1u);
    EXPECT_STREQ(now[0].location, "1-2");
    bus_->unplug("1-2");
    ASSERT_EQ(ft_wait_for_change(30000, &changed), FT_OK);
    EXPECT_EQ(changed, 1);
    EXPECT_TRUE(listing().empty());
}

// The station, another process, on three boards at once by port path over
// the real libusb; a board with a fault fails, named by its place.
TEST_F(Usbfs, TheStationTestsSeveralBoardsAtOnceByPortPath)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT2232H, "WT01"));
    usbfs::ChipPlug faulty = usbfs::chip_at("1-4.2", ChipKind::FT232H, "");
    faulty.wiring.open_wire(2, 1);
    bus_->plug(faulty);
    bus_->plug(usbfs::chip_at("1-4.3", ChipKind::FT2232H, "WT03"));
    auto began = std::chrono::steady_clock::now();
    process::Result run = process::run(WIRETEST_STATION, {"--all", "--fast"});
    RecordProperty("station_run_ms", int(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             std::chrono::steady_clock::now() - began).count()));
    std::vector<std::string> lines;
    std::istringstream out(run.out);
    for (std::string line; std::getline(out, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "FAIL 1-4.2 A - errors: 10: pin 2: stuck-1 (reads 1 whatever is driven: open with a "
                         "pull-up, or shorted to the supply) [one of 2: stuck-1 on net 2 | open, input pulled up on net 2]",
                         "PASS 1-1 A WT01 errors: 0", "PASS 1-4.3 A WT03 errors: 0",
                         "boards: 3, passed: 2, failed: 1, errors: 0"}))
        << run.err;
    EXPECT_EQ(run.exit_status, 1) << run.err;
}

// The station programs a blank chip after its test: the chip's reset makes
// the kernel end it and enumerate it again at its port path, which the
// station, another process, hears of through libusb's udev hotplug and
// finds with its new serial. A retest keeps the serial, and another program
// reads the image back.
TEST_F(Usbfs, TheStationProgramsABlankChipAndFindsItAgainAtItsPortPath)
{
    for (const auto &[kind, part] : {std::pair{ChipKind::FT232H, eeprom::Part::c46},
                                     std::pair{ChipKind::FT2232H, eeprom::Part::c66}}) {
        SCOPED_TRACE(std::string(chip_facts_of(kind).name) + " with a " + eeprom::part_facts(part).name);
        TempDir dir{"wiretest-usbfs-identity"};
        std::ofstream(dir / "product.toml") << "[product]\nmanufacturer = \"Wiretest\"\nproduct = \"Bench\"\n"
                                               "serial = \"UB-{seq:04}\"\n";
        usbfs::ChipPlug blank = usbfs::chip_at("1-2", kind, "");
        blank.eeprom_part = part;
        bus_->plug(blank);
        auto test = [&] {
            return process::run(WIRETEST_STATION, {"--port", "1-2", "--fast", "--json", "--product",
                                                   dir / "product.toml", "--db", "sqlite:" + dir / "line.db"});
        };

        process::Result first = test();
        ASSERT_EQ(first.exit_status, 0) << first.out << first.err;
        nlohmann::json record = nlohmann::json::parse(first.out);
        EXPECT_EQ(record["serial"], "UB-0001");
        EXPECT_EQ(record["identity"]["state"], "blank");
        EXPECT_EQ(record["identity"]["serial_after"], "UB-0001");
        EXPECT_EQ(record["identity"]["eeprom"], eeprom::part_facts(part).name);
        EXPECT_EQ(record["identity"]["verified"], true);
        EXPECT_EQ(bus_->port_paths(), std::vector<std::string>{"1-2"});

        process::Result read = process::run(WIRETEST_STATION, {"eeprom", "--port", "1-2", "--json"});
        ASSERT_EQ(read.exit_status, 0) << read.err;
        nlohmann::json image = nlohmann::json::parse(read.out);
        EXPECT_EQ(image["serial"], "UB-0001");
        EXPECT_EQ(image["checksum_valid"], true);

        process::Result again = test();
        ASSERT_EQ(again.exit_status, 0) << again.out << again.err;
        nlohmann::json retested = nlohmann::json::parse(again.out);
        EXPECT_EQ(retested["serial"], "UB-0001");
        EXPECT_EQ(retested["identity"]["kept"], true);
        EXPECT_EQ(retested["identity"]["written"], false);
        bus_->unplug("1-2");
    }
}

// --wait over the real libusb and its udev hotplug: a chip plugged while the
// station waits is tested, one pulled out and plugged in again is a new
// board, each once. (umockdev's uevents reach the station only with each
// process's socket named apart: support/usbfs_socket_names.cpp.)
TEST_F(Usbfs, TheStationWaitingTestsEachChipPluggedWhileItWaits)
{
    bus_->plug(usbfs::chip_at("1-1", ChipKind::FT2232H, "WT01"));
    process::Live station = process::start(WIRETEST_STATION, {"--wait", "--count", "3", "--fast"});
    struct StopIfLeft { // a test that ends early leaves no station waiting
        pid_t &pid;
        ~StopIfLeft() { if (pid > 0) kill(pid, SIGKILL); }
    } stop_if_left{station.pid};
    std::string seen = process::read_until(station, "PASS 1-1 A WT01", 30000);
    ASSERT_NE(seen.find("PASS 1-1 A WT01"), std::string::npos) << seen;
    bus_->plug(usbfs::chip_at("1-3", ChipKind::FT232H, "WT03"));
    seen = process::read_until(station, "PASS 1-3 A WT03", 30000);
    ASSERT_NE(seen.find("PASS 1-3 A WT03"), std::string::npos) << seen;
    bus_->unplug("1-3");
    bus_->plug(usbfs::chip_at("1-3", ChipKind::FT232H, "WT03"));
    process::Result run = process::finish(station, 30000);
    station.pid = -1; // waited for
    EXPECT_EQ(run.exit_status, 0) << run.err;
    EXPECT_EQ(process::lines_of(run.out),
              (std::vector<std::string>{"PASS 1-1 A WT01 errors: 0", "PASS 1-3 A WT03 errors: 0",
                                        "PASS 1-3 A WT03 errors: 0", "boards: 3, passed: 3, failed: 0, errors: 0"}))
        << run.err;
}

} // namespace

// A soak on one board over the real libusb: every run is one bulk OUT and
// one bulk IN on the same open handle, and a wire that is cut fails in every
// one of them while the other pins stay good.
TEST_F(Usbfs, ASoakRunsEveryRoundTripThroughUsbfsAndNamesTheCutWire)
{
    usbfs::ChipPlug board = usbfs::chip_at("1-3", ChipKind::FT232H, "SOAK1");
    board.wiring.open_wire(6, 0);
    bus_->plug(board);
    const int runs = 200;
    process::Result run = process::run(WIRETEST_STATION, {"--port", "1-3", "--fast", "--repeat", std::to_string(runs), "--json"});
    EXPECT_EQ(run.exit_status, 1) << run.err;
    nlohmann::json record = nlohmann::json::parse(run.out);
    EXPECT_EQ(record["outcome"], "FAIL");
    EXPECT_EQ(record["mode"], "fast");
    EXPECT_EQ(record["runs"], runs);
    for (const nlohmann::json &pin : record["pins"])
        EXPECT_EQ(pin["failures"], pin["pin"] == 6 ? runs : 0) << pin;
    // Opening took one SUBMITURB per control request; each run adds its two.
    EXPECT_GE(bus_->calls("1-3", "SUBMITURB"), 2 * runs);
    // The whole soak, opening included, over its runs: one round trip's cost here.
    RecordProperty("fast_round_trip_us",
                   int((record["end_time_millis"].get<long long>() - record["start_time_millis"].get<long long>()) *
                       1000 / runs));
}
