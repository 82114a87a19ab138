// The thirteen driver operations over libftdi1, for real FTDI chips on Linux
// and macOS. libftdi_layer.h says how the layer is split, how it may be
// called from several threads, and how failures become an FT_STATUS.
//
// Receiving. Each open channel has a thread that reads the chip in the
// background into a receive queue of the layer's own, which
// FT_GetQueueStatus and FT_Read serve: background_reader.h says when it
// reads and what a query and a read wait for. Received bytes are only ever
// given to the caller, never dropped, a reset included: the reset clears
// what the chip still held, not what it already sent. A background read
// that fails is reported by the next query or read; an unplugged chip fails
// every call after it, FT_Close included. FT_Close stops the reader before
// it releases the chip.
#include "device_link/ft_eeprom.h"
#include "device_link/ft_locations.h"
#include "libftdi_layer.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace libftdi_layer {

// Never destroyed, like the listing: reader threads of channels left open
// at exit still look their channels up in it.
Registry &registry()
{
    static Registry &r = *new Registry;
    return r;
}

namespace {

// libftdi1 applies its write timeout to control requests as well. The
// system's 10 ms suits bulk transfers; a control request on a busy hub may
// need far longer, so each one runs under this timeout instead.
constexpr int CONTROL_TIMEOUT_MS = 5000;

Channel *channel_of(FT_HANDLE handle)
{
    auto *c = static_cast<Channel *>(handle);
    std::lock_guard<std::mutex> hold(registry().lock);
    return registry().open.count(c) ? c : nullptr;
}

bool take_key(const std::string &key)
{
    std::lock_guard<std::mutex> hold(registry().lock);
    return registry().held.insert(key).second;
}

void give_back_key(const std::string &key)
{
    std::lock_guard<std::mutex> hold(registry().lock);
    registry().held.erase(key);
}

// Run a libftdi1 control request under the control timeout.
template <typename Request>
FT_STATUS control(Channel &c, Request request)
{
    int saved = c.context->usb_write_timeout;
    c.context->usb_write_timeout = CONTROL_TIMEOUT_MS;
    int result = request(c.context);
    c.context->usb_write_timeout = saved;
    if (result >= 0)
        return FT_OK;
    failure_cause() = libftdi_cause(c.context);
    return libftdi_layer::failure_status(c.rx);
}

// The channel behind a handle for a call that talks to the chip; status is
// set when there is none to talk to.
Channel *usable(FT_HANDLE handle, FT_STATUS &status)
{
    clear_cause();
    Channel *c = channel_of(handle);
    if (!c) {
        status = FT_INVALID_HANDLE;
        return nullptr;
    }
    status = libftdi_layer::gone(c->rx) ? FT_DEVICE_NOT_FOUND : FT_OK;
    return status == FT_OK ? c : nullptr;
}

// libftdi1 gives up an open whose reset (-6) or baud rate (-7) failed by
// closing the device without releasing the interface it claimed, and so
// without the serial driver's return: it is attached here instead. Nothing
// is sent to the chip.
void give_back_to_serial_driver(libusb_device *device, ftdi_interface interface)
{
    libusb_device_handle *usb = nullptr;
    if (libusb_open(device, &usb) != 0)
        return;
    libusb_attach_kernel_driver(usb, usb_interface_number(interface));
    libusb_close(usb);
}

} // namespace

