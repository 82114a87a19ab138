// A virtual USB bus for the tests: the libusb-1.0 functions that libftdi1
// calls, built as a library named libusb-1.0.so.0, behind which FTDI chips
// with an MPSSE are emulated at the USB level. Put first on the library
// path, it lets the real build/wiretest, linked to the real libftdi1, run
// without hardware.
//
// Each chip has its device and configuration descriptors and strings, takes
// the vendor control requests libftdi1 sends, and answers bulk IN transfers
// in packets that start with the two modem status bytes: 512 bytes at high
// speed, 64 on the full-speed FT2232D (src/device_link/chip_kinds.h). Its MPSSE
// channels are chip::MpsseChannel, the engine and board model of the
// simulated driver. The quad chip's channels A and B are modelled with a
// high byte, as the dual chip's are: a real FT4232H has none there, and what
// it answers to a high-byte read is no wiring result, so a passing test on
// this model says nothing about one.
//
// The bus is set up from the environment variable WIRETEST_VUSB, a list of
// key=value items joined by ';' (test code only; the tool itself reads no
// environment):
//
//   chips=6010:WT01,6011:WT02,6014:WT03  the chips attached, product:serial
//                             (an empty serial: the chip has none), each
//                             plugged at a port path of its own: the Nth
//                             chip at 1-N, or where @PATH says, as in
//                             6010:WT01@3-1.3.2 or 6010:@1-4.2;
//                             chips=N attaches N dual chips VU01, VU02, ...
//                             Default: one dual chip WTVUSB01.
//                             A product of 6010 with a release, as in
//                             6010/0500:WT01, is the full-speed FT2232D.
//                             ~FROM-TO after a chip: it is plugged only
//                             from FROM ms to TO ms (either may be left
//                             out: from the start, for good), counted from
//                             the library's load in the first process of
//                             the run (WIRETEST_VUSB_T0 passes that moment
//                             to the processes it starts), or from
//                             vusb_configure, as in
//                             6010:WT01@1-2~500-1200; two entries at one
//                             path are a replug
//   hotplug=0                 libusb has no hotplug events (as on some
//                             platforms): libusb_has_capability says so and
//                             callbacks cannot be registered. Otherwise
//                             arrivals and departures of the FTDI chips are
//                             delivered from libusb_handle_events_*.
//   board=TEXT, board_A=TEXT, board_B=TEXT
//                             the wiring of every channel, or of one channel
//                             letter (tests/support/board_text.h)
//   drop_read=3,5 / drop_read=all
//                             these 0x83 commands of a channel get no answer
//   init_fail=1               libusb_init fails: no USB stack
//   list_fail=1               the device list cannot be read
//   deny=WT02                 opening that chip is refused (permissions)
//   open_fail=N               the Nth libusb_open of the run is refused
//   busy=WT02,1-4.2           the interfaces of the chips with that serial
//                             or at that path are claimed by another
//                             program: claiming them fails with
//                             LIBUSB_ERROR_BUSY, and no kernel driver is
//                             active on them
//   sio=1                     the kernel's serial driver holds every
//                             interface at the start, as Linux's ftdi_sio
//                             does: a claim fails with LIBUSB_ERROR_BUSY
//                             unless the driver is detached first (or
//                             detached by the claim, libusb's auto-detach),
//                             and a release under auto-detach attaches it
//                             again
//   fail_ctrl=REQ:N           the Nth vendor request REQ (hex; N=0: every one)
//                             stalls
//   fail_out=N, fail_in=N     the Nth bulk OUT / IN transfer fails (I/O error)
//   fail_answer=N             the Nth bulk IN transfer that brings data fails
//                             (I/O error), and the data stays in the chip.
//                             Unlike fail_in's, its count leaves out the reads
//                             that find nothing: how many of those a run makes
//                             depends on when the reader's thread gets its
//                             turn, the answers do not
//   stale=N:HEX               bytes the chip sends just before the Nth bulk
//                             OUT transfer reaches it: "AB12", or "AB*1200"
//                             for 1200 bytes 0xAB
//   unplug_after=N            after N transfers the chips are gone
//   unplug_at_out=N           the chips are gone when the Nth bulk OUT
//                             transfer comes: a place in the commands that
//                             the reads that find nothing do not move
//   unplug_at_open=N          the chips are gone when the Nth libusb_open
//                             of the run comes (after a listing, say)
//   delay=N                   the chip produces each answer N ms after the
//                             command reaches it
//   trickle=1                 and releases answers a byte at a time, one a
//                             latency period (a slow MPSSE clock)
//   unrequested=MS:HEX        bytes every channel sends on its own, MS ms
//                             after the bus was set up: "5AA5", "5A*3"
//   max_packets=N             at most N packets per bulk IN transfer
//   silent=1                  bulk IN transfers time out
//   latency=1                 the chip keeps time as a real one does: an IN
//                             transfer completes when the channel's latency
//                             timer expires, one timer length (request 0x09;
//                             16 ms by default) after the transfer began or
//                             after the oldest byte waiting for the host was
//                             produced, whichever is sooner; at once when a
//                             whole packet of data waits, and at once
//                             after a send-immediate (0x87) has run, with
//                             the answers of the commands before it, as a
//                             real chip sends what it holds. Otherwise every
//                             transfer completes at once.
//   eeprom=46, eeprom=66, eeprom=none
//                             the EEPROM part of every chip: a 93C46 or
//                             93C66 instead of the default 93C56, or none
//                             (reads give 0xFFFF, writes vanish). Each
//                             part holds an image giving the chip its
//                             serial (maker "FTDI", its kind as product),
//                             blank for a chip without one. The chip takes
//                             the vendor requests 0x90 (read a word), 0x91
//                             (write one) and 0x92 (erase); after
//                             libusb_reset_device it enumerates again at
//                             once, a new device at the same path, with the
//                             serial its image now gives it (none when the
//                             image is blank or its checksum wrong). The
//                             part is this process's alone, as the chips'
//                             control lines are not, unless eeprom_dir says
//                             where it is kept.
//   eeprom_dir=DIR            the EEPROM of the chip at each port path is
//                             the file DIR/PATH, shared by every process of
//                             the run and by the runs after it, as a board
//                             keeps its EEPROM between two programs: a chip
//                             there takes the image the file holds (its
//                             serial with it), and each write and erase is
//                             saved to it. A port without a file has the
//                             image eeprom= gives.
//   log=PATH                  append a line to PATH for every transfer, and
//                             for every open, claim, release and close,
//                             every detach and attach of the serial driver,
//                             every hotplug event delivered, and every
//                             transfer held (hold, below)
//   control=PATH              the test plugs and unplugs chips when it
//                             decides, by appending lines to the file PATH
//                             (it must exist): every process of the run
//                             reads the whole file, applies each complete
//                             line in order, and goes on applying lines as
//                             they are written (inotify), so that all of
//                             them see the same chips; lines written in one
//                             write are applied at one moment. Lines:
//                               plug PRODUCT:SERIAL@PATH  a chip arrives
//                                 there now (a new enumeration: a new USB
//                                 address), wired as the settings say
//                               unplug PATH  the chip there leaves now;
//                                 transfers waiting at it fail at once
//                               hold PATH N  the Nth bulk OUT transfer of a
//                                 process to the chip now at PATH waits,
//                                 whatever its timeout, until the chip is
//                                 unplugged, and fails then: a test knows
//                                 the board is mid-test when the log says
//                                 "held PATH", and unplugs it there
//                             A plugged or unplugged chip is an arrival or
//                             departure for the hotplug callbacks, as a
//                             scheduled one is.
//
// WIRETEST_VUSB_BASE holds settings that come before those of WIRETEST_VUSB
// or vusb_configure: ctest sets it to run whole suites on the latency-faithful
// bus.
//
// A malformed setting makes libusb_init fail, with the reason on standard
// error. Tests that load the library into their own process set the bus up with
// vusb_configure (tests/vusb/vusb_control.h) instead.
//
// The bus may be called from several threads, as libusb may: one lock guards
// it, and a transfer waiting for a latency timer waits without it.
//
// Its times (latency timers, delay, trickle, unrequested bytes, a chip's
// ~FROM-TO) go by the steady clock, or by the stepped clock a test in this
// process turns on (stepped_clock.cpp, vusb_control.h): then a wait of the
// bus takes no time on a loaded machine that it would not take on an idle one.
#include "board_text.h"
#include "chip_eeprom.h"
#include "device_link/chip_kinds.h"
#include "mpsse_chip.h"
#include "stepped_clock.h"
#include "vusb_control.h"

#include <libusb.h>
#include <pthread.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

