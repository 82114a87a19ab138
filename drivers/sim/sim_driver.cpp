// The thirteen driver operations over simulated chips held in memory. Each
// call is recorded, then checked against the injected faults, then carried out.
// Beside them, the station's listing and opening by location, and the chip
// maker's device-information list that the Windows loader builds those on;
// and each chip's EEPROM, which the station programs.
#include "sim_control.h"

#include "chip_eeprom.h"

#include "device_link/chip_kinds.h"
#include "device_link/ft_device_info.h"

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <poll.h>
#include <unistd.h>
#endif

namespace sim {
namespace {

// A chip's EEPROM, shared by its channels and kept across its enumerations.
struct ChipEeprom : chip::Eeprom {
    int64_t away_ms = 0;                    // after FT_CyclePort
    bool never_returns = false;
};

struct Device {
    std::string serial;           // as FT_ListDevices lists it; "" when not listed there
    std::string location;         // "" for a device attached by serial alone
    char channel = 'A';
    std::string chip_serial;      // the chip's own, without the channel letter
    ChipKind kind = ChipKind::FT2232H;
    std::string access_note;      // why it may not be opened; "" when it may
    int64_t plugged_at = 0;       // Unix time in ms; 0: from the start
    int64_t unplugged_at = 0;     // Unix time in ms; 0: never
    chip::MpsseChannel engine;
    std::deque<uint8_t> received; // bytes the chip has sent, not yet read
    bool open = false;
    int writes = 0;               // FT_Write calls that reached it
    int hold_write = 0;           // the write held until it leaves; 0: none
    std::shared_ptr<ChipEeprom> eeprom;
};

// An entry of the device-information list: a device's own channel, or one
// of the same chip that has no MPSSE engine and so is no device here.
struct InfoEntry {
    size_t device;
    char channel;
};

// The whole simulated world, with one reset.
struct World {
    bool hotplug_events = true;
    std::vector<Device> devices;
    std::vector<InfoEntry> info_list;
    std::vector<Fault> faults;
    std::vector<Call> calls;
    int calls_made = 0; // since the record began, those let go included
    int calls_per_op[int(Op::Any)] = {};
    ChangeFeed feed;
};

// How many of the latest calls the record keeps; 0: every call. Kept apart
// from the world, whose reset leaves it as set.
size_t &calls_kept()
{
    static size_t kept = 0;
    return kept;
}

World &world()
{
    static World w;
    return w;
}

// Every operation runs under this lock: the chips, the faults and the record
// of calls are one world, and calls on different handles may come from
// different threads at once (ft_driver.h).
std::mutex &world_lock()
{
    static std::mutex lock;
    return lock;
}

// Chips that come and go follow the system clock, which every process of a
// station shares.
int64_t now_ms()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool plugged(const Device &d, int64_t now = now_ms())
{
    return now >= d.plugged_at && (d.unplugged_at == 0 || now < d.unplugged_at);
}

// Unix time 1 ms: a chip unplugged by command has left for good.
const int64_t left_at_once = 1;

// The devices of the chip plugged at location now.
std::vector<Device *> plugged_devices_at(const std::string &location)
{
    std::vector<Device *> found;
    for (Device &d : world().devices)
        if (d.location == location && plugged(d))
            found.push_back(&d);
    return found;
}

void attach_chip_locked(const std::string &location, const std::string &serial, ChipKind kind,
                        const chip::Wiring &wiring, int64_t plugged_at, int64_t unplugged_at);

void apply_change(const Change &c)
{
    std::vector<Device *> there = plugged_devices_at(c.location);
    const char *refused = nullptr;
    if (c.what == Change::What::plug) {
        if (there.empty())
            attach_chip_locked(c.location, c.serial, c.kind, c.wiring, 0, 0);
        else
            refused = "a chip is plugged there already";
    } else if (there.empty()) {
        refused = "no chip is plugged there";
    }
    for (Device *d : there) {
        if (c.what == Change::What::unplug)
            d->unplugged_at = left_at_once;
        else if (c.what == Change::What::hold)
            d->hold_write = c.nth;
    }
    if (refused)
        std::fprintf(stderr, "simulated driver: %s: %s\n", c.location.c_str(), refused);
}

// What the feed holds since it was last asked, applied at one moment: run
// under the world's lock, before a call looks at the chips.
void apply_changes()
{
    World &w = world();
    if (w.feed.take)
        for (const Change &c : w.feed.take())
            apply_change(c);
}

// Waits until the feed's descriptor is readable, at most timeout_ms; true
// when it was, with what it held read. Without one, it sleeps the time out.
bool wait_for_feed(int fd, int64_t timeout_ms)
{
#ifndef _WIN32
    if (fd >= 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(timeout_ms)) <= 0)
            return false;
        char drained[4096];
        while (read(fd, drained, sizeof drained) > 0) {
        }
        return true;
    }
#else
    (void)fd;
#endif
    std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    return false;
}

