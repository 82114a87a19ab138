// Images of the high-speed chips' EEPROM, built and decoded.
#include "eeprom_image.h"

#include "printable.h"

#include <algorithm>

namespace eeprom {
namespace {

const PartFacts parts[] = {
    {Part::c46, "93C46", 64, 64, 0x46},
    {Part::c56, "93C56", 128, 128, 0x56},
    {Part::c66, "93C66", 256, 128, 0x66}, // the chip reads 256 bytes of it
};

// Byte addresses of the header, as the high-speed chips read them.
enum : size_t {
    port_a_config = 0x00,   // channel A's mode and driver
    port_b_config = 0x01,   // channel B's (FT232H: its driver)
    vendor_id_at = 0x02,
    product_id_at = 0x04,
    release_at = 0x06,
    attributes_at = 0x08,   // the configuration descriptor's bmAttributes
    max_power_at = 0x09,    // in 2 mA units
    chip_config_at = 0x0A,
    manufacturer_at = 0x0E, // each string: its offset (high bit set), then its length
    product_at = 0x10,
    serial_at = 0x12,
    type_byte_2232h = 0x18, // FT2232H and FT4232H
    type_byte_232h = 0x1E,  // FT232H, after its CBUS functions
};

const uint8_t bus_powered = 0x80;
const uint8_t power_100ma = 50;
const uint8_t use_serial = 0x08;     // chip config: report the serial string
const uint8_t vcp_driver = 0x08;     // FT2232H/FT4232H channel byte: the COM port driver
const uint8_t vcp_driver_232h = 0x10; // FT232H's driver byte
const uint8_t string_descriptor = 0x03;

// Where the strings start, with the high bit the chip ignores on a 93C46:
// after the header, past the user area on the larger parts.
uint8_t strings_start(ChipKind kind) { return kind == ChipKind::FT232H ? 0xA0 : 0x9A; }

size_t type_byte_at(ChipKind kind) { return kind == ChipKind::FT232H ? type_byte_232h : type_byte_2232h; }

int descriptor_bytes(const std::string &text) { return 2 + 2 * int(text.size()); }

} // namespace

const PartFacts &part_facts(Part part)
{
    for (const PartFacts &facts : parts)
        if (facts.part == part)
            return facts;
    return parts[0];
}

const PartFacts *part_by_name(const std::string &name)
{
    for (const PartFacts &facts : parts)
        if (name == facts.name)
            return &facts;
    return nullptr;
}

std::string strings_problem(const Strings &strings)
{
    for (const std::string *text : {&strings.manufacturer, &strings.product, &strings.serial})
        for (char c : *text)
            if (c < 0x20 || c > 0x7E)
                return "'" + companions::printable(*text) + "' holds a character other than printable ASCII";
    if (strings.serial.size() > size_t(serial_max_chars))
        return "serial '" + strings.serial + "' is longer than " + std::to_string(serial_max_chars) +
               " characters";
    int bytes = descriptor_bytes(strings.manufacturer) + descriptor_bytes(strings.product) +
                descriptor_bytes(strings.serial);
    if (bytes > string_room_bytes)
        return "manufacturer, product and serial take " + std::to_string(bytes) + " bytes of the EEPROM, " +
               "more than its " + std::to_string(string_room_bytes) + " (at most " +
               std::to_string((string_room_bytes - 6) / 2) + " characters together)";
    return "";
}

uint16_t checksum(const uint16_t *words, size_t count)
{
    uint16_t sum = 0xAAAA;
    for (size_t i = 0; i < count; i++) {
        sum ^= words[i];
        sum = uint16_t(sum << 1 | sum >> 15);
    }
    return sum;
}

std::vector<uint16_t> build(ChipKind kind, Part part, const Strings &strings, std::string *problem)
{
    if (kind == ChipKind::FT2232D || part == Part::none) {
        *problem = kind == ChipKind::FT2232D ? "the FT2232D's EEPROM image is not built here" : "no EEPROM part";
        return {};
    }
    if (std::string why = strings_problem(strings); !why.empty()) {
        *problem = why;
        return {};
    }
    const PartFacts &facts = part_facts(part);
    const chip_facts &chip = chip_facts_of(kind);
    const size_t size = size_t(facts.checked_words) * 2, mask = size - 1;
    // Every byte starts at zero, not at an erased part's 0xFF, which would
    // read as every option set.
    std::vector<uint8_t> bytes(size, 0);
    auto put16 = [&](size_t at, uint16_t value) {
        bytes[at] = uint8_t(value);
        bytes[at + 1] = uint8_t(value >> 8);
    };
    if (kind == ChipKind::FT232H) {
        bytes[port_b_config] = vcp_driver_232h;
    } else {
        bytes[port_a_config] = vcp_driver;
        bytes[port_b_config] = vcp_driver;
    }
    put16(vendor_id_at, FTDI_VENDOR_ID);
    put16(product_id_at, chip.product_id);
    put16(release_at, chip.release);
    bytes[attributes_at] = bus_powered;
    bytes[max_power_at] = power_100ma;
    bytes[chip_config_at] = use_serial;
    bytes[type_byte_at(kind)] = facts.type_byte;
    size_t at = strings_start(kind);
    size_t header = manufacturer_at;
    for (const std::string *text : {&strings.manufacturer, &strings.product, &strings.serial}) {
        bytes[header] = uint8_t(at);
        bytes[header + 1] = uint8_t(descriptor_bytes(*text));
        header += 2;
        bytes[at++ & mask] = uint8_t(descriptor_bytes(*text));
        bytes[at++ & mask] = string_descriptor;
        for (char c : *text) {
            bytes[at++ & mask] = uint8_t(c);
            bytes[at++ & mask] = 0;
        }
    }
    std::vector<uint16_t> words(size_t(facts.checked_words));
    for (size_t i = 0; i < words.size(); i++)
        words[i] = uint16_t(bytes[2 * i] | bytes[2 * i + 1] << 8);
    words.back() = checksum(words.data(), words.size() - 1);
    return words;
}

const char *state_name(State state)
{
    switch (state) {
    case State::blank: return "blank";
    case State::invalid: return "invalid";
    case State::ours: return "ours";
    case State::foreign: return "foreign";
    }
    return "?";
}

Decoded decode(Part part, const std::vector<uint16_t> &words, const Strings *ours)
{
    Decoded d;
    const PartFacts &facts = part_facts(part);
    const size_t count = size_t(facts.checked_words);
    if (words.size() < count) {
        d.state = State::invalid;
        d.problem = "fewer words than the part holds";
        return d;
    }
    d.checksum = words[count - 1];
    d.checksum_valid = checksum(words.data(), count - 1) == d.checksum;
    if (std::all_of(words.begin(), words.begin() + long(count), [](uint16_t w) { return w == 0xFFFF; })) {
        d.state = State::blank;
        return d;
    }
    auto byte = [&](size_t at) {
        uint16_t w = words[(at >> 1) % count];
        return uint8_t(at & 1 ? w >> 8 : w);
    };
    d.vendor_id = words[vendor_id_at / 2];
    d.product_id = words[product_id_at / 2];
    d.release = words[release_at / 2];
    const chip_facts *chip = chip_by_usb(d.vendor_id, d.product_id, d.release);
    d.type_byte = byte(chip && chip->kind == ChipKind::FT232H ? type_byte_232h : type_byte_2232h);
    std::string *texts[] = {&d.strings.manufacturer, &d.strings.product, &d.strings.serial};
    const size_t mask = count * 2 - 1;
    for (size_t i = 0; i < 3; i++) {
        size_t at = byte(manufacturer_at + 2 * i) & mask, length = byte(manufacturer_at + 2 * i + 1);
        if (length == 0)
            continue;
        if (length < 2 || length % 2 || byte(at) != length || byte(at + 1) != string_descriptor) {
            d.problem = "string descriptor " + std::to_string(i + 1) + " is malformed";
            continue;
        }
        std::string raw;
        // UTF-16: a character outside Latin-1 shows as '?'.
        for (size_t c = 2; c < length; c += 2)
            raw.push_back(byte(at + c + 1) == 0 ? char(byte(at + c)) : '?');
        *texts[i] = companions::printable(raw);
    }
    if (!d.checksum_valid)
        d.state = State::invalid;
    else if (ours && ours->manufacturer == d.strings.manufacturer && ours->product == d.strings.product)
        d.state = State::ours;
    else
        d.state = State::foreign;
    return d;
}

Part part_from_wrap(const std::vector<uint16_t> &words)
{
    if (words.size() < 256 || std::all_of(words.begin(), words.end(), [&](uint16_t w) { return w == words[0]; }))
        return Part::none;
    auto repeats = [&](size_t half) {
        for (size_t i = 0; i < half; i++)
            if (words[i] != words[i + half])
                return false;
        return true;
    };
    if (repeats(128))
        return repeats(64) ? Part::c46 : Part::c56;
    return Part::c66;
}

} // namespace eeprom
