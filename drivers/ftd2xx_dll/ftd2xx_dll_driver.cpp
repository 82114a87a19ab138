// The thirteen driver operations on Windows, forwarded to the chip maker's
// driver library, ftd2xx.dll, loaded at run time on the first call. The
// library is taken from the executable's own folder, else from the Windows
// system folder, and never from the current folder or PATH, where a planted
// DLL must not be picked up. When it cannot be loaded or lacks an operation,
// one line on standard error says so and every operation fails.
#include "device_link/ft_driver.h"

#include <windows.h>

#include <cstdio>
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

struct Operations {
#define WIRETEST_ENTRY(name) decltype(&::name) name = nullptr;
    WIRETEST_REQUIRED_OPERATIONS(WIRETEST_ENTRY)
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
const Operations *load()
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
    if (!all) {
        char path[MAX_PATH] = "ftd2xx.dll";
        GetModuleFileNameA(library, path, sizeof path);
        std::fprintf(stderr, "%s lacks %s: %s\n", path, missing.c_str(), INSTALL_HINT);
        FreeLibrary(library);
        return nullptr;
    }
    return &ops;
}

// The library's operations, loaded on the first call of any and once per
// process, however many threads ask at once.
const Operations *operations()
{
    static const Operations *const loaded = load();
    return loaded;
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

} // extern "C"
