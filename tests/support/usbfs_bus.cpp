#include "usbfs_bus.h"

#include <umockdev.h>

#include <sys/ioctl.h>

#include <linux/usb/ch9.h>
#include <linux/usbdevice_fs.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace usbfs {

namespace {

constexpr uint8_t MODEM_STATUS[2] = {0x31, 0x60}; // leads every bulk IN packet
constexpr int HIGH_SPEED_PACKET = 512;

// The chip's vendor requests (libftdi1's SIO_* values) that change a channel.
enum Request : uint8_t { RESET = 0x00, SET_LATENCY_TIMER = 0x09, GET_LATENCY_TIMER = 0x0A, SET_BITMODE = 0x0B, READ_PINS = 0x0C,
                         READ_EEPROM = 0x90, WRITE_EEPROM = 0x91, ERASE_EEPROM = 0x92 };

struct Urb {
    UMockdevIoctlData *data = nullptr;   // the client's struct usbdevfs_urb
    UMockdevIoctlData *buffer = nullptr; // its buffer
    UMockdevIoctlClient *client = nullptr;
    size_t port = 0;
    bool timer_expired = false;
    GSource *timer = nullptr;
    usbdevfs_urb *urb() const { return reinterpret_cast<usbdevfs_urb *>(data->data); }
};

struct Port {
    chip::MpsseChannel engine;
    std::deque<uint8_t> to_host;
    gint64 oldest_produced_us = 0; // when the oldest byte in to_host was made (monotonic)
    int latency_ms = 16;
    bool flush = false;  // a send-immediate ran: what the chip holds goes at once
    bool serial_driver = false;
    UMockdevIoctlClient *claimed_by = nullptr;
    std::deque<Urb *> ins; // bulk IN transfers waiting, oldest first
};

struct Chip {
    Bus::State *bus = nullptr;
    const chip_facts *facts = nullptr;
    ChipPlug plug;
    int address = 0;
    std::string syspath, devnode;
    UMockdevIoctlBase *handler = nullptr;
    std::vector<Port> ports;
    chip::Eeprom eeprom; // the chip's, kept as it enumerates again
    UsbFaults faults;
    int outs = 0;
    std::map<int, int> vendor_requests; // arrivals per request, for stall_nth
    bool gone = false;
    std::map<std::string, int> calls;
    std::map<UMockdevIoctlClient *, std::deque<Urb *>> reapable; // completed, per open file
};

// The open file that claims the port. The kernel releases a file's claims
// as it closes; the testbed tells of a closed file only by its client no
// longer being connected, so a claim is looked at through this.
UMockdevIoctlClient *claim_holder(Port &p)
{
    if (p.claimed_by && !umockdev_ioctl_client_get_connected(p.claimed_by)) {
        g_object_unref(p.claimed_by);
        p.claimed_by = nullptr;
    }
    return p.claimed_by;
}

void set_claim(Port &p, UMockdevIoctlClient *client)
{
    if (client)
        g_object_ref(client);
    if (p.claimed_by)
        g_object_unref(p.claimed_by);
    p.claimed_by = client;
}

std::vector<uint8_t> le16(unsigned v) { return {uint8_t(v & 0xFF), uint8_t(v >> 8)}; }

std::vector<uint8_t> device_descriptor(const Chip &c)
{
    std::vector<uint8_t> d = {18, USB_DT_DEVICE, 0x00, 0x02, 0, 0, 0, 64};
    for (unsigned v : {unsigned(FTDI_VENDOR_ID), unsigned(c.facts->product_id), unsigned(c.facts->release)})
        for (uint8_t b : le16(v))
            d.push_back(b);
    d.insert(d.end(), {1, 2, uint8_t(c.plug.serial.empty() ? 0 : 3), 1});
    return d;
}

// One configuration: a vendor-class interface per channel, each with a bulk
// IN and OUT endpoint (A: 0x81/0x02, B: 0x83/0x04 ...).
std::vector<uint8_t> configuration_descriptor(const Chip &c)
{
    int n = c.facts->channels;
    unsigned total = 9 + unsigned(n) * (9 + 7 + 7);
    std::vector<uint8_t> d = {9, USB_DT_CONFIG, uint8_t(total & 0xFF), uint8_t(total >> 8), uint8_t(n), 1, 0, 0x80, 50};
    unsigned packet = c.facts->high_speed ? HIGH_SPEED_PACKET : 64;
    for (int i = 0; i < n; i++) {
        d.insert(d.end(), {9, USB_DT_INTERFACE, uint8_t(i), 0, 2, 0xFF, 0xFF, 0xFF, 2});
        d.insert(d.end(), {7, USB_DT_ENDPOINT, uint8_t(0x81 + 2 * i), USB_ENDPOINT_XFER_BULK,
                           uint8_t(packet & 0xFF), uint8_t(packet >> 8), 0});
        d.insert(d.end(), {7, USB_DT_ENDPOINT, uint8_t(0x02 + 2 * i), USB_ENDPOINT_XFER_BULK,
                           uint8_t(packet & 0xFF), uint8_t(packet >> 8), 0});
    }
    return d;
}

std::vector<uint8_t> string_descriptor(const Chip &c, int index)
{
    if (index == 0)
        return {4, USB_DT_STRING, 0x09, 0x04}; // US English
    std::string text = index == 1 ? "FTDI" : index == 2 ? std::string(c.facts->name) : c.plug.serial;
    std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), USB_DT_STRING};
    for (char ch : text)
        d.insert(d.end(), {uint8_t(ch), 0});
    return d;
}

} // namespace

