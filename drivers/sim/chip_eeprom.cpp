#include "chip_eeprom.h"

#include <algorithm>

namespace chip {

Eeprom Eeprom::programmed(ChipKind kind, eeprom::Part part, const std::string &serial)
{
    Eeprom e;
    e.part = part;
    if (part == eeprom::Part::none)
        return e;
    std::string unused;
    if (!serial.empty())
        e.words = eeprom::build(kind, part, {"FTDI", chip_facts_of(kind).name, serial}, &unused);
    e.words.resize(size_t(eeprom::part_facts(part).words), 0xFFFF);
    return e;
}

uint16_t Eeprom::read(uint32_t word_address) const
{
    return words.empty() ? 0xFFFF : words[word_address % words.size()];
}

bool Eeprom::write(uint32_t word_address, uint16_t value)
{
    if (words.empty())
        return true;
    auto at = uint32_t(word_address % words.size());
    if (refused_writes.count(at))
        return false;
    auto flip = flips.find(at);
    words[at] = uint16_t(value ^ (flip == flips.end() ? 0 : flip->second));
    return true;
}

void Eeprom::erase() { std::fill(words.begin(), words.end(), uint16_t(0xFFFF)); }

std::string Eeprom::serial() const
{
    if (words.empty())
        return "";
    eeprom::Decoded d = eeprom::decode(part, words);
    return d.checksum_valid && d.state != eeprom::State::blank ? d.strings.serial : "";
}

} // namespace chip
