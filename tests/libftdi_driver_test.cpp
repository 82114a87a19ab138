// The libftdi1 layer's operations called directly, in this process, on the
// real libftdi1 and the virtual USB bus linked in place of libusb-1.0: the
// contracts of ft_driver.h that the system's fixed arguments never reach.
#include "device_link/ft_driver.h"
#include "device_link/ft_eeprom.h"
#include "device_link/ft_locations.h"
#include "drivers/libftdi/layer_clock.h"
#include "eeprom_image.h"
#include "temp_dir.h"
#include "vusb_control.h"

#include <gtest/gtest.h>
#include <libusb.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// The bus's clock: the steady clock, or the stepped one while a test has it on.
Clock::time_point bus_now()
{
    return Clock::time_point(std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(vusb_clock_now_ns())));
}

milliseconds since(Clock::time_point start) { return std::chrono::duration_cast<milliseconds>(bus_now() - start); }

#ifndef WIRETEST_BUS_ON_REAL_TIME
// The layer keeps time by the bus's stepped clock: its reader and callers
// wait and wake through it.
const libftdi_layer::ClockHooks stepped_hooks = {
    bus_now,
    [](std::unique_lock<std::mutex> &hold, Clock::time_point deadline) {
        using Hold = std::unique_lock<std::mutex>;
        vusb_clock_wait(deadline == Clock::time_point::max()
                            ? -1
                            : std::chrono::duration_cast<std::chrono::nanoseconds>(deadline.time_since_epoch()).count(),
                        [](void *h) { static_cast<Hold *>(h)->unlock(); },
                        [](void *h) { static_cast<Hold *>(h)->lock(); }, &hold);
    },
    vusb_clock_notify, vusb_clock_thread_begins, vusb_clock_thread_ends, vusb_clock_joining};
#endif

// The bus alone on the stepped clock, for the life of the object.
struct SteppedBus {
    SteppedBus() { vusb_clock_stepped(1); }
    ~SteppedBus() { vusb_clock_stepped(0); }
};

