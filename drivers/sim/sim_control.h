// Control of the simulated driver: which chips are attached, which calls
// fail, and the record of every call the system made. Tests use it; the
// wiretest-sim executable attaches its two demo boards through it, and
// wiretest-station-sim its own chips.
#pragma once

#include "device_link/chip_kinds.h"
#include "device_link/ft_driver.h"
#include "device_link/ft_eeprom.h"
#include "device_link/ft_locations.h"
#include "eeprom_image.h"
#include "mpsse_chip.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace sim {

enum class Op {
    ListDevices, OpenEx, ResetDevice, SetUSBParameters, SetChars, SetTimeouts,
    SetLatencyTimer, SetFlowControl, SetBitMode, Write, GetQueueStatus, Read, Close,
    ListChannels, OpenByLocation, // the station's listing and opening
    ReadEE, WriteEE, EraseEE, CyclePort, // the station's programming of the EEPROM
    Any, // in a Fault: every operation
};

const char *op_name(Op op);

// One call as the driver saw it.
struct Call {
    explicit Call(Op op, std::vector<uint64_t> args = {}) : op(op), args(std::move(args)) {}
    Op op;
    std::vector<uint64_t> args;  // the integer arguments, in order (handles left out)
    std::string text;            // FT_OpenEx: the serial number asked for; opening by
                                 // location: the location, a space and the channel letter
    std::vector<uint8_t> data;   // FT_Write: the bytes sent; FT_Read: the bytes delivered
    FT_STATUS result = FT_OK;
    uint32_t count = 0;          // the count handed back: devices, written, queued or read
};

// A fault injected into a call. Calls are counted per operation from 1, or
// across all operations for Op::Any.
struct Fault {
    Op op = Op::Any;
    int nth = 1;
    bool and_later = false;              // every later call too: an unplugged device
    FT_STATUS status = FT_OK;            // a failing call has no other effect
    std::optional<uint32_t> count;       // the count reported instead of the true one
    std::vector<uint8_t> stale;          // put in the receive queue just before the call
};

// The nth call of op fails with status; a count, where given, is still reported.
Fault fail(Op op, int nth, FT_STATUS status, std::optional<uint32_t> count = std::nullopt);
// The nth call of op succeeds but reports count instead of the true one.
Fault misreport(Op op, int nth, uint32_t count);
// Bytes the chip sent that nobody read, queued just before the nth call of op.
Fault stale_before(Op op, int nth, std::vector<uint8_t> bytes);
// The device is unplugged at the nth call of all: that call and every later one fail.
Fault unplug(int nth, FT_STATUS status = FT_DEVICE_NOT_FOUND);

// Nothing attached, no faults, an empty record.
void reset();

// Attach a dual-channel chip's MPSSE channel under this serial number; its
// index is the order of attachment.
void attach(const std::string &serial, const chip::Wiring &wiring = {});

// The kinds of chip_table (device_link/chip_kinds.h).
using ::ChipKind;

// Attach a chip plugged at location ("1-4.2"), with one device per MPSSE
// channel of its kind, channel A first; serial is the chip's own, "" for a
// blank EEPROM. FT_ListDevices lists each channel as serial and letter (the
// FT232H by its plain serial), and passes over a chip without one, as the
// libftdi1 layer does. The board is wired to channel A; the other channels
// have nothing on their pins. The chip maker's device-information list
// (ft_device_info.h) gives each channel the location id of its bus and port
// numbers as one hex digit each, then its channel number: "1-3.2" channel A
// is 0x1321; a chip at a number past 15, or deeper than 6 ports, is left out.
// That list also holds the channels without MPSSE (FT4232H C and D, FT2232D
// B), as the chip maker's does; they cannot be opened.
void attach_chip(const std::string &location, const std::string &serial, ChipKind kind,
                 const chip::Wiring &wiring = {});

// A chip that comes and goes: attached as attach_chip does, plugged from
// plugged_at to unplugged_at (Unix time in ms on the system clock, which the
// station's processes share; 0: never unplugged). Calls on its handle after
// it left fail with FT_DEVICE_NOT_FOUND.
void plug_chip(const std::string &location, const std::string &serial, ChipKind kind, const chip::Wiring &wiring,
               int64_t plugged_at, int64_t unplugged_at);

// A chip plugged in or pulled out at the moment a test decides, or a write
// held until the chip leaves, as a program above the driver reads them from
// the test (wiretest-station-sim's --sim-control).
struct Change {
    enum class What { plug, unplug, hold };
    What what = What::plug;
    std::string location;
    std::string serial;                // plug: as attach_chip takes them
    ChipKind kind = ChipKind::FT2232H; // plug
    chip::Wiring wiring;               // plug
    int nth = 0;                       // hold: the nth write of this process to the chip
};

// Where changes come from. take() hands over those made since its last call;
// every call that touches the chips applies them first, in order, so that all
// of a station's processes see the same chips. wake_fd (-1: none) is
// readable when there may be more: ft_wait_for_change wakes on it, as a
// hotplug event wakes a real driver, and a held write waits on it. note()
// tells the test what happened that it must wait for ("held 1-1").
struct ChangeFeed {
    std::function<std::vector<Change>()> take;
    int wake_fd = -1;
    std::function<void(const std::string &)> note;
};

void follow_changes(ChangeFeed feed);

// Whether ft_wait_for_change reports arrivals (the default) or, like a
// driver without hotplug events, says FT_NOT_SUPPORTED.
void report_hotplug_events(bool on);

// The chip at location may be listed but not opened: another program holds
// it, or the user lacks permission. The listing gives note as the reason.
void refuse_access(const std::string &location, const std::string &note);

// The EEPROM of the chip at location. Every chip attached has one: a 93C56
// holding an image that gives it the serial it was attached with (maker
// "FTDI", its kind as product), or a blank one where it has no serial or
// that serial does not fit an image. fit_eeprom puts another part in its
// place, Part::none for none at all (reads give 0xFFFF, writes vanish),
// with contents from word 0 on and 0xFFFF after them.
void fit_eeprom(const std::string &location, eeprom::Part part, const std::vector<uint16_t> &contents = {});

// The words the EEPROM of the chip at location holds now.
std::vector<uint16_t> eeprom_words(const std::string &location);

// Faults of that EEPROM: a write at word address that the chip refuses
// (FT_EEPROM_WRITE_FAILED); a word whose bits in flip come out inverted
// when written, so that a read-back differs; how long the chip stays away
// after FT_CyclePort before it enumerates again, in ms (default 0), or
// never to come back.
void fail_eeprom_write(const std::string &location, uint32_t word_address);
void flip_eeprom_bits(const std::string &location, uint32_t word_address, uint16_t flip);
void eeprom_return_after(const std::string &location, int64_t away_ms, bool never = false);

// The engine of an attached device, to set its faults or look at its pins.
chip::MpsseChannel &channel(int device);

void inject(const Fault &fault);

const std::vector<Call> &calls();

// The record keeps only about the latest count calls (at least count, at most
// twice as many), as programs that nobody inspects want in a long run; 0
// (the default): every call since it began. Faults still count every call.
void keep_recent_calls(size_t count);

// Start the record and the call counts of faults anew, leaving devices as they are.
void forget_calls();

} // namespace sim
