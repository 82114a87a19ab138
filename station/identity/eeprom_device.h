// A chip's EEPROM through the driver seam (device_link/ft_eeprom.h): read,
// the part found, an image written with its checksum last and read back.
// Every failure names the step and the word, for the board's record.
#pragma once

#include "device_link/ft_driver.h"
#include "eeprom_image.h"
#include "identity_outcome.h"

#include <string>
#include <vector>

namespace identity {

// Words [0, count) as the chip reads them.
bool read_words(FT_HANDLE handle, size_t count, std::vector<uint16_t> &words, Failure &failure);

// The part fitted and its checked words. A part that holds anything tells
// its size by where its addresses wrap; a blank (or uniform) one is told by
// a marker written at word 0xC0 and where it lands (0x00 on a 93C46, 0x40 on
// a 93C56, 0xC0 on a 93C66), the word put back afterwards. No part: a
// failure at "detect".
struct Found {
    eeprom::Part part = eeprom::Part::none;
    std::vector<uint16_t> words; // the checked words
};
bool detect(FT_HANDLE handle, Found &found, Failure &failure);

// The image's words in address order, the checksum word last: a write cut
// off anywhere leaves a checksum that does not match, and the chip starts
// with its defaults, never with half an image.
bool write_image(FT_HANDLE handle, const std::vector<uint16_t> &image, Failure &failure);

// Every word read back and compared; the first that differs is the failure.
bool verify(FT_HANDLE handle, const std::vector<uint16_t> &image, Failure &failure);

} // namespace identity
