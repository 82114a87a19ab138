// The thirteen driver operations over libftdi1, for real FTDI chips on Linux
// and macOS.
//
// Naming. The listing has one entry per channel that carries an MPSSE: A and
// B of the dual (0403:6010, bcdDevice 0x0700) and quad (0403:6011) high-speed
// chips, A alone of the older full-speed dual chip (6010, bcdDevice 0x0500),
// and the one channel of the single high-speed chip (6014). A multi-channel
// chip's entry is its serial number followed by the channel letter, a
// single-channel chip's entry is the plain serial number: the names the chip
// maker's own driver gives. Chips we may not open (permissions) and chips
// without a serial number are passed over.
//
// Places. The station's listing (ft_locations.h) names each channel by where
// its chip is plugged, "1-4.2" as Linux's sysfs writes it, with its letter,
// serial number ("" for a blank EEPROM), kind and whether it may be opened,
// and opens by that place: blank and copied serial numbers need no name. It
// reads each chip's serial number over a libusb handle that claims nothing
// (probe_access says how "in use" is found), and lists chips in the order of
// their bus and port numbers. Both ways of opening share one path and give
// the chip the same USB transfers.
//
// Arrivals. ft_wait_for_change sleeps in libusb's event handling until a
// chip of the FTDI vendor arrives or leaves (libusb's hotplug events: udev
// or the kernel's netlink messages on Linux), or the time passes; where
// libusb has no hotplug events it returns FT_NOT_SUPPORTED and the station
// lists every so often instead.
//
// Receiving. Each open channel has a thread that reads the chip in the
// background into a receive queue of the layer's own, which
// FT_GetQueueStatus and FT_Read serve: background_reader.h says when it
// reads and what a query and a read wait for. Received bytes are only ever
// given to the caller, never dropped, a reset included: the reset clears
// what the chip still held, not what it already sent. A background read
// that fails is reported by the next query or read; an unplugged chip fails
// every call after it, FT_Close included. FT_Close stops the reader before
// it releases the chip.
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
//   the device list unreadable (ftdi_usb_find_all
//     or libusb_get_device_list failed)               -> FT_IO_ERROR
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
#include "background_reader.h"
#include "device_link/ft_driver.h"
#include "device_link/ft_locations.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// libftdi1 applies its write timeout to control requests as well. The
// system's 10 ms suits bulk transfers; a control request on a busy hub may
// need far longer, so each one runs under this timeout instead.
constexpr int CONTROL_TIMEOUT_MS = 5000;

using libftdi_layer::Receiver;

constexpr uint16_t FTDI_VENDOR = 0x0403;

struct ListedChannel {
    std::string name;
    std::string key;       // where it is plugged and its letter: "1-4.2:A"
    libusb_device *device; // held by the listing's device list
    ftdi_interface interface;
};

// The USB session of the listing: one libftdi1 context that never opens a
// device, and the devices it found. The devices stay referenced until the
// next listing, so that FT_OpenEx opens exactly what was listed.
struct Listing {
    ftdi_context *context = nullptr;
    ftdi_device_list *devices = nullptr;
    std::vector<ListedChannel> channels;
    bool done = false;
};

Listing &listing()
{
    static Listing l;
    return l;
}

// Held by whoever reads or renews the listing, or looks a device up through
// its libusb context.
std::mutex &listing_lock()
{
    static std::mutex lock;
    return lock;
}

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

Registry &registry()
{
    static Registry r;
    return r;
}

Channel *channel_of(FT_HANDLE handle)
{
    auto *c = static_cast<Channel *>(handle);
    std::lock_guard<std::mutex> hold(registry().lock);
    return registry().open.count(c) ? c : nullptr;
}

bool take_key(const std::string &key)
{
    std::lock_guard<std::mutex> hold(registry().lock);
    return registry().held.insert(key).second;
}

void give_back_key(const std::string &key)
{
    std::lock_guard<std::mutex> hold(registry().lock);
    registry().held.erase(key);
}

// Where a device is plugged, as Linux's sysfs names it: the bus number, '-',
// and the hub ports from the root joined by '.'. "" for a root hub or a
// path libusb cannot give.
std::string location_of(libusb_device *device)
{
    uint8_t ports[7];
    int depth = libusb_get_port_numbers(device, ports, int(sizeof ports));
    if (depth <= 0)
        return "";
    std::string text = std::to_string(libusb_get_bus_number(device)) + "-";
    for (int i = 0; i < depth; i++)
        text += (i ? "." : "") + std::to_string(ports[i]);
    return text;
}

