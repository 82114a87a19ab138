// A simulated chip's EEPROM: the part fitted and the words it holds, as the
// chip's own requests read, write and erase them. Shared by every
// simulated chip (the in-memory driver and the emulated usbfs bus) and kept
// across the chip's enumerations, which take their serial from it.
#pragma once

#include "device_link/chip_kinds.h"
#include "eeprom_image.h"

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace chip {

struct Eeprom {
    eeprom::Part part = eeprom::Part::c56;
    std::vector<uint16_t> words;        // the part's size; empty with no part fitted
    std::set<uint32_t> refused_writes;  // word addresses (within the part)
    std::map<uint32_t, uint16_t> flips; // word address: bits inverted when written

    // A chip as it leaves the factory: its part holding the image of its
    // serial, or blank when it has none.
    static Eeprom programmed(ChipKind kind, eeprom::Part part, const std::string &serial);

    // The part wraps an address past its end; with no part a read is 0xFFFF
    // and a write is clocked out to nothing.
    uint16_t read(uint32_t word_address) const;
    bool write(uint32_t word_address, uint16_t value); // false: the part refused it
    void erase();

    // The serial the chip enumerates with: none when the image is blank or
    // its checksum wrong, as the chip then takes its defaults.
    std::string serial() const;
};

} // namespace chip