class LibftdiDriver : public ::testing::Test {
protected:
    // The bus and the layer on the stepped clock until the test's handles
    // are closed: a wait or a trickle of answers takes as long as on an idle
    // machine, whatever the load. Before attach.
    // The usbfs bus answers on the kernel's time (umockdev's), which no
    // test can step: there the clock stays the steady one.
    void on_stepped_clock()
    {
#ifndef WIRETEST_BUS_ON_REAL_TIME
        vusb_clock_stepped(1);
        libftdi_layer::use_clock(&stepped_hooks);
        stepped_ = true;
#endif
    }
    // A fresh bus, listed, and channel A opened; closed again at the end.
    void attach(const std::string &settings)
    {
        vusb_configure(settings.c_str());
        char names[4][64];
        char *list[] = {names[0], names[1], names[2], names[3], nullptr};
        int32_t count = 0;
        ASSERT_EQ(FT_ListDevices(list, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
        ASSERT_GE(count, 1);
    }
    FT_HANDLE open(const char *name)
    {
        FT_HANDLE h = nullptr;
        EXPECT_EQ(FT_OpenEx(const_cast<char *>(name), FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
        if (h)
            handles_.push_back(h);
        return h;
    }
    void TearDown() override
    {
        for (FT_HANDLE h : handles_)
            FT_Close(h);
        if (stepped_) {
            libftdi_layer::use_clock(nullptr);
            vusb_clock_stepped(0);
        }
    }
    // Write bytes and report what the channel then has queued.
    uint32_t exchange(FT_HANDLE h, std::vector<uint8_t> bytes)
    {
        uint32_t written = 0, queued = 0;
        EXPECT_EQ(FT_Write(h, bytes.data(), uint32_t(bytes.size()), &written), FT_OK);
        EXPECT_EQ(written, bytes.size());
        EXPECT_EQ(FT_GetQueueStatus(h, &queued), FT_OK);
        return queued;
    }
    void mpsse_on(FT_HANDLE h) { ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK); }

    std::vector<FT_HANDLE> handles_;
    bool stepped_ = false;
};

TEST_F(LibftdiDriver, ListingStopsAtTheNullPointerThatEndsTheCallersList)
{
    vusb_configure("chips=3");
    char names[3][64];
    std::memset(names, '#', sizeof names);
    char *list[] = {names[0], names[1], nullptr, names[2]};
    int32_t count = 0;
    ASSERT_EQ(FT_ListDevices(list, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(count, 6); // every channel is counted
    EXPECT_STREQ(names[0], "VU01A");
    EXPECT_STREQ(names[1], "VU01B");
    EXPECT_EQ(names[2][0], '#');
}

TEST_F(LibftdiDriver, ANameOfSixtyFourBytesGetsNoTerminator)
{
    std::string serial(63, 'S'); // and the channel letter makes 64
    vusb_configure(("chips=6010:" + serial).c_str());
    char names[2][65];
    std::memset(names, '#', sizeof names);
    char *list[] = {names[0], names[1], nullptr};
    int32_t count = 0;
    ASSERT_EQ(FT_ListDevices(list, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(std::string(names[0], 64), serial + "A");
    EXPECT_EQ(names[0][64], '#');
}

TEST_F(LibftdiDriver, ListingRefusesOtherFlagsAndNullPointers)
{
    vusb_configure("chips=1");
    char name[64] = "untouched";
    char *list[] = {name, nullptr};
    int32_t count = -1;
    EXPECT_EQ(FT_ListDevices(list, &count, FT_LIST_ALL), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_ListDevices(nullptr, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER),
              FT_INVALID_PARAMETER);
    EXPECT_EQ(count, -1);
    EXPECT_STREQ(name, "untouched");
}

TEST_F(LibftdiDriver, OpeningFailsForUnknownNamesAndChannelsInUse)
{
    attach("chips=6010:WT01");
    FT_HANDLE h = nullptr;
    char unknown[] = "WT01C";
    EXPECT_EQ(FT_OpenEx(unknown, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
    FT_HANDLE a = open("WT01A");
    ASSERT_NE(a, nullptr);
    char again[] = "WT01A";
    EXPECT_EQ(FT_OpenEx(again, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_OPENED);
    // The other channel of the same chip opens beside it, and answers on its own.
    FT_HANDLE b = open("WT01B");
    ASSERT_NE(b, nullptr);
    mpsse_on(a);
    mpsse_on(b);
    EXPECT_EQ(exchange(a, {0x83}), 1u);
    EXPECT_EQ(exchange(b, {0x83, 0x83}), 2u);
}

TEST_F(LibftdiDriver, ClosedNullAndForeignHandlesAreInvalid)
{
    attach("chips=1");
    FT_HANDLE h = open("VU01A");
    ASSERT_EQ(FT_Close(h), FT_OK);
    handles_.clear();
    int foreign = 0;
    uint8_t byte = 0x83;
    uint32_t n = 0;
    const std::array<FT_HANDLE, 3> bad_handles = {h, nullptr, &foreign};
    for (FT_HANDLE bad : bad_handles) {
        EXPECT_EQ(FT_Write(bad, &byte, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_GetQueueStatus(bad, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Read(bad, &byte, 1, &n), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_ResetDevice(bad), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_SetTimeouts(bad, 10, 10), FT_INVALID_HANDLE);
        EXPECT_EQ(FT_Close(bad), FT_INVALID_HANDLE);
    }
}

TEST_F(LibftdiDriver, ArgumentsOutOfRangeAreRefused)
{
    attach("chips=1");
    FT_HANDLE h = open("VU01A");
    EXPECT_EQ(FT_SetLatencyTimer(h, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_SetUSBParameters(h, 100, 0), FT_INVALID_PARAMETER);   // not whole packets
    EXPECT_EQ(FT_SetUSBParameters(h, 131072, 0), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_SetFlowControl(h, 0x0800, 0x11, 0x13), FT_INVALID_PARAMETER);
    uint32_t n = 0;
    EXPECT_EQ(FT_Write(h, nullptr, 1, &n), FT_INVALID_PARAMETER);
    EXPECT_EQ(FT_GetQueueStatus(h, nullptr), FT_INVALID_PARAMETER);
    // The accepted values still work.
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    EXPECT_EQ(FT_SetFlowControl(h, FT_FLOW_NONE, 0x11, 0x13), FT_OK);
    EXPECT_EQ(FT_SetFlowControl(h, 0x0400, 0x11, 0x13), FT_OK); // XON/XOFF
}

TEST_F(LibftdiDriver, ATransferSizeOfZeroLeavesTheSizeAsItIs)
{
    attach("chips=1");
    FT_HANDLE h = open("VU01A");
    mpsse_on(h);
    // Were the 0 passed on, the write would never end.
    ASSERT_EQ(FT_SetUSBParameters(h, 4096, 0), FT_OK);
    EXPECT_EQ(exchange(h, {0x80, 0x00, 0xFF, 0x83}), 1u);
    // A size that is given is used: 130 bytes go out in 64-byte transfers,
    // each a whole number of commands here, and all are carried out.
    ASSERT_EQ(FT_SetUSBParameters(h, 0, 64), FT_OK);
    std::vector<uint8_t> reads(130, 0x83);
    EXPECT_EQ(exchange(h, reads), 131u);
}

TEST_F(LibftdiDriver, ControlRequestsGetAGenerousTimeoutAndBulkTransfersTheShortOne)
{
    attach("chips=1");
    FT_HANDLE h = open("VU01A");
    ASSERT_EQ(FT_SetTimeouts(h, 10, 10), FT_OK);
    ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
    EXPECT_EQ(vusb_last_control_timeout(), 5000u);
    mpsse_on(h);
    exchange(h, {0x83});
    EXPECT_EQ(vusb_last_bulk_timeout(), 10u);
}

TEST_F(LibftdiDriver, ReadsDeliverWhatArrivedInOrderAndAShortReadSucceeds)
{
    on_stepped_clock(); // the 10 ms timeout outlasts a latency-faithful chip's answer however loaded the machine
    attach("chips=1;board=invert0");
    FT_HANDLE h = open("VU01A");
    ASSERT_EQ(FT_SetTimeouts(h, 10, 10), FT_OK);
    mpsse_on(h);
    // Drive 0x0F, read the high byte three times; pin 0 reads inverted.
    EXPECT_EQ(exchange(h, {0x80, 0x0F, 0xFF, 0x83, 0x80, 0xF0, 0xFF, 0x83, 0x83}), 3u);
    uint8_t buffer[8] = {};
    uint32_t n = 0;
    ASSERT_EQ(FT_Read(h, buffer, 1, &n), FT_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(buffer[0], 0x0E);
    ASSERT_EQ(FT_Read(h, buffer, 8, &n), FT_OK); // asks for more than will come
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(buffer[0], 0xF1);
    EXPECT_EQ(buffer[1], 0xF1);
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);
}

TEST_F(LibftdiDriver, ReadsOfASilentChipEndWithinTheirTimeout)
{
    on_stepped_clock();
    attach("chips=1;silent=1");
    FT_HANDLE h = open("VU01A");
    ASSERT_EQ(FT_SetTimeouts(h, 50, 50), FT_OK);
    uint8_t buffer[4];
    uint32_t n = 99;
    auto start = bus_now();
    EXPECT_EQ(FT_Read(h, buffer, 4, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(since(start), milliseconds(50)); // the whole timeout, and no more
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_LE(since(start), milliseconds(100));
}

TEST_F(LibftdiDriver, AResetClearsTheChipButKeepsWhatWasReceived)
{
    attach("chips=1");
    FT_HANDLE h = open("VU01A");
    mpsse_on(h);
    EXPECT_EQ(exchange(h, {0x80, 0x5A, 0xFF, 0x83}), 1u); // received: in the queue
    uint8_t read_high = 0x83;
    uint32_t n = 0;
    ASSERT_EQ(FT_Write(h, &read_high, 1, &n), FT_OK); // answered, still in the chip
    ASSERT_EQ(FT_ResetDevice(h), FT_OK);
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 1u);
    uint8_t byte = 0;
    ASSERT_EQ(FT_Read(h, &byte, 1, &n), FT_OK);
    EXPECT_EQ(byte, 0x5A);
}

TEST_F(LibftdiDriver, AnUnpluggedChipFailsEveryCallButClose)
{
    // Opening takes 2 transfers, bit mode 1, the write 1, the query 2.
    attach("chips=1;unplug_after=6");
    FT_HANDLE h = open("VU01A");
    mpsse_on(h);
    EXPECT_EQ(exchange(h, {0x83}), 1u);
    uint8_t byte = 0x83;
    uint32_t n = 0;
    EXPECT_EQ(FT_Write(h, &byte, 1, &n), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_Read(h, &byte, 1, &n), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_SetUSBParameters(h, 4096, 0), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_SetTimeouts(h, 10, 10), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_SetBitMode(h, 0, 0), FT_DEVICE_NOT_FOUND);
    // Closing still frees the handle, and says the chip is gone.
    EXPECT_EQ(FT_Close(h), FT_DEVICE_NOT_FOUND);
    handles_.clear();
    EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
}

TEST_F(LibftdiDriver, AStalledRequestIsAnIoErrorWhileTheChipStaysAttached)
{
    attach("chips=1;fail_ctrl=9:1");
    FT_HANDLE h = open("VU01A");
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_IO_ERROR);
    EXPECT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
}

// Each failed call leaves libusb's or libftdi1's words for it on its own
// thread, until the next call there; a failure the status explains has none.
TEST_F(LibftdiDriver, AFailedCallLeavesItsLibrarysCauseOnItsThread)
{
    struct Case {
        const char *settings;
        std::string cause;
    };
    for (const Case &c : {Case{"fail_ctrl=9:1", "libftdi1: unable to set latency timer (libusb: LIBUSB_ERROR_PIPE)"},
                          Case{"fail_out=1", "libftdi1: usb bulk write failed (libusb: LIBUSB_ERROR_IO)"},
                          Case{"fail_in=1", "libusb: LIBUSB_ERROR_IO"}}) {
        SCOPED_TRACE(c.settings);
        attach(std::string("chips=1;") + c.settings);
        FT_HANDLE h = open("VU01A");
        ASSERT_STREQ(ft_last_cause(), "");
        uint8_t read_high = 0x83;
        uint32_t n = 0, queued = 0;
        FT_STATUS status = FT_SetLatencyTimer(h, 2);
        if (status == FT_OK)
            status = FT_Write(h, &read_high, 1, &n);
        if (status == FT_OK)
            status = FT_GetQueueStatus(h, &queued);
        EXPECT_EQ(status, FT_IO_ERROR);
        EXPECT_EQ(ft_last_cause(), c.cause);
        std::string elsewhere = "unread";
        std::thread([&] { elsewhere = ft_last_cause(); }).join();
        EXPECT_EQ(elsewhere, "");
        EXPECT_EQ(FT_SetTimeouts(h, 100, 100), FT_OK);
        EXPECT_STREQ(ft_last_cause(), "");
        FT_Close(h);
        handles_.clear();
    }
    vusb_configure("chips=1;list_fail=1");
    uint32_t count = 0;
    EXPECT_EQ(ft_list_channels(nullptr, 0, &count), FT_IO_ERROR);
    EXPECT_STREQ(ft_last_cause(), "libusb: LIBUSB_ERROR_IO");
    vusb_configure("chips=1;busy=VU01");
    FT_HANDLE h = nullptr;
    EXPECT_EQ(ft_open_by_location("1-1", 'A', &h), FT_DEVICE_NOT_OPENED);
    EXPECT_STREQ(ft_last_cause(), "");
}

// The EEPROM through the chip's vendor requests: a 93C46 wraps word 0xC0 to
// word 0, a refused request is the EEPROM's failure, and after the port
// cycle the chip is listed at its place with the serial just written.
TEST_F(LibftdiDriver, EepromWordsGoThroughTheChipAndACycledChipComesBackWithItsNewSerial)
{
    vusb_configure("chips=6010:@1-1;eeprom=46;fail_ctrl=91:2");
    FT_HANDLE h = nullptr;
    ASSERT_EQ(ft_open_by_location("1-1", 'A', &h), FT_OK);
    uint16_t word = 0;
    ASSERT_EQ(FT_ReadEE(h, 0, &word), FT_OK);
    EXPECT_EQ(word, 0xFFFF);
    ASSERT_EQ(FT_WriteEE(h, 0xC0, 0x1234), FT_OK);
    ASSERT_EQ(FT_ReadEE(h, 0x00, &word), FT_OK);
    EXPECT_EQ(word, 0x1234);
    EXPECT_EQ(FT_WriteEE(h, 0x01, 0x5678), FT_EEPROM_WRITE_FAILED); // the second write stalls
    EXPECT_EQ(FT_EraseEE(h), FT_OK);
    ASSERT_EQ(FT_ReadEE(h, 0x00, &word), FT_OK);
    EXPECT_EQ(word, 0xFFFF);

    std::string problem;
    std::vector<uint16_t> image =
        eeprom::build(ChipKind::FT2232H, eeprom::Part::c46, {"Maker", "Board", "VUNEW1"}, &problem);
    ASSERT_FALSE(image.empty()) << problem;
    for (size_t address = 0; address < image.size(); address++)
        ASSERT_EQ(FT_WriteEE(h, uint32_t(address), image[address]), FT_OK) << address;
    EXPECT_EQ(FT_CyclePort(h), FT_OK);
    FT_Close(h);
    ft_channel_info list[4];
    uint32_t count = 0;
    ASSERT_EQ(ft_list_channels(list, 4, &count), FT_OK);
    ASSERT_GE(count, 1u);
    EXPECT_STREQ(list[0].location, "1-1");
    EXPECT_STREQ(list[0].serial, "VUNEW1");
}

// --- the latency-faithful chip and the background reader ---------------------
//
// On a bus with latency=1 a bulk read that finds nothing waits one latency
// period, as on a real chip: the cost a query paid when it polled the chip
// itself. The layer's reader takes answers in during the settle wait instead.

// Wait, bounded, for the bus to reach a state the background reader brings about.
template <typename Condition>
bool eventually(Condition condition)
{
    auto give_up = Clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (Clock::now() > give_up)
            return false;
        std::this_thread::sleep_for(milliseconds(1));
    }
    return true;
}

// Channel A of the bus's one chip, through libusb alone.
struct RawChip {
    libusb_context *usb = nullptr;
    libusb_device_handle *handle = nullptr;

    explicit RawChip(uint16_t latency_ms)
    {
        libusb_init(&usb);
        libusb_device **list = nullptr;
        if (libusb_get_device_list(usb, &list) > 0 && libusb_open(list[0], &handle) == 0)
            libusb_claim_interface(handle, 0);
        libusb_free_device_list(list, 1);
        control(0x09, latency_ms);
        control(0x0B, 0x0200); // MPSSE on
    }
    ~RawChip()
    {
        if (handle)
            libusb_close(handle);
        libusb_exit(usb);
    }
    void control(uint8_t request, uint16_t value)
    {
        EXPECT_EQ(libusb_control_transfer(handle, 0x40, request, value, 1, nullptr, 0, 1000), 0);
    }
    void out(std::vector<uint8_t> bytes)
    {
        int sent = 0;
        EXPECT_EQ(libusb_bulk_transfer(handle, 0x02, bytes.data(), int(bytes.size()), &sent, 1000), 0);
    }
    int in() // bytes received, status bytes included
    {
        std::vector<uint8_t> buffer(4096);
        int received = 0;
        EXPECT_EQ(libusb_bulk_transfer(handle, 0x81, buffer.data(), int(buffer.size()), &received, 5000), 0);
        return received;
    }
};

TEST(LatencyFaithfulChip, AnswersAReadWhenItsLatencyTimerExpiresOrAPacketFills)
{
    SteppedBus stepped;
    vusb_configure("chips=6010:WT01;latency=1");
    RawChip chip(200);
    ASSERT_NE(chip.handle, nullptr);

    auto start = bus_now(); // nothing waiting: the empty packet after 200 ms
    EXPECT_EQ(chip.in(), 2);
    EXPECT_EQ(since(start), milliseconds(200));

    start = bus_now(); // an answer younger than the timer waits it out
    chip.out({0x83});
    EXPECT_EQ(chip.in(), 3);
    EXPECT_EQ(since(start), milliseconds(200));

    chip.out({0x83}); // an answer older than the timer comes at once
    vusb_clock_sleep_ms(250);
    start = bus_now();
    EXPECT_EQ(chip.in(), 3);
    EXPECT_EQ(since(start), milliseconds(0));

    start = bus_now(); // so does a whole packet: 510 answers and the status
    chip.out(std::vector<uint8_t>(510, 0x83));
    EXPECT_EQ(chip.in(), 512);
    EXPECT_EQ(since(start), milliseconds(0));
}

TEST(LatencyFaithfulChip, SendsWhatItHoldsAtOnceAtASendImmediate)
{
    SteppedBus stepped;
    vusb_configure("chips=6010:WT01;latency=1");
    RawChip chip(200);
    ASSERT_NE(chip.handle, nullptr);

    auto start = bus_now();
    chip.out({0x83, 0x83, 0x87});
    EXPECT_EQ(chip.in(), 4);
    EXPECT_EQ(since(start), milliseconds(0));

    // A read already waiting at the chip comes back with them, when they
    // are sent 30 ms into its 200 ms timer.
    start = bus_now();
    int received = 0;
    milliseconds came{-1};
    vusb_clock_thread_begins();
    std::thread reader([&] {
        received = chip.in();
        came = since(start);
        vusb_clock_thread_ends();
    });
    vusb_clock_sleep_ms(30);
    EXPECT_EQ(vusb_reads_waiting(), 1);
    chip.out({0x83, 0x87});
    vusb_clock_joining();
    reader.join();
    EXPECT_EQ(received, 3);
    EXPECT_EQ(came, milliseconds(30));

    start = bus_now(); // an answer after the send-immediate waits for the timer
    chip.out({0x87, 0x83});
    EXPECT_EQ(chip.in(), 3);
    EXPECT_EQ(since(start), milliseconds(200));
}

// The layer reads at once after a write that ends in send-immediate, and
// one timer length after any other (wiretest's writes).
TEST_F(LibftdiDriver, AWriteEndingInSendImmediateIsAnsweredWithinAFractionOfTheTimer)
{
    on_stepped_clock();
    attach("chips=6010:WT01;latency=1");
    FT_HANDLE h = open("WT01A");
    ASSERT_NE(h, nullptr);
    mpsse_on(h);
    ASSERT_EQ(FT_SetLatencyTimer(h, 50), FT_OK);
    auto start = bus_now();
    EXPECT_EQ(exchange(h, {0x83}), 1u);
    EXPECT_GE(since(start), milliseconds(50));
    uint8_t answers[64];
    uint32_t read = 0;
    ASSERT_EQ(FT_Read(h, answers, 1, &read), FT_OK);

    // As a soak run sends them, one after another: a read of the layer may
    // still wait at the chip from the run before when the next is written.
    milliseconds slowest{0}, total{0};
    for (int run = 0; run < 20; run++) {
        start = bus_now();
        EXPECT_EQ(exchange(h, {0x80, 0x00, 0xFF, 0x83, 0x80, 0xFF, 0xFF, 0x83, 0x87}), 2u) << "run " << run;
        ASSERT_EQ(FT_Read(h, answers, 2, &read), FT_OK);
        EXPECT_EQ(read, 2u);
        slowest = std::max(slowest, since(start));
        total += since(start);
    }
    EXPECT_LT(slowest, milliseconds(25));
    EXPECT_LT(total, milliseconds(100)) << "20 runs";

    // The answers ended the round: no read waits at the chip for a close to
    // wait out.
    handles_.clear();
    start = bus_now();
    EXPECT_EQ(FT_Close(h), FT_OK);
    EXPECT_LT(since(start), milliseconds(25));
}

TEST_F(LibftdiDriver, BytesArrivingBetweenQueriesAreCountedOnceAndInOrder)
{
    attach("chips=6010:WT01;latency=1");
    FT_HANDLE h = open("WT01A");
    ASSERT_EQ(FT_SetLatencyTimer(h, 30), FT_OK);
    mpsse_on(h);
    uint32_t n = 99;
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);

    // Drive 0x5A and read it back; the reader takes the answer in while the
    // caller waits, and a query after that makes no USB transfer.
    int before = vusb_transfers();
    uint8_t first[] = {0x80, 0x5A, 0xFF, 0x83};
    ASSERT_EQ(FT_Write(h, first, 4, &n), FT_OK);
    ASSERT_TRUE(eventually([&] { return vusb_transfers() == before + 3; })) // out, answer, empty
        << vusb_transfers() - before;
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(vusb_transfers(), before + 3);

    // A query right after a write counts the answer still on its way.
    uint8_t second[] = {0x80, 0xA5, 0xFF, 0x83};
    ASSERT_EQ(FT_Write(h, second, 4, &n), FT_OK);
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 2u);
    uint8_t got[4] = {};
    ASSERT_EQ(FT_Read(h, got, 2, &n), FT_OK);
    EXPECT_EQ(n, 2u);
    EXPECT_EQ(got[0], 0x5A);
    EXPECT_EQ(got[1], 0xA5);
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);
}

// The drains of the synchronisation query right after a command without an
// answer: such a query need not wait a timer length for the chip's empty
// packet. Once the round is due, a query waits for it, and bytes the chip
// sent after that write are counted.
TEST_F(LibftdiDriver, AQueryRightAfterCommandsWithoutAnAnswerAnswersFromMemory)
{
    on_stepped_clock();
    attach("chips=6010:WT01;latency=1;stale=1:5A");
    FT_HANDLE h = open("WT01A");
    ASSERT_EQ(FT_ResetDevice(h), FT_OK); // the chip holds nothing from before
    ASSERT_EQ(FT_SetLatencyTimer(h, 100), FT_OK);
    mpsse_on(h);
    uint8_t commands[] = {0x84, 0x80, 0x00, 0xFF, 0x82, 0x00, 0x00, 0x85};
    uint32_t n = 99;
    auto start = bus_now();
    ASSERT_EQ(FT_Write(h, commands, sizeof commands, &n), FT_OK); // 0x5A comes with it
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_LT(since(start), milliseconds(100)); // not at the timer's end

    vusb_clock_sleep_ms(100);
    ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
    EXPECT_EQ(n, 1u);

    // A command with an answer is waited for at once.
    EXPECT_EQ(exchange(h, {0x80, 0x00, 0xFF, 0x83}), 2u);
}

TEST_F(LibftdiDriver, AByteArrivingDuringCloseIsTakenInBeforeTheChipIsReleased)
{
    char path[] = "/tmp/wiretest-vusb-XXXXXX";
    close(mkstemp(path));
    attach(std::string("chips=6010:WT01;latency=1;log=") + path);
    FT_HANDLE h = open("WT01A");
    ASSERT_EQ(FT_SetLatencyTimer(h, 100), FT_OK);
    mpsse_on(h);
    uint8_t loopback_on = 0x84, read_high = 0x83;
    uint32_t n = 0;
    ASSERT_EQ(FT_Write(h, &loopback_on, 1, &n), FT_OK); // no answer: the read waits
    ASSERT_TRUE(eventually([] { return vusb_reads_waiting() == 1; }));
    ASSERT_EQ(FT_Write(h, &read_high, 1, &n), FT_OK); // answered while it waits
    handles_.clear();
    EXPECT_EQ(FT_Close(h), FT_OK);

    std::ifstream in(path);
    std::vector<std::string> log;
    for (std::string line; std::getline(in, line);)
        log.push_back(line);
    unlink(path);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(log.end() - 3, log.end()),
              (std::vector<std::string>{"in 81 -> 1 packets, 1 bytes", "release 0", "close WT01"}));
}

TEST_F(LibftdiDriver, AnUnplugWhileABackgroundReadWaitsFailsTheCallsAtOnce)
{
    on_stepped_clock();
    attach("chips=6010:WT01;latency=1");
    FT_HANDLE h = open("WT01A");
    ASSERT_EQ(FT_SetLatencyTimer(h, 255), FT_OK);
    mpsse_on(h);
    uint8_t loopback_on = 0x84;
    uint32_t n = 0;
    ASSERT_EQ(FT_Write(h, &loopback_on, 1, &n), FT_OK);
    // While the test thread looks, the stepped clock stands still: the read
    // waits at the chip, its timer running to 510 ms.
    vusb_clock_sleep_ms(255); // the write's round begins
    ASSERT_TRUE(eventually([] { return vusb_reads_waiting() == 1; }));
    auto start = bus_now();
    vusb_unplug();
    EXPECT_EQ(FT_GetQueueStatus(h, &n), FT_DEVICE_NOT_FOUND);
    EXPECT_LT(since(start), milliseconds(255)); // not at the timer's end
    EXPECT_EQ(FT_Read(h, &loopback_on, 1, &n), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(FT_Write(h, &loopback_on, 1, &n), FT_DEVICE_NOT_FOUND);
    handles_.clear();
    EXPECT_EQ(FT_Close(h), FT_DEVICE_NOT_FOUND); // the handle is freed all the same
    EXPECT_EQ(FT_Close(h), FT_INVALID_HANDLE);
}

TEST_F(LibftdiDriver, AnOpenChannelWaitingForNothingTakesNoProcessorTime)
{
    attach("chips=1");
    FT_HANDLE h = open("VU01A");
    mpsse_on(h);
    EXPECT_EQ(exchange(h, {0x83}), 1u);
    int transfers = vusb_transfers();
    timespec cpu_start{}, cpu_end{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_start);
    // The span measured, not a wait for an event: a loaded machine only
    // gives a spinning thread less of the processor, never this one more.
    std::this_thread::sleep_for(milliseconds(300));
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu_end);
    EXPECT_EQ(vusb_transfers(), transfers); // a reader that polls the chip would make them
    double cpu_ms = double(cpu_end.tv_sec - cpu_start.tv_sec) * 1e3 +
                    double(cpu_end.tv_nsec - cpu_start.tv_nsec) / 1e6;
    EXPECT_LT(cpu_ms, 100.0); // a thread polling the instant bus would take it all
}

// --- the station's listing by location ----------------------------------------

struct Listed {
    std::string location;
    char channel;
    std::string serial, chip;
    FT_STATUS access;
    std::string note;
    bool operator==(const Listed &o) const
    {
        return location == o.location && channel == o.channel && serial == o.serial && chip == o.chip &&
               access == o.access && note == o.note;
    }
};

void PrintTo(const Listed &l, std::ostream *os)
{
    *os << l.location << " " << l.channel << " '" << l.serial << "' " << l.chip << " " << l.access << " "
        << l.note;
}

std::vector<Listed> list_locations()
{
    ft_channel_info info[16];
    uint32_t count = 0;
    EXPECT_EQ(ft_list_channels(info, 16, &count), FT_OK);
    std::vector<Listed> listed;
    for (uint32_t i = 0; i < count && i < 16; i++)
        listed.push_back({info[i].location, info[i].channel, info[i].serial, info[i].chip, info[i].access,
                          info[i].access_note});
    return listed;
}

// Chips at nested places, blank and shared serial numbers, every kind; a
// UART-only chip is passed over. Chips come in the order of their places.
const char *const mixed_bus = "chips=6010:WT01@3-1.3.2,6010:@1-4.2,6014:DUP@1-4.1,6014:DUP@2-1,"
                              "6011:Q1@1-10,6010/0500:OLD@1-3,6001:U1@1-2";

TEST(LocationListing, ListsEveryMpsseChannelByPlaceWithBlankAndSharedSerials)
{
    vusb_configure(mixed_bus);
    EXPECT_EQ(list_locations(), (std::vector<Listed>{
                                    {"1-3", 'A', "OLD", "FT2232D", FT_OK, ""},
                                    {"1-4.1", 'A', "DUP", "FT232H", FT_OK, ""},
                                    {"1-4.2", 'A', "", "FT2232H", FT_OK, ""},
                                    {"1-4.2", 'B', "", "FT2232H", FT_OK, ""},
                                    {"1-10", 'A', "Q1", "FT4232H", FT_OK, ""},
                                    {"1-10", 'B', "Q1", "FT4232H", FT_OK, ""},
                                    {"2-1", 'A', "DUP", "FT232H", FT_OK, ""},
                                    {"3-1.3.2", 'A', "WT01", "FT2232H", FT_OK, ""},
                                    {"3-1.3.2", 'B', "WT01", "FT2232H", FT_OK, ""},
                                }));
    // wiretest's own listing still passes the blank chip over, and names the
    // shared serial twice.
    char names[8][64];
    char *list[] = {names[0], names[1], names[2], names[3], names[4], names[5], names[6], names[7], nullptr};
    int32_t count = 0;
    ASSERT_EQ(FT_ListDevices(list, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
    EXPECT_EQ(std::vector<std::string>(names, names + count),
              (std::vector<std::string>{"WT01A", "WT01B", "DUP", "DUP", "Q1A", "Q1B", "OLDA"}));
}

TEST(LocationListing, ACountBeyondTheCapacityIsGivenAndNothingIsWrittenPastIt)
{
    vusb_configure("chips=6010:A1@1-1,6010:A2@1-2");
    ft_channel_info info[3];
    std::memset(info, '#', sizeof info);
    uint32_t count = 0;
    ASSERT_EQ(ft_list_channels(info, 2, &count), FT_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_STREQ(info[1].location, "1-1");
    EXPECT_EQ(info[1].channel, 'B');
    EXPECT_EQ(info[2].location[0], '#');
    EXPECT_EQ(ft_list_channels(nullptr, 0, &count), FT_OK);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(ft_list_channels(nullptr, 1, &count), FT_INVALID_PARAMETER);
    EXPECT_EQ(ft_list_channels(info, 1, nullptr), FT_INVALID_PARAMETER);
}

// A station that forks a board's process first lets go of the listing's
// libusb context; the next listing and open make their own.
TEST(LocationListing, ReleasedListingsEndTheirContextAndStartAnew)
{
    vusb_configure("chips=6010:A1@1-1,6010:A2@1-2");
    ft_release_listings();
    int before = vusb_contexts_open();
    uint32_t count = 0;
    ASSERT_EQ(ft_list_channels(nullptr, 0, &count), FT_OK);
    EXPECT_EQ(vusb_contexts_open(), before + 1);
    ft_release_listings();
    ft_release_listings();
    EXPECT_EQ(vusb_contexts_open(), before);

    ASSERT_EQ(ft_list_channels(nullptr, 0, &count), FT_OK);
    EXPECT_EQ(count, 4u);
    ft_release_listings();
    FT_HANDLE h = nullptr;
    ASSERT_EQ(ft_open_by_location("1-2", 'B', &h), FT_OK);
    EXPECT_EQ(vusb_claimed("1-2", 1), 1);
    EXPECT_EQ(FT_Close(h), FT_OK);
    ft_release_listings();
    char name[] = "A1A";
    ASSERT_EQ(FT_OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    EXPECT_EQ(FT_Close(h), FT_OK);
    ft_release_listings(); // the next test's FT_OpenEx lists its own bus, not this one
}

// Each channel opens by its place alone, whatever its serial number, and
// claims that chip's interface and no other.
TEST(LocationListing, EveryListedChannelOpensByItsPlace)
{
    vusb_configure(mixed_bus);
    for (const Listed &l : list_locations()) {
        SCOPED_TRACE(l.location + l.channel);
        int interface = l.channel - 'A';
        FT_HANDLE h = nullptr;
        ASSERT_EQ(ft_open_by_location(l.location.c_str(), l.channel, &h), FT_OK);
        EXPECT_EQ(vusb_claimed(l.location.c_str(), interface), 1);
        EXPECT_NE(vusb_claimed(l.location.c_str(), 1 - interface), 1); // or the chip has none
        ASSERT_EQ(FT_SetBitMode(h, 0, FT_BITMODE_MPSSE), FT_OK);
        uint8_t read_high = 0x83;
        uint32_t n = 0, queued = 0;
        ASSERT_EQ(FT_Write(h, &read_high, 1, &n), FT_OK);
        ASSERT_EQ(FT_GetQueueStatus(h, &queued), FT_OK);
        EXPECT_EQ(queued, 1u);
        EXPECT_EQ(FT_Close(h), FT_OK);
        EXPECT_EQ(vusb_claimed(l.location.c_str(), interface), 0);
    }
}

TEST(LocationListing, ChannelsThatCanNotBeOpenedAreListedWithTheReason)
{
    // 1-2 refuses this user (its serial unread), another program holds 1-3,
    // this one opens 1-1's A.
    vusb_configure("chips=6010:WT01@1-1,6010:NOPE@1-2,6014:@1-3;deny=NOPE;busy=1-3");
    FT_HANDLE mine = nullptr;
    ASSERT_EQ(ft_open_by_location("1-1", 'A', &mine), FT_OK);
    EXPECT_EQ(list_locations(), (std::vector<Listed>{
                                    {"1-1", 'A', "WT01", "FT2232H", FT_DEVICE_NOT_OPENED, "open in this program"},
                                    {"1-1", 'B', "WT01", "FT2232H", FT_OK, ""},
                                    {"1-2", 'A', "", "FT2232H", FT_DEVICE_NOT_OPENED, "no permission"},
                                    {"1-2", 'B', "", "FT2232H", FT_DEVICE_NOT_OPENED, "no permission"},
                                    {"1-3", 'A', "", "FT232H", FT_DEVICE_NOT_OPENED, "in use by another program"},
                                }));
    // The listing's probe left every claim as it was.
    EXPECT_EQ(vusb_claimed("1-1", 0), 1);
    EXPECT_EQ(vusb_claimed("1-1", 1), 0);
    struct Case {
        const char *location;
        char channel;
        FT_STATUS status;
    };
    for (const Case &c : {Case{"1-1", 'A', FT_DEVICE_NOT_OPENED}, Case{"1-2", 'B', FT_DEVICE_NOT_OPENED},
                          Case{"1-3", 'A', FT_DEVICE_NOT_OPENED}, Case{"1-3", 'B', FT_DEVICE_NOT_FOUND},
                          Case{"1-1", 'C', FT_DEVICE_NOT_FOUND}, Case{"1-4", 'A', FT_DEVICE_NOT_FOUND},
                          Case{"1-1.1", 'A', FT_DEVICE_NOT_FOUND}, Case{"2-1", 'A', FT_DEVICE_NOT_FOUND},
                          Case{"", 'A', FT_DEVICE_NOT_FOUND}}) {
        SCOPED_TRACE(std::string(c.location) + c.channel);
        FT_HANDLE h = nullptr;
        EXPECT_EQ(ft_open_by_location(c.location, c.channel, &h), c.status);
        EXPECT_EQ(h, nullptr);
    }
    FT_HANDLE h = nullptr;
    EXPECT_EQ(ft_open_by_location("1-1", 'E', &h), FT_INVALID_PARAMETER);
    EXPECT_EQ(ft_open_by_location(nullptr, 'A', &h), FT_INVALID_PARAMETER);
    // Closed, the channel is free again, for either way of opening.
    EXPECT_EQ(FT_Close(mine), FT_OK);
    char name[] = "WT01A";
    ASSERT_EQ(FT_OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    FT_HANDLE again = nullptr;
    EXPECT_EQ(ft_open_by_location("1-1", 'A', &again), FT_DEVICE_NOT_OPENED);
    EXPECT_EQ(FT_Close(h), FT_OK);
}

// Linux's serial driver holds a fresh board's interfaces: the listing finds
// them openable without claiming anything.
TEST(LocationListing, TheSerialDriversInterfacesAreOpenableAndLeftWithIt)
{
    vusb_configure("chips=6010:@1-4.2;sio=1");
    EXPECT_EQ(list_locations(), (std::vector<Listed>{{"1-4.2", 'A', "", "FT2232H", FT_OK, ""},
                                                     {"1-4.2", 'B', "", "FT2232H", FT_OK, ""}}));
    EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 0), 1);
    EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 1), 1);
}

// Opening takes the interface from Linux's serial driver; closing gives it
// back, and so does an open that failed after its claim.
TEST(SerialDriver, IsGivenBackAtCloseAndAfterAFailedOpen)
{
    vusb_configure("chips=6010:WT01@1-4.2;sio=1");
    char name[] = "WT01B";
    FT_HANDLE h = nullptr;
    ASSERT_EQ(FT_OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_OK);
    EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 1), 0);
    EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 0), 1);
    FT_HANDLE a = nullptr;
    ASSERT_EQ(ft_open_by_location("1-4.2", 'A', &a), FT_OK);
    EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 0), 0);
    EXPECT_EQ(FT_Close(h), FT_OK);
    EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 1), 1);
    EXPECT_EQ(FT_Close(a), FT_OK);
    EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 0), 1);

    for (const char *failure : {"fail_ctrl=0:1", "fail_ctrl=3:1"}) { // the reset, the baud rate
        SCOPED_TRACE(failure);
        vusb_configure((std::string("chips=6010:WT01@1-4.2;sio=1;") + failure).c_str());
        EXPECT_EQ(ft_open_by_location("1-4.2", 'B', &h), FT_IO_ERROR);
        EXPECT_EQ(vusb_serial_driver_bound("1-4.2", 1), 1);
        EXPECT_EQ(vusb_claimed("1-4.2", 1), 0);
    }
}

