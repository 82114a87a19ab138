// The libftdi1 layer's listings, over one way of finding the chips: the
// devices libusb lists now, those with an MPSSE channel kept.
//
// Naming. FT_ListDevices has one entry per channel that carries an MPSSE
// (device_link/chip_kinds.h, which tells a chip's kind by its USB product
// id and release): A and B of the dual and quad high-speed chips, A alone
// of the older full-speed dual chip, and the one channel of the single
// high-speed chip. A multi-channel chip's entry is its serial number
// followed by the channel letter, a single-channel chip's entry is the plain
// serial number: the names the chip maker's own driver gives. Chips we may
// not open (permissions) and chips without a serial number are passed over.
//
// Places. The station's listing (ft_locations.h) names each channel by where
// its chip is plugged, "1-4.2" as Linux's sysfs writes it, with its letter,
// serial number ("" for a blank EEPROM), kind and whether it may be opened,
// and opens by that place: blank and copied serial numbers need no name. It
// lists chips in the order of their bus and port numbers, probe_access says
// how "in use" is found. Both listings read each chip's serial number over a
// libusb handle that claims nothing, and both ways of opening share one path
// and give the chip the same USB transfers.
#include "device_link/chip_kinds.h"
#include "device_link/ft_locations.h"
#include "libftdi_layer.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace libftdi_layer {
namespace {

struct ListedChannel {
    std::string name;
    std::string key;
    libusb_device *device; // held by the listing's reference
    ftdi_interface interface;
};

// The USB session of the listings: one libftdi1 context that never opens a
// device, and the channels the last listing by name found. Their devices
// stay referenced until the next listing, so that FT_OpenEx opens exactly
// what was listed.
struct Listing {
    ftdi_context *context = nullptr;
    std::vector<libusb_device *> devices; // one reference each
    std::vector<ListedChannel> channels;
    bool done = false;
};

// Never destroyed: a channel left open at exit still has its reader thread
// on the listing's libusb context, and the devices listed stay referenced
// (once libusb has handled a chip's departure, the listing's reference is
// the only one left) until the process ends.
Listing &listing()
{
    static Listing &l = *new Listing;
    return l;
}

// Held by whoever reads or renews the listing, or looks a device up through
// its libusb context.
std::mutex &listing_lock()
{
    static std::mutex lock;
    return lock;
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

// Where a device is plugged, as Linux's sysfs names it: the bus number, '-',
// and the hub ports from the root joined by '.'. "" for a root hub or a
// path libusb cannot give.
std::string location_of(libusb_device *device)
{
    std::vector<int> place = place_of(device);
    if (place.size() < 2)
        return "";
    std::string text = std::to_string(place[0]) + "-";
    for (size_t i = 1; i < place.size(); i++)
        text += (i > 1 ? "." : "") + std::to_string(place[i]);
    return text;
}

// The channels with an MPSSE on a chip of kind, A first; a single-channel
// chip's is libftdi1's INTERFACE_ANY.
std::vector<ftdi_interface> mpsse_interfaces(const chip_facts &kind)
{
    if (kind.channels == 1)
        return {INTERFACE_ANY};
    std::vector<ftdi_interface> interfaces;
    interfaces.reserve(size_t(kind.mpsse_channels));
    for (int i = 0; i < kind.mpsse_channels; i++)
        interfaces.push_back(ftdi_interface(int(INTERFACE_A) + i));
    return interfaces;
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
    FT_STATUS status = listing_context();
    if (status != FT_OK)
        return status;
    libusb_device **devices = nullptr;
    ssize_t n = libusb_get_device_list(listing().context->usb_ctx, &devices);
    if (n < 0) {
        failure_cause() = libusb_cause(int(n));
        return FT_IO_ERROR;
    }
    visit(devices, n);
    libusb_free_device_list(devices, 1);
    return FT_OK;
}

// A chip with an MPSSE, as the device list shows it.
struct Chip {
    libusb_device *device;
    libusb_device_descriptor descriptor;
    const chip_facts *kind; // by its product and release
    std::string location;
    std::vector<ftdi_interface> interfaces; // A first
};

// The one way the listings find chips: under the listing lock, hands visit
// each chip with an MPSSE libusb lists now, in the list's order.
template <typename Visit>
FT_STATUS with_chips(Visit visit)
{
    return with_device_list([&](libusb_device **devices, ssize_t n) {
        for (ssize_t d = 0; d < n; d++) {
            Chip chip{devices[d], {}, nullptr, "", {}};
            if (libusb_get_device_descriptor(chip.device, &chip.descriptor) != 0)
                continue;
            chip.kind = chip_by_usb(chip.descriptor.idVendor, chip.descriptor.idProduct, chip.descriptor.bcdDevice);
            if (!chip.kind)
                continue;
            chip.interfaces = mpsse_interfaces(*chip.kind);
            chip.location = location_of(chip.device);
            visit(chip);
        }
    });
}

// Open the chip's device without claiming anything and read its serial
// number: libusb_open's result, with *usb to close when it is 0. The
// serial number is "" when the chip has none or it cannot be read.
int open_for_listing(const Chip &chip, libusb_device_handle **usb, std::string &serial)
{
    *usb = nullptr;
    serial.clear();
    int opened = libusb_open(chip.device, usb);
    if (opened == 0 && chip.descriptor.iSerialNumber != 0) {
        unsigned char text[256] = {};
        int n = libusb_get_string_descriptor_ascii(*usb, chip.descriptor.iSerialNumber, text,
                                                   int(sizeof text));
        if (n > 0)
            serial.assign(reinterpret_cast<const char *>(text), size_t(n));
    }
    return opened;
}

void forget_named(Listing &l)
{
    for (libusb_device *device : l.devices)
        libusb_unref_device(device);
    l.devices.clear();
    l.channels.clear();
    l.done = false;
}

// Find every chip anew, by name. Under the listing lock.
FT_STATUS list_named()
{
    Listing &l = listing();
    forget_named(l);
    FT_STATUS status = with_chips([&](const Chip &chip) {
        libusb_device_handle *usb = nullptr;
        std::string serial;
        if (open_for_listing(chip, &usb, serial) != 0)
            return; // usually for want of permission
        libusb_close(usb);
        if (serial.empty())
            return; // no EEPROM, no serial number: nothing to name it by
        l.devices.push_back(libusb_ref_device(chip.device));
        for (ftdi_interface i : chip.interfaces) {
            std::string name = serial;
            if (i != INTERFACE_ANY)
                name += channel_letter(i);
            l.channels.push_back({name, key_of(chip.location, i), chip.device, i});
        }
    });
    if (status != FT_OK)
        return status;
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

// The channels of one chip, A first.
void list_chip(const Chip &chip, std::vector<ft_channel_info> &found)
{
    libusb_device_handle *usb = nullptr;
    std::string serial;
    int opened = open_for_listing(chip, &usb, serial);
    if (opened == LIBUSB_ERROR_NO_DEVICE)
        return; // gone since the device list was made
    for (ftdi_interface i : chip.interfaces) {
        ft_channel_info info{};
        set_text(info.location, sizeof info.location, chip.location);
        info.channel = channel_letter(i);
        set_text(info.serial, sizeof info.serial, serial);
        set_text(info.chip, sizeof info.chip, chip.kind->name);
        // Bus and address: a new one with each enumeration, so a chip swapped
        // for another between two listings is seen to be another.
        info.instance = uint32_t(libusb_get_bus_number(chip.device)) << 8 | libusb_get_device_address(chip.device);
        std::string note;
        if (opened == 0) {
            info.access = probe_access(usb, key_of(chip.location, i), i, note);
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

} // namespace

FT_STATUS list_names(std::vector<std::string> &names)
{
    std::lock_guard<std::mutex> hold(listing_lock());
    FT_STATUS status = list_named();
    if (status != FT_OK)
        return status;
    names.clear();
    for (const ListedChannel &c : listing().channels)
        names.push_back(c.name);
    return FT_OK;
}

FT_STATUS find_named(const std::string &name, Named &found)
{
    std::lock_guard<std::mutex> hold(listing_lock());
    if (!listing().done) {
        FT_STATUS status = list_named();
        if (status != FT_OK)
            return status;
    }
    const ListedChannel *listed = find_channel(name);
    if (!listed)
        return FT_DEVICE_NOT_FOUND;
    // A listing on another thread may drop the listing's reference
    // meanwhile: the device is held on its own.
    found.device = libusb_ref_device(listed->device);
    found.interface = listed->interface;
    found.key = listed->key;
    return FT_OK;
}

bool still_attached(const std::string &location)
{
    bool found = false;
    FT_STATUS status;
    {
        std::lock_guard<std::mutex> hold(listing_lock());
        status = with_device_list([&](libusb_device **devices, ssize_t n) {
            for (ssize_t d = 0; d < n && !found; d++)
                found = location_of(devices[d]) == location;
        });
    }
    if (status == FT_IO_ERROR)
        return true; // cannot tell: the failure is the chip's
    return found;
}

} // namespace libftdi_layer

using namespace libftdi_layer;

extern "C" {

FT_STATUS ft_list_channels(ft_channel_info *list, uint32_t capacity, uint32_t *count)
{
    clear_cause();
    if (!count || (capacity != 0 && !list))
        return FT_INVALID_PARAMETER;
    std::vector<std::pair<std::vector<int>, std::vector<ft_channel_info>>> chips;
    FT_STATUS status;
    {
        std::lock_guard<std::mutex> hold(listing_lock());
        status = with_chips([&](const Chip &chip) {
            if (chip.location.empty() || chip.location.size() >= FT_LOCATION_SIZE)
                return;
            chips.push_back({place_of(chip.device), {}});
            list_chip(chip, chips.back().second);
        });
    }
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
    clear_cause();
    if (!location || !handle || channel < 'A' || channel > 'D')
        return FT_INVALID_PARAMETER;
    libusb_device *device = nullptr;
    ftdi_interface interface = INTERFACE_ANY;
    FT_STATUS status;
    {
        std::lock_guard<std::mutex> hold(listing_lock());
        status = with_chips([&](const Chip &chip) {
            if (device || chip.location != location)
                return;
            for (ftdi_interface i : chip.interfaces)
                if (channel_letter(i) == channel) {
                    device = libusb_ref_device(chip.device);
                    interface = i;
                }
        });
    }
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
    forget_named(l);
    if (l.context)
        ftdi_free(l.context); // libusb_exit: the last context takes libusb's thread with it
    l.context = nullptr;
}

} // extern "C"