// Handles are device index + 1, so that a null handle is never valid.
Device *device_of(FT_HANDLE handle)
{
    auto index = reinterpret_cast<uintptr_t>(handle);
    if (index == 0 || index > world().devices.size())
        return nullptr;
    Device &d = world().devices[index - 1];
    return d.open ? &d : nullptr;
}

// The status of a call on handle: a chip unplugged while open answers no more.
FT_STATUS check_handle(FT_HANDLE handle, Device *&d)
{
    d = device_of(handle);
    if (!d)
        return FT_INVALID_HANDLE;
    return plugged(*d) ? FT_OK : FT_DEVICE_NOT_FOUND;
}

// Record the call and apply the faults that hit it. Returns the fault status
// (FT_OK when none) and the count override of the last fault that has one.
struct Hit {
    FT_STATUS status = FT_OK;
    std::optional<uint32_t> count;
};

Hit begin_call(Call call, FT_HANDLE handle)
{
    apply_changes();
    World &w = world();
    int nth_of_op = ++w.calls_per_op[int(call.op)];
    int nth_overall = ++w.calls_made;
    // The older half let go at once, so that a long run drops calls seldom.
    size_t kept = calls_kept();
    if (kept > 0 && w.calls.size() >= 2 * kept)
        w.calls.erase(w.calls.begin(), w.calls.end() - std::ptrdiff_t(kept - 1));
    w.calls.push_back(std::move(call));
    Hit hit;
    for (const Fault &f : w.faults) {
        int n = f.op == Op::Any ? nth_overall : f.op == w.calls.back().op ? nth_of_op : 0;
        if (n == 0 || !(n == f.nth || (f.and_later && n > f.nth)))
            continue;
        if (!f.stale.empty()) {
            if (Device *d = device_of(handle))
                d->received.insert(d->received.end(), f.stale.begin(), f.stale.end());
        }
        if (f.status != FT_OK)
            hit.status = f.status;
        if (f.count)
            hit.count = f.count;
    }
    return hit;
}

FT_STATUS finish(FT_STATUS status, uint32_t count = 0)
{
    world().calls.back().result = status;
    world().calls.back().count = count;
    return status;
}

// The calls that take only a handle and configure the channel: they check the
// handle and the faults, and the engine sees only bit mode changes and reset.
FT_STATUS configure(Op op, FT_HANDLE handle, std::vector<uint64_t> args)
{
    Hit hit = begin_call(Call(op, std::move(args)), handle);
    if (hit.status != FT_OK)
        return finish(hit.status);
    Device *d = nullptr;
    if (FT_STATUS status = check_handle(handle, d); status != FT_OK)
        return finish(status);
    const Call &call = world().calls.back();
    if (op == Op::ResetDevice) {
        d->engine.reset();
        d->received.clear();
    } else if (op == Op::SetBitMode) {
        d->engine.set_bit_mode(uint8_t(call.args[0]), uint8_t(call.args[1]));
    }
    return finish(FT_OK);
}