// The channel letters with an MPSSE on a chip, from its product and release.
std::vector<ftdi_interface> mpsse_interfaces(const libusb_device_descriptor &d)
{
    if (d.idVendor != FTDI_VENDOR)
        return {};
    switch (d.idProduct) {
    case 0x6010:
        if (d.bcdDevice == 0x0500) // FT2232C/D: MPSSE on channel A only
            return {INTERFACE_A};
        return {INTERFACE_A, INTERFACE_B};
    case 0x6011: // FT4232H: A and B; C and D are UARTs only
        return {INTERFACE_A, INTERFACE_B};
    case 0x6014: // FT232H
        return {INTERFACE_ANY};
    default:
        return {};
    }
}

char channel_letter(ftdi_interface i)
{
    return i == INTERFACE_ANY ? 'A' : char('A' + (int(i) - int(INTERFACE_A)));
}

// libftdi1's channel as libusb numbers the interface: A is 0.
int usb_interface_number(ftdi_interface i)
{
    return i == INTERFACE_ANY ? 0 : int(i) - int(INTERFACE_A);
}

std::string key_of(const std::string &location, ftdi_interface i)
{
    return location + ":" + channel_letter(i);
}

// The chip's kind, by its product and release.
const char *chip_kind(const libusb_device_descriptor &d)
{
    switch (d.idProduct) {
    case 0x6010: return d.bcdDevice == 0x0500 ? "FT2232D" : "FT2232H";
    case 0x6011: return "FT4232H";
    default: return "FT232H";
    }
}

// The listing's libftdi1 context, made at the first call. Under the
// listing lock.
FT_STATUS listing_context()
{
    Listing &l = listing();
    if (!l.context)
        l.context = ftdi_new(); // fails when libusb_init fails
    return l.context ? FT_STATUS(FT_OK) : FT_STATUS(FT_OTHER_ERROR);
}

// Under the listing lock, hands visit the devices libusb lists now, as an
// array and its length. FT_OTHER_ERROR when libusb cannot start, FT_IO_ERROR
// when the list cannot be read.
template <typename Visit>
FT_STATUS with_device_list(Visit visit)
{
    std::lock_guard<std::mutex> hold(listing_lock());
    FT_STATUS status = listing_context();
    if (status != FT_OK)
        return status;
    libusb_device **devices = nullptr;
    ssize_t n = libusb_get_device_list(listing().context->usb_ctx, &devices);
    if (n < 0)
        return FT_IO_ERROR;
    visit(devices, n);
    libusb_free_device_list(devices, 1);
    return FT_OK;
}

// Find every chip anew. Returns an FT_STATUS. Under the listing lock.
FT_STATUS list_channels()
{
    Listing &l = listing();
    FT_STATUS status = listing_context();
    if (status != FT_OK)
        return status;
    if (l.devices) {
        ftdi_list_free(&l.devices);
        l.devices = nullptr;
    }
    l.channels.clear();
    l.done = false;

    int found = ftdi_usb_find_all(l.context, &l.devices, 0, 0);
    if (found == -3)
        return FT_INSUFFICIENT_RESOURCES;
    if (found < 0)
        return FT_IO_ERROR;
    for (ftdi_device_list *node = l.devices; node; node = node->next) {
        libusb_device_descriptor descriptor;
        if (libusb_get_device_descriptor(node->dev, &descriptor) != 0)
            continue;
        std::vector<ftdi_interface> interfaces = mpsse_interfaces(descriptor);
        if (interfaces.empty())
            continue;
        // The variant with the 2 opens and closes the device itself; the
        // one without it would close whatever the context has open.
        char serial[256] = "";
        if (ftdi_usb_get_strings2(l.context, node->dev, nullptr, 0, nullptr, 0, serial,
                                  sizeof serial) != 0)
            continue; // unreadable, usually for want of permission
        if (serial[0] == '\0')
            continue; // no EEPROM, no serial number: nothing to name it by
        std::string location = location_of(node->dev);
        for (ftdi_interface i : interfaces) {
            std::string name = serial;
            if (i != INTERFACE_ANY)
                name += channel_letter(i);
            l.channels.push_back({name, key_of(location, i), node->dev, i});
        }
    }
    l.done = true;
    return FT_OK;
}