// --- several threads ----------------------------------------------------------
//
// The station tests boards in parallel: each thread opens, uses and closes a
// channel of its own, by name or by place, while others do the same and a
// listing runs beside them.

struct ChannelUse {
    std::string name;     // by serial number and letter, or
    std::string location; // by place, with channel
    char channel = 'A';
};

// Open, drive and read back a few values, close; cycles times. Faults are
// counted, not asserted, so that the thread runs to its end.
void use_channel(const ChannelUse &use, int cycles, std::atomic<int> &faults)
{
    for (int cycle = 0; cycle < cycles; cycle++) {
        FT_HANDLE h = nullptr;
        std::string name = use.name;
        FT_STATUS opened = use.name.empty() ? ft_open_by_location(use.location.c_str(), use.channel, &h)
                                            : FT_OpenEx(name.data(), FT_OPEN_BY_SERIAL_NUMBER, &h);
        if (opened != FT_OK) {
            faults++;
            continue;
        }
        if (FT_SetLatencyTimer(h, 2) != FT_OK || FT_SetBitMode(h, 0, FT_BITMODE_MPSSE) != FT_OK)
            faults++;
        for (uint8_t value : {0x00, 0x5A, 0xA5, 0xFF}) {
            uint8_t drive_and_read[] = {0x80, value, 0xFF, 0x83};
            uint32_t n = 0, queued = 0;
            uint8_t got = 0;
            if (FT_Write(h, drive_and_read, 4, &n) != FT_OK || n != 4 || FT_GetQueueStatus(h, &queued) != FT_OK ||
                queued != 1 || FT_Read(h, &got, 1, &n) != FT_OK || n != 1 || got != value)
                faults++;
        }
        if (FT_Close(h) != FT_OK)
            faults++;
    }
}

