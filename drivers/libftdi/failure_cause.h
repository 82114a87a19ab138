// Why the calling thread's last call of the libftdi1 layer failed, in
// libusb's or libftdi1's words (ft_last_cause): each call starts with none,
// and the place that sees the library fail sets it.
#ifndef WIRETEST_LIBFTDI_FAILURE_CAUSE_H
#define WIRETEST_LIBFTDI_FAILURE_CAUSE_H

#include <ftdi.h>
#include <libusb.h>

#include <string>

namespace libftdi_layer {

inline std::string &failure_cause()
{
    static thread_local std::string cause;
    return cause;
}

// The code of the last libusb transfer libftdi1 saw fail on this thread
// (usb_cause.cpp), 0 when none has since the call began.
int &last_libusb_error();

inline void clear_cause()
{
    failure_cause().clear();
    last_libusb_error() = 0;
}

inline std::string libusb_cause(int error) { return std::string("libusb: ") + libusb_error_name(error); }

// Only for a call that failed: libftdi1 keeps its words until the next
// failure. libusb's code follows them where a transfer of this call failed.
inline std::string libftdi_cause(ftdi_context *context)
{
    const char *text = ftdi_get_error_string(context);
    std::string cause = text ? std::string("libftdi1: ") + text : std::string();
    if (last_libusb_error() != 0)
        cause += (cause.empty() ? "" : " (") + libusb_cause(last_libusb_error()) + (cause.empty() ? "" : ")");
    return cause;
}

} // namespace libftdi_layer

#endif