struct Bus::State {
    UMockdevTestbed *testbed = nullptr;
    GMainContext *context = nullptr;
    GMainLoop *loop = nullptr;
    std::thread thread;
    std::mutex lock; // the chips, between the loop thread and the test's
    std::map<std::string, std::unique_ptr<Chip>> chips; // by port path
    std::map<std::string, std::string> hubs;            // sysfs name -> syspath
    std::vector<std::unique_ptr<Chip>> departed;        // their handlers may still be called
    int next_address = 2;                               // 1 is the root hub

    // Run work on the loop thread, which owns the testbed's sockets, and
    // wait for it. The work passes through a queue of this process's own
    // mutex, not through GLib's hand-off alone, which ThreadSanitizer cannot
    // see.
    struct Call {
        const std::function<void()> *work;
        std::mutex m;
        std::condition_variable cv;
        bool done = false;
    };
    std::mutex calls_lock;
    std::deque<Call *> calls;

    void on_loop(const std::function<void()> &work)
    {
        Call call{&work, {}, {}, false};
        {
            std::lock_guard<std::mutex> hold(calls_lock);
            calls.push_back(&call);
        }
        g_main_context_invoke(context, [](gpointer p) -> gboolean {
            auto *s = static_cast<State *>(p);
            Call *c = nullptr;
            {
                std::lock_guard<std::mutex> hold(s->calls_lock);
                c = s->calls.front();
                s->calls.pop_front();
            }
            (*c->work)();
            std::lock_guard<std::mutex> hold(c->m);
            c->done = true;
            c->cv.notify_one();
            return G_SOURCE_REMOVE;
        }, this);
        std::unique_lock<std::mutex> hold(call.m);
        call.cv.wait(hold, [&] { return call.done; });
    }

    Chip &chip_at(const std::string &path)
    {
        auto it = chips.find(path);
        if (it == chips.end())
            throw std::runtime_error("no emulated chip at " + path);
        return *it->second;
    }

    std::string add_usb_device(const std::string &name, const std::string &parent, int address,
                               const std::vector<uint8_t> &descriptors,
                               const std::vector<std::string> &more_attributes);
    void hub(const std::string &name);
    // On the loop thread: a chip made, in sysfs and at its node, not yet in
    // chips; and a chip that leaves and comes back at once (the caller holds lock).
    std::unique_ptr<Chip> arrive(const ChipPlug &plug, const chip::Eeprom &eeprom);
    void enumerate_again(Chip &c);
    // A departed chip's sysfs entry goes, with a "remove" uevent, as the kernel's does.
    void leave_sysfs(const Chip &c)
    {
        umockdev_testbed_uevent(testbed, c.syspath.c_str(), "remove");
        umockdev_testbed_remove_device(testbed, c.syspath.c_str());
    }
};

