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
// Receiving. libftdi1 cannot say how many bytes wait in the chip. Each open
// channel keeps a receive queue of its own: FT_GetQueueStatus polls the chip
// until it answers with an empty packet and reports what the queue holds,
// FT_Read serves the queue and polls for the rest until its timeout. Polled
// bytes are only ever given to the caller, never dropped, a reset included:
// the reset clears what the chip still held, not what it already sent.
//
// Every loop here is bounded by a count of USB transfers, so a silent or
// unplugged chip makes calls fail or come back short, never hang.
//
// Failures, libftdi1 or libusb -> FT_STATUS (the one table of this layer):
//
//   libusb_init failed (ftdi_new gives no context)   -> FT_OTHER_ERROR
//   out of memory (ftdi_new, read chunk size)        -> FT_INSUFFICIENT_RESOURCES
//   ftdi_usb_find_all failed (device list unreadable)-> FT_IO_ERROR
//   FT_OpenEx: no listed channel of that name         -> FT_DEVICE_NOT_FOUND
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
//     every later call on that handle, too            -> FT_DEVICE_NOT_FOUND
//   bulk read timed out (LIBUSB_ERROR_TIMEOUT)        -> not a failure: what
//                                                        arrived is delivered
#include "device_link/ft_driver.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <deque>
#include <set>
#include <string>
#include <vector>