TEST(LibftdiThreads, ChannelsAreOpenedUsedAndClosedOnThreadsOfTheirOwn)
{
    struct Case {
        const char *what;
        std::vector<ChannelUse> uses;
    };
    const Case cases[] = {
        {"both channels of one chip", {{"T1A", "", 'A'}, {"T1B", "", 'A'}}},
        {"two of one chip, one of another, by name and by place",
         {{"T1A", "", 'A'}, {"", "1-1", 'B'}, {"", "1-2", 'A'}}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        vusb_configure("chips=6010:T1@1-1,6010:T2@1-2");
        char names[4][64];
        char *list[] = {names[0], names[1], names[2], names[3], nullptr};
        int32_t count = 0;
        ASSERT_EQ(FT_ListDevices(list, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER), FT_OK);
        std::atomic<int> faults{0};
        std::vector<std::thread> threads;
        for (const ChannelUse &use : c.uses)
            threads.emplace_back(use_channel, use, 25, std::ref(faults));
        for (std::thread &t : threads)
            t.join();
        EXPECT_EQ(faults, 0);
        EXPECT_EQ(vusb_claimed("1-1", 0) + vusb_claimed("1-1", 1) + vusb_claimed("1-2", 0), 0);
    }
}

TEST(LibftdiThreads, ListingBesideOpeningAndUsing)
{
    vusb_configure("chips=6010:T1@1-1,6010:T2@1-2");
    std::atomic<int> faults{0}, listing_faults{0};
    std::atomic<bool> done{false};
    std::thread lister([&] {
        while (!done) {
            char names[4][64];
            char *list[] = {names[0], names[1], names[2], names[3], nullptr};
            int32_t count = 0;
            ft_channel_info info[8];
            uint32_t channels = 0;
            if (FT_ListDevices(list, &count, FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER) != FT_OK || count != 4 ||
                std::string(names[3]) != "T2B")
                listing_faults++;
            if (ft_list_channels(info, 8, &channels) != FT_OK || channels != 4)
                listing_faults++;
            for (uint32_t i = 0; i < channels && i < 8; i++)
                if (info[i].access != FT_OK && std::string(info[i].access_note) != "open in this program")
                    listing_faults++;
        }
    });
    std::thread by_name(use_channel, ChannelUse{"T1A", "", 'A'}, 25, std::ref(faults));
    std::thread by_place(use_channel, ChannelUse{"", "1-2", 'B'}, 25, std::ref(faults));
    by_name.join();
    by_place.join();
    done = true;
    lister.join();
    EXPECT_EQ(faults, 0);
    EXPECT_EQ(listing_faults, 0);
}

// The bus's control file, in a folder of its own: the test plugs and
// unplugs chips by writing lines to it.
struct ControlFile {
    TempDir dir{"wiretest-vusb-control"};
    std::string path = dir / "control";
    void command(const std::string &lines) const { std::ofstream(path, std::ios::app) << lines << std::flush; }
};

// Waits for arrivals on two threads at once while a third lists: each wait
// ends when a chip comes or goes, and only then, sleeping meanwhile. The
// chips come and go when the test writes it, once the waits have begun.
TEST(LibftdiThreads, WaitsForArrivalsAndDeparturesBesideListings)
{
    ControlFile control;
    control.command("plug 6010:W1@1-1\nplug 6010:W3@1-3\n");
    vusb_configure(("chips=;control=" + control.path).c_str());
    int changed = -1;
    ASSERT_EQ(ft_wait_for_change(1, &changed), FT_OK); // the watch begins
    std::atomic<bool> done{false};
    std::atomic<int> listing_faults{0};
    std::thread lister([&] {
        while (!done) {
            ft_channel_info info[8];
            uint32_t channels = 0;
            if (ft_list_channels(info, 8, &channels) != FT_OK)
                listing_faults++;
            std::this_thread::sleep_for(milliseconds(20)); // a pace, not a guess
        }
    });
    struct Waited {
        FT_STATUS status = FT_OTHER_ERROR;
        int changed = -1;
    };
    // Far longer than the test: a wait that misses its change fails the
    // test at its end rather than hanging it.
    const uint32_t long_wait = 20000;
    auto wait_once = [](Waited &w, uint32_t timeout_ms) { w.status = ft_wait_for_change(timeout_ms, &w.changed); };
    Waited a, b;
    std::thread first(wait_once, std::ref(a), long_wait), second(wait_once, std::ref(b), long_wait);
    ASSERT_TRUE(eventually([] { return vusb_events_waiting() == 2; }));
    control.command("plug 6010:W2@1-2\n");
    first.join();
    second.join();
    for (const Waited &w : {a, b}) { // W2's arrival
        EXPECT_EQ(w.status, FT_OK);
        EXPECT_EQ(w.changed, 1);
    }
    std::clock_t cpu = std::clock();
    Waited c, quiet;
    std::thread third(wait_once, std::ref(c), long_wait);
    ASSERT_TRUE(eventually([] { return vusb_events_waiting() == 1; }));
    control.command("unplug 1-3\n");
    third.join();
    EXPECT_EQ(c.status, FT_OK); // W3's departure
    EXPECT_EQ(c.changed, 1);
    auto began = Clock::now();
    wait_once(quiet, 300); // nothing more comes
    EXPECT_EQ(quiet.status, FT_OK);
    EXPECT_EQ(quiet.changed, 0);
    // A lower bound: a loaded machine only makes the wait longer.
    EXPECT_GE(Clock::now() - began, milliseconds(295));
    double cpu_ms = double(std::clock() - cpu) * 1000.0 / CLOCKS_PER_SEC;
    EXPECT_LT(cpu_ms, 60.0) << "processor time while waiting, the lister's included";
    done = true;
    lister.join();
    EXPECT_EQ(listing_faults, 0);
    EXPECT_EQ(ft_wait_for_change(0, nullptr), FT_INVALID_PARAMETER);
    EXPECT_EQ(ft_wait_for_change(0, &changed), FT_OK);
}

// The bus's control file: chips plugged and unplugged when the test writes
// it, told of by hotplug events at once and seen by the next listing.
TEST(LibftdiThreads, ChipsComeAndGoWhenTheControlFileSays)
{
    ControlFile control_file;
    const std::string &control = control_file.path;
    auto command = [&](const std::string &lines) { control_file.command(lines); };
    auto places = [] {
        std::vector<std::string> found;
        for (const Listed &l : list_locations())
            found.push_back(l.location + ' ' + l.channel + ' ' + l.serial);
        return found;
    };
    command("plug 6010:W1@1-1\n"); // before the bus: applied as it is made
    vusb_configure(("chips=;control=" + control).c_str());
    EXPECT_EQ(places(), (std::vector<std::string>{"1-1 A W1", "1-1 B W1"}));
    int changed = -1;
    ASSERT_EQ(ft_wait_for_change(1, &changed), FT_OK); // the watch begins

    // A wait far longer than the test wakes when the line is written.
    for (const auto &[line, after] : std::vector<std::pair<std::string, std::vector<std::string>>>{
             {"plug 6014:W2@1-2\n", {"1-1 A W1", "1-1 B W1", "1-2 A W2"}},
             {"unplug 1-1\n", {"1-2 A W2"}},
             {"unplug 1-2\nplug 6014:W2@1-2\n", {"1-2 A W2"}}}) {
        SCOPED_TRACE(line);
        changed = -1;
        FT_STATUS status = FT_OTHER_ERROR;
        std::thread waiter([&] { status = ft_wait_for_change(600000, &changed); });
        command(line);
        waiter.join();
        EXPECT_EQ(status, FT_OK);
        EXPECT_EQ(changed, 1);
        EXPECT_EQ(places(), after);
    }

    // A line that cannot be applied is said and passed over; the listing
    // applies what was written before it.
    ::testing::internal::CaptureStderr();
    command("unplug 1-9\nplug 6010:W3@1-2\nplug 6010:W3\nwobble 1-2\nhold 1-2 x\n");
    EXPECT_EQ(places(), (std::vector<std::string>{"1-2 A W2"}));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "virtual USB: control: no chip plugged there: unplug 1-9\n"
              "virtual USB: control: a chip is plugged there already: plug 6010:W3@1-2\n"
              "virtual USB: control: plug takes PRODUCT:SERIAL@PATH: plug 6010:W3\n"
              "virtual USB: control: not a control line: wobble 1-2\n"
              "virtual USB: control: not a control line: hold 1-2 x\n");
}