namespace {

void complete_urb(Chip &c, Urb *u, int status, int actual)
{
    u->urb()->status = status;
    u->urb()->actual_length = actual;
    if (u->timer) {
        g_source_destroy(u->timer);
        g_source_unref(u->timer);
        u->timer = nullptr;
    }
    c.reapable[u->client].push_back(u);
}

// Bulk IN transfers take what the channel holds, in packets that each begin
// with the modem status, when the chip would send: at once when a packet
// fills or a send-immediate ran, else when the latency timer expires (then
// with only the status bytes when nothing waits).
void serve_ins(Chip &c, Port &p)
{
    size_t packet = c.facts->high_speed ? HIGH_SPEED_PACKET : 64;
    while (!p.ins.empty()) {
        Urb *u = p.ins.front();
        bool full = p.to_host.size() >= packet - 2;
        if (c.faults.silent_in || !(u->timer_expired || p.flush || full))
            return;
        p.ins.pop_front();
        auto *out = u->buffer->data;
        size_t room = size_t(u->urb()->buffer_length), at = 0;
        size_t limit = c.faults.short_in > 0 ? size_t(c.faults.short_in) : SIZE_MAX;
        do {
            if (room - at < 2)
                break;
            std::memcpy(out + at, MODEM_STATUS, 2);
            at += 2;
            size_t n = std::min({packet - 2, p.to_host.size(), room - at, limit});
            std::copy_n(p.to_host.begin(), n, out + at);
            p.to_host.erase(p.to_host.begin(), p.to_host.begin() + long(n));
            at += n;
            limit -= n;
            if (n < packet - 2)
                break; // a short packet ends the transfer
        } while (!p.to_host.empty() && limit > 0);
        if (p.to_host.empty())
            p.flush = false;
        complete_urb(c, u, 0, int(at));
    }
}

int vendor_request(Chip &c, const usb_ctrlrequest &setup, uint8_t *data)
{
    size_t index = size_t(std::max((setup.wIndex & 0xFF) - 1, 0));
    int arrival = ++c.vendor_requests[setup.bRequest];
    if (setup.bRequest == c.faults.stall_request && (c.faults.stall_nth == 0 || arrival == c.faults.stall_nth))
        return -EPIPE;
    // The EEPROM's requests are the chip's, not a channel's: their index is a word address.
    const uint8_t vendor_in = USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE, vendor_out = USB_TYPE_VENDOR | USB_RECIP_DEVICE;
    if (setup.bRequestType == vendor_in && setup.bRequest == READ_EEPROM && setup.wLength >= 2) {
        uint16_t word = c.eeprom.read(setup.wIndex);
        data[0] = uint8_t(word);
        data[1] = uint8_t(word >> 8);
        return 2;
    }
    if (setup.bRequestType == vendor_out && setup.bRequest == WRITE_EEPROM)
        return c.eeprom.write(setup.wIndex, setup.wValue) ? 0 : -EPIPE;
    if (setup.bRequestType == vendor_out && setup.bRequest == ERASE_EEPROM) {
        c.eeprom.erase();
        return 0;
    }
    if (index >= c.ports.size())
        return -EPIPE;
    Port &p = c.ports[index];
    if (setup.bRequestType == (USB_DIR_IN | USB_TYPE_VENDOR | USB_RECIP_DEVICE)) {
        if (setup.bRequest == GET_LATENCY_TIMER && setup.wLength >= 1) {
            data[0] = uint8_t(p.latency_ms);
            return 1;
        }
        if (setup.bRequest == READ_PINS && setup.wLength >= 1) {
            data[0] = p.engine.low_pins();
            return 1;
        }
        return -EPIPE;
    }
    switch (setup.bRequest) {
    case RESET:
        if (setup.wValue == 0)
            p.engine.reset();
        if (setup.wValue == 0 || setup.wValue == 2)
            p.to_host.clear(); // 1 purges what the host sent, which runs at once here
        break;
    case SET_LATENCY_TIMER:
        p.latency_ms = setup.wValue & 0xFF;
        break;
    case SET_BITMODE:
        p.engine.set_bit_mode(uint8_t(setup.wValue & 0xFF), uint8_t(setup.wValue >> 8));
        break;
    default:
        if (setup.bRequest > 0x07) // beyond the UART's settings
            return -EPIPE;
    }
    return setup.wLength;
}

int control_request(Chip &c, uint8_t *buffer, int length)
{
    if (length < 8)
        return -EINVAL;
    usb_ctrlrequest setup;
    std::memcpy(&setup, buffer, sizeof setup);
    uint8_t *data = buffer + 8;
    if ((setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR)
        return vendor_request(c, setup, data);
    if (setup.bRequestType == USB_DIR_IN && setup.bRequest == USB_REQ_GET_DESCRIPTOR) {
        int type = setup.wValue >> 8, index = setup.wValue & 0xFF;
        std::vector<uint8_t> d = type == USB_DT_DEVICE ? device_descriptor(c)
                                 : type == USB_DT_CONFIG ? configuration_descriptor(c)
                                 : type == USB_DT_STRING && (index <= 2 || (index == 3 && !c.plug.serial.empty()))
                                     ? string_descriptor(c, index)
                                     : std::vector<uint8_t>{};
        if (d.empty())
            return -EPIPE;
        size_t n = std::min<size_t>({d.size(), setup.wLength, size_t(length - 8)});
        std::memcpy(data, d.data(), n);
        return int(n);
    }
    return (setup.bRequestType & USB_DIR_IN) ? -EPIPE : 0;
}

gboolean latency_expired(gpointer p)
{
    auto *u = static_cast<Urb *>(p);
    auto *c = static_cast<Chip *>(g_object_get_data(G_OBJECT(u->data), "chip"));
    std::lock_guard<std::mutex> hold(*static_cast<std::mutex *>(g_object_get_data(G_OBJECT(u->data), "lock")));
    u->timer_expired = true;
    g_source_unref(u->timer);
    u->timer = nullptr;
    serve_ins(*c, c->ports[u->port]);
    return G_SOURCE_REMOVE;
}

void free_urb(Urb *u)
{
    g_object_unref(u->buffer);
    g_object_unref(u->data);
    delete u;
}

// The chip leaves: every waiting transfer ends as the kernel ends it.
void depart(Chip &c)
{
    c.gone = true;
    for (Port &p : c.ports) {
        while (!p.ins.empty()) {
            complete_urb(c, p.ins.front(), -ESHUTDOWN, 0);
            p.ins.pop_front();
        }
        set_claim(p, nullptr);
    }
}

int submit(Chip &c, std::mutex &lock, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), &error);
    if (!data) {
        g_clear_error(&error);
        return -EFAULT;
    }
    auto *urb = reinterpret_cast<usbdevfs_urb *>(data->data);
    UMockdevIoctlData *buffer =
        umockdev_ioctl_data_resolve(data, offsetof(usbdevfs_urb, buffer), size_t(std::max(urb->buffer_length, 0)), &error);
    if (!buffer) {
        g_clear_error(&error);
        return -EFAULT;
    }
    auto *u = new Urb{g_object_ref(data), g_object_ref(buffer), client};
    g_object_set_data(G_OBJECT(u->data), "chip", &c);
    g_object_set_data(G_OBJECT(u->data), "lock", &lock);
    urb = u->urb();
    if (urb->type == USBDEVFS_URB_TYPE_CONTROL) {
        int result = control_request(c, u->buffer->data, urb->buffer_length);
        complete_urb(c, u, result < 0 ? result : 0, result < 0 ? 0 : result);
        return 0;
    }
    size_t port = size_t(((urb->endpoint & 0x7F) - 1) / 2);
    if (urb->type != USBDEVFS_URB_TYPE_BULK || port >= c.ports.size()) {
        free_urb(u);
        return -EINVAL;
    }
    u->port = port;
    Port &p = c.ports[port];
    if (urb->endpoint & USB_DIR_IN) {
        p.ins.push_back(u);
        // The chip's timer runs from the oldest byte it holds, or from now
        // when it holds none: bytes made before this transfer came go out
        // when their time is up, not a whole timer after it.
        gint64 due_ms = std::max(p.latency_ms, 1);
        if (!p.to_host.empty())
            due_ms = std::max<gint64>(0, due_ms - (g_get_monotonic_time() - p.oldest_produced_us) / 1000);
        u->timer = g_timeout_source_new(guint(due_ms));
        g_source_set_callback(u->timer, latency_expired, u, nullptr);
        g_source_attach(u->timer, g_main_context_get_thread_default());
        serve_ins(c, p);
        return 0;
    }
    if (c.faults.gone_at_out > 0 && ++c.outs == c.faults.gone_at_out) {
        depart(c);
        c.bus->leave_sysfs(c);
        free_urb(u);
        return -ENODEV;
    }
    std::deque<uint8_t> answers;
    int flushes = p.engine.send_immediates();
    p.engine.write(u->buffer->data, size_t(urb->buffer_length), answers);
    if (p.to_host.empty() && !answers.empty())
        p.oldest_produced_us = g_get_monotonic_time();
    p.to_host.insert(p.to_host.end(), answers.begin(), answers.end());
    p.flush = p.flush || p.engine.send_immediates() != flushes;
    complete_urb(c, u, 0, urb->buffer_length);
    serve_ins(c, p);
    return 0;
}