const ListedChannel *find_channel(const std::string &name)
{
    for (const ListedChannel &c : listing().channels)
        if (c.name == name)
            return &c;
    // A name that filled the caller's 64-byte buffer reaches us cut to 63:
    // it still names a channel when no other listed name starts the same.
    const ListedChannel *only = nullptr;
    if (name.size() == 63) {
        for (const ListedChannel &c : listing().channels) {
            if (c.name.compare(0, 63, name) != 0)
                continue;
            if (only)
                return nullptr;
            only = &c;
        }
    }
    return only;
}


// Run a libftdi1 control request under the control timeout.
template <typename Request>
FT_STATUS control(Channel &c, Request request)
{
    int saved = c.context->usb_write_timeout;
    c.context->usb_write_timeout = CONTROL_TIMEOUT_MS;
    int result = request(c.context);
    c.context->usb_write_timeout = saved;
    return result < 0 ? libftdi_layer::failure_status(c.rx) : FT_STATUS(FT_OK);
}

// The channel behind a handle for a call that talks to the chip; status is
// set when there is none to talk to.
Channel *usable(FT_HANDLE handle, FT_STATUS &status)
{
    Channel *c = channel_of(handle);
    if (!c) {
        status = FT_INVALID_HANDLE;
        return nullptr;
    }
    status = libftdi_layer::gone(c->rx) ? FT_DEVICE_NOT_FOUND : FT_OK;
    return status == FT_OK ? c : nullptr;
}

// --- the station's listing by location --------------------------------------

void set_text(char *to, size_t size, const std::string &text)
{
    size_t n = std::min(text.size(), size - 1);
    std::memcpy(to, text.data(), n);
    to[n] = '\0';
}

// Whether this process may open the channel, learnt without opening it for
// use. Permission shows at libusb_open (the caller's handle). A program that
// holds the interface holds it through usbfs, which libusb does not count as
// a kernel driver: only a claim tells, so an interface no kernel driver holds
// is claimed and released at once. That sends nothing to the chip and
// disturbs no program that holds it, as its claim stands; only a program
// claiming in those microseconds would be refused. An interface the kernel's
// serial driver holds is openable (opening detaches the driver) and is not
// claimed. Channels this process holds are never probed.
FT_STATUS probe_access(libusb_device_handle *usb, const std::string &key, ftdi_interface i,
                       std::string &note)
{
    int number = usb_interface_number(i);
    std::lock_guard<std::mutex> hold(registry().lock); // no open of ours claims meanwhile
    if (registry().held.count(key)) {
        note = "open in this program";
        return FT_DEVICE_NOT_OPENED;
    }
    int active = libusb_kernel_driver_active(usb, number);
    if (active == LIBUSB_ERROR_NOT_SUPPORTED)
        active = 0; // a platform that cannot tell (macOS): the claim tells
    if (active == 1)
        return FT_OK;
    int claimed = active == 0 ? libusb_claim_interface(usb, number) : active;
    if (claimed == 0) {
        libusb_release_interface(usb, number);
        return FT_OK;
    }
    if (claimed == LIBUSB_ERROR_NO_DEVICE) {
        note = "unplugged";
        return FT_DEVICE_NOT_FOUND;
    }
    note = claimed == LIBUSB_ERROR_BUSY ? "in use by another program" : "can not be claimed";
    return FT_DEVICE_NOT_OPENED;
}

// Bus number and hub ports, for listing chips in the order of their places.
std::vector<int> place_of(libusb_device *device)
{
    uint8_t ports[7];
    int depth = libusb_get_port_numbers(device, ports, int(sizeof ports));
    std::vector<int> place = {libusb_get_bus_number(device)};
    for (int i = 0; i < depth; i++)
        place.push_back(ports[i]);
    return place;
}