// A registered hotplug callback: it hears of the arrivals and departures
// after delivered_until, up to the latest handle_events.
struct HotplugCallback {
    int handle;
    int events, vendor, product;
    libusb_hotplug_callback_fn fn;
    void *user_data;
    stepped_clock::Clock::time_point delivered_until;
};

// libftdi1 only hands a context back; the layer's hotplug watch keeps its
// callbacks here.
struct libusb_context {
    std::vector<HotplugCallback> callbacks;
    int next_handle = 1;
    unsigned long deliveries = 0; // rounds of events handled, by any thread
};

struct libusb_device {
    size_t chip; // index into the bus's chips
};

struct libusb_device_handle {
    libusb_device *device;
    std::set<int> claimed;
    bool auto_detach = false; // libusb_set_auto_detach_kernel_driver
};

namespace {

using Clock = stepped_clock::Clock;

constexpr uint8_t MODEM_STATUS[2] = {0x31, 0x60};

// The pieces of text between the separators, as std::getline reads them
// ("" has none, nor does what follows a last separator). A string stream
// would start the C++ locale in every program the bus stands under, which
// libusb, a C library, does not.
std::vector<std::string> pieces(const std::string &text, char separator)
{
    std::vector<std::string> found;
    for (size_t from = 0; from < text.size();) {
        size_t end = std::min(text.find(separator, from), text.size());
        found.push_back(text.substr(from, end - from));
        from = end + 1;
    }
    return found;
}

// The vendor requests of the chip (libftdi1's SIO_* values).
enum Request : uint8_t {
    RESET = 0x00, MODEM_CTRL = 0x01, SET_FLOW_CTRL = 0x02, SET_BAUDRATE = 0x03,
    SET_DATA = 0x04, POLL_MODEM_STATUS = 0x05, SET_EVENT_CHAR = 0x06,
    SET_ERROR_CHAR = 0x07, SET_LATENCY_TIMER = 0x09, GET_LATENCY_TIMER = 0x0A,
    SET_BITMODE = 0x0B, READ_PINS = 0x0C, READ_EEPROM = 0x90, WRITE_EEPROM = 0x91,
    ERASE_EEPROM = 0x92,
};

// A byte the chip does not release before its time.
struct HeldByte {
    Clock::time_point at;
    uint8_t byte;
    bool on_its_own; // unrequested: a reset does not purge it
};

struct Port {
    chip::MpsseChannel engine;
    std::deque<uint8_t> to_host; // bytes the chip will send on bulk IN
    std::deque<Clock::time_point> produced; // when each byte of to_host came
    uint8_t latency_ms = 16;
    std::deque<HeldByte> later; // not released before their time
    Clock::time_point last_release{};
    // A send-immediate: from then on an IN transfer completes at once with
    // what the chip holds, without its latency timer.
    Clock::time_point flush_at = Clock::time_point::max();
    libusb_device_handle *claimed_by = nullptr; // a handle of this process
    bool serial_driver = false; // the kernel's serial driver is bound to it
};

// Bytes enter to_host at the back, stamped with the time, and leave it at
// the front.
void stamp_new_bytes(Port &port)
{
    while (port.produced.size() < port.to_host.size())
        port.produced.push_back(stepped_clock::now());
}

void send_from_front(Port &port, size_t n)
{
    port.to_host.erase(port.to_host.begin(), port.to_host.begin() + long(n));
    port.produced.erase(port.produced.begin(), port.produced.begin() + long(n));
}

void clear_to_host(Port &port)
{
    port.to_host.clear();
    port.produced.clear();
    port.later.erase(std::remove_if(port.later.begin(), port.later.end(),
                                    [](const HeldByte &l) { return !l.on_its_own; }),
                     port.later.end());
}

// Keep a byte back until its time, in the order of the times.
void release_at(Port &port, Clock::time_point at, uint8_t byte, bool on_its_own = false)
{
    auto after = std::upper_bound(port.later.begin(), port.later.end(), at,
                                  [](Clock::time_point t, const HeldByte &l) { return t < l.at; });
    port.later.insert(after, {at, byte, on_its_own});
}

// Bytes whose time has come join what the chip will send, stamped with it.
void release_due(Port &port)
{
    Clock::time_point now = stepped_clock::now();
    while (!port.later.empty() && port.later.front().at <= now) {
        const HeldByte &held = port.later.front();
        port.to_host.push_back(held.byte);
        port.produced.push_back(held.at);
        port.later.pop_front();
    }
}

struct Chip {
    uint16_t product = 0; // USB idProduct and bcdDevice
    uint16_t release = 0;
    std::string serial;
    uint8_t bus_number = 1;
    std::vector<uint8_t> port_path; // hub ports from the root, as in 1-4.2
    std::string location;           // "1-4.2"
    std::vector<Port> ports;
    libusb_device device;
    // Plugged from arrive until leave (~FROM-TO): from the start and for
    // good unless set.
    Clock::time_point arrive = Clock::time_point::min(), leave = Clock::time_point::max();
    int outs = 0;     // bulk OUT transfers to it in this process
    int hold_out = 0; // the one that waits for the unplug (hold), if any
    chip::Eeprom eeprom;
    bool eeprom_ready = false; // filled, at the first preparation
};

struct Stale {
    int before_out = 0;
    std::vector<uint8_t> bytes;
};

struct Bus {
    std::vector<std::unique_ptr<Chip>> chips;
    std::string error; // a malformed setting
    bool init_fail = false, list_fail = false;
    std::set<std::string> denied, busy;
    int open_fail = 0, fail_ctrl_request = -1, fail_ctrl_nth = 0, fail_out = 0, fail_in = 0;
    int unplug_after = -1, unplug_at_open = 0, max_packets = 8, delay_ms = 0;
    int fail_answer = 0, answers = 0, unplug_at_out = 0;
    bool trickle = false;
    bool silent = false, latency = false, sio = false;
    bool hotplug = true; // libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)
    eeprom::Part eeprom_part = eeprom::Part::c56;
    std::string eeprom_dir; // where each port's EEPROM is kept, if anywhere
    bool pulled_out = false; // vusb_unplug
    std::vector<Stale> stale;
    std::string log_path;
    // How every chip is wired and which reads it drops, for the chips
    // plugged later too.
    chip::Wiring wiring;
    std::string wiring_of[4]; // board_A ... board_D, where given
    std::string drops;
    std::string control_path;
    long control_read = 0;        // bytes of the control file applied
    std::string control_partial;  // a line not yet ended
    pid_t control_pid = 0;        // the process whose thread watches the file
    int control_watch = -1;       // its inotify descriptor

