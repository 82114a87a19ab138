// A fixture file: the fixture's id and its slots, each a name the operator
// reads on the fixture and the location of the port behind it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace station {

struct FixtureSlot {
    std::string name;
    std::string location;
    char channel = 0;         // 0: the run's --channel
    int64_t rated_cycles = 0; // the contacts' rated insertions; 0: not counted
    std::string scan;         // a barcode printed on the slot; "" for none
};

struct Fixture {
    std::string path;
    std::string id;
    std::string station_id, lot, operator_name; // "" where the file gives none
    std::vector<FixtureSlot> slots;
    bool product = false; // the file has a [product] table, read as --product reads its file
};

// Reads the TOML file at path; false with why ("FILE:LINE: key 'K': ...")
// when it cannot be read or is not a fixture.
bool read_fixture(const std::string &path, Fixture &fixture, std::string &why);

// The slot at location and channel, or nullptr.
const FixtureSlot *slot_at(const Fixture &fixture, const std::string &location, char channel, char run_channel);

} // namespace station
