// The thirteen driver operations, answered from the fuzzer's input, and a
// platform sleep that only counts.
#include "fuzz_driver.h"

#include "device_link/device_state.h"
#include "platform/platform_sleep.h"

#include <algorithm>
#include <cstring>

namespace fuzz_driver {
namespace {

FuzzInput *input = nullptr;
Tally counts;
// Handles are addresses in here: the system only hands them back.
char handles[256];
FT_HANDLE opened = nullptr;
bool is_open = false;
// The last call was a read that delivered less than it asked for: nothing
// more had arrived, so the queue has ended and another read would only wait
// out its timeout.
bool after_short_read = false;

// Every call: counted, and none once the device is closed.
FuzzInput &begin_call()
{
    require(input != nullptr, "a driver call outside a run");
    require(counts.closes == 0, "a driver call after FT_Close");
    counts.calls++;
    require(counts.calls <= max_calls_per_run, "too many driver calls");
    after_short_read = false;
    return *input;
}

// A call on the opened device.
FuzzInput &begin_device_call(const void *handle)
{
    FuzzInput &in = begin_call();
    require(is_open && handle == opened, "a device call without the handle FT_OpenEx gave");
    return in;
}

} // namespace

void start(FuzzInput &in)
{
    input = &in;
    counts = Tally{};
    opened = nullptr;
    is_open = false;
    after_short_read = false;
}

const Tally &tally() { return counts; }

} // namespace fuzz_driver

using namespace fuzz_driver;

void platform_sleep_ms(uint32_t)
{
    counts.waits++;
    require(counts.waits <= max_waits_per_run, "too many waits");
}

extern "C" {

FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags)
{
    FuzzInput &in = begin_call();
    require(flags == (FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER) && list_arg && count_arg,
            "FT_ListDevices called without a list, a count or its flags");
    FT_STATUS status = in.status();
    uint8_t shape = in.byte();
    if (status == FT_OK || (shape & 1))
        *static_cast<int32_t *>(count_arg) = int32_t(in.count() - (shape & 2 ? 16 : 0));
    // Serial numbers up to the null pointer that ends the list, each within
    // its 64 bytes and not always terminated.
    auto buffers = static_cast<char **>(list_arg);
    int serials = shape >> 2;
    for (int i = 0; i < serials && buffers[i]; i++) {
        std::string serial = in.text(64);
        memcpy(buffers[i], serial.data(), serial.size());
        if (serial.size() < 64)
            buffers[i][serial.size()] = '\0';
    }
    return status;
}

FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle)
{
    FuzzInput &in = begin_call();
    require(flags == FT_OPEN_BY_SERIAL_NUMBER && what && handle, "FT_OpenEx called without its arguments");
    require(memchr(what, '\0', 64) != nullptr, "FT_OpenEx given a serial number with no end");
    require(!is_open, "FT_OpenEx called twice");
    FT_STATUS status = in.status();
    if (status == FT_OK) {
        opened = &handles[in.byte()];
        *handle = opened;
        is_open = true;
    }
    return status;
}

FT_STATUS FT_ResetDevice(FT_HANDLE handle) { return begin_device_call(handle).status(); }

FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t, uint32_t)
{
    return begin_device_call(handle).status();
}

FT_STATUS FT_SetChars(FT_HANDLE handle, unsigned char, unsigned char, unsigned char, unsigned char)
{
    return begin_device_call(handle).status();
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t, uint32_t)
{
    return begin_device_call(handle).status();
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char)
{
    return begin_device_call(handle).status();
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short, unsigned char, unsigned char)
{
    return begin_device_call(handle).status();
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, unsigned char, unsigned char)
{
    return begin_device_call(handle).status();
}

// cppcheck-suppress constParameter ; the driver's signature, as the vendor declares it
FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *written)
{
    FuzzInput &in = begin_device_call(handle);
    require(buffer && written && (count == 1 || count == 3), "FT_Write of other than 1 or 3 bytes");
    const auto *command = static_cast<const uint8_t *>(buffer);
    const uint8_t sent[] = {0x80, 0x82, 0x83, 0x84, 0x85, 0xAB};
    require(std::count(std::begin(sent), std::end(sent), command[0]) == 1 &&
                (count == 3) == (command[0] == 0x80 || command[0] == 0x82),
            "FT_Write of a command the tool does not send");
    FT_STATUS status = in.status();
    *written = in.count(); // never examined, whatever it says
    return status;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *rx_count)
{
    FuzzInput &in = begin_device_call(handle);
    require(rx_count != nullptr, "FT_GetQueueStatus without a count");
    FT_STATUS status = in.status();
    *rx_count = in.count();
    return status;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    require(!after_short_read, "FT_Read again after a read that found the queue ended");
    FuzzInput &in = begin_device_call(handle);
    require(buffer && read, "FT_Read without a buffer or a count");
    require(count <= RECEIVE_BUFFER_SIZE, "FT_Read asked for more than the receive buffer holds");
    FT_STATUS status = in.status();
    // Fill as much of the buffer as the input says, within what was asked,
    // and report that count or, from a lying driver, any other.
    uint32_t delivered = std::min(in.count(), count);
    auto bytes = static_cast<uint8_t *>(buffer);
    memset(bytes, in.byte(), delivered);
    if (delivered > 0)
        bytes[delivered - 1] = in.byte();
    uint8_t lie = in.byte();
    *read = lie & 1 ? in.count() : delivered;
    after_short_read = status == FT_OK && *read < count;
    return status;
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    FuzzInput &in = begin_device_call(handle);
    counts.closes++;
    return in.status();
}

} // extern "C"