FT_STATUS open_device(size_t index, FT_HANDLE *handle)
{
    Device &d = world().devices[index];
    if (d.open)
        return FT_DEVICE_NOT_OPENED; // in use
    d.open = true;
    // NOLINTNEXTLINE(performance-no-int-to-ptr): an opaque number, never dereferenced
    *handle = reinterpret_cast<FT_HANDLE>(uintptr_t(index + 1));
    return FT_OK;
}

// Zero-terminated, cut to the buffer.
void copy_text(char *to, size_t size, const std::string &from)
{
    size_t n = std::min(from.size(), size - 1);
    std::memcpy(to, from.data(), n);
    to[n] = '\0';
}

// The location id of a channel, as the chip maker's library would report it:
// the bus and each port number as one hexadecimal digit in turn, then the
// channel's number (A = 1). "1-3.2" channel A is 0x1321, "2-12" channel B is
// 0x2C2. 0, and so not in the device-information list, for a channel without
// a location or where a number is outside 1 to 15 or there are more than 7.
uint32_t location_id(const std::string &location, char channel)
{
    uint32_t id = 0;
    int digits = 0;
    size_t at = 0;
    while (at < location.size()) {
        size_t end = location.find(digits == 0 ? '-' : '.', at);
        if (end == std::string::npos)
            end = location.size();
        std::string number = location.substr(at, end - at);
        if (number.empty() || number.size() > 2 ||
            number.find_first_not_of("0123456789") != std::string::npos)
            return 0;
        int value = std::stoi(number);
        if (value < 1 || value > 15 || ++digits > 7)
            return 0;
        id = id << 4 | uint32_t(value);
        at = end + 1;
        if (end == location.size())
            break;
        if (end + 1 == location.size())
            return 0; // a separator that ends the location
    }
    if (digits < 2 || channel < 'A' || channel > 'D')
        return 0;
    return id << 4 | uint32_t(channel - 'A' + 1);
}

} // namespace

const char *op_name(Op op)
{
    static const char *const names[] = {
        "FT_ListDevices", "FT_OpenEx", "FT_ResetDevice", "FT_SetUSBParameters",
        "FT_SetChars", "FT_SetTimeouts", "FT_SetLatencyTimer", "FT_SetFlowControl",
        "FT_SetBitMode", "FT_Write", "FT_GetQueueStatus", "FT_Read", "FT_Close",
        "ft_list_channels", "ft_open_by_location", "FT_ReadEE", "FT_WriteEE", "FT_EraseEE",
        "FT_CyclePort", "any",
    };
    return names[int(op)];
}

Fault fail(Op op, int nth, FT_STATUS status, std::optional<uint32_t> count)
{
    Fault f;
    f.op = op;
    f.nth = nth;
    f.status = status;
    f.count = count;
    return f;
}

Fault misreport(Op op, int nth, uint32_t count) { return fail(op, nth, FT_OK, count); }

Fault stale_before(Op op, int nth, std::vector<uint8_t> bytes)
{
    Fault f = fail(op, nth, FT_OK);
    f.stale = std::move(bytes);
    return f;
}

Fault unplug(int nth, FT_STATUS status)
{
    Fault f = fail(Op::Any, nth, status);
    f.and_later = true;
    return f;
}

void reset() { world() = World{}; }

void attach(const std::string &serial, const chip::Wiring &wiring)
{
    Device d;
    d.serial = serial;
    d.engine.wiring = wiring;
    world().devices.push_back(std::move(d));
}

namespace {

// A chip at location, as plug_chip attaches it; the caller holds the lock
// or no other thread runs yet.
void attach_chip_locked(const std::string &location, const std::string &serial, ChipKind kind,
                        const chip::Wiring &wiring, int64_t plugged_at, int64_t unplugged_at)
{
    size_t first = world().devices.size();
    attach_chip(location, serial, kind, wiring);
    for (size_t i = first; i < world().devices.size(); i++) {
        world().devices[i].plugged_at = plugged_at;
        world().devices[i].unplugged_at = unplugged_at;
        world().devices[i].serial.clear(); // FT_ListDevices lists the chips that stay
    }
}

} // namespace

