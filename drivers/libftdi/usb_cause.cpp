// libftdi1 turns a failed libusb transfer into words of its own ("unable to
// set latency timer") and drops libusb's code, which says what the kernel
// saw: a stall, a vanished device, a timeout. The layer is linked into the
// program, whose definitions come before those of the libraries it loads, so
// these two stand between libftdi1 and libusb: each passes the call on and
// notes a failure's code for the calling thread (libftdi_cause names it).
#include "failure_cause.h"

#include <dlfcn.h>

namespace libftdi_layer {

int &last_libusb_error()
{
    static thread_local int error = 0;
    return error;
}

namespace {

template <typename Function>
Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

int noted(int result)
{
    if (result < 0)
        last_libusb_error() = result;
    return result;
}

} // namespace

} // namespace libftdi_layer

extern "C" {

int LIBUSB_CALL libusb_control_transfer(libusb_device_handle *dev_handle, uint8_t request_type, uint8_t bRequest,
                                        uint16_t wValue, uint16_t wIndex, unsigned char *data, uint16_t wLength,
                                        unsigned int timeout)
{
    using Function = int (*)(libusb_device_handle *, uint8_t, uint8_t, uint16_t, uint16_t, unsigned char *,
                             uint16_t, unsigned int);
    static const Function next = libftdi_layer::next_definition<Function>("libusb_control_transfer");
    return libftdi_layer::noted(next(dev_handle, request_type, bRequest, wValue, wIndex, data, wLength, timeout));
}

int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint, unsigned char *data,
                                     int length, int *actual_length, unsigned int timeout)
{
    using Function = int (*)(libusb_device_handle *, unsigned char, unsigned char *, int, int *, unsigned int);
    static const Function next = libftdi_layer::next_definition<Function>("libusb_bulk_transfer");
    return libftdi_layer::noted(next(dev_handle, endpoint, data, length, actual_length, timeout));
}
}
