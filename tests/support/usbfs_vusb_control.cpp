// The virtual bus's control functions (vusb_control.h) over the emulated
// usbfs bus, so that the libftdi1 layer's suite runs once more through the
// real libusb. The settings it takes are those the usbfs chips model; any
// other fails the test that asked for it, naming the setting, so that the
// suite's filter for this build keeps to what this bus can give.
#include "board_text.h"
#include "device_link/ft_locations.h"
#include "usbfs_bus.h"
#include "vusb_control.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::unique_ptr<usbfs::Bus> &bus()
{
    static std::unique_ptr<usbfs::Bus> the_bus;
    return the_bus;
}

std::vector<std::string> pieces(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, separator);)
        if (!part.empty())
            parts.push_back(part);
    return parts;
}

// "6010:WT01@1-4.2", "6010/0500:OLD", "6014:": a chip, at the Nth port of
// the root hub unless a place is given.
usbfs::ChipPlug chip_of(const std::string &text, size_t nth)
{
    size_t colon = text.find(':'), slash = text.find('/'), at = text.find('@');
    unsigned long product = std::stoul(text.substr(0, std::min(colon, slash)), nullptr, 16);
    unsigned long release = slash < colon ? std::stoul(text.substr(slash + 1, colon - slash - 1), nullptr, 16) : 0;
    const chip_facts *facts = chip_by_usb(FTDI_VENDOR_ID, uint16_t(product), uint16_t(release));
    if (!facts || text.find('~') != std::string::npos)
        throw std::invalid_argument("no usbfs chip for " + text);
    std::string serial = colon == std::string::npos ? "" : text.substr(colon + 1, at - colon - 1);
    std::string place = at == std::string::npos ? "1-" + std::to_string(nth) : text.substr(at + 1);
    return usbfs::chip_at(place, facts->kind, serial);
}

std::vector<usbfs::ChipPlug> chips_of(const std::string &list)
{
    std::vector<usbfs::ChipPlug> chips;
    if (!list.empty() && list.find(':') == std::string::npos) { // chips=N: VU01, VU02 ...
        for (int i = 1; i <= std::stoi(list); i++) {
            std::string serial = (i < 10 ? "VU0" : "VU") + std::to_string(i);
            chips.push_back(usbfs::chip_at("1-" + std::to_string(i), ChipKind::FT2232H, serial));
        }
        return chips;
    }
    for (const std::string &chip : pieces(list, ','))
        chips.push_back(chip_of(chip, chips.size() + 1));
    return chips;
}

void configure(const std::string &settings)
{
    std::vector<usbfs::ChipPlug> chips = {usbfs::chip_at("1-1", ChipKind::FT2232H, "WTVUSB01")};
    chip::Wiring wiring;
    usbfs::UsbFaults faults;
    bool serial_driver = false;
    eeprom::Part eeprom_part = eeprom::Part::c56;
    for (const std::string &item : pieces(settings, ';')) {
        size_t equals = item.find('=');
        std::string key = item.substr(0, equals), value = equals == std::string::npos ? "" : item.substr(equals + 1);
        if (key == "chips")
            chips = chips_of(value);
        else if (key == "board")
            wiring = board_text::parse(value);
        else if (key == "sio")
            serial_driver = value == "1";
        else if (key == "eeprom") { // 46, 56, 66 or none
            const eeprom::PartFacts *part = eeprom::part_by_name("93C" + value);
            if (value != "none" && !part)
                throw std::invalid_argument("no EEPROM part " + item);
            eeprom_part = part ? part->part : eeprom::Part::none;
        } else if (key == "silent")
            faults.silent_in = value == "1";
        else if (key == "fail_ctrl") { // REQ:N, the request in hex
            faults.stall_request = std::stoi(value.substr(0, value.find(':')), nullptr, 16);
            faults.stall_nth = std::stoi(value.substr(value.find(':') + 1));
        } else if (key != "latency") // the usbfs chips always keep time as real ones
            throw std::invalid_argument("the usbfs bus does not model " + item);
    }
    ft_release_listings(); // the listing's libusb context would know the old bus's devices
    bus().reset();
    bus() = std::make_unique<usbfs::Bus>();
    for (usbfs::ChipPlug &chip : chips) {
        chip.wiring = wiring;
        chip.serial_driver = serial_driver;
        chip.eeprom_part = eeprom_part;
        bus()->plug(chip);
        bus()->set_faults(chip.port_path, faults);
    }
}

// 1 or 0 as the chip says, -1 when there is no such chip or interface.
template <typename Ask>
int ask_chip(Ask ask)
{
    try {
        return bus() ? (ask(*bus()) ? 1 : 0) : -1;
    } catch (const std::exception &) {
        return -1;
    }
}

void not_modelled(const char *what)
{
    ADD_FAILURE() << what << " is not modelled on the usbfs bus: filter the test out of this build";
}

} // namespace

extern "C" {

void vusb_configure(const char *settings)
{
    try {
        configure(settings ? settings : "");
    } catch (const std::exception &e) {
        ADD_FAILURE() << e.what() << " (settings: " << settings << ")";
    }
}

unsigned vusb_last_control_timeout()
{
    not_modelled("a transfer's timeout (libusb keeps it, usbfs never sees it)");
    return 0;
}

unsigned vusb_last_bulk_timeout()
{
    not_modelled("a transfer's timeout (libusb keeps it, usbfs never sees it)");
    return 0;
}

int vusb_serial_driver_bound(const char *location, int interface_number)
{
    return ask_chip([&](usbfs::Bus &b) { return b.serial_driver_bound(location, interface_number); });
}

int vusb_claimed(const char *location, int interface_number)
{
    return ask_chip([&](usbfs::Bus &b) { return b.claimed(location, interface_number); });
}

void vusb_unplug()
{
    if (bus())
        for (const std::string &path : bus()->port_paths())
            bus()->unplug(path);
}

int vusb_transfers() { return bus() ? bus()->transfers() : 0; }

int vusb_reads_waiting() { return bus() ? bus()->reads_waiting() : 0; }

int vusb_contexts_open()
{
    not_modelled("counting libusb contexts");
    return 0;
}

int vusb_events_waiting()
{
    not_modelled("counting the threads in libusb's event handling");
    return 0;
}
}