// The channels of one chip, A first.
void list_chip(libusb_device *device, const libusb_device_descriptor &descriptor,
               const std::string &location, std::vector<ft_channel_info> &found)
{
    libusb_device_handle *usb = nullptr;
    int opened = libusb_open(device, &usb);
    if (opened == LIBUSB_ERROR_NO_DEVICE)
        return; // gone since the device list was made
    std::string serial;
    if (opened == 0 && descriptor.iSerialNumber != 0) {
        unsigned char text[FT_CHIP_SERIAL_SIZE] = {};
        int n = libusb_get_string_descriptor_ascii(usb, descriptor.iSerialNumber, text, int(sizeof text));
        if (n > 0)
            serial.assign(reinterpret_cast<const char *>(text), size_t(n));
    }
    for (ftdi_interface i : mpsse_interfaces(descriptor)) {
        ft_channel_info info{};
        set_text(info.location, sizeof info.location, location);
        info.channel = channel_letter(i);
        set_text(info.serial, sizeof info.serial, serial);
        set_text(info.chip, sizeof info.chip, chip_kind(descriptor));
        std::string note;
        if (opened == 0) {
            info.access = probe_access(usb, key_of(location, i), i, note);
        } else {
            info.access = FT_DEVICE_NOT_OPENED;
            note = opened == LIBUSB_ERROR_ACCESS ? "no permission" : "can not be opened";
        }
        set_text(info.access_note, sizeof info.access_note, note);
        found.push_back(info);
    }
    if (opened == 0)
        libusb_close(usb);
}

std::string location_in(const std::string &key) { return key.substr(0, key.rfind(':')); }

// Whether a device is plugged at location now: asked after a failure, to
// tell a chip that went away from one that refused.
bool still_attached(const std::string &location)
{
    bool found = false;
    FT_STATUS status = with_device_list([&](libusb_device **devices, ssize_t n) {
        for (ssize_t d = 0; d < n && !found; d++)
            found = location_of(devices[d]) == location;
    });
    if (status == FT_IO_ERROR)
        return true; // cannot tell: the failure is the chip's
    return found;
}

// libftdi1 gives up an open whose reset (-6) or baud rate (-7) failed by
// closing the device without releasing the interface it claimed, and so
// without the serial driver's return: it is attached here instead. Nothing
// is sent to the chip.
void give_back_to_serial_driver(libusb_device *device, ftdi_interface interface)
{
    libusb_device_handle *usb = nullptr;
    if (libusb_open(device, &usb) != 0)
        return;
    libusb_attach_kernel_driver(usb, usb_interface_number(interface));
    libusb_close(usb);
}

// Open the channel of a device found by a listing, under its key: the
// setup and USB transfers of FT_OpenEx, whichever way the device was found.
FT_STATUS open_channel(libusb_device *device, ftdi_interface interface, const std::string &key,
                       FT_HANDLE *handle)
{
    if (!take_key(key))
        return FT_DEVICE_NOT_OPENED; // open in this process, or being opened
    ftdi_context *context = ftdi_new();
    if (!context) {
        give_back_key(key);
        return FT_INSUFFICIENT_RESOURCES;
    }
    // The device found while listing, on the channel named: libftdi1's own
    // search by serial number would open every chip on the way.
    int result = ftdi_set_interface(context, interface);
    if (result == 0) {
        context->usb_write_timeout = CONTROL_TIMEOUT_MS; // open resets and sets a baud rate
        // Linux's serial driver leaves the interface when it is claimed and
        // comes back when it is released (libusb's auto-detach): the board's
        // /dev/ttyUSB port is there again after FT_Close.
        context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        result = ftdi_usb_open_dev(context, device);
    }
    if (result != 0) {
        ftdi_free(context);
        if (result == -6 || result == -7)
            give_back_to_serial_driver(device, interface);
        FT_STATUS status = FT_IO_ERROR;
        if (!still_attached(location_in(key)))
            status = FT_DEVICE_NOT_FOUND; // unplugged since it was listed
        else if (result == -4 || result == -5 || result == -8)
            status = FT_DEVICE_NOT_OPENED;
        give_back_key(key);
        return status;
    }
    auto *c = new Channel;
    c->context = context;
    c->key = key;
    // libftdi1 calls the bulk IN endpoint its out_ep.
    c->rx.usb = context->usb_dev;
    c->rx.in_endpoint = static_cast<unsigned char>(context->out_ep);
    c->rx.packet_size = context->max_packet_size > 2 ? size_t(context->max_packet_size) : 64;
    c->rx.read_timeout_ms = context->usb_read_timeout;
    if (!libftdi_layer::start(c->rx)) {
        ftdi_usb_close(context);
        ftdi_free(context);
        delete c;
        give_back_key(key);
        return FT_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        registry().open.insert(c);
    }
    *handle = c;
    return FT_OK;
}