// The oldest completed transfer of this open file, handed back as the
// kernel hands it: its address in the pointer the caller gave.
int reap(Chip &c, UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    auto &done = c.reapable[client];
    if (done.empty())
        return c.gone ? -ENODEV : -EAGAIN;
    Urb *u = done.front();
    done.pop_front();
    GError *error = nullptr;
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), &error);
    int result = slot && umockdev_ioctl_data_set_ptr(slot, 0, u->data) ? 0 : -EFAULT;
    g_clear_error(&error);
    free_urb(u);
    return result;
}

int discard(Chip &c, const UMockdevIoctlClient *client, UMockdevIoctlData *arg)
{
    gulong address = *reinterpret_cast<gulong *>(arg->data);
    for (Port &p : c.ports)
        for (auto it = p.ins.begin(); it != p.ins.end(); ++it)
            if ((*it)->client == client && (*it)->data->client_addr == address) {
                Urb *u = *it;
                p.ins.erase(it);
                complete_urb(c, u, -ENOENT, 0);
                return 0;
            }
    return -EINVAL; // done already
}

template <typename T>
T *resolved(UMockdevIoctlData *arg)
{
    GError *error = nullptr;
    UMockdevIoctlData *data = umockdev_ioctl_data_resolve(arg, 0, sizeof(T), &error);
    g_clear_error(&error);
    return data ? reinterpret_cast<T *>(data->data) : nullptr;
}

