// Pieces of the tool's standard output that many tests expect.
#pragma once

#include <string>
#include <vector>

namespace expected {

const std::string rule = "\n======================================================\n";

inline std::string listing(const std::vector<std::string> &serials)
{
    std::string text = "Select device:\n";
    for (size_t i = 0; i < serials.size(); i++)
        text += "Device " + std::to_string(i) + " (Serial Number: " + serials[i] + "\n";
    return text;
}

inline std::string connected(const std::string &serial)
{
    return rule + "SUCCESS (Connected to the FTDI." + serial + ")\n";
}

const std::string setup =
    "SUCCESS (reset)\n"
    "SUCCESS (usb parameters set)\n"
    "SUCCESS (event chars disabled)\n"
    "SUCCESS (timeouts set)\n"
    "SUCCESS (latency set)\n"
    "SUCCESS (flow control disabled)\n"
    "SUCCESS (MSSPE reset)\n"
    "SUCCESS (MPSSE on)\n";

const std::string start = "START TESTING\n" + rule;

const std::string usage =
    "USAGE:\n\twiretest [-nX] [-short] [-delay]\n\n"
    "\t\t\tX - id number of the device you want to test\n"
    "\t\t\t-short - perform only a short test\n"
    "\t\t\t-delay - use a short delay while performing test\n";

// Everything before the first row of a run on the board with this serial.
inline std::string before_rows(const std::vector<std::string> &serials, size_t chosen)
{
    return listing(serials) + connected(serials[chosen]) + setup + start;
}

} // namespace expected
