// The thirteen driver operations on Windows, forwarded to the chip maker's
// driver library, ftd2xx.dll, loaded at run time on the first call. The
// library is taken from the executable's own folder, else from the Windows
// system folder, and never from the current folder or PATH, where a planted
// DLL must not be picked up. When it cannot be loaded or lacks an operation,
// one line on standard error says so and every operation fails.
//
// Beside them, the station's listing and opening by location, over the
// library's device-information list and its FT_OpenEx by location id. Those
// two list operations are optional: a library without them still serves
// wiretest, and only the station's two functions fail, with FT_NOT_SUPPORTED.
// The library tells of no arrivals, so the station's wait for one is not
// supported either. The EEPROM's words and the port cycle (ft_eeprom.h) are
// optional too: without them the station's programming fails with
// FT_NOT_SUPPORTED.
#include "device_link/chip_kinds.h"
#include "device_link/ft_device_info.h"
#include "device_link/ft_driver.h"
#include "device_link/ft_eeprom.h"
#include "device_link/ft_locations.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace {

// Every entry point taken from the library: its name, and its type from our
// own declaration of the same name. The table is the one place that names
// them, so that a name and the pointer it fills cannot be paired wrongly.
#define WIRETEST_REQUIRED_OPERATIONS(X) \
    X(FT_ListDevices)                   \
    X(FT_OpenEx)                        \
    X(FT_ResetDevice)                   \
    X(FT_SetUSBParameters)              \
    X(FT_SetChars)                      \
    X(FT_SetTimeouts)                   \
    X(FT_SetLatencyTimer)               \
    X(FT_SetFlowControl)                \
    X(FT_SetBitMode)                    \
    X(FT_Write)                         \
    X(FT_GetQueueStatus)                \
    X(FT_Read)                          \
    X(FT_Close)

// Those the station's listing needs, which a library may lack: null then.
#define WIRETEST_OPTIONAL_OPERATIONS(X) \
    X(FT_CreateDeviceInfoList)          \
    X(FT_GetDeviceInfoDetail)           \
    X(FT_ReadEE)                        \
    X(FT_WriteEE)                       \
    X(FT_EraseEE)                       \
    X(FT_CyclePort)

struct Operations {
// NOLINTNEXTLINE(bugprone-macro-parentheses): name is a member's name here
#define WIRETEST_ENTRY(name) decltype(&::name) name = nullptr;
    WIRETEST_REQUIRED_OPERATIONS(WIRETEST_ENTRY)
    WIRETEST_OPTIONAL_OPERATIONS(WIRETEST_ENTRY)
#undef WIRETEST_ENTRY
};

// What an operation returns when the library is not there to call.
const FT_STATUS NO_LIBRARY = FT_OTHER_ERROR;

const char INSTALL_HINT[] = "install the FTDI D2XX driver package, which provides ftd2xx.dll";

template <typename Function>
bool resolve(HMODULE library, const char *name, Function &entry, std::string &missing)
{
    FARPROC found = GetProcAddress(library, name);
    if (!found) {
        missing += missing.empty() ? name : std::string(", ") + name;
        return false;
    }
    // Through the generic function pointer type: FARPROC's own signature is
    // a placeholder, and the library's is the one declared in ft_driver.h.
    entry = reinterpret_cast<Function>(reinterpret_cast<void (*)()>(found));
    return true;
}

// The system's own words for a Windows error code, on one line; "%1" in
// them stands for the library. Empty when the system has none.
std::string system_message(DWORD error)
{
    char *text = nullptr;
    DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                      FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, reinterpret_cast<char *>(&text), 0, nullptr);
    std::string message(text ? text : "", text ? length : 0);
    LocalFree(text);
    for (char &c : message)
        if (c == '\r' || c == '\n')
            c = ' ';
    while (!message.empty() && message.back() == ' ')
        message.pop_back();
    for (size_t at = message.find("%1"); at != std::string::npos; at = message.find("%1", at))
        message.replace(at, 2, "ftd2xx.dll");
    return message;
}