int claim(Chip &c, UMockdevIoctlClient *client, unsigned interface)
{
    if (interface >= c.ports.size())
        return -EINVAL;
    Port &p = c.ports[interface];
    UMockdevIoctlClient *holder = claim_holder(p);
    if (p.serial_driver || (holder && holder != client))
        return -EBUSY;
    set_claim(p, client);
    return 0;
}

int usbfs_ioctl(Chip &c, std::mutex &lock, UMockdevIoctlClient *client)
{
    unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
    auto count = [&](const char *name) { c.calls[name]++; };
    // As the kernel's: a file reaps its transfers even after the chip left
    // (they ended with ESHUTDOWN), every other call hears ENODEV.
    if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY)
        return reap(c, client, arg);
    if (c.gone)
        return -ENODEV;
    switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
        count("GET_CAPABILITIES");
        auto *caps = resolved<uint32_t>(arg);
        if (!caps)
            return -EFAULT;
        *caps = USBDEVFS_CAP_BULK_CONTINUATION | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        return 0;
    }
    case USBDEVFS_SUBMITURB: count("SUBMITURB"); return submit(c, lock, client, arg);
    case USBDEVFS_DISCARDURB: count("DISCARDURB"); return discard(c, client, arg);
    case USBDEVFS_CLAIMINTERFACE: {
        count("CLAIMINTERFACE");
        auto *interface = resolved<unsigned>(arg);
        return interface ? claim(c, client, *interface) : -EFAULT;
    }
    case USBDEVFS_RELEASEINTERFACE: {
        count("RELEASEINTERFACE");
        auto *interface = resolved<unsigned>(arg);
        if (!interface || *interface >= c.ports.size() || claim_holder(c.ports[*interface]) != client)
            return -EINVAL;
        set_claim(c.ports[*interface], nullptr);
        return 0;
    }
    case USBDEVFS_GETDRIVER: {
        count("GETDRIVER");
        auto *query = resolved<usbdevfs_getdriver>(arg);
        if (!query || query->interface >= c.ports.size())
            return -EINVAL;
        Port &p = c.ports[query->interface];
        if (!p.serial_driver && !claim_holder(p))
            return -ENODATA;
        std::snprintf(query->driver, sizeof query->driver, "%s", p.serial_driver ? "ftdi_sio" : "usbfs");
        return 0;
    }
    case USBDEVFS_DISCONNECT_CLAIM: {
        count("DISCONNECT_CLAIM");
        auto *query = resolved<usbdevfs_disconnect_claim>(arg);
        if (!query || query->interface >= c.ports.size())
            return -EINVAL;
        Port &p = c.ports[query->interface];
        bool named = std::strcmp(query->driver, "ftdi_sio") == 0;
        if (p.serial_driver && !((query->flags & USBDEVFS_DISCONNECT_CLAIM_IF_DRIVER) && !named) &&
            !((query->flags & USBDEVFS_DISCONNECT_CLAIM_EXCEPT_DRIVER) && named))
            p.serial_driver = false;
        return claim(c, client, query->interface);
    }
    case USBDEVFS_IOCTL: {
        auto *command = resolved<usbdevfs_ioctl>(arg);
        if (!command || command->ifno < 0 || size_t(command->ifno) >= c.ports.size())
            return -EINVAL;
        Port &p = c.ports[size_t(command->ifno)];
        if (command->ioctl_code == int(USBDEVFS_DISCONNECT)) {
            count("DISCONNECT");
            if (!p.serial_driver)
                return -ENODATA;
            p.serial_driver = false;
            return 0;
        }
        if (command->ioctl_code == int(USBDEVFS_CONNECT)) {
            count("CONNECT");
            if (claim_holder(p))
                return -EBUSY;
            p.serial_driver = true;
            return 0;
        }
        return -ENOTTY;
    }
    case USBDEVFS_RESET:
        // The chip reads its EEPROM again and comes back as another device:
        // the kernel ends this one, as when its descriptors changed.
        count("RESET");
        c.bus->enumerate_again(c);
        return -ENODEV;
    case USBDEVFS_SETCONFIGURATION:
    case USBDEVFS_SETINTERFACE:
    case USBDEVFS_CLEAR_HALT: return 0;
    default: return -ENOTTY;
    }
}