void attach_chip(const std::string &location, const std::string &serial, ChipKind kind,
                 const chip::Wiring &wiring)
{
    const chip_facts &facts = chip_facts_of(kind);
    auto chip_eeprom = std::make_shared<ChipEeprom>();
    static_cast<chip::Eeprom &>(*chip_eeprom) = chip::Eeprom::programmed(kind, eeprom::Part::c56, serial);
    for (char letter = 'A'; chip_channel_has_mpsse(facts, letter); letter++) {
        Device d;
        d.eeprom = chip_eeprom;
        d.location = location;
        d.channel = letter;
        d.chip_serial = serial;
        d.kind = kind;
        if (!serial.empty())
            d.serial = facts.channels == 1 ? serial : serial + letter;
        if (letter == 'A')
            d.engine.wiring = wiring;
        world().devices.push_back(std::move(d));
    }
}

void plug_chip(const std::string &location, const std::string &serial, ChipKind kind, const chip::Wiring &wiring,
               int64_t plugged_at, int64_t unplugged_at)
{
    attach_chip_locked(location, serial, kind, wiring, plugged_at, unplugged_at);
}

void follow_changes(ChangeFeed feed)
{
    std::lock_guard<std::mutex> hold(world_lock());
    world().feed = std::move(feed);
}

void report_hotplug_events(bool on) { world().hotplug_events = on; }

void refuse_access(const std::string &location, const std::string &note)
{
    for (Device &d : world().devices)
        if (d.location == location)
            d.access_note = note;
}

chip::MpsseChannel &channel(int device) { return world().devices.at(size_t(device)).engine; }

namespace {

// The EEPROM of the chip plugged at location; the caller holds the lock.
ChipEeprom &eeprom_at(const std::string &location)
{
    std::vector<Device *> there = plugged_devices_at(location);
    if (there.empty())
        throw std::runtime_error("simulated driver: no chip plugged at " + location);
    return *there.front()->eeprom;
}

} // namespace

void fit_eeprom(const std::string &location, eeprom::Part part, const std::vector<uint16_t> &contents)
{
    std::lock_guard<std::mutex> hold(world_lock());
    ChipEeprom &e = eeprom_at(location);
    e.part = part;
    e.words.assign(part == eeprom::Part::none ? 0 : size_t(eeprom::part_facts(part).words), 0xFFFF);
    std::copy_n(contents.begin(), std::min(contents.size(), e.words.size()), e.words.begin());
}

std::vector<uint16_t> eeprom_words(const std::string &location)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return eeprom_at(location).words;
}

void fail_eeprom_write(const std::string &location, uint32_t word_address)
{
    std::lock_guard<std::mutex> hold(world_lock());
    eeprom_at(location).refused_writes.insert(word_address);
}

void flip_eeprom_bits(const std::string &location, uint32_t word_address, uint16_t flip)
{
    std::lock_guard<std::mutex> hold(world_lock());
    eeprom_at(location).flips[word_address] = flip;
}

void eeprom_return_after(const std::string &location, int64_t away_ms, bool never)
{
    std::lock_guard<std::mutex> hold(world_lock());
    ChipEeprom &e = eeprom_at(location);
    e.away_ms = away_ms;
    e.never_returns = never;
}

void inject(const Fault &fault) { world().faults.push_back(fault); }

const std::vector<Call> &calls() { return world().calls; }

void keep_recent_calls(size_t count) { calls_kept() = count; }

void forget_calls()
{
    world().calls.clear();
    world().calls_made = 0;
    std::fill(std::begin(world().calls_per_op), std::end(world().calls_per_op), 0);
}

namespace {

// The EEPROM operations: each recorded and checked as the others, then
// carried out on the chip's part, which wraps addresses past its end.
template <typename Action>
FT_STATUS on_eeprom(Call call, FT_HANDLE handle, Action action)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Hit hit = begin_call(std::move(call), handle);
    if (hit.status != FT_OK)
        return finish(hit.status);
    Device *d = nullptr;
    if (FT_STATUS status = check_handle(handle, d); status != FT_OK)
        return finish(status);
    return finish(action(*d));
}

} // namespace

} // namespace sim