FT_STATUS open_channel(libusb_device *device, ftdi_interface interface, const std::string &key,
                       FT_HANDLE *handle)
{
    if (!take_key(key))
        return FT_DEVICE_NOT_OPENED; // open in this process, or being opened
    ftdi_context *context = ftdi_new();
    if (!context) {
        give_back_key(key);
        return FT_INSUFFICIENT_RESOURCES;
    }
    // The device found while listing, on the channel named: libftdi1's own
    // search by serial number would open every chip on the way.
    int result = ftdi_set_interface(context, interface);
    if (result == 0) {
        context->usb_write_timeout = CONTROL_TIMEOUT_MS; // open resets and sets a baud rate
        // Linux's serial driver leaves the interface when it is claimed and
        // comes back when it is released (libusb's auto-detach): the board's
        // /dev/ttyUSB port is there again after FT_Close.
        context->module_detach_mode = AUTO_DETACH_REATACH_SIO_MODULE;
        result = ftdi_usb_open_dev(context, device);
    }
    if (result != 0) {
        std::string cause = libftdi_cause(context);
        ftdi_free(context);
        if (result == -6 || result == -7)
            give_back_to_serial_driver(device, interface);
        FT_STATUS status = FT_IO_ERROR;
        if (!still_attached(location_in(key)))
            status = FT_DEVICE_NOT_FOUND; // unplugged since it was listed
        else if (result == -4 || result == -5 || result == -8)
            status = FT_DEVICE_NOT_OPENED;
        give_back_key(key);
        // Unplugged, refused or in use: the status says it all.
        if (status == FT_IO_ERROR)
            failure_cause() = cause;
        return status;
    }
    auto *c = new Channel;
    c->context = context;
    c->key = key;
    // libftdi1 calls the bulk IN endpoint its out_ep.
    c->rx.usb = context->usb_dev;
    c->rx.in_endpoint = static_cast<unsigned char>(context->out_ep);
    c->rx.packet_size = context->max_packet_size > 2 ? size_t(context->max_packet_size) : 64;
    c->rx.read_timeout_ms = context->usb_read_timeout;
    if (!libftdi_layer::start(c->rx)) {
        ftdi_usb_close(context);
        ftdi_free(context);
        delete c;
        give_back_key(key);
        return FT_INSUFFICIENT_RESOURCES;
    }
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        registry().open.insert(c);
    }
    *handle = c;
    return FT_OK;
}

// The EEPROM through the chip's own vendor requests, one control transfer a
// word: libftdi1's word writer refuses the words below 0x80, where the
// image the station writes lives.
enum : uint8_t {
    EEPROM_READ_WORD = 0x90,  // IN, index: word address; 2 bytes back, low first
    EEPROM_WRITE_WORD = 0x91, // OUT, value: the word, index: word address
    EEPROM_ERASE = 0x92,      // OUT: the whole part to 0xFFFF
};

// One EEPROM request on the chip behind handle; a failed transfer is the
// EEPROM's failure of its kind.
template <typename Request>
FT_STATUS eeprom_request(FT_HANDLE handle, FT_STATUS failed, Request request)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    status = control(*c, request);
    return status == FT_IO_ERROR ? failed : status;
}

} // namespace libftdi_layer

using namespace libftdi_layer;

extern "C" {

FT_STATUS FT_ListDevices(void *list_arg, void *count_arg, uint32_t flags)
{
    clear_cause();
    if (flags != (FT_LIST_ALL | FT_OPEN_BY_SERIAL_NUMBER) || !list_arg || !count_arg)
        return FT_INVALID_PARAMETER;
    std::vector<std::string> names;
    FT_STATUS status = list_names(names);
    if (status != FT_OK)
        return status;
    auto buffers = static_cast<char **>(list_arg);
    // Up to the null pointer that ends the caller's list, 64 bytes a buffer,
    // the terminator only where it fits.
    for (size_t i = 0; i < names.size() && buffers[i]; i++) {
        size_t n = std::min(names[i].size() + 1, size_t(64));
        std::memcpy(buffers[i], names[i].c_str(), n);
    }
    *static_cast<int32_t *>(count_arg) = int32_t(names.size());
    return FT_OK;
}

FT_STATUS FT_OpenEx(void *what, uint32_t flags, FT_HANDLE *handle)
{
    clear_cause();
    if (flags != FT_OPEN_BY_SERIAL_NUMBER || !what || !handle)
        return FT_INVALID_PARAMETER;
    Named named;
    FT_STATUS status = find_named(static_cast<const char *>(what), named);
    if (status != FT_OK)
        return status;
    status = open_channel(named.device, named.interface, named.key, handle);
    libusb_unref_device(named.device);
    return status;
}

FT_STATUS FT_ResetDevice(FT_HANDLE handle)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // libftdi1 drops its own read buffer here, which this layer never uses:
    // nothing received is lost.
    status = control(*c, [](ftdi_context *f) { return ftdi_usb_reset(f); });
    if (status == FT_OK) {
        libftdi_layer::chip_reset(c->rx);
    }
    return status;
}

