// FTDI chips emulated behind the kernel's usbfs interface with umockdev, so
// that the real libusb runs its own Linux code on them: it finds them in
// sysfs (with their port paths, from the hubs above them), opens their
// /dev/bus/usb nodes, claims interfaces, detaches the serial driver and
// reaps transfers through usbfs ioctls, which this bus answers.
//
// A program sees the bus only under umockdev's preload (umockdev-wrapper);
// the process that owns the bus serves the ioctls of every process started
// from it. Each channel's MPSSE engine and the board on it are the
// simulated chip's own model (chip::MpsseChannel); the chips' USB facts come
// from chip_kinds.
#pragma once

#include "chip_eeprom.h"
#include "device_link/chip_kinds.h"
#include "mpsse_chip.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace usbfs {

// Why the bus cannot run in this process ("" when it can): no umockdev
// preload, or no umockdev at all.
std::string unavailable_because();

struct ChipPlug {
    ChipKind kind = ChipKind::FT2232H;
    std::string serial;             // "": the chip has none (no EEPROM)
    std::string port_path = "1-1";  // sysfs name: bus, '-', hub ports joined by '.'
    bool serial_driver = true;      // Linux's ftdi_sio holds every interface at plug time
    chip::Wiring wiring;            // every channel's board
    eeprom::Part eeprom_part = eeprom::Part::c56; // holding the image of the serial, blank without one
};

inline ChipPlug chip_at(const std::string &port_path, ChipKind kind, const std::string &serial)
{
    ChipPlug plug;
    plug.kind = kind;
    plug.serial = serial;
    plug.port_path = port_path;
    return plug;
}

// What the chip does wrong at the USB level, counted per chip from its plug.
struct UsbFaults {
    int stall_request = -1;      // this vendor request (SIO_*) stalls: EPIPE
    int stall_nth = 0;           // only its Nth arrival stalls (0: every one)
    int short_in = 0;            // bulk IN transfers carry at most this many data bytes (0: no limit)
    bool silent_in = false;      // bulk IN transfers never complete (the host's timeout ends them)
    int gone_at_out = 0;         // the chip leaves as its Nth bulk OUT arrives (0: never)
};

class Bus {
public:
    Bus();  // a testbed of its own, with the bus's root hub
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    // A chip arrives (the hubs on its path too): sysfs, its usbfs node and
    // an "add" uevent, as the kernel makes them. Returns its USB address.
    int plug(const ChipPlug &plug);
    // A USBDEVFS_RESET makes the chip leave and enumerate again at once at
    // its port path, a new device with the serial its EEPROM holds now.
    // The chip at port_path leaves: its transfers fail with ENODEV, its node
    // and sysfs entry go and a "remove" uevent is sent.
    void unplug(const std::string &port_path);

    void set_faults(const std::string &port_path, const UsbFaults &faults);

    // Whether the serial driver / an open usbfs file holds that interface now.
    bool serial_driver_bound(const std::string &port_path, int interface_number);
    bool claimed(const std::string &port_path, int interface_number);
    // usbfs calls of this kind counted so far on the chip ("SUBMITURB",
    // "DISCONNECT", "CLAIMINTERFACE" ...): what libusb asked of the kernel.
    int calls(const std::string &port_path, const std::string &kind);
    // The latency timer the host set on a channel (16 after power-up).
    int latency_ms(const std::string &port_path, int interface_number);
    // Transfers submitted to the chips plugged now, and bulk IN transfers
    // that wait at them for an answer or a latency timer.
    int transfers();
    int reads_waiting();
    // Where chips are plugged now.
    std::vector<std::string> port_paths();

    // The testbed's root, for the environment of programs started here.
    std::string root() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

} // namespace usbfs
