// The image a high-speed MPSSE chip (FT2232H, FT4232H, FT232H) reads its USB
// identity from: an external 93C46, 93C56 or 93C66 serial EEPROM of 16-bit
// words. Building a whole image for a chip's kind (its own defaults, our
// strings and serial, the checksum last), and decoding one read from a chip.
// Pure data: the words come and go through eeprom_device.h.
#pragma once

#include "device_link/chip_kinds.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace eeprom {

// The part fitted. The chip addresses it with as many bits as the part has,
// so a word address past its end wraps to the start.
enum class Part { none, c46, c56, c66 };

struct PartFacts {
    Part part;
    const char *name;     // "93C46"
    int words;            // the part's own size
    int checked_words;    // what the chip reads, the checksum its last word
    uint8_t type_byte;    // what the image's chip-type byte says
};

const PartFacts &part_facts(Part part); // part must not be Part::none
const PartFacts *part_by_name(const std::string &name);

// The USB strings of an image. Each is a string descriptor in the image.
struct Strings {
    std::string manufacturer;
    std::string product;
    std::string serial;
};

// The room the descriptors have: the same on every part, as the chip reads
// the strings from the same offsets within its 128 or 256 bytes.
constexpr int string_room_bytes = 100;
constexpr int serial_max_chars = 16; // the longest serial the chip maker's tools accept

// Why the strings do not fit an image, in words for the engineer: "" when
// they do. Only printable ASCII: a descriptor holds UTF-16, and a serial
// outside ASCII cannot be typed at the next station.
std::string strings_problem(const Strings &strings);

// The checksum the chip computes over words [0, count): 0xAAAA, then for each
// word: xor it in, rotate left by one.
uint16_t checksum(const uint16_t *words, size_t count);

// A whole image for kind on part: the chip's defaults for its kind (vendor,
// product and release ids as it enumerates without an image, bus powered at
// 100 mA, serial number reported, the drivers' virtual COM port), the
// strings, the chip-type byte of the part, the checksum last. checked_words
// long. Empty with *problem set when the strings do not fit or the kind has
// no external EEPROM image we build (the FT2232D).
std::vector<uint16_t> build(ChipKind kind, Part part, const Strings &strings, std::string *problem);

// What an image read from a chip holds.
enum class State {
    blank,    // every word 0xFFFF: the chip starts with its defaults
    invalid,  // not blank, checksum wrong: the chip also starts with its defaults
    ours,     // valid, and the manufacturer and product are the profile's
    foreign,  // valid, written by someone else
};
const char *state_name(State state);

struct Decoded {
    State state = State::blank;
    uint16_t checksum = 0;     // the checksum word as read
    bool checksum_valid = false;
    uint16_t vendor_id = 0, product_id = 0, release = 0;
    uint8_t type_byte = 0;
    Strings strings;           // printable, as far as the descriptors could be read
    std::string problem;       // a descriptor that does not fit the image: "" when none
};

// Decodes the checked words of part (at least checked_words long). ours
// names the manufacturer and product that make an image ours; without it a
// valid image is foreign.
Decoded decode(Part part, const std::vector<uint16_t> &words, const Strings *ours = nullptr);

// The part, told from the words 0 to 255 as read: a smaller part repeats
// itself. Part::none when every word is the same (a blank or absent part:
// the size must be found by writing, see eeprom_device.h).
Part part_from_wrap(const std::vector<uint16_t> &words_0_to_255);

} // namespace eeprom