namespace {

// libftdi1 applies its write timeout to control requests as well. The
// system's 10 ms suits bulk transfers; a control request on a busy hub may
// need far longer, so each one runs under this timeout instead.
constexpr int CONTROL_TIMEOUT_MS = 5000;

// Bounds of the receive side. A poll is one bulk IN transfer; the chip
// answers each within its latency timer, with an empty packet at the least.
constexpr int MAX_POLLS_PER_QUERY = 256;
constexpr int MAX_POLLS_PER_READ = 256;
constexpr size_t QUEUE_LIMIT = size_t(1) << 20; // stop polling, never drop

constexpr uint16_t FTDI_VENDOR = 0x0403;

struct ListedChannel {
    std::string name;
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

struct Channel {
    ftdi_context *context;
    std::string name;
    std::deque<uint8_t> queue; // received from the chip, not yet read
    int read_timeout_ms = 5000;
    bool gone = false;         // the chip was unplugged
};

std::set<Channel *> &open_channels()
{
    static std::set<Channel *> channels;
    return channels;
}

Channel *channel_of(FT_HANDLE handle)
{
    auto *c = static_cast<Channel *>(handle);
    return open_channels().count(c) ? c : nullptr;
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
    return char('A' + (int(i) - int(INTERFACE_A)));
}

// Find every chip anew. Returns an FT_STATUS.
FT_STATUS list_channels()
{
    Listing &l = listing();
    if (!l.context) {
        l.context = ftdi_new(); // fails when libusb_init fails
        if (!l.context)
            return FT_OTHER_ERROR;
    }
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
        for (ftdi_interface i : interfaces) {
            std::string name = serial;
            if (i != INTERFACE_ANY)
                name += channel_letter(i);
            l.channels.push_back({name, node->dev, i});
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

bool in_use(const ListedChannel &listed)
{
    for (Channel *c : open_channels())
        if (c->name == listed.name)
            return true;
    return false;
}

// The status of a failed transfer or request on an open channel: the chip is
// either gone or it refused.
FT_STATUS failure_status(Channel &c, int libusb_error = 0)
{
    int configuration = 0;
    if (libusb_error == LIBUSB_ERROR_NO_DEVICE ||
        libusb_get_configuration(c.context->usb_dev, &configuration) == LIBUSB_ERROR_NO_DEVICE)
        c.gone = true;
    return c.gone ? FT_DEVICE_NOT_FOUND : FT_IO_ERROR;
}

// Run a libftdi1 control request under the control timeout.
template <typename Request>
FT_STATUS control(Channel &c, Request request)
{
    int saved = c.context->usb_write_timeout;
    c.context->usb_write_timeout = CONTROL_TIMEOUT_MS;
    int result = request(c.context);
    c.context->usb_write_timeout = saved;
    return result < 0 ? failure_status(c) : FT_STATUS(FT_OK);
}

// The channel behind a handle for a call that talks to the chip; status is
// set when there is none to talk to.
Channel *usable(FT_HANDLE handle, FT_STATUS &status)
{
    Channel *c = channel_of(handle);
    status = !c ? FT_INVALID_HANDLE : c->gone ? FT_DEVICE_NOT_FOUND : FT_OK;
    return status == FT_OK ? c : nullptr;
}

// One bulk IN transfer into the queue. Returns 1 when bytes came, 0 when the
// chip had nothing (an empty packet or a timeout), or a libusb error.
//
// ftdi_read_data asked for one byte makes at most one transfer when its own
// buffer is empty, and keeps whatever else came; asking for more could start
// a second transfer whose timeout makes libftdi1 return an error and lose the
// bytes of the first. The rest is then taken from its buffer, without USB.
int poll_once(Channel &c)
{
    uint8_t first;
    int result = ftdi_read_data(c.context, &first, 1);
    if (result == LIBUSB_ERROR_TIMEOUT || result == 0)
        return 0;
    if (result < 0)
        return result == -666 ? LIBUSB_ERROR_NO_DEVICE : result;
    c.queue.push_back(first);
    uint8_t rest[512];
    while (c.context->readbuffer_remaining > 0) {
        int n = ftdi_read_data(c.context, rest,
                               int(std::min<size_t>(c.context->readbuffer_remaining, sizeof rest)));
        if (n <= 0)
            break;
        c.queue.insert(c.queue.end(), rest, rest + n);
    }
    return 1;
}

} // namespace

extern "C" {

FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags)
{
    if (flags != (FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER) || !list_arg || !count_arg)
        return FT_INVALID_PARAMETER;
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
    if (!listing().done) {
        FT_STATUS status = list_channels();
        if (status != FT_OK)
            return status;
    }
    const ListedChannel *listed = find_channel(static_cast<const char *>(what));
    if (!listed)
        return FT_DEVICE_NOT_FOUND;
    if (in_use(*listed))
        return FT_DEVICE_NOT_OPENED;

    ftdi_context *context = ftdi_new();
    if (!context)
        return FT_INSUFFICIENT_RESOURCES;
    // The device found while listing, on the channel named: libftdi1's own
    // search by serial number would open every chip on the way.
    int result = ftdi_set_interface(context, listed->interface);
    if (result == 0) {
        context->usb_write_timeout = CONTROL_TIMEOUT_MS; // open resets and sets a baud rate
        result = ftdi_usb_open_dev(context, listed->device);
    }
    if (result != 0) {
        ftdi_free(context);
        return (result == -4 || result == -5 || result == -8) ? FT_DEVICE_NOT_OPENED : FT_IO_ERROR;
    }
    auto *c = new Channel{context, listed->name, {}, context->usb_read_timeout, false};
    open_channels().insert(c);
    *handle = c;
    return FT_OK;
}

FT_STATUS FT_ResetDevice(FT_HANDLE handle)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // libftdi1 drops its own read buffer here; poll_once always empties it
    // into the queue, so nothing received is lost.
    return control(*c, [](ftdi_context *f) { return ftdi_usb_reset(f); });
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
    if (in_size != 0 && ftdi_read_data_set_chunksize(c->context, in_size) != 0)
        return FT_INSUFFICIENT_RESOURCES;
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
    c->context->usb_read_timeout = bounded(read_timeout_ms);
    c->context->usb_write_timeout = bounded(write_timeout_ms);
    c->read_timeout_ms = int(std::min<uint32_t>(read_timeout_ms, 600000));
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
    return control(*c, [&](ftdi_context *f) { return ftdi_set_latency_timer(f, latency_ms); });
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
    return control(*c, [&](ftdi_context *f) { return ftdi_set_bitmode(f, mask, mode); });
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *written)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!buffer || !written || count > 0x7FFFFFFF)
        return FT_INVALID_PARAMETER;
    int result = ftdi_write_data(c->context, static_cast<const unsigned char *>(buffer), int(count));
    if (result < 0)
        return failure_status(*c);
    *written = uint32_t(result);
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
    // Take in everything the chip has sent so far: it answers an empty
    // packet once it has nothing more.
    for (int polls = 0; polls < MAX_POLLS_PER_QUERY && c->queue.size() < QUEUE_LIMIT; polls++) {
        int result = poll_once(*c);
        if (result < 0)
            return failure_status(*c, result);
        if (result == 0)
            break;
    }
    *rx_count = uint32_t(c->queue.size());
    return FT_OK;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!buffer || !read)
        return FT_INVALID_PARAMETER;
    // Wait for the rest until the read timeout; a short read succeeds.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(c->read_timeout_ms);
    for (int polls = 0; c->queue.size() < count && polls < MAX_POLLS_PER_READ; polls++) {
        int result = poll_once(*c);
        if (result < 0)
            return failure_status(*c, result); // what was queued stays queued
        if (result == 0 && std::chrono::steady_clock::now() >= deadline)
            break;
    }
    size_t n = std::min<size_t>(count, c->queue.size());
    std::copy_n(c->queue.begin(), n, static_cast<uint8_t *>(buffer));
    c->queue.erase(c->queue.begin(), c->queue.begin() + long(n));
    *read = uint32_t(n);
    return FT_OK;
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    Channel *c = channel_of(handle);
    if (!c)
        return FT_INVALID_HANDLE;
    open_channels().erase(c);
    // Releasing the interface of an unplugged chip fails; the handle goes all
    // the same. The kernel's serial driver is not re-attached.
    int result = ftdi_usb_close(c->context);
    ftdi_free(c->context);
    delete c;
    return result < 0 ? FT_IO_ERROR : FT_OK;
}

} // extern "C"