// Load the library and resolve every operation; null when that failed,
// after the one line that says why.
const Operations *load_operations()
{
    static Operations ops;
    HMODULE library = LoadLibraryExW(L"ftd2xx.dll", nullptr,
                                     LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) {
        // A missing library and one that is there but cannot be loaded (a
        // 32-bit build, a damaged file) call for different remedies: the
        // system's error tells them apart.
        DWORD error = GetLastError();
        std::string why = system_message(error);
        std::fprintf(stderr,
                     "ftd2xx.dll could not be loaded from beside this program or from the Windows system "
                     "folder: Windows error %lu%s%s%s: %s\n",
                     static_cast<unsigned long>(error), why.empty() ? "" : " (", why.c_str(),
                     why.empty() ? "" : ")", INSTALL_HINT);
        return nullptr;
    }
    std::string missing;
    bool all = true;
#define WIRETEST_RESOLVE(name) all &= resolve(library, #name, ops.name, missing);
    WIRETEST_REQUIRED_OPERATIONS(WIRETEST_RESOLVE)
#undef WIRETEST_RESOLVE
    std::string optional_missing;
#define WIRETEST_RESOLVE_OPTIONAL(name) resolve(library, #name, ops.name, optional_missing);
    WIRETEST_OPTIONAL_OPERATIONS(WIRETEST_RESOLVE_OPTIONAL)
#undef WIRETEST_RESOLVE_OPTIONAL
    if (!all) {
        char path[MAX_PATH] = "ftd2xx.dll";
        GetModuleFileNameA(library, path, sizeof path);
        std::fprintf(stderr, "%s lacks %s: %s\n", path, missing.c_str(), INSTALL_HINT);
        FreeLibrary(library);
        return nullptr;
    }
    return &ops;
}

// The library's operations, loaded once per process: the first call may come
// from several threads at once, and the initialisation of a local static
// runs once while the others wait.
const Operations *operations()
{
    static const Operations *const loaded = load_operations();
    return loaded;
}

// The device-information list is one per process: building it and reading
// its entries must not interleave with another thread's.
std::mutex device_list;

// An entry of the device-information list as one of our channels; false for
// an entry that is no MPSSE channel.
bool as_channel(uint32_t flags, uint32_t type, uint32_t loc_id, const std::string &serial,
                const std::string &description, ft_channel_info &info)
{
    const chip_facts *chip = chip_by_info_type(type);
    if (!chip)
        return false;
    // A chip of several channels names each by a letter after its serial
    // number, or after its description (" A") when the serial number is blank.
    char letter = 0;
    std::string chip_serial = serial;
    if (chip->channels == 1) {
        letter = 'A';
    } else if (!serial.empty() && serial.back() >= 'A' && serial.back() <= 'D') {
        letter = serial.back();
        chip_serial.pop_back();
    } else if (description.size() >= 2 && description[description.size() - 2] == ' ') {
        letter = description.back();
    }
    if (letter == 0 || !chip_channel_has_mpsse(*chip, letter))
        return false;
    info = ft_channel_info{};
    std::snprintf(info.location, sizeof info.location, "0x%X", static_cast<unsigned>(loc_id));
    info.channel = letter;
    std::snprintf(info.serial, sizeof info.serial, "%s", chip_serial.c_str());
    std::snprintf(info.chip, sizeof info.chip, "%s", chip->name);
    if (flags & FT_FLAGS_OPENED) {
        info.access = FT_DEVICE_NOT_OPENED;
        std::snprintf(info.access_note, sizeof info.access_note, "in use by another program");
    }
    return true;
}

// Read entry index of the list last built; *is_channel tells whether it is
// an MPSSE channel, described in info.
FT_STATUS read_entry(const Operations &ops, uint32_t index, ft_channel_info &info, uint32_t &loc_id,
                     bool &is_channel)
{
    uint32_t flags = 0, type = 0, id = 0;
    // One byte more than the library fills, so that a text that fills its
    // buffer is still terminated.
    char serial[FT_INFO_SERIAL_SIZE + 1] = {};
    char description[FT_INFO_DESCRIPTION_SIZE + 1] = {};
    FT_HANDLE handle = nullptr;
    loc_id = 0;
    FT_STATUS status = ops.FT_GetDeviceInfoDetail(index, &flags, &type, &id, &loc_id, serial,
                                                  description, &handle);
    if (status != FT_OK)
        return status;
    is_channel = as_channel(flags, type, loc_id, serial, description, info);
    return FT_OK;
}

