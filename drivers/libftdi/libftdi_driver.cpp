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
// Receiving. libftdi1 cannot say how many bytes wait in the chip, and the
// chip sends a part-filled packet only when its latency timer expires: a
// bulk read that finds nothing waits one timer length for the empty packet.
// So each open channel has a reader thread that reads in the background into
// a receive queue of the layer's own, which FT_GetQueueStatus and FT_Read
// serve.
//
// In MPSSE mode the chip sends only the answers to the commands it is sent,
// so the reader works in rounds: every FT_Write asks for one, which starts
// one timer length later (a read sent sooner would only wait at the chip)
// and reads until the chip answers with an empty packet. A query or read
// first waits for the rounds asked before it, starting a pending one at once;
// after the settle wait that follows a command the round is long over, and
// the query answers from memory. Between rounds the thread waits on a
// condition variable, and within one it blocks in the read: it never spins.
// The first query or read after opening makes a round of its own, so bytes
// the chip held before any write are found too.
//
// A query made sooner than one timer length after a write that holds only
// MPSSE commands without an answer (setting pins, the loopback), as the
// drains of the synchronisation are, need not wait for that write's round:
// it would only wait at the chip for an empty packet. It answers from memory,
// and the round goes on in the background for the next query. A query made
// later waits for every round asked, so that whatever the chip sent before
// the query's settle wait began is counted. A chip reset purges what the chip
// held, so after one the round at open is owed to no query either. The calls on a handle come
// from one thread at a time, as the system makes them; the reader is the
// only other thread, and it never touches the libftdi1 context.
//
// Received bytes are only ever given to the caller, never dropped, a reset
// included: the reset clears what the chip still held, not what it already
// sent. A background read that fails is reported by the next query or read;
// an unplugged chip fails every call after it. FT_Close stops the reader
// before it releases the chip.
//
// Every round and every read is bounded by a count of USB transfers and each
// transfer by a timeout, so a silent or unplugged chip makes calls fail or
// come back short, never hang.
//
// Failures, libftdi1 or libusb -> FT_STATUS (the one table of this layer):
//
//   libusb_init failed (ftdi_new gives no context)   -> FT_OTHER_ERROR
//   out of memory or threads (ftdi_new, the reader)  -> FT_INSUFFICIENT_RESOURCES
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
//   a background read failed                          -> as above, from the
//                                                        next query or read
#include "device_link/ft_driver.h"
#include "device_link/ft_locations.h"
#include "mpsse/mpsse_commands.h"

#include <ftdi.h>
#include <libusb.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

// libftdi1 applies its write timeout to control requests as well. The
// system's 10 ms suits bulk transfers; a control request on a busy hub may
// need far longer, so each one runs under this timeout instead.
constexpr int CONTROL_TIMEOUT_MS = 5000;

// Bounds of the receive side. The chip answers every bulk IN transfer within
// its latency timer, with an empty packet at the least.
constexpr int MAX_TRANSFERS_PER_ROUND = 256;
constexpr int MAX_ROUNDS_PER_READ = 256;
constexpr size_t QUEUE_LIMIT = size_t(1) << 20; // stop reading, never drop

// A background read waits at least two timer lengths, since the chip answers
// within one and a shorter timeout would cut off an answer on its way; and at
// most a second, so that FT_Close never waits long for a silent chip.
constexpr int MAX_BACKGROUND_TIMEOUT_MS = 1000;

constexpr int DEFAULT_LATENCY_MS = 16; // the chip's own, until set

using Clock = std::chrono::steady_clock;

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
    // The bulk IN pipe, fixed at open: all of the USB side the reader touches.
    libusb_device_handle *usb = nullptr;
    unsigned char in_endpoint = 0;
    size_t packet_size = 512;        // each packet starts with 2 status bytes

    std::mutex lock; // guards everything below
    std::condition_variable changed;
    std::deque<uint8_t> queue;       // received from the chip, not yet read
    int read_timeout_ms = 5000;
    int latency_ms = DEFAULT_LATENCY_MS;
    size_t transfer_size = 4096;
    // Rounds are counted: one is asked at open (started by the first query or
    // read) and one by every write; rounds_done is the count asked when the
    // transfer that ended the last round began.
    uint64_t rounds_asked = 1;
    uint64_t rounds_done = 0;
    uint64_t rounds_owed = 1;        // what a query right after a write waits for
    bool mpsse = false;              // bit mode MPSSE: written bytes are commands
    Clock::time_point round_start = Clock::time_point::max(); // not before
    FT_STATUS failure = FT_OK;       // of a background read, not yet reported
    bool gone = false;               // the chip was unplugged
    bool closing = false;

    std::thread reader;
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


