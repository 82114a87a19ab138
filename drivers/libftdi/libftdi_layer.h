// What the files of the libftdi1 layer share: the open channels and the
// keys of the channels held, the chips' facts as libusb describes them, and
// the listing's entry points the operations call. The layer's files, by job:
//
//   libftdi_operations.cpp  the thirteen operations of ft_driver.h, and the
//                           one way a listed channel is opened
//   libftdi_listing.cpp     the one way of finding the chips, for the names
//                           of FT_ListDevices and the places and access of
//                           ft_list_channels (ft_locations.h)
//   libftdi_hotplug.cpp     ft_wait_for_change: libusb's hotplug events
//   background_reader.cpp   each open channel's receive queue and its reader
//
// Threads. Every operation may be called from several threads at once on
// different handles, and the listings (FT_ListDevices, ft_list_channels)
// beside them. The listing and its libusb context are under one lock, held
// while a listing reads the chips' serial numbers (string requests), so
// listings take turns and an open waits for one only to find its device.
// The set of open handles and of channels held is under another, held for
// a lookup or a change and a listing's claim probe, never across a USB
// transfer; each channel's own lock is let go during its transfers.
// FT_OpenEx and ft_open_by_location take the device from the listing with a
// reference of their own, so a listing on another thread may renew it
// meanwhile; two threads opening one channel get one handle and one
// FT_DEVICE_NOT_OPENED.
// The calls on one handle come from one thread at a time (FT_Close
// included), as with the chip maker's driver; each handle's libftdi1
// context is touched by that thread alone, and its reader thread touches
// only the bulk IN pipe and the queue, under the channel's lock.
//
// Every wait is bounded: each USB transfer by a timeout, a round by a count
// of transfers, a query and a read by the read timeout (background_reader.h),
// so a silent or unplugged chip makes calls fail or come back short, never
// hang.
//
// Failures, libftdi1 or libusb -> FT_STATUS (the one table of this layer):
//
//   libusb_init failed (ftdi_new gives no context)   -> FT_OTHER_ERROR
//   out of memory or threads (ftdi_new, the reader)  -> FT_INSUFFICIENT_RESOURCES
//   the device list unreadable
//     (libusb_get_device_list failed)                 -> FT_IO_ERROR
//   FT_OpenEx: no listed channel of that name;
//     ft_open_by_location: no such channel there;
//     either: the chip was unplugged since it was
//     listed (whatever libftdi1 said)                -> FT_DEVICE_NOT_FOUND
//   ftdi_usb_open_dev -4 (libusb_open: permission),
//     -5 / -8 (interface claimed by another program
//     or driver, not permitted), or channel in use   -> FT_DEVICE_NOT_OPENED
//   ftdi_usb_open_dev, any other failure (descriptor,
//     configuration, reset or baud rate request)     -> FT_IO_ERROR
//   a null, unknown or closed handle                  -> FT_INVALID_HANDLE
//   argument out of range (latency 0, transfer size,
//     flow control mode, null pointer)               -> FT_INVALID_PARAMETER
//   control request or bulk transfer failed and the
//     chip is still attached                          -> FT_IO_ERROR
//   ... and the chip is gone (LIBUSB_ERROR_NO_DEVICE);
//     every later call on that handle, too, FT_Close
//     included (which frees the handle all the same)  -> FT_DEVICE_NOT_FOUND
//   FT_Close: the interface could not be released,
//     the chip still attached                         -> FT_IO_ERROR
//   bulk read timed out (LIBUSB_ERROR_TIMEOUT)        -> not a failure: what
//                                                        arrived is delivered
//   a background read failed                          -> as above, from the
//                                                        next query or read
#ifndef WIRETEST_LIBFTDI_LAYER_H
#define WIRETEST_LIBFTDI_LAYER_H

#include "background_reader.h"
#include "failure_cause.h"
#include "device_link/chip_kinds.h"
#include "device_link/ft_driver.h"

#include <ftdi.h>
#include <libusb.h>

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace libftdi_layer {

constexpr uint16_t FTDI_VENDOR = FTDI_VENDOR_ID;

struct Channel {
    ftdi_context *context = nullptr; // the caller's thread only
    std::string key;                 // held in the registry while open
    Receiver rx;                     // the reader and the receive queue
};

// The channels this process has open, and the keys of the channels it has
// open or is opening right now: a key is taken before the claim and given
// back after the release, so that two threads never claim one channel, and
// the listing never probes a channel this process holds.
struct Registry {
    std::mutex lock;
    std::set<Channel *> open;
    std::set<std::string> held;
};

Registry &registry();

inline char channel_letter(ftdi_interface i)
{
    return i == INTERFACE_ANY ? 'A' : char('A' + (int(i) - int(INTERFACE_A)));
}

// libftdi1's channel as libusb numbers the interface: A is 0.
inline int usb_interface_number(ftdi_interface i)
{
    return i == INTERFACE_ANY ? 0 : int(i) - int(INTERFACE_A);
}

// A channel's key: where its chip is plugged and its letter, "1-4.2:A".
inline std::string key_of(const std::string &location, ftdi_interface i)
{
    return location + ":" + channel_letter(i);
}

inline std::string location_in(const std::string &key) { return key.substr(0, key.rfind(':')); }

// Open the channel of a device found by a listing, under its key: the
// setup and USB transfers of FT_OpenEx, whichever way the device was found.
FT_STATUS open_channel(libusb_device *device, ftdi_interface interface, const std::string &key,
                       FT_HANDLE *handle);

// The names FT_ListDevices gives, from a listing made anew.
FT_STATUS list_names(std::vector<std::string> &names);

// A channel found by its name in the last listing (made first if there is
// none), held with a reference of its own for the caller to drop.
struct Named {
    libusb_device *device = nullptr;
    ftdi_interface interface = INTERFACE_ANY;
    std::string key;
};
FT_STATUS find_named(const std::string &name, Named &found);

// Whether a device is plugged at location now: asked after a failure, to
// tell a chip that went away from one that refused.
bool still_attached(const std::string &location);

} // namespace libftdi_layer

#endif