FT_STATUS FT_SetUSBParameters(FT_HANDLE handle, uint32_t in_size, uint32_t out_size)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // 0 leaves a size as it is: a write chunk size of 0 would make every
    // later ftdi_write_data loop for ever.
    if (in_size != 0 && (in_size < 64 || in_size > 65536 || in_size % 64 != 0))
        return FT_INVALID_PARAMETER;
    if (out_size > 65536)
        return FT_INVALID_PARAMETER;
    if (in_size != 0) {
        libftdi_layer::set_transfer_size(c->rx, in_size);
    }
    if (out_size != 0 && ftdi_write_data_set_chunksize(c->context, out_size) != 0)
        return FT_INVALID_PARAMETER;
    return FT_OK;
}

FT_STATUS FT_SetChars(FT_HANDLE handle, unsigned char event_char, unsigned char event_enable,
                      unsigned char error_char, unsigned char error_enable)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    status = control(*c, [&](ftdi_context *f) {
        return ftdi_set_event_char(f, event_char, event_enable ? 1 : 0);
    });
    if (status != FT_OK)
        return status;
    return control(*c, [&](ftdi_context *f) {
        return ftdi_set_error_char(f, error_char, error_enable ? 1 : 0);
    });
}

FT_STATUS FT_SetTimeouts(FT_HANDLE handle, uint32_t read_timeout_ms, uint32_t write_timeout_ms)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // libusb takes 0 as "wait for ever"; 1 ms is the shortest bounded wait.
    auto bounded = [](uint32_t ms) { return int(std::clamp<uint32_t>(ms, 1, 600000)); };
    // The channel's reads and queries wait the same read timeout as
    // libftdi1's: a timeout of 0 is 1 ms in both, never "for ever".
    c->context->usb_read_timeout = bounded(read_timeout_ms);
    c->context->usb_write_timeout = bounded(write_timeout_ms);
    libftdi_layer::set_read_timeout(c->rx, bounded(read_timeout_ms));
    return FT_OK;
}

FT_STATUS FT_SetLatencyTimer(FT_HANDLE handle, unsigned char latency_ms)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (latency_ms == 0)
        return FT_INVALID_PARAMETER; // the chip's timer runs from 1 to 255 ms
    status = control(*c, [&](ftdi_context *f) { return ftdi_set_latency_timer(f, latency_ms); });
    if (status == FT_OK) {
        libftdi_layer::set_latency(c->rx, latency_ms);
    }
    return status;
}

FT_STATUS FT_SetFlowControl(FT_HANDLE handle, unsigned short flow, unsigned char xon,
                            unsigned char xoff)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    // The D2XX flow values are libftdi1's SIO_*_HS values: 0, 0x100, 0x200, 0x400.
    switch (flow) {
    case SIO_DISABLE_FLOW_CTRL:
    case SIO_RTS_CTS_HS:
    case SIO_DTR_DSR_HS:
        return control(*c, [&](ftdi_context *f) { return ftdi_setflowctrl(f, flow); });
    case SIO_XON_XOFF_HS: // the characters matter only here
        return control(*c, [&](ftdi_context *f) { return ftdi_setflowctrl_xonxoff(f, xon, xoff); });
    default:
        return FT_INVALID_PARAMETER;
    }
}

FT_STATUS FT_SetBitMode(FT_HANDLE handle, unsigned char mask, unsigned char mode)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    status = control(*c, [&](ftdi_context *f) { return ftdi_set_bitmode(f, mask, mode); });
    if (status == FT_OK) {
        libftdi_layer::set_mpsse(c->rx, mode == FT_BITMODE_MPSSE);
    }
    return status;
}

FT_STATUS FT_Write(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *written)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!buffer || !written || count > 0x7FFFFFFF)
        return FT_INVALID_PARAMETER;
    libftdi_layer::writing(c->rx, static_cast<const uint8_t *>(buffer), size_t(count));
    int result = ftdi_write_data(c->context, static_cast<const unsigned char *>(buffer), int(count));
    if (result < 0) {
        failure_cause() = libftdi_cause(c->context);
        return libftdi_layer::failure_status(c->rx);
    }
    *written = uint32_t(result);
    libftdi_layer::wrote(c->rx, static_cast<const uint8_t *>(buffer), size_t(result));
    return FT_OK;
}