// The status of a failed transfer or request on an open channel: the chip is
// either gone or it refused. Asks the USB stack, so not under the lock.
FT_STATUS failure_status(Channel &c, int libusb_error = 0)
{
    int configuration = 0;
    bool gone = libusb_error == LIBUSB_ERROR_NO_DEVICE ||
                libusb_get_configuration(c.usb, &configuration) == LIBUSB_ERROR_NO_DEVICE;
    std::lock_guard<std::mutex> hold(c.lock);
    c.gone = c.gone || gone;
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
    if (!c) {
        status = FT_INVALID_HANDLE;
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(c->lock);
    status = c->gone ? FT_DEVICE_NOT_FOUND : FT_OK;
    return status == FT_OK ? c : nullptr;
}

using Hold = std::unique_lock<std::mutex>;

// The reader's next step: a transfer of a round that may start now, or the
// end. Waits for it on the condition variable.
bool wait_for_round(Channel &c, Hold &hold)
{
    for (;;) {
        if (c.closing)
            return false;
        bool wanted = c.rounds_done < c.rounds_asked && !c.gone;
        if (wanted && Clock::now() >= c.round_start)
            return true;
        if (wanted && c.round_start != Clock::time_point::max())
            c.changed.wait_until(hold, c.round_start);
        else
            c.changed.wait(hold);
    }
}

// Strip the 2 status bytes that start every packet and queue the rest.
// Returns the count of data bytes.
size_t queue_payload(Channel &c, const std::vector<uint8_t> &transfer, size_t length)
{
    size_t data = 0;
    for (size_t at = 0; at < length; at += c.packet_size) {
        size_t end = std::min(at + c.packet_size, length);
        if (end - at > 2) {
            c.queue.insert(c.queue.end(), transfer.begin() + long(at + 2), transfer.begin() + long(end));
            data += end - at - 2;
        }
    }
    return data;
}

// The thread behind each open channel: bulk IN transfers, a round at a time.
void read_in_background(Channel &c)
{
    std::vector<uint8_t> transfer;
    int transfers_in_round = 0;
    Hold hold(c.lock);
    while (wait_for_round(c, hold)) {
        uint64_t covers = c.rounds_asked; // what an empty answer to this transfer proves
        size_t data = 0;
        FT_STATUS failure = FT_OK;
        if (c.queue.size() < QUEUE_LIMIT) {
            transfer.resize(c.transfer_size);
            int timeout = std::clamp(c.read_timeout_ms, 2 * c.latency_ms, MAX_BACKGROUND_TIMEOUT_MS);
            hold.unlock();
            int received = 0;
            int result = libusb_bulk_transfer(c.usb, c.in_endpoint, transfer.data(), int(transfer.size()),
                                              &received, timeout);
            // A timeout is a chip with nothing to say; what came before it counts.
            if (result < 0 && result != LIBUSB_ERROR_TIMEOUT)
                failure = failure_status(c, result);
            hold.lock();
            data = queue_payload(c, transfer, size_t(std::max(received, 0)));
        }
        transfers_in_round++;
        if (failure != FT_OK)
            c.failure = failure;
        if (failure != FT_OK || data == 0 || transfers_in_round >= MAX_TRANSFERS_PER_ROUND ||
            c.queue.size() >= QUEUE_LIMIT) {
            c.rounds_done = covers;
            transfers_in_round = 0;
        }
        c.changed.notify_all();
    }
}

// Wait until the rounds asked up to target are done, starting a pending one
// now. false when the chip is gone.
bool finish_rounds(Channel &c, Hold &hold, uint64_t target)
{
    if (c.rounds_done < target) {
        c.round_start = std::min(c.round_start, Clock::now());
        c.changed.notify_all();
        c.changed.wait(hold, [&] { return c.rounds_done >= target || c.gone; });
    }
    return !c.gone;
}

// Whether the chip may answer these bytes in MPSSE mode: anything but a run
// of commands that set pins or the loopback, which never answer.
bool may_answer(const uint8_t *bytes, size_t count)
{
    for (size_t at = 0; at < count;) {
        switch (bytes[at]) {
        case MPSSE_SET_BITS_LOW:
        case MPSSE_SET_BITS_HIGH:
            at += 3; // the opcode, the value and the direction
            break;
        case MPSSE_LOOPBACK_ON:
        case MPSSE_LOOPBACK_OFF:
            at += 1;
            break;
        default:
            return true;
        }
    }
    return false;
}

// The failure of a background read, reported once.
FT_STATUS take_failure(Channel &c)
{
    FT_STATUS failure = c.gone ? FT_STATUS(FT_DEVICE_NOT_FOUND) : c.failure;
    c.failure = FT_OK;
    return failure;
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
        give_back_key(key);
        return (result == -4 || result == -5 || result == -8) ? FT_DEVICE_NOT_OPENED : FT_IO_ERROR;
    }
    auto *c = new Channel;
    c->context = context;
    c->key = key;
    // libftdi1 calls the bulk IN endpoint its out_ep.
    c->usb = context->usb_dev;
    c->in_endpoint = static_cast<unsigned char>(context->out_ep);
    c->packet_size = context->max_packet_size > 2 ? context->max_packet_size : 64;
    c->read_timeout_ms = context->usb_read_timeout;
    try {
        c->reader = std::thread(read_in_background, std::ref(*c));
    } catch (const std::system_error &) {
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
        std::lock_guard<std::mutex> hold(c->lock);
        c->rounds_owed = c->rounds_done; // the chip holds nothing from before
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
        std::lock_guard<std::mutex> hold(c->lock);
        c->transfer_size = in_size;
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
    c->context->usb_read_timeout = bounded(read_timeout_ms);
    c->context->usb_write_timeout = bounded(write_timeout_ms);
    std::lock_guard<std::mutex> hold(c->lock);
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
    status = control(*c, [&](ftdi_context *f) { return ftdi_set_latency_timer(f, latency_ms); });
    if (status == FT_OK) {
        std::lock_guard<std::mutex> hold(c->lock);
        c->latency_ms = latency_ms;
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
        std::lock_guard<std::mutex> hold(c->lock);
        c->mpsse = mode == FT_BITMODE_MPSSE;
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
    int result = ftdi_write_data(c->context, static_cast<const unsigned char *>(buffer), int(count));
    if (result < 0)
        return failure_status(*c);
    *written = uint32_t(result);
    // The answers are on their way: a round collects them once the chip's
    // latency timer lets them out.
    std::lock_guard<std::mutex> hold(c->lock);
    c->rounds_asked++;
    if (!c->mpsse || may_answer(static_cast<const uint8_t *>(buffer), size_t(result)))
        c->rounds_owed = c->rounds_asked;
    c->round_start = Clock::now() + std::chrono::milliseconds(c->latency_ms);
    c->changed.notify_all();
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
    Hold hold(c->lock);
    bool round_due = Clock::now() >= c->round_start;
    finish_rounds(*c, hold, round_due ? c->rounds_asked : c->rounds_owed);
    status = take_failure(*c);
    if (status != FT_OK)
        return status;
    *rx_count = uint32_t(std::min<size_t>(c->queue.size(), UINT32_MAX));
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
    Hold hold(c->lock);
    // Wait for the rest until the read timeout; a short read succeeds.
    auto deadline = Clock::now() + std::chrono::milliseconds(c->read_timeout_ms);
    bool attached = finish_rounds(*c, hold, c->rounds_asked);
    for (int rounds = 0; attached && c->failure == FT_OK && c->queue.size() < count &&
                         rounds < MAX_ROUNDS_PER_READ && Clock::now() < deadline;
         rounds++) {
        c->rounds_asked++;
        attached = finish_rounds(*c, hold, c->rounds_asked);
    }
    status = take_failure(*c);
    if (status != FT_OK)
        return status; // what was queued stays queued
    size_t n = std::min<size_t>(count, c->queue.size());
    std::copy_n(c->queue.begin(), n, static_cast<uint8_t *>(buffer));
    c->queue.erase(c->queue.begin(), c->queue.begin() + long(n));
    *read = uint32_t(n);
    return FT_OK;
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
    // its latency timer, and stops; what it received goes with the handle.
    {
        std::lock_guard<std::mutex> hold(c->lock);
        c->closing = true;
    }
    c->changed.notify_all();
    c->reader.join();
    // Releasing the interface gives it back to the kernel's serial driver
    // (the detach mode set at open). Releasing the interface of an unplugged
    // chip fails; the handle goes all the same.
    int result = ftdi_usb_close(c->context);
    ftdi_free(c->context);
    give_back_key(c->key);
    delete c;
    return result < 0 ? FT_IO_ERROR : FT_OK;
}

FT_STATUS ft_list_channels(ft_channel_info *list, uint32_t capacity, uint32_t *count)
{
    if (!count || (capacity != 0 && !list))
        return FT_INVALID_PARAMETER;
    std::vector<std::pair<std::vector<int>, std::vector<ft_channel_info>>> chips;
    {
        std::lock_guard<std::mutex> hold(listing_lock());
        FT_STATUS status = listing_context();
        if (status != FT_OK)
            return status;
        libusb_device **devices = nullptr;
        ssize_t n = libusb_get_device_list(listing().context->usb_ctx, &devices);
        if (n < 0)
            return FT_IO_ERROR;
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
        libusb_free_device_list(devices, 1);
    }
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
    {
        std::lock_guard<std::mutex> hold(listing_lock());
        FT_STATUS status = listing_context();
        if (status != FT_OK)
            return status;
        libusb_device **devices = nullptr;
        ssize_t n = libusb_get_device_list(listing().context->usb_ctx, &devices);
        if (n < 0)
            return FT_IO_ERROR;
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
        libusb_free_device_list(devices, 1);
    }
    if (!device)
        return FT_DEVICE_NOT_FOUND;
    FT_STATUS status = open_channel(device, interface, key_of(location, interface), handle);
    libusb_unref_device(device);
    return status;
}

} // extern "C"