// Builds the library's device-information list anew and hands visit each
// entry (info, location id, whether it is an MPSSE channel) until visit
// returns false; under the device-list lock throughout. The library's
// failure, or FT_OK.
template <typename Visit>
FT_STATUS walk_device_list(const Operations &ops, Visit visit)
{
    std::lock_guard<std::mutex> lock(device_list);
    uint32_t entries = 0;
    FT_STATUS status = ops.FT_CreateDeviceInfoList(&entries);
    if (status != FT_OK)
        return status;
    for (uint32_t i = 0; i < entries; i++) {
        ft_channel_info info{};
        uint32_t loc_id = 0;
        bool is_channel = false;
        status = read_entry(ops, i, info, loc_id, is_channel);
        if (status != FT_OK)
            return status;
        if (!visit(info, loc_id, is_channel))
            break;
    }
    return FT_OK;
}

// The station's functions need the whole library and its list operations.
FT_STATUS station_operations(const Operations *&ops)
{
    ops = operations();
    if (!ops)
        return NO_LIBRARY;
    return ops->FT_CreateDeviceInfoList && ops->FT_GetDeviceInfoDetail ? FT_OK : FT_NOT_SUPPORTED;
}

// "0x" (or "0X") and 1 to 8 hexadecimal digits of either case: the location
// id as the listing prints it.
bool parse_location(const char *text, uint32_t &loc_id)
{
    if (text[0] != '0' || (text[1] != 'x' && text[1] != 'X'))
        return false;
    const char *digits = text + 2;
    size_t n = std::strlen(digits);
    if (n == 0 || n > 8 || std::strspn(digits, "0123456789abcdefABCDEF") != n)
        return false;
    loc_id = static_cast<uint32_t>(std::strtoul(digits, nullptr, 16));
    return true;
}

} // namespace

extern "C" {

FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags)
{
    const Operations *ops = operations();
    return ops ? ops->FT_ListDevices(list_arg, count_arg, flags) : NO_LIBRARY;
}

FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle)
{
    const Operations *ops = operations();
    return ops ? ops->FT_OpenEx(what, flags, handle) : NO_LIBRARY;
}

FT_STATUS FT_ResetDevice(FT_HANDLE handle)
{
    const Operations *ops = operations();
    return ops ? ops->FT_ResetDevice(handle) : NO_LIBRARY;
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t in_size, uint32_t out_size)
{
    const Operations *ops = operations();
    return ops ? ops->FT_SetUSBParameters(handle, in_size, out_size) : NO_LIBRARY;
}

FT_STATUS FT_SetChars(FT_HANDLE handle, unsigned char event_char, unsigned char event_enable,
                      unsigned char error_char, unsigned char error_enable)
{
    const Operations *ops = operations();
    return ops ? ops->FT_SetChars(handle, event_char, event_enable, error_char, error_enable)
               : NO_LIBRARY;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms)
{
    const Operations *ops = operations();
    return ops ? ops->FT_SetTimeouts(handle, read_timeout_ms, write_timeout_ms) : NO_LIBRARY;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char latency_ms)
{
    const Operations *ops = operations();
    return ops ? ops->FT_SetLatencyTimer(handle, latency_ms) : NO_LIBRARY;
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short flow, unsigned char xon,
                            unsigned char xoff)
{
    const Operations *ops = operations();
    return ops ? ops->FT_SetFlowControl(handle, flow, xon, xoff) : NO_LIBRARY;
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, unsigned char mask, unsigned char mode)
{
    const Operations *ops = operations();
    return ops ? ops->FT_SetBitMode(handle, mask, mode) : NO_LIBRARY;
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *written)
{
    const Operations *ops = operations();
    return ops ? ops->FT_Write(handle, buffer, count, written) : NO_LIBRARY;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *rx_count)
{
    const Operations *ops = operations();
    return ops ? ops->FT_GetQueueStatus(handle, rx_count) : NO_LIBRARY;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    const Operations *ops = operations();
    return ops ? ops->FT_Read(handle, buffer, count, read) : NO_LIBRARY;
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    const Operations *ops = operations();
    return ops ? ops->FT_Close(handle) : NO_LIBRARY;
}