using namespace sim;

extern "C" {

FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Hit hit = begin_call(Call(Op::ListDevices, {flags}), nullptr);
    if (hit.status != FT_OK)
        return finish(hit.status);
    if (flags != (FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER) || !list_arg || !count_arg)
        return finish(FT_INVALID_PARAMETER);
    const std::vector<Device> &devices = world().devices;
    auto buffers = static_cast<char **>(list_arg);
    // Copy up to the null pointer that ends the caller's list: 64 bytes a
    // buffer, the terminator only where it fits, as the chip maker's driver does.
    size_t listed = 0;
    for (size_t i = 0; i < devices.size() && buffers[listed]; i++) {
        const std::string &serial = devices[i].serial;
        if (serial.empty())
            continue; // a chip without a serial number cannot be opened by one
        size_t n = std::min(serial.size() + 1, size_t(64));
        std::memcpy(buffers[listed++], serial.c_str(), n);
    }
    size_t named = size_t(std::count_if(devices.begin(), devices.end(),
                                        [](const Device &d) { return !d.serial.empty(); }));
    uint32_t count = hit.count.value_or(uint32_t(named));
    *static_cast<int32_t *>(count_arg) = int32_t(count);
    return finish(FT_OK, count);
}

FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Call call(Op::OpenEx, {flags});
    // By location, what is the location id itself: recorded as "0x" and hex digits.
    auto loc_id = uint32_t(reinterpret_cast<uintptr_t>(what));
    if (flags == FT_OPEN_BY_LOCATION) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%X", unsigned(loc_id));
        call.text = hex;
    } else if (what) {
        call.text = static_cast<const char *>(what);
    }
    Hit hit = begin_call(std::move(call), nullptr);
    if (hit.status != FT_OK)
        return finish(hit.status);
    if (flags == FT_OPEN_BY_LOCATION) {
        if (!handle)
            return finish(FT_INVALID_PARAMETER);
        std::vector<Device> &devices = world().devices;
        for (size_t i = 0; i < devices.size(); i++) {
            if (loc_id == 0 || location_id(devices[i].location, devices[i].channel) != loc_id ||
                !plugged(devices[i]))
                continue;
            if (!devices[i].access_note.empty())
                return finish(FT_DEVICE_NOT_OPENED);
            return finish(open_device(i, handle));
        }
        return finish(FT_DEVICE_NOT_FOUND);
    }
    if (flags != FT_OPEN_BY_SERIAL_NUMBER || !what || !handle)
        return finish(FT_INVALID_PARAMETER);
    std::vector<Device> &devices = world().devices;
    for (size_t i = 0; i < devices.size(); i++) {
        if (!devices[i].serial.empty() && devices[i].serial == world().calls.back().text)
            return finish(open_device(i, handle));
    }
    return finish(FT_DEVICE_NOT_FOUND);
}

// The chip maker's device-information list, of the channels that have a
// location id. Like the chip maker's, it lists every channel of a chip, the
// FT4232H's C and D and the FT2232D's B too, which cannot be opened here.
// Not recorded as calls: wiretest never makes them.
FT_STATUS FT_CreateDeviceInfoList(uint32_t *count)
{
    std::lock_guard<std::mutex> hold(world_lock());
    if (!count)
        return FT_INVALID_PARAMETER;
    apply_changes();
    World &w = world();
    w.info_list.clear();
    for (size_t i = 0; i < w.devices.size(); i++) {
        const Device &d = w.devices[i];
        if (location_id(d.location, d.channel) == 0 || !plugged(d))
            continue;
        w.info_list.push_back({i, d.channel});
        // After a chip's last MPSSE channel, its others.
        const chip_facts &facts = chip_facts_of(d.kind);
        if (d.channel == 'A' + facts.mpsse_channels - 1)
            for (char other = char('A' + facts.mpsse_channels); other < 'A' + facts.channels; other++)
                w.info_list.push_back({i, other});
    }
    *count = uint32_t(w.info_list.size());
    return FT_OK;
}

