#include "printable.h"

#include <cstdint>

namespace companions {

Utf8Sequence utf8_sequence(std::string_view text)
{
    unsigned lead = static_cast<unsigned char>(text[0]);
    if (lead < 0x80)
        return {1, true};
    size_t length = 0;
    // The second byte's range, narrowed where Unicode's table of well-formed
    // sequences rules out overlong forms, surrogates and code points past U+10FFFF.
    unsigned low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return {1, false};
    }
    for (size_t i = 1; i < length; i++) {
        unsigned byte = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
        if (byte < low || byte > high)
            return {i, false};
        low = 0x80;
        high = 0xBF;
    }
    return {length, true};
}

std::string printable(std::string_view text)
{
    std::string out;
    while (!text.empty()) {
        Utf8Sequence sequence = utf8_sequence(text);
        auto lead = static_cast<unsigned char>(text[0]);
        if (!sequence.valid) {
            out.append(sequence.length, '?');
        } else if (sequence.length == 1) {
            out += (lead < 0x20 && lead != '\t') || lead == 0x7F ? '?' : char(lead);
        } else {
            uint32_t value = lead & (0x7F >> sequence.length);
            for (size_t k = 1; k < sequence.length; k++)
                value = (value << 6) | (static_cast<unsigned char>(text[k]) & 0x3F);
            bool c1_control = value <= 0x9F;
            bool noncharacter = (value >= 0xFDD0 && value <= 0xFDEF) || (value & 0xFFFE) == 0xFFFE;
            if (c1_control || noncharacter)
                out += '?';
            else
                out.append(text.substr(0, sequence.length));
        }
        text.remove_prefix(sequence.length);
    }
    return out;
}

bool is_blank(std::string_view text) { return text.find_first_not_of(" \t") == std::string_view::npos; }

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

} // namespace companions