// --- arrivals and departures -------------------------------------------------

// libusb's hotplug events on a context of their own, under a lock of their
// own: a wait never holds the listing lock, so listings and opens on other
// threads go on while a thread waits, and several threads may wait at once
// (libusb lets one of them handle the events and wakes the others). The
// callback only counts: libusb calls it from the event handling, where a
// synchronous transfer would deadlock; the station lists again to see what
// changed.
struct Watch {
    std::mutex lock; // the context and the callback's registration
    bool tried = false;
    libusb_context *context = nullptr; // null where there are no events
    FT_STATUS status = FT_NOT_SUPPORTED;
    std::atomic<uint64_t> changes{0};
};

Watch &watch()
{
    static Watch w;
    return w;
}

int LIBUSB_CALL count_change(libusb_context *, libusb_device *, libusb_hotplug_event, void *)
{
    watch().changes++;
    return 0; // stay registered
}

// The context whose events the waits handle, made at the first wait; null
// with status FT_NOT_SUPPORTED where libusb has no hotplug events (or the
// callback could not be registered), FT_OTHER_ERROR where libusb cannot start.
libusb_context *watch_context(FT_STATUS &status)
{
    Watch &w = watch();
    std::lock_guard<std::mutex> hold(w.lock);
    if (!w.tried) {
        w.tried = true;
        libusb_context *context = nullptr;
        if (libusb_init(&context) != 0) {
            w.status = FT_OTHER_ERROR;
        } else if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG) ||
                   libusb_hotplug_register_callback(
                       context,
                       LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT,
                       0, FTDI_VENDOR, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                       count_change, nullptr, nullptr) != LIBUSB_SUCCESS) {
            libusb_exit(context);
        } else {
            w.context = context; // kept for the life of the process
            w.status = FT_OK;
        }
    }
    status = w.status;
    return w.context;
}

} // namespace

extern "C" {

FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags)
{
    if (flags != (FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER) || !list_arg || !count_arg)
        return FT_INVALID_PARAMETER;
    std::lock_guard<std::mutex> hold(listing_lock());
    FT_STATUS status = list_channels();
    if (status != FT_OK)
        return status;
    const std::vector<ListedChannel> &channels = listing().channels;
    auto buffers = static_cast<char **>(list_arg);
    // Up to the null pointer that ends the caller's list, 64 bytes a buffer,
    // the terminator only where it fits.
    for (size_t i = 0; i < channels.size() && buffers[i]; i++) {
        size_t n = std::min(channels[i].name.size() + 1, size_t(64));
        std::memcpy(buffers[i], channels[i].name.c_str(), n);
    }
    *static_cast<int32_t *>(count_arg) = int32_t(channels.size());
    return FT_OK;
}

FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle)
{
    if (flags != FT_OPEN_BY_SERIAL_NUMBER || !what || !handle)
        return FT_INVALID_PARAMETER;
    libusb_device *device = nullptr;
    ftdi_interface interface = INTERFACE_ANY;
    std::string key;
    {
        std::lock_guard<std::mutex> hold(listing_lock());
        if (!listing().done) {
            FT_STATUS status = list_channels();
            if (status != FT_OK)
                return status;
        }
        const ListedChannel *listed = find_channel(static_cast<const char *>(what));
        if (!listed)
            return FT_DEVICE_NOT_FOUND;
        // A listing on another thread may free the list meanwhile: the
        // device is held on its own.
        device = libusb_ref_device(listed->device);
        interface = listed->interface;
        key = listed->key;
    }
    FT_STATUS status = open_channel(device, interface, key, handle);
    libusb_unref_device(device);
    return status;
}

FT_STATUS FT_ResetDevice(FT_HANDLE handle)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // libftdi1 drops its own read buffer here, which this layer never uses:
    // nothing received is lost.
    status = control(*c, [](ftdi_context *f) { return ftdi_usb_reset(f); });
    if (status == FT_OK) {
        libftdi_layer::chip_reset(c->rx);
    }
    return status;
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t in_size, uint32_t out_size)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // 0 leaves a size as it is: a write chunk size of 0 would make every
    // later ftdi_write_data loop for ever.
    if (in_size != 0 && (in_size < 64 || in_size > 65536 || in_size % 64 != 0))
        return FT_INVALID_PARAMETER;
    if (out_size > 65536)
        return FT_INVALID_PARAMETER;
    if (in_size != 0) {
        libftdi_layer::set_transfer_size(c->rx, in_size);
    }
    if (out_size != 0 && ftdi_write_data_set_chunksize(c->context, out_size) != 0)
        return FT_INVALID_PARAMETER;
    return FT_OK;
}

