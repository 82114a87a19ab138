// The common start of every in-process test: a fresh simulated world, a
// fresh clock and the system's state as in a new process.
#pragma once

#include "console.h"
#include "sim_control.h"
#include "virtual_clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;

    // Attach a board and open it as the entry function would, for tests that
    // call one step of the system on its own; the record starts after it.
    void open_board(const chip::Wiring &wiring = {});
    // Open, set up and synchronise, as the wiring test does before its patterns.
    void open_synced_board(const chip::Wiring &wiring = {});
};

// Bytes as upper-case hexadecimal pairs separated by spaces: "80 2A FF".
std::string hex_bytes(const std::vector<uint8_t> &bytes);

// The calls as text: "FT_SetBitMode(0, 2)", "FT_Write[80 2A FF]",
// "FT_Read(2)=[FA AB]", with " -> 4" appended for a failed status.
std::string describe(const sim::Call &call);
std::vector<std::string> describe_calls();
std::vector<std::string> describe_calls(size_t from, size_t to);

// Only the operation names.
std::vector<std::string> call_names();

// The first `lines` lines of text, each with its line end.
std::string first_lines(const std::string &text, int lines);