// --- timeouts, answers that trickle or come late, polling -------------------

// On the stepped clock: a trickle of answers releases exactly as many bytes
// in a wait as an idle machine would, so the counts below are the layer's.
TEST_F(LibftdiDriver, QueriesAndReadsKeepToTheirTimeoutWhileAnAnswerTrickles)
{
    // 100 answers, released one a latency period: the round lasts 100 periods.
    on_stepped_clock();
    for (int latency : {2, 16, 40}) {
        SCOPED_TRACE(latency);
        attach("chips=6010:WT01;latency=1;trickle=1");
        FT_HANDLE h = open("WT01A");
        ASSERT_EQ(FT_SetTimeouts(h, 50, 50), FT_OK);
        ASSERT_EQ(FT_SetLatencyTimer(h, uint8_t(latency)), FT_OK);
        mpsse_on(h);
        // A wait is bounded by the read timeout, or two periods where that
        // is longer, counted from the round's start at most a period after
        // the write (background_reader.h).
        milliseconds bound(latency + std::max(50, 2 * latency));
        std::vector<uint8_t> reads(100, 0x83);
        uint32_t n = 0;
        ASSERT_EQ(FT_Write(h, reads.data(), 100, &n), FT_OK);
        auto start = bus_now();
        ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
        EXPECT_LE(since(start), bound);
        EXPECT_GE(n, 1u);
        // The first answer at once, then one a period: no more than came.
        EXPECT_LE(n, uint32_t(since(start) / milliseconds(latency)) + 1);
        uint8_t buffer[100];
        start = bus_now();
        ASSERT_EQ(FT_Read(h, buffer, 1, &n), FT_OK);
        EXPECT_LE(since(start), bound);
        EXPECT_EQ(n, 1u);
        start = bus_now();
        ASSERT_EQ(FT_Read(h, buffer, 99, &n), FT_OK); // what arrived within the timeout
        EXPECT_LE(since(start), bound);
        EXPECT_GE(n, 1u);
        EXPECT_LT(n, 99u);
        FT_Close(h);
        handles_.clear();
    }
}