// An entry as the chip maker's library gives it: the serial number with the
// channel letter (blank for a blank chip), and "FT2232H A", "FT232H" and the
// like as the description.
FT_STATUS FT_GetDeviceInfoDetail(uint32_t index, uint32_t *flags, uint32_t *type, uint32_t *id,
                                 uint32_t *loc_id, char *serial, char *description,
                                 FT_HANDLE *handle)
{
    std::lock_guard<std::mutex> hold(world_lock());
    World &w = world();
    if (!flags || !type || !id || !loc_id || !serial || !description || !handle)
        return FT_INVALID_PARAMETER;
    if (index >= w.info_list.size() || w.info_list[index].device >= w.devices.size())
        return FT_DEVICE_NOT_FOUND;
    const size_t device = w.info_list[index].device;
    const Device &d = w.devices[device];
    const char channel = w.info_list[index].channel;
    const bool is_device = channel == d.channel;
    const chip_facts &kind = chip_facts_of(d.kind);
    // A refused chip is held whole.
    const bool open = is_device && d.open;
    *flags = (open || !d.access_note.empty() ? FT_FLAGS_OPENED : 0u) |
             (kind.high_speed ? FT_FLAGS_HISPEED : 0u);
    *type = kind.info_type;
    *id = uint32_t(FTDI_VENDOR_ID) << 16 | kind.product_id;
    *loc_id = location_id(d.location, channel);
    // The chip maker's buffers: the terminator only where it fits.
    const std::string listed =
        kind.channels == 1 || d.chip_serial.empty() ? d.chip_serial : d.chip_serial + channel;
    std::memset(serial, 0, FT_INFO_SERIAL_SIZE);
    std::copy_n(listed.begin(), std::min(listed.size(), size_t(FT_INFO_SERIAL_SIZE)), serial);
    std::string text = kind.channels == 1 ? kind.name : std::string(kind.name) + ' ' + channel;
    copy_text(description, FT_INFO_DESCRIPTION_SIZE, text);
    // NOLINTNEXTLINE(performance-no-int-to-ptr): an opaque number, never dereferenced
    *handle = open ? reinterpret_cast<FT_HANDLE>(uintptr_t(device + 1)) : nullptr;
    return FT_OK;
}

FT_STATUS ft_list_channels(ft_channel_info *list, uint32_t capacity, uint32_t *count)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Hit hit = begin_call(Call(Op::ListChannels, {capacity}), nullptr);
    if (hit.status != FT_OK)
        return finish(hit.status);
    if (!count || (capacity > 0 && !list))
        return finish(FT_INVALID_PARAMETER);
    uint32_t found = 0;
    for (size_t index = 0; index < world().devices.size(); index++) {
        const Device &d = world().devices[index];
        if (d.location.empty() || !plugged(d))
            continue;
        if (found < capacity) {
            ft_channel_info &info = list[found];
            info = ft_channel_info{};
            copy_text(info.location, sizeof info.location, d.location);
            info.channel = d.channel;
            copy_text(info.serial, sizeof info.serial, d.chip_serial);
            copy_text(info.chip, sizeof info.chip, chip_facts_of(d.kind).name);
            info.access = d.access_note.empty() ? FT_OK : FT_DEVICE_NOT_OPENED;
            copy_text(info.access_note, sizeof info.access_note, d.access_note);
            info.instance = uint32_t(index + 1); // each plug is a device of its own
        }
        found++;
    }
    *count = hit.count.value_or(found);
    return finish(FT_OK, *count);
}