FT_STATUS FT_GetQueueStatus(FT_HANDLE handle, uint32_t *rx_count)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!rx_count)
        return FT_INVALID_PARAMETER;
    return libftdi_layer::query(c->rx, rx_count);
}

FT_STATUS FT_Read(FT_HANDLE handle, void *buffer, uint32_t count, uint32_t *read)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    if (!buffer || !read)
        return FT_INVALID_PARAMETER;
    return libftdi_layer::read(c->rx, static_cast<uint8_t *>(buffer), count, read);
}

FT_STATUS FT_Close(FT_HANDLE handle)
{
    clear_cause();
    auto *c = static_cast<Channel *>(handle);
    {
        std::lock_guard<std::mutex> hold(registry().lock);
        if (!registry().open.erase(c))
            return FT_INVALID_HANDLE;
    }
    // The reader ends its transfer in progress, which the chip answers within
    // its latency timer (a second at most), and stops; what it received goes
    // with the handle.
    libftdi_layer::stop(c->rx);
    // Releasing the interface gives it back to the kernel's serial driver
    // (the detach mode set at open). Releasing the interface of an unplugged
    // chip fails; the handle goes all the same, and the status says the chip
    // is gone, as every call on the handle after the unplug did.
    bool gone = libftdi_layer::gone(c->rx);
    int result = ftdi_usb_close(c->context); // gives no words for a failed release
    ftdi_free(c->context);
    std::string key = c->key;
    delete c;
    FT_STATUS status = FT_OK;
    if (result < 0)
        status = gone || !still_attached(location_in(key)) ? FT_DEVICE_NOT_FOUND : FT_IO_ERROR;
    give_back_key(key);
    return status;
}

FT_STATUS FT_ReadEE(FT_HANDLE handle, uint32_t word_address, uint16_t *value)
{
    if (!value || word_address > 0xFFFF)
        return FT_INVALID_PARAMETER;
    unsigned char answer[2] = {0, 0};
    FT_STATUS status = eeprom_request(handle, FT_EEPROM_READ_FAILED, [&](ftdi_context *f) {
        int got = libusb_control_transfer(f->usb_dev, FTDI_DEVICE_IN_REQTYPE, EEPROM_READ_WORD, 0,
                                          uint16_t(word_address), answer, sizeof answer, CONTROL_TIMEOUT_MS);
        return got == int(sizeof answer) ? 0 : got < 0 ? got : -1;
    });
    if (status == FT_OK)
        *value = uint16_t(answer[0] | answer[1] << 8);
    return status;
}

FT_STATUS FT_WriteEE(FT_HANDLE handle, uint32_t word_address, uint16_t value)
{
    if (word_address > 0xFFFF)
        return FT_INVALID_PARAMETER;
    return eeprom_request(handle, FT_EEPROM_WRITE_FAILED, [&](ftdi_context *f) {
        return libusb_control_transfer(f->usb_dev, FTDI_DEVICE_OUT_REQTYPE, EEPROM_WRITE_WORD, value,
                                       uint16_t(word_address), nullptr, 0, CONTROL_TIMEOUT_MS);
    });
}

FT_STATUS FT_EraseEE(FT_HANDLE handle)
{
    return eeprom_request(handle, FT_EEPROM_ERASE_FAILED, [&](ftdi_context *f) {
        return libusb_control_transfer(f->usb_dev, FTDI_DEVICE_OUT_REQTYPE, EEPROM_ERASE, 0, 0, nullptr, 0,
                                       CONTROL_TIMEOUT_MS);
    });
}

// A reset of the whole device through libusb: the chip enumerates again and
// reads its EEPROM anew. libusb says "not found" when the descriptors
// changed, the very point here: the device is new, the handle spent.
FT_STATUS FT_CyclePort(FT_HANDLE handle)
{
    FT_STATUS status;
    Channel *c = usable(handle, status);
    if (!c)
        return status;
    int result = libusb_reset_device(c->context->usb_dev);
    if (result == 0 || result == LIBUSB_ERROR_NOT_FOUND || result == LIBUSB_ERROR_NO_DEVICE)
        return FT_OK;
    failure_cause() = std::string("libusb: ") + libusb_error_name(result);
    return FT_IO_ERROR;
}

const char *ft_last_cause(void)
{
    return failure_cause().c_str();
}

} // extern "C"