TEST_F(LibftdiDriver, AReadWaitsItsWholeTimeoutForALateAnswer)
{
    struct Case {
        int latency;
        uint32_t timeout;
        uint32_t expected;
        milliseconds at_least, at_most;
    };
    // The answer comes 600 ms after its command: a read waits for it, and
    // takes it within two timer periods; one with a shorter timeout gives up
    // at its end.
    on_stepped_clock();
    for (const Case &c : {Case{2, 5000, 1, milliseconds(600), milliseconds(604)},
                          Case{1, 5000, 1, milliseconds(600), milliseconds(602)},
                          Case{2, 100, 0, milliseconds(100), milliseconds(100)}}) {
        SCOPED_TRACE(std::to_string(c.latency) + " ms timer, " + std::to_string(c.timeout) + " ms timeout");
        attach("chips=6010:WT01;delay=600");
        FT_HANDLE h = open("WT01A");
        ASSERT_EQ(FT_SetTimeouts(h, c.timeout, c.timeout), FT_OK);
        ASSERT_EQ(FT_SetLatencyTimer(h, uint8_t(c.latency)), FT_OK);
        mpsse_on(h);
        uint8_t read_high = 0x83;
        uint32_t n = 0;
        ASSERT_EQ(FT_Write(h, &read_high, 1, &n), FT_OK);
        auto start = bus_now();
        ASSERT_EQ(FT_Read(h, &read_high, 1, &n), FT_OK);
        EXPECT_EQ(n, c.expected);
        EXPECT_GE(since(start), c.at_least);
        EXPECT_LE(since(start), c.at_most);
        FT_Close(h);
        handles_.clear();
    }
}