FT_STATUS FT_SetChars(FT_HANDLE handle, unsigned char event_char, unsigned char event_enable,
                      unsigned char error_char, unsigned char error_enable)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    status = control(*c, [&](ftdi_context *f) {
        return ftdi_set_event_char(f, event_char, event_enable ? 1 : 0);
    });
    if (status != FT_OK)
        return status;
    return control(*c, [&](ftdi_context *f) {
        return ftdi_set_error_char(f, error_char, error_enable ? 1 : 0);
    });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // libusb takes 0 as "wait for ever"; 1 ms is the shortest bounded wait.
    auto bounded = [](uint32_t ms) { return int(std::clamp<uint32_t>(ms, 1, 600000)); };
    // The channel's reads and queries wait the same read timeout as
    // libftdi1's: a timeout of 0 is 1 ms in both, never "for ever".
    c->context->usb_read_timeout = bounded(read_timeout_ms);
    c->context->usb_write_timeout = bounded(write_timeout_ms);
    libftdi_layer::set_read_timeout(c->rx, bounded(read_timeout_ms));
    return FT_OK;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char latency_ms)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (latency_ms == 0)
        return FT_INVALID_PARAMETER; // the chip's timer runs from 1 to 255 ms
    status = control(*c, [&](ftdi_context *f) { return ftdi_set_latency_timer(f, latency_ms); });
    if (status == FT_OK) {
        libftdi_layer::set_latency(c->rx, latency_ms);
    }
    return status;
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short flow, unsigned char xon,
                            unsigned char xoff)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // The D2XX flow values are libftdi1's SIO_*_HS values: 0, 0x100, 0x200, 0x400.
    switch (flow) {
    case SIO_DISABLE_FLOW_CTRL:
    case SIO_RTS_CTS_HS:
    case SIO_DTR_DSR_HS:
        return control(*c, [&](ftdi_context *f) { return ftdi_setflowctrl(f, flow); });
    case SIO_XON_XOFF_HS: // the characters matter only here
        return control(*c, [&](ftdi_context *f) { return ftdi_setflowctrl_xonxoff(f, xon, xoff); });
    default:
        return FT_INVALID_PARAMETER;
    }
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, unsigned char mask, unsigned char mode)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    status = control(*c, [&](ftdi_context *f) { return ftdi_set_bitmode(f, mask, mode); });
    if (status == FT_OK) {
        libftdi_layer::set_mpsse(c->rx, mode == FT_BITMODE_MPSSE);
    }
    return status;
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *written)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!buffer || !written || count > 0x7FFFFFFF)
        return FT_INVALID_PARAMETER;
    libftdi_layer::writing(c->rx, static_cast<const uint8_t *>(buffer), size_t(count));
    int result = ftdi_write_data(c->context, static_cast<const unsigned char *>(buffer), int(count));
    if (result < 0)
        return libftdi_layer::failure_status(c->rx);
    *written = uint32_t(result);
    libftdi_layer::wrote(c->rx, static_cast<const uint8_t *>(buffer), size_t(result));
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *rx_count)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!rx_count)
        return FT_INVALID_PARAMETER;
    return libftdi_layer::query(c->rx, rx_count);
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!buffer || !read)
        return FT_INVALID_PARAMETER;
    return libftdi_layer::read(c->rx, static_cast<uint8_t *>(buffer), count, read);
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    auto *c = static_cast<Channel *>(handle);
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        if (!registry().open.erase(c))
            return FT_INVALID_HANDLE;
    }
    // The reader ends its transfer in progress, which the chip answers within
    // its latency timer (a second at most), and stops; what it received goes
    // with the handle.
    libftdi_layer::stop(c->rx);
    // Releasing the interface gives it back to the kernel's serial driver
    // (the detach mode set at open). Releasing the interface of an unplugged
    // chip fails; the handle goes all the same, and the status says the chip
    // is gone, as every call on the handle after the unplug did.
    bool gone = libftdi_layer::gone(c->rx);
    int result = ftdi_usb_close(c->context);
    ftdi_free(c->context);
    std::string key = c->key;
    delete c;
    FT_STATUS status = FT_OK;
    if (result < 0)
        status = gone || !still_attached(location_in(key)) ? FT_DEVICE_NOT_FOUND : FT_IO_ERROR;
    give_back_key(key);
    return status;
}