    int opens = 0, transfers = 0, outs = 0, ins = 0;
    int ins_waiting = 0; // IN transfers waiting for a latency timer
    std::map<int, int> requests; // count per vendor request
    unsigned last_control_timeout = 0, last_bulk_timeout = 0;
    std::map<const libusb_config_descriptor *, std::shared_ptr<void>> configs;
};

// The kind of chip of product and release (0: the kind's own); a product of
// no kind here, an FT232R's, enumerates with a dual chip's release and
// channels.
const chip_facts &kind_of(uint16_t product, uint16_t release)
{
    const chip_facts *kind = chip_by_usb(FTDI_VENDOR_ID, product, release);
    return kind ? *kind : chip_facts_of(ChipKind::FT2232H);
}

// The product string a chip of this kind enumerates with, as FTDI names
// them: "Dual RS232-HS", "Single RS232-HS", "Quad RS232-HS"; the full-speed
// FT2232D's "Dual RS232".
std::string product_string(const Chip &c)
{
    const chip_facts &kind = kind_of(c.product, c.release);
    const char *how_many = kind.channels == 1 ? "Single" : kind.channels == 4 ? "Quad" : "Dual";
    return std::string(how_many) + " RS232" + (kind.high_speed ? "-HS" : "");
}

// The bulk pipes' packet size: USB's largest at the chip's speed.
int packet_size(const Chip &c) { return kind_of(c.product, c.release).high_speed ? 512 : 64; }

// The moment the chips' arrive and leave times count from: this library's
// load in the first process of a run, which passes it on to the processes it
// starts (the station's board processes) in WIRETEST_VUSB_T0, so that all
// of them see a chip come and go at the same moments.
Clock::time_point load_time = [] {
    const char *inherited = std::getenv("WIRETEST_VUSB_T0");
    if (inherited && *inherited)
        return Clock::time_point(Clock::duration(std::stoll(inherited)));
    Clock::time_point now = stepped_clock::now();
    setenv("WIRETEST_VUSB_T0", std::to_string(now.time_since_epoch().count()).c_str(), 1);
    return now;
}();

// "3-1.3.2": the bus number, '-', and 1 to 7 hub ports joined by '.'.
void parse_location(Chip &c, const std::string &text)
{
    size_t dash = text.find('-');
    if (dash == std::string::npos || dash == 0)
        throw std::invalid_argument("bad port path: " + text);
    c.bus_number = uint8_t(std::stoul(text.substr(0, dash)));
    c.port_path.clear();
    for (const std::string &port : pieces(text.substr(dash + 1), '.')) {
        if (port.empty())
            throw std::invalid_argument("bad port path: " + text);
        c.port_path.push_back(uint8_t(std::stoul(port)));
    }
    if (c.port_path.empty() || c.port_path.size() > 7)
        throw std::invalid_argument("bad port path: " + text);
    c.location = text;
}

// What follows the product: "WT01", "WT01@1-4.2", "@1-4.2", "", and the
// times the chip is plugged: "WT01@1-2~500-1200", "WT01~500-", "~-800".
void add_chip(Bus &bus, uint16_t product, uint16_t release, std::string serial_and_path,
              Clock::time_point times_from)
{
    auto c = std::make_unique<Chip>();
    c->product = product;
    c->release = release ? release : kind_of(product, 0).release;
    size_t tilde = serial_and_path.find('~');
    if (tilde != std::string::npos) {
        std::string times = serial_and_path.substr(tilde + 1);
        serial_and_path.erase(tilde);
        size_t dash = times.find('-');
        if (dash == std::string::npos)
            throw std::invalid_argument("chip times without '-': " + times);
        if (dash > 0)
            c->arrive = times_from + std::chrono::milliseconds(std::stoi(times.substr(0, dash)));
        if (dash + 1 < times.size())
            c->leave = times_from + std::chrono::milliseconds(std::stoi(times.substr(dash + 1)));
    }
    size_t at = serial_and_path.find('@');
    c->serial = serial_and_path.substr(0, at);
    parse_location(*c, at == std::string::npos ? "1-" + std::to_string(bus.chips.size() + 1)
                                               : serial_and_path.substr(at + 1));
    c->ports.resize(size_t(kind_of(product, c->release).channels));
    c->device.chip = bus.chips.size();
    bus.chips.push_back(std::move(c));
}

std::vector<uint8_t> parse_hex(const std::string &text)
{
    std::vector<uint8_t> bytes;
    size_t star = text.find('*');
    std::string digits = text.substr(0, star);
    if (digits.size() % 2)
        throw std::invalid_argument("odd hex: " + text);
    for (size_t i = 0; i < digits.size(); i += 2)
        bytes.push_back(uint8_t(std::stoul(digits.substr(i, 2), nullptr, 16)));
    if (star != std::string::npos) {
        std::vector<uint8_t> one = bytes;
        bytes.clear();
        for (int n = std::stoi(text.substr(star + 1)); n > 0; n--)
            bytes.insert(bytes.end(), one.begin(), one.end());
    }
    return bytes;
}

// The file that keeps the EEPROM of the chip at that port (eeprom_dir): ""
// when the words are this process's alone or there is no part.
std::string eeprom_file(const Bus &bus, const Chip &c)
{
    return bus.eeprom_dir.empty() || c.eeprom.words.empty() ? "" : bus.eeprom_dir + "/" + c.location;
}

// The words as the file holds them, two bytes each, low byte first; a
// file of another part's size is not this chip's and is left alone.
void load_eeprom(const Bus &bus, Chip &c)
{
    std::string path = eeprom_file(bus, c);
    FILE *file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
    if (!file)
        return;
    std::vector<uint8_t> bytes(c.eeprom.words.size() * 2 + 1);
    size_t got = std::fread(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
    if (got != c.eeprom.words.size() * 2)
        return;
    for (size_t i = 0; i < c.eeprom.words.size(); i++)
        c.eeprom.words[i] = uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    c.serial = c.eeprom.serial();
}

// Written whole under another name and renamed, so that a process reading
// it meanwhile finds the old image or the new, never half of each.
void save_eeprom(const Bus &bus, const Chip &c)
{
    std::string path = eeprom_file(bus, c);
    if (path.empty())
        return;
    std::vector<uint8_t> bytes;
    for (uint16_t word : c.eeprom.words)
        bytes.insert(bytes.end(), {uint8_t(word), uint8_t(word >> 8)});
    std::string part_written = path + "." + std::to_string(getpid());
    FILE *file = std::fopen(part_written.c_str(), "wb");
    bool written = file && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (file)
        written = std::fclose(file) == 0 && written;
    if (!written || std::rename(part_written.c_str(), path.c_str()) != 0)
        std::fprintf(stderr, "virtual USB: the EEPROM at %s could not be saved in %s\n", c.location.c_str(),
                     path.c_str());
}

// A chip's wiring, dropped reads, serial driver and EEPROM, as the settings say.
void prepare_chip(const Bus &bus, Chip &c)
{
    if (!c.eeprom_ready) {
        c.eeprom = chip::Eeprom::programmed(kind_of(c.product, c.release).kind, bus.eeprom_part, c.serial);
        load_eeprom(bus, c);
    }
    c.eeprom_ready = true;
    for (size_t p = 0; p < c.ports.size(); p++) {
        chip::MpsseChannel &engine = c.ports[p].engine;
        engine.wiring = bus.wiring_of[p].empty() ? bus.wiring : board_text::parse(bus.wiring_of[p]);
        if (bus.drops == "all") {
            engine.faults.drop_every_high_read = true;
        } else if (!bus.drops.empty()) {
            for (const std::string &nth : pieces(bus.drops, ','))
                engine.faults.dropped_high_reads.insert(std::stoi(nth));
        }
        // A chip another program holds is held through usbfs, not the serial driver.
        c.ports[p].serial_driver = bus.sio && !bus.busy.count(c.serial) && !bus.busy.count(c.location);
    }
}

// "6010:WT01" or "6010/0500:WT01@1-2~500-1200": a chip of chips=.
void add_chip_item(Bus &bus, const std::string &item, Clock::time_point times_from)
{
    size_t colon = item.find(':');
    if (colon == std::string::npos)
        throw std::invalid_argument("chip without ':': " + item);
    std::string product = item.substr(0, colon);
    size_t slash = product.find('/');
    uint16_t release = slash == std::string::npos ? 0 : uint16_t(std::stoul(product.substr(slash + 1), nullptr, 16));
    add_chip(bus, uint16_t(std::stoul(product.substr(0, slash), nullptr, 16)), release, item.substr(colon + 1),
             times_from);
}

void configure(Bus &bus, const std::string &settings, Clock::time_point times_from)
{
    std::map<std::string, std::string> items;
    for (const std::string &item : pieces(settings, ';')) {
        if (item.empty())
            continue;
        size_t eq = item.find('=');
        if (eq == std::string::npos)
            throw std::invalid_argument("no '=' in " + item);
        items[item.substr(0, eq)] = item.substr(eq + 1);
    }
    auto take = [&](const std::string &key) -> std::string {
        auto it = items.find(key);
        if (it == items.end())
            return "";
        std::string value = it->second;
        items.erase(it);
        return value;
    };

    const uint16_t dual = chip_facts_of(ChipKind::FT2232H).product_id;
    bool chips_given = items.count("chips") > 0;
    std::string chips = take("chips");
    if (!chips_given) {
        add_chip(bus, dual, 0, "WTVUSB01", times_from);
    } else if (!chips.empty() && chips.find(':') == std::string::npos) {
        int n = std::stoi(chips);
        for (int i = 1; i <= n; i++) {
            char serial[16];
            std::snprintf(serial, sizeof serial, "VU%02d", i);
            add_chip(bus, dual, 0, serial, times_from);
        }
    } else {
        for (const std::string &item : pieces(chips, ','))
            add_chip_item(bus, item, times_from);
    }

    bus.wiring = board_text::parse(take("board"));
    for (int letter = 0; letter < 4; letter++) {
        bus.wiring_of[letter] = take(std::string("board_") + char('A' + letter));
        board_text::parse(bus.wiring_of[letter]); // malformed: said now, not at a plug
    }
    bus.drops = take("drop_read");

    auto number = [&](const std::string &key, int fallback) {
        std::string v = take(key);
        return v.empty() ? fallback : std::stoi(v);
    };
    bus.init_fail = number("init_fail", 0) != 0;
    bus.list_fail = number("list_fail", 0) != 0;
    bus.silent = number("silent", 0) != 0;
    bus.latency = number("latency", 0) != 0;
    bus.sio = number("sio", 0) != 0;
    bus.open_fail = number("open_fail", 0);
    bus.fail_out = number("fail_out", 0);
    bus.fail_in = number("fail_in", 0);
    bus.fail_answer = number("fail_answer", 0);
    bus.unplug_at_out = number("unplug_at_out", 0);
    bus.unplug_after = number("unplug_after", -1);
    bus.max_packets = number("max_packets", 8);
    bus.unplug_at_open = number("unplug_at_open", 0);
    bus.delay_ms = number("delay", 0);
    bus.trickle = number("trickle", 0) != 0;
    bus.hotplug = number("hotplug", 1) != 0;
    std::string part = take("eeprom");
    if (part == "none")
        bus.eeprom_part = eeprom::Part::none;
    else if (!part.empty()) {
        const eeprom::PartFacts *facts = eeprom::part_by_name("93C" + part);
        if (!facts)
            throw std::invalid_argument("eeprom is 46, 56, 66 or none: " + part);
        bus.eeprom_part = facts->part;
    }
    bus.eeprom_dir = take("eeprom_dir");
    std::string unrequested = take("unrequested");
    if (!unrequested.empty()) {
        size_t colon = unrequested.find(':');
        if (colon == std::string::npos)
            throw std::invalid_argument("unrequested without ':'");
        Clock::time_point at =
            stepped_clock::now() + std::chrono::milliseconds(std::stoi(unrequested.substr(0, colon)));
        for (uint8_t byte : parse_hex(unrequested.substr(colon + 1)))
            for (const auto &c : bus.chips)
                for (Port &p : c->ports)
                    release_at(p, at, byte, true);
    }
    for (const char *key : {"deny", "busy"}) {
        for (const std::string &item : pieces(take(key), ','))
            (std::string(key) == "deny" ? bus.denied : bus.busy).insert(item);
    }
    for (const auto &c : bus.chips)
        prepare_chip(bus, *c);
    std::string ctrl = take("fail_ctrl");
    if (!ctrl.empty()) {
        size_t colon = ctrl.find(':');
        bus.fail_ctrl_request = int(std::stoul(ctrl.substr(0, colon), nullptr, 16));
        bus.fail_ctrl_nth = colon == std::string::npos ? 0 : std::stoi(ctrl.substr(colon + 1));
    }
    std::string stale = take("stale");
    if (!stale.empty()) {
        size_t colon = stale.find(':');
        if (colon == std::string::npos)
            throw std::invalid_argument("stale without ':'");
        bus.stale.push_back({std::stoi(stale.substr(0, colon)), parse_hex(stale.substr(colon + 1))});
    }
    bus.log_path = take("log");
    bus.control_path = take("control");
    if (!items.empty())
        throw std::invalid_argument("unknown setting " + items.begin()->first);
}

// The bus of this process: from WIRETEST_VUSB at the first call, or from
// vusb_configure. A replaced bus is never freed: a driver under test may
// still hold its devices. It is kept in replaced_buses, where the leak
// checker sees it held.
Bus *current_bus = nullptr;
std::vector<Bus *> replaced_buses;

// Never destroyed: the control file's watcher may still wake waiters while
// the process exits.
std::mutex &bus_lock = *new std::mutex; // taken by every libusb function
std::condition_variable &bus_change = *new std::condition_variable; // a transfer, a reset, an unplug
int contexts_open = 0;              // libusb_init's, not yet ended
int events_waiting = 0;             // threads in libusb_handle_events_*
using Hold = std::unique_lock<std::mutex>;

void start_control(Bus &b);

Bus *make_bus(const char *settings, Clock::time_point times_from)
{
    auto *created = new Bus;
    const char *base = std::getenv("WIRETEST_VUSB_BASE");
    try {
        configure(*created, std::string(base ? base : "") + ";" + (settings ? settings : ""), times_from);
        if (!created->control_path.empty())
            start_control(*created);
    } catch (const std::exception &e) {
        created->error = e.what();
        std::fprintf(stderr, "virtual USB: bad WIRETEST_VUSB: %s\n", e.what());
    }
    return created;
}

Bus &bus()
{
    if (!current_bus)
        current_bus = make_bus(std::getenv("WIRETEST_VUSB"), load_time);
    // A forked process (the station's board test) has the bus but not the
    // thread that watched its control file: it watches anew.
    if (!current_bus->control_path.empty() && current_bus->error.empty() && current_bus->control_pid != getpid()) {
        try {
            start_control(*current_bus);
        } catch (const std::exception &e) {
            current_bus->error = e.what();
            std::fprintf(stderr, "virtual USB: %s\n", e.what());
        }
    }
    return *current_bus;
}

// A fork while another thread holds the bus (the control file's watcher)
// would leave the child's lock held for good.
const int fork_guard = pthread_atfork([] { bus_lock.lock(); }, [] { bus_lock.unlock(); },
                                      [] { bus_lock.unlock(); });

void log_line(const char *format, ...) __attribute__((format(printf, 1, 2)));
void log_line(const char *format, ...)
{
    const std::string &path = bus().log_path;
    FILE *f = path.empty() ? nullptr : std::fopen(path.c_str(), "a");
    if (!f)
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(f, format, args);
    va_end(args);
    std::fputc('\n', f);
    std::fclose(f);
}

bool unplugged(const Bus &b = bus())
{
    return b.pulled_out || (b.unplug_after >= 0 && b.transfers >= b.unplug_after);
}

bool present(const Chip &c, Clock::time_point now = stepped_clock::now())
{
    return now >= c.arrive && now < c.leave;
}

Chip &chip_of(libusb_device *d) { return *bus().chips.at(d->chip); }

// The chip plugged at location now, if any.
Chip *plugged_at(Bus &b, const std::string &location, Clock::time_point now)
{
    for (auto &c : b.chips)
        if (c->location == location && present(*c, now))
            return c.get();
    return nullptr;
}

// One line of the control file (control=PATH).
void apply_control_line(Bus &b, const std::string &line, Clock::time_point now)
{
    std::istringstream words(line);
    std::string verb, what;
    words >> verb >> what;
    if (verb.empty())
        return;
    if (verb == "plug") {
        if (what.find('~') != std::string::npos || what.find('@') == std::string::npos)
            throw std::invalid_argument("plug takes PRODUCT:SERIAL@PATH: " + line);
        add_chip_item(b, what, now);
        const std::unique_ptr<Chip> &c = b.chips.back();
        c->arrive = now;
        prepare_chip(b, *c);
        for (size_t i = 0; i + 1 < b.chips.size(); i++)
            if (b.chips[i]->location == c->location && present(*b.chips[i], now)) {
                b.chips.pop_back();
                throw std::invalid_argument("a chip is plugged there already: " + line);
            }
        return;
    }
    Chip *c = plugged_at(b, what, now);
    if (!c)
        throw std::invalid_argument("no chip plugged there: " + line);
    int nth = 0;
    if (verb == "unplug")
        c->leave = now;
    else if (verb == "hold" && (words >> nth) && nth > 0)
        c->hold_out = nth;
    else
        throw std::invalid_argument("not a control line: " + line);
}

// The lines written to the control file since the last call, applied at one
// moment; a line not yet ended waits for its end.
void apply_control(Bus &b)
{
    FILE *f = std::fopen(b.control_path.c_str(), "rb");
    if (!f)
        return;
    std::fseek(f, b.control_read, SEEK_SET);
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, f)) > 0;) {
        b.control_partial.append(buffer, n);
        b.control_read += long(n);
    }
    std::fclose(f);
    Clock::time_point now = stepped_clock::now();
    for (size_t end; (end = b.control_partial.find('\n')) != std::string::npos;) {
        std::string line = b.control_partial.substr(0, end);
        b.control_partial.erase(0, end + 1);
        try {
            apply_control_line(b, line, now);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "virtual USB: control: %s\n", e.what());
        }
    }
}

