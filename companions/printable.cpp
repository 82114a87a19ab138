#include "printable.h"

#include <cstdint>

namespace companions {

std::string printable(std::string_view text)
{
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            out += (c < 0x20 && c != '\t') || c == 0x7F ? '?' : char(c);
            i++;
            continue;
        }
        // Length and smallest value of the sequence c starts, as UTF-8 allows it.
        size_t length = c >= 0xC2 && c <= 0xDF ? 2 : c >= 0xE0 && c <= 0xEF ? 3 : c >= 0xF0 && c <= 0xF4 ? 4 : 0;
        uint32_t value = length == 2 ? c & 0x1F : length == 3 ? c & 0x0F : c & 0x07;
        bool ok = length > 0 && i + length <= text.size();
        for (size_t k = 1; ok && k < length; k++) {
            auto next = static_cast<unsigned char>(text[i + k]);
            ok = (next & 0xC0) == 0x80;
            value = (value << 6) | (next & 0x3F);
        }
        ok = ok && !(length == 3 && value < 0x800) && !(length == 4 && (value < 0x10000 || value > 0x10FFFF)) &&
             !(value >= 0xD800 && value <= 0xDFFF);
        if (!ok) {
            out += '?';
            i++;
            continue;
        }
        bool c1_control = value <= 0x9F;
        bool noncharacter = (value >= 0xFDD0 && value <= 0xFDEF) || (value & 0xFFFE) == 0xFFFE;
        if (c1_control || noncharacter)
            out += '?';
        else
            out.append(text.substr(i, length));
        i += length;
    }
    return out;
}

} // namespace companions
