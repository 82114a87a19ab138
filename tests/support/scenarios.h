// The end-to-end scenarios of the wiring report, as one table that both
// drivers run: in-process on the simulated driver (report_test.cpp) and as
// build/wiretest on the virtual USB chip (virtual_usb_test.cpp), with the
// same expected output. Each scenario runs on channel A of one dual-channel
// chip, whose two channels are listed as WTBRD01A and WTBRD01B.
#pragma once

#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace scenarios {

const std::string chip_serial = "WTBRD01";
const std::vector<std::string> channels = {"WTBRD01A", "WTBRD01B"};

// A device call made to fail, which each driver injects its own way: the
// simulated driver fails the call, the virtual chip stalls the vendor
// request behind it or fails the bulk transfer.
enum class Failure {
    none,
    reset,          // FT_ResetDevice
    event_chars,    // FT_SetChars
    latency,        // FT_SetLatencyTimer
    flow_control,   // FT_SetFlowControl
    bit_mode_reset, // the first FT_SetBitMode
    mpsse_on,       // the second FT_SetBitMode
    write,          // the nth FT_Write
};

struct Scenario {
    std::string name;
    std::vector<std::string> args;
    std::string board;          // channel A's wiring, as board_text reads it
    std::string dropped_reads;  // "" , "3" (the third 0x83) or "all"
    Failure failure = Failure::none;
    int nth = 0;                // for Failure::write
    std::string out, err;
    int exit_status = 0;
    std::vector<std::string> failed = {}; // the rows whose halves differ, in order
};

const std::vector<Scenario> &report_scenarios();

// GoogleTest names a case by its scenario's name.
void PrintTo(const Scenario &s, std::ostream *os);

// Pieces of expected output.
extern const std::vector<unsigned char> full_patterns;  // the 13 patterns of a full run
extern const std::vector<unsigned char> short_patterns; // the 4 of -short
std::string row(int driven, int read);
// The rows of a run whose patterns came back as the board maps them.
std::string rows(const std::vector<unsigned char> &patterns, const std::map<int, int> &misread = {});
// Every row of the output whose two halves differ on one line (a row the
// no-data notice splits is not one), as wiretest-diagnose reads them.
std::vector<std::string> failed_rows(const std::string &out);

} // namespace scenarios
