// A board's identity programmed into its chip's EEPROM, one transaction per
// board: read, find the part, decide, build, write with the checksum last,
// read back, make the chip enumerate again, and find it again at its port
// with its new serial.
#pragma once

#include "eeprom_device.h"

#include <functional>
#include <string>

namespace identity {

struct Request {
    std::string location;             // where the chip is plugged, as listed
    char channel = 'A';               // the channel to open it by
    std::string chip;                 // its kind as listed: "FT2232H"
    eeprom::Strings profile;          // manufacturer and product; serial unused
    bool reprogram = false;           // write over a foreign image
    int comeback_ms = 5000;           // how long the chip may take to come back
    // A new serial, spent from then on: journalled by the caller before it
    // returns, so that no chip is written with a serial the line has not
    // recorded. "" with why in error when none can be had.
    std::function<std::string(std::string &error)> allocate;
};

// The whole transaction on the chip at request.location; the handle it
// opens is closed before it returns.
Outcome program(const Request &request);

} // namespace identity