FT_STATUS ft_open_by_location(const char *location, char channel, FT_HANDLE *handle)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Call call(Op::OpenByLocation, {uint64_t(uint8_t(channel))});
    if (location)
        call.text = std::string(location) + ' ' + channel;
    Hit hit = begin_call(std::move(call), nullptr);
    if (hit.status != FT_OK)
        return finish(hit.status);
    if (!location || !handle)
        return finish(FT_INVALID_PARAMETER);
    std::vector<Device> &devices = world().devices;
    for (size_t i = 0; i < devices.size(); i++) {
        if (devices[i].location.empty() || devices[i].location != location ||
            devices[i].channel != channel || !plugged(devices[i]))
            continue;
        if (!devices[i].access_note.empty())
            return finish(FT_DEVICE_NOT_OPENED);
        return finish(open_device(i, handle));
    }
    return finish(FT_DEVICE_NOT_FOUND);
}

FT_STATUS FT_ResetDevice(FT_HANDLE handle)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return configure(Op::ResetDevice, handle, {});
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t in_size, uint32_t out_size)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return configure(Op::SetUSBParameters, handle, {in_size, out_size});
}

FT_STATUS FT_SetChars(FT_HANDLE handle, unsigned char event_char, unsigned char event_enable,
                      unsigned char error_char, unsigned char error_enable)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return configure(Op::SetChars, handle, {event_char, event_enable, error_char, error_enable});
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return configure(Op::SetTimeouts, handle, {read_timeout_ms, write_timeout_ms});
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char latency_ms)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return configure(Op::SetLatencyTimer, handle, {latency_ms});
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short flow, unsigned char xon,
                            unsigned char xoff)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return configure(Op::SetFlowControl, handle, {flow, xon, xoff});
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, unsigned char mask, unsigned char mode)
{
    std::lock_guard<std::mutex> hold(world_lock());
    return configure(Op::SetBitMode, handle, {mask, mode});
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *written)
{
    std::unique_lock<std::mutex> hold(world_lock());
    Call call(Op::Write, {count});
    if (buffer)
        call.data.assign(static_cast<uint8_t *>(buffer), static_cast<uint8_t *>(buffer) + count);
    Hit hit = begin_call(std::move(call), handle);
    if (hit.status != FT_OK)
        return finish(hit.status);
    Device *d = nullptr;
    if (FT_STATUS status = check_handle(handle, d); status != FT_OK)
        return finish(status);
    if (!buffer || !written)
        return finish(FT_INVALID_PARAMETER);
    if (++d->writes == d->hold_write) {
        // Held until the chip is pulled out, and failing then, as a chip
        // pulled out mid-transfer does; the test hears where it waits. The
        // device is found again by its index: a plug meanwhile may move it.
        // Its call stays the record's last: a board's process makes its
        // calls on one thread.
        auto index = size_t(d - world().devices.data());
        if (world().feed.note)
            world().feed.note("held " + d->location);
        while (plugged(world().devices[index])) {
            int fd = world().feed.wake_fd;
            hold.unlock();
            wait_for_feed(fd, 1000); // a look at the chips each second without a descriptor
            hold.lock();
            apply_changes();
        }
        return finish(FT_DEVICE_NOT_FOUND);
    }
    const std::vector<uint8_t> &bytes = world().calls.back().data;
    d->engine.write(bytes.data(), bytes.size(), d->received);
    *written = hit.count.value_or(count);
    return finish(FT_OK, *written);
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *rx_count)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Hit hit = begin_call(Call(Op::GetQueueStatus), handle);
    if (hit.status != FT_OK)
        return finish(hit.status);
    Device *d = nullptr;
    if (FT_STATUS status = check_handle(handle, d); status != FT_OK)
        return finish(status);
    if (!rx_count)
        return finish(FT_INVALID_PARAMETER);
    *rx_count = hit.count.value_or(uint32_t(d->received.size()));
    return finish(FT_OK, *rx_count);
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Hit hit = begin_call(Call(Op::Read, {count}), handle);
    if (hit.status != FT_OK) {
        // A failed read may still report a count of its own; the buffer is untouched.
        if (hit.count && read)
            *read = *hit.count;
        return finish(hit.status, hit.count.value_or(0));
    }
    Device *d = nullptr;
    if (FT_STATUS status = check_handle(handle, d); status != FT_OK)
        return finish(status);
    if (!buffer || !read)
        return finish(FT_INVALID_PARAMETER);
    // What arrived within the timeout is delivered; a short read succeeds.
    size_t n = std::min<size_t>(count, d->received.size());
    if (hit.count)
        n = std::min<size_t>(n, *hit.count);
    auto out = static_cast<uint8_t *>(buffer);
    std::copy_n(d->received.begin(), n, out);
    d->received.erase(d->received.begin(), d->received.begin() + long(n));
    world().calls.back().data.assign(out, out + n);
    *read = uint32_t(n);
    return finish(FT_OK, *read);
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Hit hit = begin_call(Call(Op::Close), handle);
    if (hit.status != FT_OK)
        return finish(hit.status);
    Device *d = nullptr;
    if (FT_STATUS status = check_handle(handle, d); status != FT_OK)
        return finish(status);
    d->open = false;
    d->engine.reset();
    return finish(FT_OK);
}

