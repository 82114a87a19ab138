// What became of a board's identity when the station programmed its chip's
// EEPROM: what its record carries, and where a programming stopped.
#pragma once

#include "device_link/ft_driver.h"

#include <cstdint>
#include <string>

namespace identity {

// Where a programming stopped: "" step when it did not.
struct Failure {
    std::string step;   // "read", "detect", "write", "verify", "reset", "find again", ...
    int word = -1;      // the word address it stopped at; -1 where none
    FT_STATUS status = FT_OK;
    std::string detail; // in words, for the operator
    bool failed() const { return !step.empty(); }
    std::string describe() const; // "write at word 0x12: FT_EEPROM_WRITE_FAILED"
};

// What the board's record carries.
struct Outcome {
    std::string serial_before;     // as the EEPROM held it ("" blank or invalid)
    std::string serial_after;      // as the chip enumerates after the programming
    uint32_t instance_after = 0;   // that enumeration, as the listing tells them apart (not recorded)
    std::string part;              // "93C46"; "" where none was found
    std::string state;             // of the image found: blank, invalid, ours, foreign
    std::string allocated;         // the serial taken for this board, "" when none was
    uint16_t checksum = 0;         // of the image written, or of the one kept
    bool written = false;          // the EEPROM was written
    bool verified = false;         // every word read back as written
    bool kept = false;             // ours already: a retest keeps its serial
    Failure failure;               // the step that failed, if one did
    std::string advice;            // what the operator should do about it
};

} // namespace identity
