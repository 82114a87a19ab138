// ft_wait_for_change for the libftdi1 layer. It sleeps in libusb's event
// handling until a chip of the FTDI vendor arrives or leaves (libusb's
// hotplug events: udev or the kernel's netlink messages on Linux), or the
// time passes; where libusb has no hotplug events it returns
// FT_NOT_SUPPORTED and the station lists every so often instead.
#include "device_link/ft_locations.h"
#include "libftdi_layer.h"

#include <atomic>
#include <chrono>
#include <cstdint>

namespace {

using libftdi_layer::FTDI_VENDOR;

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

// Never destroyed: a waiting thread may still be handling its events at exit.
Watch &watch()
{
    static Watch &w = *new Watch;
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