FT_STATUS FT_ReadEE(FT_HANDLE handle, uint32_t word_address, uint16_t *value)
{
    return on_eeprom(Call(Op::ReadEE, {word_address}), handle, [&](Device &d) {
        if (!value)
            return FT_STATUS(FT_INVALID_PARAMETER);
        *value = d.eeprom->read(word_address);
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS FT_WriteEE(FT_HANDLE handle, uint32_t word_address, uint16_t value)
{
    return on_eeprom(Call(Op::WriteEE, {word_address, value}), handle, [&](Device &d) {
        return FT_STATUS(d.eeprom->write(word_address, value) ? FT_OK : FT_EEPROM_WRITE_FAILED);
    });
}

FT_STATUS FT_EraseEE(FT_HANDLE handle)
{
    return on_eeprom(Call(Op::EraseEE), handle, [&](Device &d) {
        d.eeprom->erase();
        return FT_STATUS(FT_OK);
    });
}

// The chip leaves at once and enumerates again after its time away, a new
// device at the same place, with the serial its EEPROM now gives it. The
// handle stays open to be closed.
FT_STATUS FT_CyclePort(FT_HANDLE handle)
{
    return on_eeprom(Call(Op::CyclePort), handle, [&](const Device &d) {
        const std::shared_ptr<ChipEeprom> chip_eeprom = d.eeprom;
        const std::string location = d.location;
        const ChipKind kind = d.kind;
        chip::Wiring wiring;
        const int64_t now = now_ms();
        for (Device &other : world().devices)
            if (other.eeprom == chip_eeprom && plugged(other, now)) {
                if (other.channel == 'A')
                    wiring = other.engine.wiring;
                other.unplugged_at = now;
            }
        if (!chip_eeprom->never_returns) {
            size_t first = world().devices.size();
            attach_chip_locked(location, chip_eeprom->serial(), kind, wiring, now + chip_eeprom->away_ms, 0);
            for (size_t i = first; i < world().devices.size(); i++)
                world().devices[i].eeprom = chip_eeprom;
        }
        return FT_STATUS(FT_OK);
    });
}

FT_STATUS ft_wait_for_change(uint32_t timeout_ms, int *changed)
{
    if (!world().hotplug_events) // set before any thread starts
        return FT_NOT_SUPPORTED;
    if (!changed)
        return FT_INVALID_PARAMETER;
    // Sleep to the next arrival or departure, as a hotplug event would wake
    // us, or until the feed of changes has news; the other operations go on
    // meanwhile.
    int64_t now = now_ms(), until = now + timeout_ms;
    int64_t next = until;
    int fd = -1;
    {
        std::lock_guard<std::mutex> hold(world_lock());
        for (const Device &d : world().devices)
            for (int64_t at : {d.plugged_at, d.unplugged_at})
                if (at > now && at < next)
                    next = at;
        fd = world().feed.wake_fd;
    }
    *changed = wait_for_feed(fd, next - now) || next < until;
    return FT_OK;
}

void ft_release_listings(void) {} // the simulated chips need no USB stack

const char *ft_last_cause(void) { return ""; } // a simulated failure has no library's cause

} // extern "C"
