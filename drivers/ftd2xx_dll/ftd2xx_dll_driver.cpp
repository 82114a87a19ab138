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

// The library's entry points, typed from our own declarations.
struct Operations {
    decltype(&FT_ListDevices) list_devices = nullptr;
    decltype(&FT_OpenEx) open_ex = nullptr;
    decltype(&FT_ResetDevice) reset_device = nullptr;
    decltype(&FT_SetUSBParameters) set_usb_parameters = nullptr;
    decltype(&FT_SetChars) set_chars = nullptr;
    decltype(&FT_SetTimeouts) set_timeouts = nullptr;
    decltype(&FT_SetLatencyTimer) set_latency_timer = nullptr;
    decltype(&FT_SetFlowControl) set_flow_control = nullptr;
    decltype(&FT_SetBitMode) set_bit_mode = nullptr;
    decltype(&FT_Write) write = nullptr;
    decltype(&FT_GetQueueStatus) get_queue_status = nullptr;
    decltype(&FT_Read) read = nullptr;
    decltype(&FT_Close) close = nullptr;
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

// Load the library and resolve every operation; null when that failed,
// after the one line that says why.
const Operations *load_operations()
{
    static Operations ops;

    HMODULE library = LoadLibraryExW(L"ftd2xx.dll", nullptr,
                                     LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library) {
        std::fprintf(stderr,
                     "ftd2xx.dll was found neither beside this program nor in the Windows system folder: %s\n",
                     INSTALL_HINT);
        return nullptr;
    }
    std::string missing;
    bool all = true;
    all &= resolve(library, "FT_ListDevices", ops.list_devices, missing);
    all &= resolve(library, "FT_OpenEx", ops.open_ex, missing);
    all &= resolve(library, "FT_ResetDevice", ops.reset_device, missing);
    all &= resolve(library, "FT_SetUSBParameters", ops.set_usb_parameters, missing);
    all &= resolve(library, "FT_SetChars", ops.set_chars, missing);
    all &= resolve(library, "FT_SetTimeouts", ops.set_timeouts, missing);
    all &= resolve(library, "FT_SetLatencyTimer", ops.set_latency_timer, missing);
    all &= resolve(library, "FT_SetFlowControl", ops.set_flow_control, missing);
    all &= resolve(library, "FT_SetBitMode", ops.set_bit_mode, missing);
    all &= resolve(library, "FT_Write", ops.write, missing);
    all &= resolve(library, "FT_GetQueueStatus", ops.get_queue_status, missing);
    all &= resolve(library, "FT_Read", ops.read, missing);
    all &= resolve(library, "FT_Close", ops.close, missing);
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

} // namespace

extern "C" {

FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags)
{
    const Operations *ops = operations();
    return ops ? ops->list_devices(list_arg, count_arg, flags) : NO_LIBRARY;
}

FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle)
{
    const Operations *ops = operations();
    return ops ? ops->open_ex(what, flags, handle) : NO_LIBRARY;
}

FT_STATUS FT_ResetDevice(FT_HANDLE handle)
{
    const Operations *ops = operations();
    return ops ? ops->reset_device(handle) : NO_LIBRARY;
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t in_size, uint32_t out_size)
{
    const Operations *ops = operations();
    return ops ? ops->set_usb_parameters(handle, in_size, out_size) : NO_LIBRARY;
}

FT_STATUS FT_SetChars(FT_HANDLE handle, unsigned char event_char, unsigned char event_enable,
                      unsigned char error_char, unsigned char error_enable)
{
    const Operations *ops = operations();
    return ops ? ops->set_chars(handle, event_char, event_enable, error_char, error_enable)
               : NO_LIBRARY;
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms)
{
    const Operations *ops = operations();
    return ops ? ops->set_timeouts(handle, read_timeout_ms, write_timeout_ms) : NO_LIBRARY;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char latency_ms)
{
    const Operations *ops = operations();
    return ops ? ops->set_latency_timer(handle, latency_ms) : NO_LIBRARY;
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short flow, unsigned char xon,
                            unsigned char xoff)
{
    const Operations *ops = operations();
    return ops ? ops->set_flow_control(handle, flow, xon, xoff) : NO_LIBRARY;
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, unsigned char mask, unsigned char mode)
{
    const Operations *ops = operations();
    return ops ? ops->set_bit_mode(handle, mask, mode) : NO_LIBRARY;
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *written)
{
    const Operations *ops = operations();
    return ops ? ops->write(handle, buffer, count, written) : NO_LIBRARY;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *rx_count)
{
    const Operations *ops = operations();
    return ops ? ops->get_queue_status(handle, rx_count) : NO_LIBRARY;
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    const Operations *ops = operations();
    return ops ? ops->read(handle, buffer, count, read) : NO_LIBRARY;
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    const Operations *ops = operations();
    return ops ? ops->close(handle) : NO_LIBRARY;
}

} // extern "C"