gboolean on_ioctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, gpointer p)
{
    auto *c = static_cast<Chip *>(p);
    int result;
    {
        std::mutex &lock = *static_cast<std::mutex *>(g_object_get_data(G_OBJECT(c->handler), "lock"));
        std::lock_guard<std::mutex> hold(lock);
        result = usbfs_ioctl(*c, lock, client);
    }
    umockdev_ioctl_client_complete(client, result < 0 ? -1 : result, result < 0 ? -result : 0);
    return TRUE;
}

// A closed usbfs file gives up its claims and its transfers, as the kernel's does.
void on_vanished(UMockdevIoctlBase *handler, UMockdevIoctlClient *client, gpointer p)
{
    auto *c = static_cast<Chip *>(p);
    std::lock_guard<std::mutex> hold(*static_cast<std::mutex *>(g_object_get_data(G_OBJECT(handler), "lock")));
    for (Port &port : c->ports) {
        if (port.claimed_by == client)
            set_claim(port, nullptr);
        for (auto it = port.ins.begin(); it != port.ins.end();)
            if ((*it)->client == client) {
                if ((*it)->timer) {
                    g_source_destroy((*it)->timer);
                    g_source_unref((*it)->timer);
                }
                free_urb(*it);
                it = port.ins.erase(it);
            } else {
                ++it;
            }
    }
    for (Urb *u : c->reapable[client])
        free_urb(u);
    c->reapable.erase(client);
}

std::string bus_of(const std::string &port_path) { return port_path.substr(0, port_path.find('-')); }

std::string three_digits(int n)
{
    char text[8];
    std::snprintf(text, sizeof text, "%03d", n);
    return text;
}

} // namespace

std::string Bus::State::add_usb_device(const std::string &name, const std::string &parent, int address,
                                       const std::vector<uint8_t> &descriptors,
                                       const std::vector<std::string> &more_attributes)
{
    std::string bus = name.rfind("usb", 0) == 0 ? name.substr(3) : bus_of(name);
    std::string devnode = "/dev/bus/usb/" + three_digits(std::stoi(bus)) + "/" + three_digits(address);
    std::vector<std::string> attributes = {"busnum", bus, "devnum", std::to_string(address), "speed", "480",
                                           "bConfigurationValue", "1"};
    attributes.insert(attributes.end(), more_attributes.begin(), more_attributes.end());
    std::vector<const char *> a, p;
    for (const std::string &s : attributes)
        a.push_back(s.c_str());
    a.push_back(nullptr);
    std::string busnum = "BUSNUM=" + three_digits(std::stoi(bus)), devnum = "DEVNUM=" + three_digits(address);
    std::vector<std::string> properties = {"DEVNAME", devnode, "DEVTYPE", "usb_device", "BUSNUM", busnum.substr(7),
                                           "DEVNUM", devnum.substr(7)};
    for (const std::string &s : properties)
        p.push_back(s.c_str());
    p.push_back(nullptr);
    gchar *syspath = umockdev_testbed_add_devicev(testbed, "usb", name.c_str(), parent.empty() ? nullptr : parent.c_str(),
                                                  const_cast<gchar **>(a.data()), const_cast<gchar **>(p.data()));
    std::string path = syspath ? syspath : "";
    g_free(syspath);
    if (path.empty())
        throw std::runtime_error("umockdev refused the device " + name);
    umockdev_testbed_set_attribute_binary(testbed, path.c_str(), "descriptors", const_cast<guint8 *>(descriptors.data()), gint(descriptors.size()));
    return path;
}