TEST_F(LibftdiDriver, ACallerPollingTheQueueFindsALateAnswerSoonAfterItComes)
{
    struct Case {
        const char *what, *settings;
        bool command;
        uint32_t bytes;
        milliseconds comes;
    };
    const Case cases[] = {
        {"an answer 20 ms late", "delay=20", true, 1, milliseconds(20)},
        {"an answer 100 ms late", "delay=100", true, 1, milliseconds(100)},
        {"bytes sent unrequested on an idle channel", "unrequested=150:5AA5", false, 2, milliseconds(150)},
    };
    on_stepped_clock();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        auto start = bus_now();
        attach(std::string("chips=6010:WT01;") + c.settings);
        FT_HANDLE h = open("WT01A");
        ASSERT_EQ(FT_SetLatencyTimer(h, 2), FT_OK);
        mpsse_on(h);
        uint32_t n = 0;
        if (c.command) {
            uint8_t read_high = 0x83;
            start = bus_now();
            ASSERT_EQ(FT_Write(h, &read_high, 1, &n), FT_OK);
        }
        // Queries alone, a millisecond apart: no write or read wakes the reader.
        n = 0;
        while (n < c.bytes && since(start) < milliseconds(2000)) {
            ASSERT_EQ(FT_GetQueueStatus(h, &n), FT_OK);
            vusb_clock_sleep_ms(1);
        }
        EXPECT_EQ(n, c.bytes);
        EXPECT_GE(since(start), c.comes);
        // Within a few 2 ms periods: a caller left to answers from memory
        // never finds it at all.
        EXPECT_LE(since(start), c.comes + milliseconds(8));
        FT_Close(h);
        handles_.clear();
    }
}

// --- unplugging -------------------------------------------------------------

TEST_F(LibftdiDriver, AChipUnpluggedBetweenListingAndOpeningIsNotFound)
{
    attach("chips=6010:WT01@1-4");
    ft_channel_info info[2];
    uint32_t count = 0;
    ASSERT_EQ(ft_list_channels(info, 2, &count), FT_OK);
    ASSERT_EQ(count, 2u);
    vusb_unplug();
    FT_HANDLE h = nullptr;
    char name[] = "WT01A";
    EXPECT_EQ(FT_OpenEx(name, FT_OPEN_BY_SERIAL_NUMBER, &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(ft_open_by_location("1-4", 'A', &h), FT_DEVICE_NOT_FOUND);
    EXPECT_EQ(h, nullptr);
}

} // namespace