FT_STATUS ft_list_channels(ft_channel_info *list, uint32_t capacity, uint32_t *count)
{
    if (!count || (capacity != 0 && !list))
        return FT_INVALID_PARAMETER;
    std::vector<std::pair<std::vector<int>, std::vector<ft_channel_info>>> chips;
    FT_STATUS status = with_device_list([&](libusb_device **devices, ssize_t n) {
        for (ssize_t d = 0; d < n; d++) {
            libusb_device_descriptor descriptor;
            if (libusb_get_device_descriptor(devices[d], &descriptor) != 0 ||
                mpsse_interfaces(descriptor).empty())
                continue;
            std::string location = location_of(devices[d]);
            if (location.empty() || location.size() >= FT_LOCATION_SIZE)
                continue;
            chips.push_back({place_of(devices[d]), {}});
            list_chip(devices[d], descriptor, location, chips.back().second);
        }
    });
    if (status != FT_OK)
        return status;
    std::sort(chips.begin(), chips.end(),
              [](const auto &a, const auto &b) { return a.first < b.first; });
    uint32_t found = 0;
    for (const auto &chip : chips)
        for (const ft_channel_info &info : chip.second) {
            if (found < capacity)
                list[found] = info;
            found++;
        }
    *count = found;
    return FT_OK;
}

FT_STATUS ft_open_by_location(const char *location, char channel, FT_HANDLE *handle)
{
    if (!location || !handle || channel < 'A' || channel > 'D')
        return FT_INVALID_PARAMETER;
    libusb_device *device = nullptr;
    ftdi_interface interface = INTERFACE_ANY;
    FT_STATUS status = with_device_list([&](libusb_device **devices, ssize_t n) {
        for (ssize_t d = 0; d < n && !device; d++) {
            libusb_device_descriptor descriptor;
            if (location_of(devices[d]) != location ||
                libusb_get_device_descriptor(devices[d], &descriptor) != 0)
                continue;
            for (ftdi_interface i : mpsse_interfaces(descriptor))
                if (channel_letter(i) == channel) {
                    device = libusb_ref_device(devices[d]);
                    interface = i;
                }
        }
    });
    if (status != FT_OK)
        return status;
    if (!device)
        return FT_DEVICE_NOT_FOUND;
    status = open_channel(device, interface, key_of(location, interface), handle);
    libusb_unref_device(device);
    return status;
}

void ft_release_listings(void)
{
    std::lock_guard<std::mutex> hold(listing_lock());
    Listing &l = listing();
    if (l.devices)
        ftdi_list_free(&l.devices);
    l.devices = nullptr;
    l.channels.clear();
    l.done = false;
    if (l.context)
        ftdi_free(l.context); // libusb_exit: the last context takes libusb's thread with it
    l.context = nullptr;
}

FT_STATUS ft_wait_for_change(uint32_t timeout_ms, int *changed)
{
    if (!changed)
        return FT_INVALID_PARAMETER;
    FT_STATUS status = FT_OK;
    libusb_context *context = watch_context(status);
    if (!context)
        return status;
    Watch &w = watch();
    uint64_t before = w.changes.load();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    // libusb delivers the events that came while no thread waited at the
    // next wait: a chip that arrives between two calls is seen by the second.
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (w.changes.load() != before || left.count() <= 0)
            break;
        timeval tv{};
        tv.tv_sec = long(left.count() / 1000000);
        tv.tv_usec = long(left.count() % 1000000);
        int done = 0;
        int result = libusb_handle_events_timeout_completed(context, &tv, &done);
        if (result < 0 && result != LIBUSB_ERROR_INTERRUPTED && result != LIBUSB_ERROR_TIMEOUT)
            return FT_IO_ERROR;
    }
    *changed = w.changes.load() != before ? 1 : 0;
    return FT_OK;
}

} // extern "C"