// A hub, with those above it, where a port path needs one: the root hub
// usbN and 1-4 for 1-4.2, so that libusb finds each device's parent.
void Bus::State::hub(const std::string &name)
{
    if (hubs.count(name))
        return;
    std::string parent;
    auto dot = name.rfind('.');
    if (name.rfind("usb", 0) != 0)
        parent = dot == std::string::npos ? "usb" + bus_of(name) : name.substr(0, dot);
    if (!parent.empty())
        hub(parent);
    std::vector<uint8_t> d = {18, USB_DT_DEVICE, 0x00, 0x02, USB_CLASS_HUB, 0, 1, 64, 0x6b, 0x1d, 0x02, 0x00, 0x00, 0x06, 0, 0, 0, 1,
                              9, USB_DT_CONFIG, 25, 0, 1, 1, 0, 0xE0, 0,
                              9, USB_DT_INTERFACE, 0, 0, 1, USB_CLASS_HUB, 0, 0, 0,
                              7, USB_DT_ENDPOINT, 0x81, USB_ENDPOINT_XFER_INT, 4, 0, 12};
    int address = name.rfind("usb", 0) == 0 ? 1 : next_address++;
    hubs[name] = add_usb_device(name, parent.empty() ? "" : hubs[parent], address, d, {});
}

std::string unavailable_because()
{
    const char *preload = std::getenv("LD_PRELOAD");
    if (!preload || !std::strstr(preload, "umockdev"))
        return "the emulated usbfs bus needs umockdev's preload: run the suite under umockdev-wrapper";
    return "";
}

Bus::Bus() : state_(new State)
{
    State &s = *state_;
    s.testbed = umockdev_testbed_new();
    s.context = g_main_context_new();
    s.loop = g_main_loop_new(s.context, FALSE);
    s.thread = std::thread([&s] {
        g_main_context_push_thread_default(s.context);
        g_main_loop_run(s.loop);
        g_main_context_pop_thread_default(s.context);
    });
    s.on_loop([&s] { s.hub("usb1"); });
}

Bus::~Bus()
{
    State &s = *state_;
    s.on_loop([&s] {
        std::vector<Chip *> all;
        for (auto &entry : s.chips)
            all.push_back(entry.second.get());
        for (auto &c : s.departed)
            all.push_back(c.get());
        for (Chip *c : all) {
            umockdev_testbed_detach_ioctl(s.testbed, c->devnode.c_str(), nullptr);
            g_object_unref(c->handler);
            for (Port &p : c->ports) {
                set_claim(p, nullptr);
                for (Urb *u : p.ins) {
                    if (u->timer) {
                        g_source_destroy(u->timer);
                        g_source_unref(u->timer);
                    }
                    free_urb(u);
                }
            }
            for (const auto &client : c->reapable)
                for (Urb *u : client.second)
                    free_urb(u);
        }
    });
    g_main_loop_quit(s.loop);
    s.thread.join();
    g_object_unref(s.testbed);
    g_main_loop_unref(s.loop);
    g_main_context_unref(s.context);
}

std::unique_ptr<Chip> Bus::State::arrive(const ChipPlug &plug, const chip::Eeprom &eeprom)
{
    State &s = *this;
    auto c = std::make_unique<Chip>();
    c->bus = &s;
    c->eeprom = eeprom;
    c->facts = &chip_facts_of(plug.kind);
    c->plug = plug;
    c->ports.resize(size_t(c->facts->channels));
    for (Port &p : c->ports) {
        p.engine.wiring = plug.wiring;
        p.serial_driver = plug.serial_driver;
    }
    auto dot = plug.port_path.rfind('.');
    std::string parent = dot == std::string::npos ? "usb" + bus_of(plug.port_path) : plug.port_path.substr(0, dot);
    s.hub(parent);
    c->address = s.next_address++;
    std::vector<uint8_t> d = device_descriptor(*c), config = configuration_descriptor(*c);
    d.insert(d.end(), config.begin(), config.end());
    std::vector<std::string> strings = {"idVendor", "0403", "product", c->facts->name, "manufacturer", "FTDI"};
    if (!plug.serial.empty())
        strings.insert(strings.end(), {"serial", plug.serial});
    c->syspath = s.add_usb_device(plug.port_path, s.hubs[parent], c->address, d, strings);
    c->devnode = "/dev/bus/usb/" + three_digits(std::stoi(bus_of(plug.port_path))) + "/" + three_digits(c->address);
    // The node the ioctl handler takes over, which the testbed does not make.
    gchar *root = umockdev_testbed_get_root_dir(s.testbed);
    std::string node = root + c->devnode;
    g_free(root);
    g_mkdir_with_parents(node.substr(0, node.rfind('/')).c_str(), 0755);
    g_file_set_contents(node.c_str(), "", 0, nullptr);
    c->handler = umockdev_ioctl_base_new();
    g_object_set_data(G_OBJECT(c->handler), "lock", &s.lock);
    g_signal_connect(c->handler, "handle-ioctl", G_CALLBACK(on_ioctl), c.get());
    g_signal_connect(c->handler, "client-vanished", G_CALLBACK(on_vanished), c.get());
    GError *error = nullptr;
    if (!umockdev_testbed_attach_ioctl(s.testbed, c->devnode.c_str(), c->handler, &error)) {
        std::string why = error ? error->message : "?";
        g_clear_error(&error);
        throw std::runtime_error("umockdev could not serve " + c->devnode + ": " + why);
    }
    umockdev_testbed_uevent(s.testbed, c->syspath.c_str(), "add");
    return c;
}