// What was written before the bus was made is applied at once, what comes
// later as it comes, by a thread woken by the file's changes: a chip pulled
// out fails the transfers waiting at it, and wakes a hotplug wait, at once.
void start_control(Bus &b)
{
    if (b.control_watch >= 0)
        close(b.control_watch); // the parent's, in a forked child
    b.control_pid = getpid();
    int watch = inotify_init1(IN_CLOEXEC);
    b.control_watch = watch;
    if (watch < 0 || inotify_add_watch(watch, b.control_path.c_str(), IN_MODIFY) < 0) {
        if (watch >= 0)
            close(watch);
        b.control_watch = -1;
        throw std::invalid_argument("cannot watch the control file " + b.control_path);
    }
    apply_control(b);
    std::thread([&b, watch] {
        char events[4096];
        while (read(watch, events, sizeof events) > 0 || errno == EINTR) {
            Hold hold(bus_lock);
            apply_control(b);
            stepped_clock::notify(bus_change);
        }
    }).detach();
}

// Whether the chip is gone: all pulled out, or this one left.
bool gone(libusb_device *d) { return unplugged() || !present(chip_of(d)); }

// Count a transfer; false when the chip is gone by now.
bool begin_transfer(libusb_device *d)
{
    if (gone(d))
        return false;
    bus().transfers++;
    return true;
}

