// The thirteen driver operations over simulated chips held in memory. Each
// call is recorded, then checked against the injected faults, then carried out.
#include "sim_control.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <mutex>

namespace sim {
namespace {

struct Device {
    std::string serial;
    chip::MpsseChannel engine;
    std::deque<uint8_t> received; // bytes the chip has sent, not yet read
    bool open = false;
};

// The whole simulated world, with one reset.
struct World {
    std::vector<Device> devices;
    std::vector<Fault> faults;
    std::vector<Call> calls;
    int calls_per_op[int(Op::Any)] = {};
};

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

// Handles are device index + 1, so that a null handle is never valid.
Device *device_of(FT_HANDLE handle)
{
    auto index = reinterpret_cast<uintptr_t>(handle);
    if (index == 0 || index > world().devices.size())
        return nullptr;
    Device &d = world().devices[index - 1];
    return d.open ? &d : nullptr;
}

// Record the call and apply the faults that hit it. Returns the fault status
// (FT_OK when none) and the count override of the last fault that has one.
struct Hit {
    FT_STATUS status = FT_OK;
    std::optional<uint32_t> count;
};

Hit begin_call(Call call, FT_HANDLE handle)
{
    World &w = world();
    int nth_of_op = ++w.calls_per_op[int(call.op)];
    int nth_overall = int(w.calls.size()) + 1;
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
    Device *d = device_of(handle);
    if (!d)
        return finish(FT_INVALID_HANDLE);
    const Call &call = world().calls.back();
    if (op == Op::ResetDevice) {
        d->engine.reset();
        d->received.clear();
    } else if (op == Op::SetBitMode) {
        d->engine.set_bit_mode(uint8_t(call.args[0]), uint8_t(call.args[1]));
    }
    return finish(FT_OK);
}

} // namespace

const char *op_name(Op op)
{
    static const char *const names[] = {
        "FT_ListDevices", "FT_OpenEx", "FT_ResetDevice", "FT_SetUSBParameters",
        "FT_SetChars", "FT_SetTimeouts", "FT_SetLatencyTimer", "FT_SetFlowControl",
        "FT_SetBitMode", "FT_Write", "FT_GetQueueStatus", "FT_Read", "FT_Close", "any",
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

chip::MpsseChannel &channel(int device) { return world().devices.at(size_t(device)).engine; }

void inject(const Fault &fault) { world().faults.push_back(fault); }

const std::vector<Call> &calls() { return world().calls; }

void forget_calls()
{
    world().calls.clear();
    std::fill(std::begin(world().calls_per_op), std::end(world().calls_per_op), 0);
}

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
    for (size_t i = 0; i < devices.size() && buffers[i]; i++) {
        const std::string &serial = devices[i].serial;
        size_t n = std::min(serial.size() + 1, size_t(64));
        std::memcpy(buffers[i], serial.c_str(), n);
    }
    uint32_t count = hit.count.value_or(uint32_t(devices.size()));
    *static_cast<int32_t *>(count_arg) = int32_t(count);
    return finish(FT_OK, count);
}

FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle)
{
    std::lock_guard<std::mutex> hold(world_lock());
    Call call(Op::OpenEx, {flags});
    if (what)
        call.text = static_cast<const char *>(what);
    Hit hit = begin_call(std::move(call), nullptr);
    if (hit.status != FT_OK)
        return finish(hit.status);
    if (flags != FT_OPEN_BY_SERIAL_NUMBER || !what || !handle)
        return finish(FT_INVALID_PARAMETER);
    std::vector<Device> &devices = world().devices;
    for (size_t i = 0; i < devices.size(); i++) {
        if (devices[i].serial != world().calls.back().text)
            continue;
        if (devices[i].open)
            return finish(FT_DEVICE_NOT_OPENED); // in use
        devices[i].open = true;
        // NOLINTNEXTLINE(performance-no-int-to-ptr): an opaque number, never dereferenced
        *handle = reinterpret_cast<FT_HANDLE>(uintptr_t(i + 1));
        return finish(FT_OK);
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
    std::lock_guard<std::mutex> hold(world_lock());
    Call call(Op::Write, {count});
    if (buffer)
        call.data.assign(static_cast<uint8_t *>(buffer), static_cast<uint8_t *>(buffer) + count);
    Hit hit = begin_call(std::move(call), handle);
    if (hit.status != FT_OK)
        return finish(hit.status);
    Device *d = device_of(handle);
    if (!d)
        return finish(FT_INVALID_HANDLE);
    if (!buffer || !written)
        return finish(FT_INVALID_PARAMETER);
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
    Device *d = device_of(handle);
    if (!d)
        return finish(FT_INVALID_HANDLE);
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
    Device *d = device_of(handle);
    if (!d)
        return finish(FT_INVALID_HANDLE);
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
    Device *d = device_of(handle);
    if (!d)
        return finish(FT_INVALID_HANDLE);
    d->open = false;
    d->engine.reset();
    return finish(FT_OK);
}

} // extern "C"