void Bus::State::enumerate_again(Chip &c)
{
    std::unique_ptr<Chip> old = std::move(chips.at(c.plug.port_path));
    depart(c);
    leave_sysfs(c);
    ChipPlug plug = c.plug;
    plug.serial = c.eeprom.serial(); // the serial driver binds it as it bound the chip at its plug
    chips[plug.port_path] = arrive(plug, c.eeprom);
    chips[plug.port_path]->faults = c.faults;
    departed.push_back(std::move(old)); // its open files hear ENODEV from now on
}

int Bus::plug(const ChipPlug &plug)
{
    State &s = *state_;
    int address = 0;
    s.on_loop([&] {
        std::unique_ptr<Chip> c = s.arrive(plug, chip::Eeprom::programmed(plug.kind, plug.eeprom_part, plug.serial));
        address = c->address;
        std::lock_guard<std::mutex> hold(s.lock);
        s.chips[plug.port_path] = std::move(c);
    });
    return address;
}

void Bus::unplug(const std::string &port_path)
{
    State &s = *state_;
    s.on_loop([&] {
        std::lock_guard<std::mutex> hold(s.lock);
        std::unique_ptr<Chip> c = std::move(s.chips.at(port_path));
        s.chips.erase(port_path);
        if (!c->gone) {
            depart(*c);
            s.leave_sysfs(*c);
        }
        s.departed.push_back(std::move(c)); // open files may still ask it, and hear ENODEV
    });
}

void Bus::set_faults(const std::string &port_path, const UsbFaults &faults)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    state_->chip_at(port_path).faults = faults;
}

bool Bus::serial_driver_bound(const std::string &port_path, int interface_number)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->chip_at(port_path).ports.at(size_t(interface_number)).serial_driver;
}

bool Bus::claimed(const std::string &port_path, int interface_number)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    return claim_holder(state_->chip_at(port_path).ports.at(size_t(interface_number))) != nullptr;
}

int Bus::calls(const std::string &port_path, const std::string &kind)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    const auto &calls = state_->chip_at(port_path).calls;
    auto it = calls.find(kind);
    return it == calls.end() ? 0 : it->second;
}

int Bus::latency_ms(const std::string &port_path, int interface_number)
{
    std::lock_guard<std::mutex> hold(state_->lock);
    return state_->chip_at(port_path).ports.at(size_t(interface_number)).latency_ms;
}

int Bus::transfers()
{
    std::lock_guard<std::mutex> hold(state_->lock);
    int n = 0;
    for (const auto &entry : state_->chips)
        n += entry.second->calls["SUBMITURB"];
    return n;
}

int Bus::reads_waiting()
{
    std::lock_guard<std::mutex> hold(state_->lock);
    int n = 0;
    for (const auto &entry : state_->chips)
        for (const Port &p : entry.second->ports)
            n += int(p.ins.size());
    return n;
}

std::vector<std::string> Bus::port_paths()
{
    std::lock_guard<std::mutex> hold(state_->lock);
    std::vector<std::string> paths;
    for (const auto &entry : state_->chips)
        paths.push_back(entry.first);
    return paths;
}

std::string Bus::root() const
{
    gchar *root = umockdev_testbed_get_root_dir(state_->testbed);
    std::string text = root;
    g_free(root);
    return text;
}

} // namespace usbfs