std::string hex(const uint8_t *data, int length)
{
    std::string text;
    char byte[4];
    for (int i = 0; i < length; i++) {
        std::snprintf(byte, sizeof byte, i ? " %02X" : "%02X", data[i]);
        text += byte;
    }
    return text;
}

// The port a request's wIndex names: its low byte is 1 for A, 2 for B ...;
// 0 is A too, which libftdi1 sends in the FT2232D's baud rate request.
Port *port_of(Chip &c, uint16_t index)
{
    int i = std::max((index & 0xFF) - 1, 0);
    return i >= 0 && size_t(i) < c.ports.size() ? &c.ports[size_t(i)] : nullptr;
}

int vendor_request(Chip &c, uint8_t type, uint8_t request, uint16_t value, uint16_t index,
                   unsigned char *data, uint16_t length)
{
    // The EEPROM's requests are the chip's: their index is a word address.
    // The part wraps an address past its end.
    if (type == 0xC0 && request == READ_EEPROM) {
        uint16_t word = c.eeprom.read(index);
        uint8_t answer[2] = {uint8_t(word), uint8_t(word >> 8)};
        int size = std::min<int>(2, length);
        std::memcpy(data, answer, size_t(size));
        return size;
    }
    if (type == 0x40 && request == WRITE_EEPROM) {
        if (!c.eeprom.write(index, value))
            return LIBUSB_ERROR_PIPE;
        save_eeprom(bus(), c);
        return 0;
    }
    if (type == 0x40 && request == ERASE_EEPROM) {
        c.eeprom.erase();
        save_eeprom(bus(), c);
        return 0;
    }
    Port *port = port_of(c, index);
    if (!port)
        return LIBUSB_ERROR_PIPE;
    if (type == 0x40) { // vendor, host to device
        switch (request) {
        case RESET:
            if (value == 0) { // SIO reset: the channel as after power-up
                port->engine.reset();
                clear_to_host(*port);
            } else if (value == 2) { // purge what waits for the host
                clear_to_host(*port);
            }
            return 0;
        case SET_LATENCY_TIMER:
            port->latency_ms = uint8_t(value);
            return 0;
        case SET_BITMODE:
            port->engine.set_bit_mode(uint8_t(value & 0xFF), uint8_t(value >> 8));
            return 0;
        case MODEM_CTRL: case SET_FLOW_CTRL: case SET_BAUDRATE: case SET_DATA:
        case SET_EVENT_CHAR: case SET_ERROR_CHAR:
            return 0;
        default:
            return LIBUSB_ERROR_PIPE; // the chip stalls what it does not know
        }
    }
    if (type == 0xC0) { // vendor, device to host
        uint8_t answer[2] = {0, 0};
        int size = 0;
        switch (request) {
        case GET_LATENCY_TIMER: answer[0] = port->latency_ms; size = 1; break;
        case POLL_MODEM_STATUS: answer[0] = MODEM_STATUS[0]; answer[1] = MODEM_STATUS[1]; size = 2; break;
        case READ_PINS: answer[0] = port->engine.low_pins(); size = 1; break;
        default: return LIBUSB_ERROR_PIPE;
        }
        size = std::min<int>(size, length);
        std::memcpy(data, answer, size_t(size));
        return size;
    }
    return LIBUSB_ERROR_PIPE;
}

// Wait until the chip would answer an IN transfer begun at began, as a real
// chip does: when the latency timer expires or a whole packet fills (0).
// LIBUSB_ERROR_TIMEOUT when the transfer's timeout comes first,
// LIBUSB_ERROR_NO_DEVICE when the chips go away: pulled out, or gone after a
// later transfer reached unplug_after.
int wait_for_latency_timer(Hold &hold, Bus &b, const Chip &chip, Port &port, Clock::time_point began,
                            unsigned timeout_ms, int packet)
{
    const int this_transfer = b.transfers;
    auto chip_gone = [&] {
        return b.pulled_out || (unplugged(b) && b.transfers > this_transfer) || !present(chip);
    };
    Clock::time_point give_up = timeout_ms ? began + std::chrono::milliseconds(timeout_ms)
                                           : Clock::time_point::max();
    b.ins_waiting++;
    int result = LIBUSB_ERROR_TIMEOUT;
    for (;;) {
        if (chip_gone()) {
            result = LIBUSB_ERROR_NO_DEVICE;
            break;
        }
        release_due(port);
        Clock::time_point now = stepped_clock::now(), wake = std::min(give_up, chip.leave);
        if (!port.later.empty())
            wake = std::min(wake, port.later.front().at);
        if (!b.silent) {
            Clock::time_point timer_from =
                port.produced.empty() ? began : std::min(began, port.produced.front());
            Clock::time_point expires = timer_from + std::chrono::milliseconds(port.latency_ms);
            if (now >= expires || now >= port.flush_at || port.to_host.size() >= size_t(packet - 2)) {
                result = 0;
                break;
            }
            wake = std::min({wake, expires, port.flush_at});
        }
        if (now >= give_up)
            break;
        if (wake == Clock::time_point::max())
            stepped_clock::wait_until(hold, bus_change, Clock::time_point::max());
        else
            stepped_clock::wait_until(hold, bus_change, wake);
    }
    b.ins_waiting--;
    return result;
}

} // namespace

