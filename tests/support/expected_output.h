// Pieces of the tool's standard output that many tests expect. They are
// spelled out here, apart from the tool's own texts (report_format.h), on
// purpose: a change there shows as a difference here.
#pragma once

#include "sim_control.h"

#include <string>
#include <vector>

namespace expected {

// The status names, indexed by value; values beyond the table print nothing.
const char *const status_names[] = {
    "FT_OK", "FT_INVALID_HANDLE", "FT_DEVICE_NOT_FOUND", "FT_DEVICE_NOT_OPENED",
    "FT_IO_ERROR", "FT_INSUFFICIENT_RESOURCES", "FT_INVALID_PARAMETER",
    "FT_INVALID_BAUD_RATE", "FT_DEVICE_NOT_OPENED_FOR_ERASE",
    "FT_DEVICE_NOT_OPENED_FOR_WRITE", "FT_FAILED_TO_WRITE_DEVICE",
    "FT_EEPROM_READ_FAILED", "FT_EEPROM_WRITE_FAILED", "FT_EEPROM_ERASE_FAILED",
    "FT_EEPROM_NOT_PRESENT", "FT_EEPROM_NOT_PROGRAMMED", "FT_INVALID_ARGS",
    "FT_NOT_SUPPORTED", "FT_OTHER_ERROR",
};

// The line a failed call's status prints on standard error: its name, or
// nothing for a value with no name.
inline std::string status_line(FT_STATUS status)
{
    return status < std::size(status_names) ? std::string(status_names[status]) + "\n" : "";
}

// The eight steps of the channel setup, in order.
struct SetupStep {
    sim::Op op;
    int nth; // which call of that operation
    const char *success_line;
    const char *error_line;
    const char *call; // as describe() writes it
};

const SetupStep setup_steps[] = {
    {sim::Op::ResetDevice, 1, "SUCCESS (reset)\n", "ERROR: can not reset\n", "FT_ResetDevice()"},
    {sim::Op::SetUSBParameters, 1, "SUCCESS (usb parameters set)\n",
     "ERROR: can not set usb parameters\n", "FT_SetUSBParameters(4096, 0)"},
    {sim::Op::SetChars, 1, "SUCCESS (event chars disabled)\n",
     "ERROR: can not disable event chars\n", "FT_SetChars(0, 0, 0, 0)"},
    {sim::Op::SetTimeouts, 1, "SUCCESS (timeouts set)\n", "ERROR: can not set timeouts\n",
     "FT_SetTimeouts(10, 10)"},
    {sim::Op::SetLatencyTimer, 1, "SUCCESS (latency set)\n", "ERROR: can not set latency\n",
     "FT_SetLatencyTimer(2)"},
    {sim::Op::SetFlowControl, 1, "SUCCESS (flow control disabled)\n",
     "ERROR: can not set flow controll\n", "FT_SetFlowControl(0, 17, 19)"},
    {sim::Op::SetBitMode, 1, "SUCCESS (MSSPE reset)\n", "ERROR: can not reset MPSSE\n",
     "FT_SetBitMode(0, 0)"},
    {sim::Op::SetBitMode, 2, "SUCCESS (MPSSE on)\n", "ERROR: can not turn on MPSSE\n",
     "FT_SetBitMode(0, 2)"},
};

// The eight bits of value, most significant first, as a row shows them.
inline std::string bits(int value)
{
    std::string text;
    for (int mask = 0x80; mask; mask >>= 1)
        text += (value & mask) ? '1' : '0';
    return text;
}

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

// The success lines of the first `steps` setup steps.
inline std::string setup_lines(size_t steps = std::size(setup_steps))
{
    std::string text;
    for (size_t i = 0; i < steps; i++)
        text += setup_steps[i].success_line;
    return text;
}

const std::string setup = setup_lines();

const std::string start = "START TESTING\n" + rule;

// The usage text of the program started as `program`.
inline std::string usage_of(const std::string &program)
{
    return "USAGE:\n\t" + program + " [-nX] [-short] [-delay]\n\n"
           "\t\t\tX - id number of the device you want to test\n"
           "\t\t\t-short - perform only a short test\n"
           "\t\t\t-delay - use a short delay while performing test\n";
}

const std::string usage = usage_of("wiretest");

// Everything before the first row of a run on the board with this serial.
inline std::string before_rows(const std::vector<std::string> &serials, size_t chosen)
{
    return listing(serials) + connected(serials[chosen]) + setup + start;
}

} // namespace expected