// The location is the library's location id, printed "0x" and upper-case
// hex digits. Entries are listed in the library's order.
FT_STATUS ft_list_channels(ft_channel_info *list, uint32_t capacity, uint32_t *count)
{
    if (!count || (capacity > 0 && !list))
        return FT_INVALID_PARAMETER;
    const Operations *ops = nullptr;
    FT_STATUS status = station_operations(ops);
    if (status != FT_OK)
        return status;
    uint32_t found = 0;
    status = walk_device_list(*ops, [&](const ft_channel_info &info, uint32_t, bool is_channel) {
        if (is_channel) {
            if (found < capacity)
                list[found] = info;
            found++;
        }
        return true;
    });
    if (status != FT_OK)
        return status;
    *count = found;
    return FT_OK;
}

// A location id names one channel: the channel asked for must be that one's.
// A location that is no location id of this form is found nowhere.
FT_STATUS ft_open_by_location(const char *location, char channel, FT_HANDLE *handle)
{
    if (!location || !handle)
        return FT_INVALID_PARAMETER;
    const Operations *ops = nullptr;
    FT_STATUS status = station_operations(ops);
    if (status != FT_OK)
        return status;
    uint32_t wanted = 0;
    if (!parse_location(location, wanted))
        return FT_DEVICE_NOT_FOUND;
    FT_STATUS opened = FT_DEVICE_NOT_FOUND;
    status = walk_device_list(*ops, [&](const ft_channel_info &info, uint32_t loc_id, bool is_channel) {
        if (loc_id != wanted)
            return true;
        if (!is_channel || info.channel != channel)
            opened = FT_DEVICE_NOT_FOUND;
        else if (info.access != FT_OK)
            opened = info.access;
        else {
            // NOLINTNEXTLINE(performance-no-int-to-ptr): the library takes the id itself as the pointer
            opened = ops->FT_OpenEx(reinterpret_cast<void *>(static_cast<uintptr_t>(wanted)),
                                    FT_OPEN_BY_LOCATION, handle);
        }
        return false;
    });
    return status != FT_OK ? status : opened;
}

// The chip maker's library tells of no arrivals here: the station lists
// every so often instead.
// NOLINTNEXTLINE(readability-non-const-parameter): the seam's declaration
FT_STATUS ft_wait_for_change(uint32_t timeout_ms, int *changed)
{
    (void)timeout_ms;
    (void)changed;
    return FT_NOT_SUPPORTED;
}

void ft_release_listings(void) {} // Windows has no fork()

const char *ft_last_cause(void) { return ""; } // the chip maker's library gives only its status

// The EEPROM and the port cycle, where the library has them.
FT_STATUS FT_ReadEE(FT_HANDLE handle, uint32_t word_address, uint16_t *value)
{
    const Operations *ops = operations();
    if (!ops)
        return NO_LIBRARY;
    if (!ops->FT_ReadEE)
        return FT_NOT_SUPPORTED;
    return ops->FT_ReadEE(handle, word_address, value);
}

FT_STATUS FT_WriteEE(FT_HANDLE handle, uint32_t word_address, uint16_t value)
{
    const Operations *ops = operations();
    if (!ops)
        return NO_LIBRARY;
    if (!ops->FT_WriteEE)
        return FT_NOT_SUPPORTED;
    return ops->FT_WriteEE(handle, word_address, value);
}

FT_STATUS FT_EraseEE(FT_HANDLE handle)
{
    const Operations *ops = operations();
    if (!ops)
        return NO_LIBRARY;
    if (!ops->FT_EraseEE)
        return FT_NOT_SUPPORTED;
    return ops->FT_EraseEE(handle);
}

FT_STATUS FT_CyclePort(FT_HANDLE handle)
{
    const Operations *ops = operations();
    if (!ops)
        return NO_LIBRARY;
    if (!ops->FT_CyclePort)
        return FT_NOT_SUPPORTED;
    return ops->FT_CyclePort(handle);
}

} // extern "C"