extern "C" {

int libusb_init(libusb_context **ctx)
{
    Hold hold(bus_lock);
    if (bus().init_fail || !bus().error.empty())
        return LIBUSB_ERROR_OTHER;
    if (ctx) {
        *ctx = new libusb_context{};
        contexts_open++;
    }
    return 0;
}

void libusb_exit(libusb_context *ctx)
{
    Hold hold(bus_lock);
    contexts_open -= ctx ? 1 : 0;
    delete ctx;
}

ssize_t libusb_get_device_list(libusb_context *, libusb_device ***list)
{
    Hold hold(bus_lock);
    if (!bus().error.empty())
        return LIBUSB_ERROR_OTHER;
    if (bus().list_fail)
        return LIBUSB_ERROR_IO;
    if (!bus().control_path.empty())
        apply_control(bus());
    std::vector<libusb_device *> attached;
    if (!unplugged())
        for (auto &c : bus().chips)
            if (present(*c))
                attached.push_back(&c->device);
    auto **devices = static_cast<libusb_device **>(calloc(attached.size() + 1, sizeof(libusb_device *)));
    std::copy(attached.begin(), attached.end(), devices);
    *list = devices;
    return ssize_t(attached.size());
}

// The chips live as long as the process: references need no counting.
void libusb_free_device_list(libusb_device **list, int) { free(list); }
libusb_device *libusb_ref_device(libusb_device *dev) { return dev; }
void libusb_unref_device(libusb_device *) {}

uint8_t libusb_get_bus_number(libusb_device *dev)
{
    Hold hold(bus_lock);
    return chip_of(dev).bus_number;
}

int libusb_get_port_numbers(libusb_device *dev, uint8_t *port_numbers, int port_numbers_len)
{
    Hold hold(bus_lock);
    const std::vector<uint8_t> &path = chip_of(dev).port_path;
    if (port_numbers_len <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    if (size_t(port_numbers_len) < path.size())
        return LIBUSB_ERROR_OVERFLOW;
    std::copy(path.begin(), path.end(), port_numbers);
    return int(path.size());
}

uint8_t libusb_get_port_number(libusb_device *dev)
{
    Hold hold(bus_lock);
    return chip_of(dev).port_path.back();
}
uint8_t libusb_get_device_address(libusb_device *dev) { return uint8_t(dev->chip + 2); }

int libusb_get_device_descriptor(libusb_device *dev, libusb_device_descriptor *desc)
{
    Hold hold(bus_lock);
    const Chip &c = chip_of(dev);
    *desc = {};
    desc->bLength = LIBUSB_DT_DEVICE_SIZE;
    desc->bDescriptorType = LIBUSB_DT_DEVICE;
    desc->bcdUSB = 0x0200;
    desc->bMaxPacketSize0 = 64;
    desc->idVendor = FTDI_VENDOR_ID;
    desc->idProduct = c.product;
    desc->bcdDevice = c.release;
    desc->iManufacturer = 1;
    desc->iProduct = 2;
    desc->iSerialNumber = c.serial.empty() ? 0 : 3;
    desc->bNumConfigurations = 1;
    return 0;
}

int libusb_get_config_descriptor(libusb_device *dev, uint8_t index, libusb_config_descriptor **config)
{
    Hold hold(bus_lock);
    if (index != 0)
        return LIBUSB_ERROR_NOT_FOUND;
    const Chip &c = chip_of(dev);
    // One interface per channel, one setting each, with its bulk IN and OUT pipes.
    struct Block {
        libusb_config_descriptor config{};
        std::vector<libusb_interface> interfaces;
        std::vector<libusb_interface_descriptor> settings;
        std::vector<libusb_endpoint_descriptor> endpoints;
    };
    auto block = std::make_shared<Block>();
    size_t n = c.ports.size();
    block->interfaces.resize(n);
    block->settings.resize(n);
    block->endpoints.resize(2 * n);
    for (size_t i = 0; i < n; i++) {
        libusb_endpoint_descriptor *ep = &block->endpoints[2 * i];
        for (int k = 0; k < 2; k++) {
            ep[k].bLength = LIBUSB_DT_ENDPOINT_SIZE;
            ep[k].bDescriptorType = LIBUSB_DT_ENDPOINT;
            ep[k].bEndpointAddress = uint8_t(k == 0 ? 0x81 + 2 * i : 0x02 + 2 * i);
            ep[k].bmAttributes = LIBUSB_TRANSFER_TYPE_BULK;
            ep[k].wMaxPacketSize = uint16_t(packet_size(c));
        }
        libusb_interface_descriptor &s = block->settings[i];
        s.bLength = LIBUSB_DT_INTERFACE_SIZE;
        s.bDescriptorType = LIBUSB_DT_INTERFACE;
        s.bInterfaceNumber = uint8_t(i);
        s.bNumEndpoints = 2;
        s.bInterfaceClass = LIBUSB_CLASS_VENDOR_SPEC;
        s.bInterfaceSubClass = 0xFF;
        s.bInterfaceProtocol = 0xFF;
        s.iInterface = 2;
        s.endpoint = ep;
        block->interfaces[i].altsetting = &s;
        block->interfaces[i].num_altsetting = 1;
    }
    libusb_config_descriptor &cfg = block->config;
    cfg.bLength = LIBUSB_DT_CONFIG_SIZE;
    cfg.bDescriptorType = LIBUSB_DT_CONFIG;
    cfg.bNumInterfaces = uint8_t(n);
    cfg.bConfigurationValue = 1;
    cfg.bmAttributes = 0x80;
    cfg.MaxPower = 50;
    cfg.interface = block->interfaces.data();
    *config = &cfg;
    bus().configs[&cfg] = block;
    return 0;
}

void libusb_free_config_descriptor(libusb_config_descriptor *config)
{
    Hold hold(bus_lock);
    bus().configs.erase(config);
}

int libusb_open(libusb_device *dev, libusb_device_handle **handle)
{
    Hold hold(bus_lock);
    Bus &b = bus();
    b.opens++;
    if (b.opens == b.unplug_at_open)
        b.pulled_out = true;
    if (gone(dev))
        return LIBUSB_ERROR_NO_DEVICE;
    if (b.denied.count(chip_of(dev).serial) || b.opens == b.open_fail)
        return LIBUSB_ERROR_ACCESS;
    *handle = new libusb_device_handle{dev, {}};
    log_line("open %s", chip_of(dev).serial.c_str());
    return 0;
}

// Closing gives up the handle's claims without a word, as the kernel does
// when a program closes the device: the serial driver is not attached again.
void libusb_close(libusb_device_handle *handle)
{
    Hold hold(bus_lock);
    for (Port &p : chip_of(handle->device).ports)
        if (p.claimed_by == handle)
            p.claimed_by = nullptr;
    log_line("close %s", chip_of(handle->device).serial.c_str());
    delete handle;
}

int libusb_get_string_descriptor_ascii(libusb_device_handle *handle, uint8_t index,
                                       unsigned char *data, int length)
{
    Hold hold(bus_lock);
    if (index == 0)
        return LIBUSB_ERROR_INVALID_PARAM; // the language table, not a string
    if (gone(handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    const Chip &c = chip_of(handle->device);
    std::string text = index == 1 ? "FTDI" : index == 2 ? product_string(c) : index == 3 ? c.serial : "";
    if (text.empty() || length <= 0)
        return LIBUSB_ERROR_INVALID_PARAM;
    int n = std::min<int>(int(text.size()), length - 1);
    std::memcpy(data, text.data(), size_t(n));
    data[n] = 0;
    return n;
}

int libusb_get_configuration(libusb_device_handle *dev, int *config)
{
    Hold hold(bus_lock);
    if (gone(dev->device))
        return LIBUSB_ERROR_NO_DEVICE;
    *config = 1;
    return 0;
}

int libusb_set_configuration(libusb_device_handle *dev_handle, int configuration)
{
    Hold hold(bus_lock);
    if (gone(dev_handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    return configuration == 1 ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

namespace {

bool held_elsewhere(const Chip &c) { return bus().busy.count(c.serial) || bus().busy.count(c.location); }

// The interface's port, or null when the chip has no such interface.
Port *interface_port(libusb_device_handle *handle, int interface_number)
{
    Chip &c = chip_of(handle->device);
    if (interface_number < 0 || size_t(interface_number) >= c.ports.size())
        return nullptr;
    return &c.ports[size_t(interface_number)];
}

// The interface's port on a chip still on the bus: 0, or libusb's error
// for a chip gone or an interface it does not have.
int port_of(libusb_device_handle *handle, int interface_number, Port *&port)
{
    if (gone(handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    port = interface_port(handle, interface_number);
    return port ? 0 : LIBUSB_ERROR_NOT_FOUND;
}

} // namespace

int libusb_claim_interface(libusb_device_handle *handle, int interface_number)
{
    Hold hold(bus_lock);
    Port *port = nullptr;
    if (int error = port_of(handle, interface_number, port))
        return error;
    if (held_elsewhere(chip_of(handle->device)) || (port->claimed_by && port->claimed_by != handle))
        return LIBUSB_ERROR_BUSY;
    if (port->serial_driver) {
        if (!handle->auto_detach)
            return LIBUSB_ERROR_BUSY;
        port->serial_driver = false;
        log_line("detach %d", interface_number);
    }
    port->claimed_by = handle;
    handle->claimed.insert(interface_number);
    log_line("claim %d", interface_number);
    return 0;
}

int libusb_release_interface(libusb_device_handle *handle, int interface_number)
{
    Hold hold(bus_lock);
    if (gone(handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    if (!handle->claimed.erase(interface_number))
        return LIBUSB_ERROR_NOT_FOUND;
    Port *port = interface_port(handle, interface_number);
    port->claimed_by = nullptr;
    log_line("release %d", interface_number);
    // libusb's auto-detach gives the interface back to the kernel's driver.
    if (handle->auto_detach && bus().sio && !port->serial_driver) {
        port->serial_driver = true;
        log_line("attach %d", interface_number);
    }
    return 0;
}

// 1 while the kernel's serial driver holds the interface. A claim by a
// program, this one or another, is no kernel driver: libusb says 0 for it.
int libusb_kernel_driver_active(libusb_device_handle *handle, int interface_number)
{
    Hold hold(bus_lock);
    Port *port = nullptr;
    if (int error = port_of(handle, interface_number, port))
        return error;
    return port->serial_driver ? 1 : 0;
}

int libusb_detach_kernel_driver(libusb_device_handle *handle, int interface_number)
{
    Hold hold(bus_lock);
    Port *port = nullptr;
    if (int error = port_of(handle, interface_number, port))
        return error;
    if (!port->serial_driver)
        return LIBUSB_ERROR_NOT_FOUND;
    port->serial_driver = false;
    log_line("detach %d", interface_number);
    return 0;
}

int libusb_attach_kernel_driver(libusb_device_handle *handle, int interface_number)
{
    Hold hold(bus_lock);
    Port *port = nullptr;
    if (int error = port_of(handle, interface_number, port))
        return error;
    if (!bus().sio)
        return LIBUSB_ERROR_NOT_FOUND; // no driver in the kernel for it
    if (port->serial_driver || port->claimed_by || held_elsewhere(chip_of(handle->device)))
        return LIBUSB_ERROR_BUSY;
    port->serial_driver = true;
    log_line("attach %d", interface_number);
    return 0;
}

int libusb_set_auto_detach_kernel_driver(libusb_device_handle *handle, int enable)
{
    Hold hold(bus_lock);
    handle->auto_detach = enable != 0;
    return 0;
}

int libusb_control_transfer(libusb_device_handle *handle, uint8_t request_type, uint8_t request,
                            uint16_t value, uint16_t index, unsigned char *data, uint16_t length,
                            unsigned int timeout)
{
    Hold hold(bus_lock);
    stepped_clock::notify(bus_change); // a reset or a new timer length; an unplug
    Bus &b = bus();
    b.last_control_timeout = timeout;
    if (!begin_transfer(handle->device)) {
        log_line("ctrl %02X %02X %04X %04X -> gone", request_type, request, value, index);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    int nth = ++b.requests[request];
    if (request == b.fail_ctrl_request && (b.fail_ctrl_nth == 0 || b.fail_ctrl_nth == nth)) {
        log_line("ctrl %02X %02X %04X %04X -> stall", request_type, request, value, index);
        return LIBUSB_ERROR_PIPE;
    }
    int result = vendor_request(chip_of(handle->device), request_type, request, value, index, data, length);
    log_line("ctrl %02X %02X %04X %04X -> %d", request_type, request, value, index, result);
    return result;
}

// The chip leaves and enumerates again at once: a new device at the same
// path, with the serial its EEPROM gives it now. As libusb says when the
// descriptors changed, the handle's device is then not found.
int libusb_reset_device(libusb_device_handle *handle)
{
    Hold hold(bus_lock);
    bus_change.notify_all();
    if (gone(handle->device))
        return LIBUSB_ERROR_NO_DEVICE;
    Bus &b = bus();
    Chip &old = chip_of(handle->device);
    Clock::time_point now = Clock::now();
    old.leave = now;
    auto c = std::make_unique<Chip>();
    c->product = old.product;
    c->release = old.release;
    c->bus_number = old.bus_number;
    c->port_path = old.port_path;
    c->location = old.location;
    c->ports.resize(old.ports.size());
    c->eeprom = old.eeprom;
    c->eeprom_ready = true;
    c->arrive = now;
    c->device.chip = b.chips.size();
    c->serial = c->eeprom.serial();
    prepare_chip(b, *c);
    log_line("reset %s -> %s", old.location.c_str(), c->serial.c_str());
    b.chips.push_back(std::move(c));
    return LIBUSB_ERROR_NOT_FOUND;
}

int libusb_bulk_transfer(libusb_device_handle *dev_handle, unsigned char endpoint, unsigned char *data,
                         int length, int *actual_length, unsigned int timeout)
{
    Hold hold(bus_lock);
    stepped_clock::notify(bus_change); // new bytes for the host; an unplug
    Clock::time_point began = stepped_clock::now();
    Bus &b = bus();
    b.last_bulk_timeout = timeout;
    *actual_length = 0;
    bool in = endpoint & 0x80;
    int interface_number = in ? (endpoint & 0x7F) / 2 : (endpoint - 2) / 2;
    if (!dev_handle->claimed.count(interface_number))
        return LIBUSB_ERROR_NOT_FOUND;
    if (!in && b.outs + 1 == b.unplug_at_out)
        b.pulled_out = true;
    if (!begin_transfer(dev_handle->device)) {
        log_line("%s %02X -> gone", in ? "in" : "out", endpoint);
        return LIBUSB_ERROR_NO_DEVICE;
    }
    Port &port = chip_of(dev_handle->device).ports.at(size_t(interface_number));

    if (!in) {
        Chip &target = chip_of(dev_handle->device);
        if (++target.outs == target.hold_out) {
            log_line("held %s", target.location.c_str());
            while (!gone(dev_handle->device))
                stepped_clock::wait_until(hold, bus_change, Clock::time_point::max());
            log_line("out %02X -> gone", endpoint);
            return LIBUSB_ERROR_NO_DEVICE;
        }
        int nth = ++b.outs;
        if (nth == b.fail_out) {
            log_line("out %02X %s -> error", endpoint, hex(data, length).c_str());
            return LIBUSB_ERROR_IO;
        }
        for (const Stale &s : b.stale)
            if (s.before_out == nth)
                port.to_host.insert(port.to_host.end(), s.bytes.begin(), s.bytes.end());
        stamp_new_bytes(port);
        // A command at a time, to see where a send-immediate comes: it sends
        // the answers of the commands before it.
        std::deque<uint8_t> answers;
        size_t flushed = 0;
        bool flush = false, held = !port.to_host.empty() || !port.later.empty();
        for (int i = 0; i < length; i++) {
            int before = port.engine.send_immediates();
            port.engine.write(data + i, 1, answers);
            if (port.engine.send_immediates() != before) {
                flushed = answers.size();
                flush = held || flushed > 0; // a chip that holds nothing sends nothing
            }
        }
        if (b.delay_ms == 0 && !b.trickle) {
            port.to_host.insert(port.to_host.end(), answers.begin(), answers.end());
            stamp_new_bytes(port);
            if (flush)
                port.flush_at = stepped_clock::now();
        } else {
            Clock::time_point at = stepped_clock::now() + std::chrono::milliseconds(b.delay_ms);
            if (flush && flushed == 0)
                port.flush_at = stepped_clock::now();
            for (size_t i = 0; i < answers.size(); i++) {
                if (b.trickle)
                    at = std::max(at, port.last_release + std::chrono::milliseconds(port.latency_ms));
                release_at(port, at, answers[i]);
                port.last_release = at;
                if (flush && i + 1 == flushed)
                    port.flush_at = at;
            }
        }
        *actual_length = length;
        log_line("out %02X %s", endpoint, hex(data, length).c_str());
        return 0;
    }

    int nth = ++b.ins;
    if (nth == b.fail_in) {
        log_line("in %02X -> error", endpoint);
        return LIBUSB_ERROR_IO;
    }
    release_due(port);
    int packet = std::min(packet_size(chip_of(dev_handle->device)), length);
    int waited = b.latency ? wait_for_latency_timer(hold, b, chip_of(dev_handle->device), port, began, timeout, packet) : 0;
    if (waited != 0) {
        log_line("in %02X -> %s", endpoint, waited == LIBUSB_ERROR_NO_DEVICE ? "gone" : "timeout");
        return waited;
    }
    if (b.silent) {
        log_line("in %02X -> timeout", endpoint);
        return LIBUSB_ERROR_TIMEOUT;
    }
    if (!port.to_host.empty() && ++b.answers == b.fail_answer) {
        log_line("in %02X -> error", endpoint);
        return LIBUSB_ERROR_IO;
    }
    // Whole packets of status and data; an empty queue still gives the status.
    int packets = 0, delivered = 0;
    do {
        size_t n = std::min(port.to_host.size(), size_t(packet - 2));
        unsigned char *out = data + *actual_length;
        std::memcpy(out, MODEM_STATUS, 2);
        std::copy_n(port.to_host.begin(), n, out + 2);
        send_from_front(port, n);
        *actual_length += int(2 + n);
        delivered += int(n);
        packets++;
    } while (!port.to_host.empty() && packets < b.max_packets && *actual_length + packet <= length);
    if (port.flush_at <= stepped_clock::now())
        port.flush_at = Clock::time_point::max(); // sent
    log_line("in %02X -> %d packets, %d bytes", endpoint, packets, delivered);
    return 0;
}

// For tests that load this library into their own process (vusb_control.h).
void vusb_configure(const char *settings)
{
    Hold hold(bus_lock);
    if (current_bus)
        replaced_buses.push_back(current_bus);
    current_bus = make_bus(settings, stepped_clock::now());
    stepped_clock::notify(bus_change);
}

int vusb_serial_driver_bound(const char *location, int interface_number)
{
    Hold hold(bus_lock);
    for (const auto &c : bus().chips)
        if (c->location == location && interface_number >= 0 && size_t(interface_number) < c->ports.size())
            return c->ports[size_t(interface_number)].serial_driver ? 1 : 0;
    return -1;
}

int vusb_claimed(const char *location, int interface_number)
{
    Hold hold(bus_lock);
    for (const auto &c : bus().chips)
        if (c->location == location && interface_number >= 0 && size_t(interface_number) < c->ports.size())
            return c->ports[size_t(interface_number)].claimed_by ? 1 : 0;
    return -1;
}

unsigned vusb_last_control_timeout()
{
    Hold hold(bus_lock);
    return bus().last_control_timeout;
}

unsigned vusb_last_bulk_timeout()
{
    Hold hold(bus_lock);
    return bus().last_bulk_timeout;
}

void vusb_unplug()
{
    Hold hold(bus_lock);
    bus().pulled_out = true;
    stepped_clock::notify(bus_change);
}

int vusb_transfers()
{
    Hold hold(bus_lock);
    return bus().transfers;
}

int vusb_contexts_open()
{
    Hold hold(bus_lock);
    return contexts_open;
}

int vusb_events_waiting()
{
    Hold hold(bus_lock);
    return events_waiting;
}

int vusb_reads_waiting()
{
    Hold hold(bus_lock);
    return bus().ins_waiting;
}

// The asynchronous interface serves libftdi1's streaming reads and writes,
// which wiretest does not use, nor the libftdi1 layer, whose reader blocks in
// libusb_bulk_transfer: transfers can be made but never submitted.
libusb_transfer *libusb_alloc_transfer(int iso_packets)
{
    size_t size = sizeof(libusb_transfer) + size_t(iso_packets) * sizeof(libusb_iso_packet_descriptor);
    return static_cast<libusb_transfer *>(calloc(1, size));
}

void libusb_free_transfer(libusb_transfer *transfer) { free(transfer); }
int libusb_submit_transfer(libusb_transfer *) { return LIBUSB_ERROR_NOT_SUPPORTED; }
int libusb_cancel_transfer(libusb_transfer *) { return LIBUSB_ERROR_NOT_FOUND; }

// The names libusb gives its error codes.
const char *libusb_error_name(int errcode)
{
    switch (errcode) {
    case LIBUSB_SUCCESS: return "LIBUSB_SUCCESS";
    case LIBUSB_ERROR_IO: return "LIBUSB_ERROR_IO";
    case LIBUSB_ERROR_INVALID_PARAM: return "LIBUSB_ERROR_INVALID_PARAM";
    case LIBUSB_ERROR_ACCESS: return "LIBUSB_ERROR_ACCESS";
    case LIBUSB_ERROR_NO_DEVICE: return "LIBUSB_ERROR_NO_DEVICE";
    case LIBUSB_ERROR_NOT_FOUND: return "LIBUSB_ERROR_NOT_FOUND";
    case LIBUSB_ERROR_BUSY: return "LIBUSB_ERROR_BUSY";
    case LIBUSB_ERROR_TIMEOUT: return "LIBUSB_ERROR_TIMEOUT";
    case LIBUSB_ERROR_OVERFLOW: return "LIBUSB_ERROR_OVERFLOW";
    case LIBUSB_ERROR_PIPE: return "LIBUSB_ERROR_PIPE";
    case LIBUSB_ERROR_INTERRUPTED: return "LIBUSB_ERROR_INTERRUPTED";
    case LIBUSB_ERROR_NO_MEM: return "LIBUSB_ERROR_NO_MEM";
    case LIBUSB_ERROR_NOT_SUPPORTED: return "LIBUSB_ERROR_NOT_SUPPORTED";
    case LIBUSB_ERROR_OTHER: return "LIBUSB_ERROR_OTHER";
    default: return "**UNKNOWN**";
    }
}

// --- hotplug -----------------------------------------------------------------

int libusb_has_capability(uint32_t capability)
{
    Hold hold(bus_lock);
    switch (capability) {
    case LIBUSB_CAP_HAS_CAPABILITY: return 1;
    case LIBUSB_CAP_HAS_HOTPLUG: return bus().hotplug ? 1 : 0;
    default: return 0;
    }
}

} // extern "C"

namespace {

libusb_context default_context;

libusb_context &context_of(libusb_context *ctx) { return ctx ? *ctx : default_context; }

bool matches(const HotplugCallback &cb, const Chip &c)
{
    return (cb.vendor == LIBUSB_HOTPLUG_MATCH_ANY || cb.vendor == FTDI_VENDOR_ID) &&
           (cb.product == LIBUSB_HOTPLUG_MATCH_ANY || cb.product == c.product);
}

struct Delivery {
    Clock::time_point at;
    libusb_hotplug_callback_fn fn;
    libusb_device *device;
    libusb_hotplug_event event;
    void *user_data;
};

// The arrivals and departures each callback has not heard of yet, up to
// now, in the order they came; marked as heard.
std::vector<Delivery> due_events(libusb_context &context, Clock::time_point now)
{
    std::vector<Delivery> due;
    for (HotplugCallback &cb : context.callbacks) {
        for (auto &c : bus().chips) {
            if (!matches(cb, *c))
                continue;
            for (auto [at, event] : {std::pair{c->arrive, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED},
                                     std::pair{c->leave, LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT}})
                if ((cb.events & event) && at > cb.delivered_until && at <= now)
                    due.push_back({at, cb.fn, &c->device, event, cb.user_data});
        }
        cb.delivered_until = now;
    }
    std::stable_sort(due.begin(), due.end(), [](const Delivery &a, const Delivery &b) { return a.at < b.at; });
    return due;
}

// When the next arrival or departure after now comes, if any.
Clock::time_point next_event(Clock::time_point now)
{
    Clock::time_point next = Clock::time_point::max();
    for (const auto &c : bus().chips)
        for (Clock::time_point at : {c->arrive, c->leave})
            if (at > now)
                next = std::min(next, at);
    return next;
}

} // namespace

extern "C" {

int libusb_hotplug_register_callback(libusb_context *ctx, int events, int flags, int vendor_id, int product_id,
                                     int /*dev_class*/, libusb_hotplug_callback_fn cb_fn, void *user_data,
                                     libusb_hotplug_callback_handle *callback_handle)
{
    std::vector<libusb_device *> enumerated;
    int handle = 0;
    {
        Hold hold(bus_lock);
        if (!bus().hotplug)
            return LIBUSB_ERROR_NOT_SUPPORTED;
        libusb_context &context = context_of(ctx);
        handle = context.next_handle++;
        Clock::time_point now = stepped_clock::now();
        context.callbacks.push_back({handle, events, vendor_id, product_id, cb_fn, user_data, now});
        if ((flags & LIBUSB_HOTPLUG_ENUMERATE) && (events & LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) &&
            !unplugged())
            for (auto &c : bus().chips)
                if (present(*c, now) && matches(context.callbacks.back(), *c))
                    enumerated.push_back(&c->device);
    }
    if (callback_handle)
        *callback_handle = handle;
    for (libusb_device *device : enumerated)
        cb_fn(ctx, device, LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED, user_data);
    return LIBUSB_SUCCESS;
}

void libusb_hotplug_deregister_callback(libusb_context *ctx, libusb_hotplug_callback_handle callback_handle)
{
    Hold hold(bus_lock);
    auto &callbacks = context_of(ctx).callbacks;
    callbacks.erase(std::remove_if(callbacks.begin(), callbacks.end(),
                                   [&](const HotplugCallback &cb) { return cb.handle == callback_handle; }),
                    callbacks.end());
}

// Waits, without the processor, until a chip arrives or leaves or the time
// passes, and calls the callbacks of what came (outside the bus's lock, as
// a callback may call libusb); a chip that came while no thread waited is
// told of at the next call, as libusb queues its events. Only hotplug
// events are handled here: transfers are never submitted.
// libusb's own signature:
// cppcheck-suppress constParameter
// NOLINTNEXTLINE(readability-non-const-parameter)
int libusb_handle_events_timeout_completed(libusb_context *ctx, struct timeval *tv, int *completed)
{
    Hold hold(bus_lock);
    struct Counted { // under the bus's lock, at the start and at every return
        Counted() { events_waiting++; }
        ~Counted() { events_waiting--; }
    } counted;
    libusb_context &context = context_of(ctx);
    Clock::time_point deadline =
        tv ? stepped_clock::now() + std::chrono::seconds(tv->tv_sec) + std::chrono::microseconds(tv->tv_usec)
           : stepped_clock::now() + std::chrono::seconds(60);
    // As in libusb, a thread that finds another handling events waits for it
    // to finish, its callbacks included, and returns: the events are told of
    // once, and what the callbacks did is seen when any thread returns.
    const unsigned long seen = context.deliveries;
    for (;;) {
        Clock::time_point now = stepped_clock::now();
        if (context.deliveries != seen)
            return 0;
        std::vector<Delivery> due = due_events(context, now);
        if (!due.empty()) {
            for (const Delivery &d : due)
                log_line("hotplug %s %s", d.event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED ? "arrived" : "left",
                         chip_of(d.device).location.c_str());
            hold.unlock();
            for (const Delivery &d : due)
                d.fn(ctx, d.device, d.event, d.user_data);
            hold.lock();
            context.deliveries++;
            stepped_clock::notify(bus_change);
            return 0;
        }
        if ((completed && *completed) || now >= deadline)
            return 0;
        stepped_clock::wait_until(hold, bus_change, std::min(deadline, next_event(now)));
    }
}

int libusb_handle_events_timeout(libusb_context *ctx, struct timeval *tv)
{
    return libusb_handle_events_timeout_completed(ctx, tv, nullptr);
}

} // extern "C"
