// Text the companion programs read from elsewhere (a chip's EEPROM, a
// report's lines, a file name, a scanned label), made safe to print on a
// terminal and to hold in JSON and XML.
#pragma once

#include <string>
#include <string_view>

namespace companions {

// Well-formed UTF-8 is kept, but for what would act on a terminal or that XML
// forbids: each control character but the tab (C0, DEL, C1) and each
// noncharacter (U+FDD0..U+FDEF, U+xFFFE, U+xFFFF) becomes '?'; so does each
// byte that is not part of a well-formed UTF-8 sequence (a stray byte, an
// overlong form, a surrogate, a cut-off character), one '?' per byte.
std::string printable(std::string_view text);

// The sequence at the start of a non-empty text: its length in bytes, and
// whether it is one well-formed UTF-8 character. An ill-formed one is its
// longest start that could begin a character (Unicode's "maximal subpart"),
// at least one byte, so that a cut-off character counts once.
struct Utf8Sequence {
    size_t length;
    bool valid;
};
Utf8Sequence utf8_sequence(std::string_view text);

// Whether text is empty or holds spaces and tabs alone.
bool is_blank(std::string_view text);

bool starts_with(std::string_view text, std::string_view prefix);

} // namespace companions
